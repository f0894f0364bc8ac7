#include "files/utf16.h"

namespace launcher {

// File names are bytes here; ours are UTF-8.
std::filesystem::path ToPath(std::u16string_view name) {
  return std::filesystem::path(ToUtf8(name));
}

}  // namespace launcher
