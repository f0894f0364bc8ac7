// Root reads and writes every file whatever its mode. A test that needs a
// file the player cannot read drops, for its scope, the two capabilities
// that let root past the mode bits; the owner's bits then hold for root as
// for anyone.
#pragma once

#include <linux/capability.h>

namespace launcher::testing {

class WithoutReadOverride {
 public:
  // On the calling thread and the threads it starts meanwhile; nothing to
  // do for a user other than root.
  WithoutReadOverride();
  ~WithoutReadOverride();
  WithoutReadOverride(const WithoutReadOverride&) = delete;
  WithoutReadOverride& operator=(const WithoutReadOverride&) = delete;

 private:
  __user_cap_header_struct header_{};
  __user_cap_data_struct saved_[_LINUX_CAPABILITY_U32S_3]{};
  bool dropped_ = false;
};

}  // namespace launcher::testing
