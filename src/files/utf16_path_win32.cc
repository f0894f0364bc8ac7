#include "files/utf16.h"

namespace launcher {

// File names are UTF-16 units, as ours are: taken over one to one, so that
// even a unit that is not valid UTF-16 names the file it names.
std::filesystem::path ToPath(std::u16string_view name) {
  return std::filesystem::path(std::wstring(name.begin(), name.end()));
}

}  // namespace launcher
