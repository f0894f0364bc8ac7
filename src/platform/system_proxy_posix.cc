#include "platform/system_proxy.h"

namespace launcher {

// libcurl reads the environment itself; there is no other system setting.
std::optional<SystemProxy> SystemProxyFor(std::string_view) { return std::nullopt; }

}  // namespace launcher
