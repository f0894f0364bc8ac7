#include "support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace launcher::testing {

TempDir::TempDir() {
#ifdef _WIN32
  // No mkdtemp: a random name, created only if it is new.
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ostringstream name;
    name << "launcher-test-" << std::hex << random();
    const std::filesystem::path candidate = std::filesystem::temp_directory_path() / name.str();
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("no new temporary directory");
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "launcher-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
#endif
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make files read-only; give the owner write access back first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(path_, ec);
}

ScopedCurrentDir::ScopedCurrentDir(const std::filesystem::path& dir)
    : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(dir);
}

ScopedCurrentDir::~ScopedCurrentDir() {
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
}

std::filesystem::path MakeInstallLayout(const std::filesystem::path& root) {
  std::filesystem::create_directories(root / "launcher");
  std::filesystem::create_directories(root / "patcher" / "server");
  std::filesystem::create_directories(root / "config" / "patcher");
  return root / "launcher";
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::map<std::string, std::string> TreeBytes(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> bytes;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.is_regular_file())
      bytes[fs::relative(item.path(), root).string()] = ReadFileBytes(item.path());
  }
  return bytes;
}

void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void WriteUtf16Lines(const std::filesystem::path& path, const std::vector<std::string>& lines) {
  std::string bytes = "\xFF\xFE";
  for (const std::string& line : lines) {
    for (char c : line + "\r\n") {
      bytes += c;
      bytes += '\0';
    }
  }
  WriteFileBytes(path, bytes);
}

}  // namespace launcher::testing
