#include "support/windows_build.h"

#include <cstdlib>

namespace launcher::testing {

namespace fs = std::filesystem;

fs::path WindowsBuildTree() {
  const char* dir = std::getenv("LAUNCHER_WINDOWS_BUILD_DIR");
  return dir != nullptr && *dir != '\0' ? fs::path(dir)
                                        : fs::path(LAUNCHER_SOURCE_DIR) / "build" / "windows";
}

fs::path WineRunScript() { return fs::path(LAUNCHER_SOURCE_DIR) / "scripts" / "wine-run"; }

std::string WinePath(const fs::path& path) {
  std::string text = "Z:" + fs::absolute(path).string();
  for (char& c : text) c = c == '/' ? '\\' : c;
  return text;
}

ProcessResult RunUnderWine(const std::vector<std::string>& args) {
  return RunProcess(WineRunScript(), args);
}

}  // namespace launcher::testing
