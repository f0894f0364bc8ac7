#include "files/replace_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

namespace launcher {
namespace {

constexpr std::string_view kSuffix = ".~lnew";
// Names up to this many bytes get the suffix; longer ones a short name of
// their own, so that the temporary name stays within the usual 255-byte limit.
constexpr std::size_t kLongestSuffixedName = 200;

}  // namespace

std::filesystem::path ReplacementTemporaryName(const std::filesystem::path& target) {
  const std::u8string utf8 = target.filename().u8string();
  const std::string name(utf8.begin(), utf8.end());
  // Built as UTF-8 names: a narrow string would be taken in the ANSI code
  // page on Windows.
  const std::u8string suffix(kSuffix.begin(), kSuffix.end());
  if (name.size() <= kLongestSuffixedName) return target.parent_path() / (utf8 + suffix);
  char hash[32];
  std::snprintf(hash, sizeof hash, "%016zx", std::hash<std::string>{}(name));
  const std::string_view hashText(hash);
  return target.parent_path() / (u8"." + std::u8string(hashText.begin(), hashText.end()) + suffix);
}

bool IsReplacementTemporary(const std::filesystem::path& path) {
  const std::u8string name = path.filename().u8string();
  return name.size() > kSuffix.size() &&
         std::equal(kSuffix.rbegin(), kSuffix.rend(), name.rbegin(),
                    [](char a, char8_t b) { return static_cast<char8_t>(a) == b; });
}

FileReplacement::FileReplacement(const std::filesystem::path& target, unsigned mode)
    : target_(target) {
  if (target.empty() || !target.has_filename()) return;
  temporary_ = ReplacementTemporaryName(target_);
  // Exclusive creation never writes through whatever holds the name; what
  // a killed run left there is ours, so it goes first.
  bool exists = false;
  if (!file_.CreateNew(temporary_, mode, exists) && exists && RemoveNativeFile(temporary_)) {
    file_.CreateNew(temporary_, mode, exists);
  }
}

FileReplacement::~FileReplacement() { Discard(); }

bool FileReplacement::Commit(Durability durability, Overwrite overwrite) {
  if (!is_open()) return false;
  // The rename must not reach the disk before the data: otherwise a power
  // cut could leave the target name on an empty or partial file.
  bool ok = durability == Durability::kAtomic || file_.SyncData();
  ok = file_.Close() && ok;
  const bool durable = durability == Durability::kDurable;
  if (ok) {
    ok = overwrite == Overwrite::kReplace ? RenameReplacing(temporary_, target_, durable)
                                          : RenameNoReplace(temporary_, target_);
  }
  if (!ok) {
    const int saved = errno;
    RemoveNativeFile(temporary_);
    errno = saved;
    return false;
  }
  // The new name reaches the disk with its directory. A failed directory
  // sync leaves the new file in place, so the replace itself succeeded; the
  // caller learns that it may not last a power cut.
  return !durable || SyncDirectory(target_.parent_path());
}

void FileReplacement::Discard() {
  if (!is_open()) return;
  const int saved = errno;
  file_.Close();
  RemoveNativeFile(temporary_);
  errno = saved;
}

bool ReplaceFileContents(const std::filesystem::path& target, std::string_view content,
                         Durability durability) {
  FileReplacement replacement(target);
  return replacement.is_open() && replacement.file().Write(content.data(), content.size()) &&
         replacement.Commit(durability);
}

}  // namespace launcher
