#include "support/player_rights.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace launcher::testing {

WithoutReadOverride::WithoutReadOverride() {
  if (::geteuid() != 0) return;
  header_.version = _LINUX_CAPABILITY_VERSION_3;
  header_.pid = 0;
  if (::syscall(SYS_capget, &header_, saved_) != 0) throw std::runtime_error("capget");
  __user_cap_data_struct reduced[_LINUX_CAPABILITY_U32S_3];
  std::memcpy(reduced, saved_, sizeof reduced);
  for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
    reduced[cap / 32].effective &= ~(1u << (cap % 32));
  }
  if (::syscall(SYS_capset, &header_, reduced) != 0) throw std::runtime_error("capset");
  dropped_ = true;
}

WithoutReadOverride::~WithoutReadOverride() {
  // The permitted set still holds both: they come back.
  if (dropped_) ::syscall(SYS_capset, &header_, saved_);
}

}  // namespace launcher::testing
