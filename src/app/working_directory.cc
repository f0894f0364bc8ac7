#include "app/working_directory.h"

#include <string>
#include <system_error>

#include "platform/process.h"

namespace launcher {

std::filesystem::path DirectoryOfExecutable(const std::filesystem::path& executable) {
  const std::filesystem::path::string_type& text = executable.native();
#ifdef _WIN32
  // Windows spells the module path with either separator.
  const std::size_t cut = text.find_last_of(L"/\\");
  if (cut == std::wstring::npos) return {};
  // "C:\launcher.exe" lives in the root of its drive, not in the drive's
  // current directory that "C:" alone would mean.
  if (cut == 2 && text[1] == L':') return std::filesystem::path(text.substr(0, 3));
#else
  // A backslash is an ordinary character of a Linux file name.
  const std::size_t cut = text.rfind('/');
  if (cut == std::string::npos) return {};
#endif
  // "/launcher" lives in the root directory itself.
  return cut == 0 ? std::filesystem::path(text.substr(0, 1))
                  : std::filesystem::path(text.substr(0, cut));
}

bool ChangeToExecutableDirectory() {
  const std::filesystem::path dir = DirectoryOfExecutable(ExecutablePath());
  if (dir.empty()) return false;
  std::error_code ec;
  std::filesystem::current_path(dir, ec);
  return !ec;
}

}  // namespace launcher
