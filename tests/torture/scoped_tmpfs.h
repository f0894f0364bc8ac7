// ScopedTmpfs: a small tmpfs mounted for a test and detached when the object
// goes away, to give the engine a file system that fills up or turns
// read-only on demand. Needs root (or CAP_SYS_ADMIN): check mounted().
#pragma once

#include <sys/mount.h>

#include <cstddef>
#include <filesystem>
#include <string>

namespace launcher::testing {

// A tmpfs mounted for the lifetime of the object.
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::filesystem::path& at, std::size_t bytes) : at_(at) {
    std::filesystem::create_directories(at);
    mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, Size(bytes).c_str()) == 0;
  }
  ~ScopedTmpfs() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool Resize(std::size_t bytes) {
    return ::mount(nullptr, at_.c_str(), nullptr, MS_REMOUNT, Size(bytes).c_str()) == 0;
  }
  bool SetReadOnly(bool on) {
    return ::mount(nullptr, at_.c_str(), nullptr, MS_REMOUNT | (on ? MS_RDONLY : 0), nullptr) == 0;
  }

 private:
  static std::string Size(std::size_t bytes) { return "size=" + std::to_string(bytes); }
  std::filesystem::path at_;
  bool mounted_ = false;
};

}  // namespace launcher::testing
