#include "app/working_directory.h"

#include <string>
#include <system_error>

#include "platform/process.h"

namespace launcher {

std::filesystem::path DirectoryOfExecutable(const std::filesystem::path& executable) {
  const std::string& text = executable.native();
  const std::size_t cut = text.rfind('/');
  if (cut == std::string::npos) return {};
  // "/launcher" lives in the root directory itself.
  return cut == 0 ? std::filesystem::path("/") : std::filesystem::path(text.substr(0, cut));
}

bool ChangeToExecutableDirectory() {
  const std::filesystem::path dir = DirectoryOfExecutable(ExecutablePath());
  if (dir.empty()) return false;
  std::error_code ec;
  std::filesystem::current_path(dir, ec);
  return !ec;
}

}  // namespace launcher
