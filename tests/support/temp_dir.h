// A temporary directory for one test, removed with everything in it when the
// object goes away. Also the small file helpers most tests need.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace launcher::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Changes the working directory for the lifetime of the object.
class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const std::filesystem::path& dir);
  ~ScopedCurrentDir();
  ScopedCurrentDir(const ScopedCurrentDir&) = delete;
  ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

 private:
  std::filesystem::path previous_;
};

// Lays out an installation under `root`: root/launcher (returned, the
// working directory the engine expects), root/patcher, root/config/patcher.
std::filesystem::path MakeInstallLayout(const std::filesystem::path& root);

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);
// Every regular file below `root`: relative path -> bytes.
std::map<std::string, std::string> TreeBytes(const std::filesystem::path& root);
// A UTF-16LE text file with its byte-order mark, lines ended by CR LF (ASCII
// lines, widened byte by byte): string tables and settings for tests.
void WriteUtf16Lines(const std::filesystem::path& path, const std::vector<std::string>& lines);

}  // namespace launcher::testing
