// The tree switch on Windows: a pair of written-through directory renames
// behind a journal, finished by the next run when a crash cut it in half
// (tree_switch.h). Windows offers no exchange of two directories, and a
// directory cannot be replaced by a rename; a junction whose target is
// rewritten would switch in one step, but building one needs
// FSCTL_SET_REPARSE_POINT, which Wine does not implement, so it could not be
// tested here.
#include <windows.h>
// windows.h names the system's ReplaceFileW so; ours is publish::ReplaceFile.
#undef ReplaceFile

#include <random>
#include <system_error>

#include "platform/long_path.h"
#include "platform/native_file.h"
#include "publish/file_io.h"
#include "publish/tree_switch.h"

namespace launcher::publish {

namespace fs = std::filesystem;

namespace {

std::string SystemError(const std::string& what, DWORD error = ::GetLastError()) {
  return what + ": " + std::system_category().message(static_cast<int>(error));
}

fs::path FromUtf8(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string RandomSuffix() {
  static std::mt19937_64 generator{std::random_device{}() ^ ::GetTickCount64() ^
                                   static_cast<unsigned long long>(::GetCurrentProcessId())};
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string suffix;
  for (int i = 0; i < 6; ++i) suffix += kChars[generator() % (sizeof kChars - 1)];
  return suffix;
}

// An unused name "<out><tag>XXXXXX" (not created).
fs::path FreeSibling(const fs::path& out, const char* tag) {
  while (true) {
    fs::path name = FromUtf8(out.string() + tag + RandomSuffix());
    if (FileKindNoFollow(name) == FileKind::kMissing) return name;
  }
}

// A rename of a directory that is on the disk when it returns. A web server
// that has a file of the tree open can hold the rename up for a moment.
bool MoveDirectory(const fs::path& from, const fs::path& to) {
  const std::wstring source = LongPath(from);
  const std::wstring target = LongPath(to);
  return RetryWhileShared([&] {
    if (::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0) return true;
    if (::GetLastError() == ERROR_ACCESS_DENIED) ::SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  });
}

bool RemoveTree(const fs::path& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
  return !ec;
}

// True when the file has names besides this one: a compressed file linked
// from the served tree, whose data were flushed when that tree was built.
bool HasOtherLinks(const fs::path& path) {
  HANDLE file = ::CreateFileW(LongPath(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool linked = ::GetFileInformationByHandle(file, &info) != 0 && info.nNumberOfLinks > 1;
  ::CloseHandle(file);
  return linked;
}

fs::path JournalPath(const fs::path& out) { return FromUtf8(out.string() + ".switch"); }

}  // namespace

std::optional<fs::path> MakeUniqueDirectory(const std::string& prefix) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path name = FromUtf8(prefix + RandomSuffix());
    if (::CreateDirectoryW(LongPath(name).c_str(), nullptr) != 0) return name;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return std::nullopt;
  }
  return std::nullopt;
}

std::optional<fs::path> MakeBuildDirectory(const fs::path& out, std::string& problem) {
  auto dir = MakeUniqueDirectory(out.string() + ".new-");
  if (!dir) problem = SystemError("cannot create a build directory next to " + out.string());
  return dir;
}

bool PrepareTreeForServing(const fs::path& root, std::string& problem) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec)) continue;
    if (!SyncFileData(it->path())) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_SHARING_VIOLATION && HasOtherLinks(it->path())) continue;
      problem = SystemError(it->path().string() + ": cannot be synced to disk", error);
      return false;
    }
  }
  if (ec) problem = root.string() + ": cannot be read back: " + ec.message();
  return !ec;
}

bool RecoverTreeSwitch(const fs::path& out, std::string& problem, std::string& note) {
  const fs::path journal = JournalPath(out);
  if (FileKindNoFollow(journal) == FileKind::kMissing) return true;
  std::string text;
  const std::string stem = out.filename().string();
  const std::size_t newline = ReadWholeFile(journal, text) ? text.find('\n') : std::string::npos;
  if (newline == std::string::npos) {
    problem = journal.string() + ": cannot be read; remove it after checking " + out.string();
    return false;
  }
  // "<aside>\n<built>\n": both names relative to the served path's parent.
  const std::string asideName = text.substr(0, newline);
  std::string builtName = text.substr(newline + 1);
  if (!builtName.empty() && builtName.back() == '\n') builtName.pop_back();
  if (!asideName.starts_with(stem + ".old-") || !builtName.starts_with(stem + ".new-") ||
      asideName.find_first_of("/\\") != std::string::npos ||
      builtName.find_first_of("/\\") != std::string::npos) {
    problem = journal.string() +
              ": does not name this tool's directories; remove it after "
              "checking " +
              out.string();
    return false;
  }
  const fs::path aside = out.parent_path() / FromUtf8(asideName);
  const fs::path built = out.parent_path() / FromUtf8(builtName);
  if (FileKindNoFollow(out) == FileKind::kMissing) {
    // The crash came between the two renames: the new tree, complete and on
    // the disk before the journal was written, goes in; without it the old
    // one goes back.
    if (FileKindNoFollow(built) == FileKind::kDirectory && MoveDirectory(built, out)) {
      note = "finished an interrupted switch: " + out.string() + " now serves " + builtName;
    } else if (FileKindNoFollow(aside) == FileKind::kDirectory && MoveDirectory(aside, out)) {
      note = "undid an interrupted switch: " + out.string() + " serves its previous tree again";
    } else {
      problem = SystemError("cannot finish the interrupted switch of " + out.string());
      return false;
    }
  } else if (FileKindNoFollow(built) == FileKind::kDirectory) {
    RemoveTree(built);  // never served
    note = "removed " + builtName + ", left by an interrupted switch";
  }
  if (FileKindNoFollow(aside) == FileKind::kDirectory && !RemoveTree(aside)) {
    note += (note.empty() ? "" : "; ") + aside.string() + " is left (in use?)";
  }
  if (!RemoveNativeFile(journal)) {
    problem = SystemError("cannot remove " + journal.string());
    return false;
  }
  return true;
}

bool SwitchTree(const fs::path& built, const fs::path& out, std::string& problem,
                std::string& how) {
  const FileKind kind = FileKindNoFollow(out);
  if (kind == FileKind::kMissing) {
    if (!MoveDirectory(built, out)) {
      problem = SystemError("cannot rename " + built.string() + " to " + out.string());
      return false;
    }
    how = "created";
    return true;
  }
  if (kind == FileKind::kLink) {
    problem = out.string() +
              " is a link (reparse point); on Windows the served path must be a "
              "directory";
    return false;
  }
  if (kind != FileKind::kDirectory) {
    problem = out.string() + " exists and is not a directory";
    return false;
  }
  const fs::path aside = FreeSibling(out, ".old-");
  const fs::path journal = JournalPath(out);
  if (!ReplaceFile(journal, aside.filename().string() + "\n" + built.filename().string() + "\n")) {
    problem = SystemError("cannot write " + journal.string());
    return false;
  }
  if (!MoveDirectory(out, aside)) {
    problem = SystemError("cannot move the served tree " + out.string() + " aside");
    RemoveNativeFile(journal);
    return false;
  }
  if (!MoveDirectory(built, out)) {
    problem = SystemError("cannot rename " + built.string() + " to " + out.string());
    if (MoveDirectory(aside, out)) RemoveNativeFile(journal);
    return false;
  }
  RemoveNativeFile(journal);
  how = "replaced";
  if (!RemoveTree(aside)) how += "; the previous tree is left at " + aside.string() + " (in use?)";
  return true;
}

}  // namespace launcher::publish
