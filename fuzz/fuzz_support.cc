#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "files/utf16.h"

namespace launcher::fuzz {
namespace {

std::filesystem::path g_root;

void RemoveScratch() {
  std::error_code ignored;
  if (!g_root.empty()) std::filesystem::remove_all(g_root, ignored);
}

[[noreturn]] void Die(const char* what) {
  std::perror(what);
  std::abort();
}

}  // namespace

const std::filesystem::path& ScratchRoot() {
  if (!g_root.empty()) return g_root;
  std::string pattern = (std::filesystem::temp_directory_path() / "launcher-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) Die("mkdtemp");
  g_root = pattern;
  for (const char* dir : {"launcher", "patcher/server", "config/patcher"}) {
    std::filesystem::create_directories(g_root / dir);
  }
  std::atexit(RemoveScratch);
  return g_root;
}

InLauncherDir::InLauncherDir() {
  const std::filesystem::path dir = ScratchRoot() / "launcher";
  previous_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (previous_ < 0 || ::chdir(dir.c_str()) != 0) Die("chdir to the scratch launcher directory");
}

InLauncherDir::~InLauncherDir() {
  if (::fchdir(previous_) != 0) Die("fchdir back");
  ::close(previous_);
}

std::u16string WriteScratchFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::abort();
  }
  return FromUtf8Lossy(path.string());
}

void SplitParts(std::string_view input, std::string_view& first, std::string_view& second) {
  const std::size_t at = input.find(kPartSeparator);
  if (at == std::string_view::npos) {
    first = input;
    second = {};
    return;
  }
  first = input.substr(0, at);
  second = input.substr(at + kPartSeparator.size());
}

std::u16string Utf16Units(std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    const auto lo = static_cast<unsigned char>(bytes[2 * i]);
    const auto hi = static_cast<unsigned char>(bytes[2 * i + 1]);
    units[i] = static_cast<char16_t>(lo | (hi << 8));
  }
  return units;
}

bool IsSafeRelativePath(std::u16string_view path, std::size_t maxUnits) {
  if (path.empty() || path.size() > maxUnits || path == u".") return false;
  for (char16_t unit : path) {
    if (unit < 0x20 || unit == 0x7F || unit == u'\\') return false;
  }
  std::size_t start = 0;
  for (int index = 0;; ++index) {
    std::size_t end = path.find(u'/', start);
    const std::u16string_view part = path.substr(
        start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
    if (part.empty() || part == u"..") return false;
    if (part == u"." && index > 0) return false;
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

void Fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
  std::abort();
}

}  // namespace launcher::fuzz
