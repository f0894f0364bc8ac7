#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <string_view>

#include <vector>

#include "platform/long_path.h"
#include "platform/native_file.h"

namespace launcher {
namespace {

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Clears the read-only (and every other) attribute, so that the file can be
// replaced or deleted; nothing happens for a missing file.
void MakeWritable(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

// True when another handle has the file open: an open for reading that
// shares nothing then meets a sharing violation. (An open without data
// access would not be checked against the other handles at all.)
bool InUse(const std::wstring& path) {
  HANDLE probe = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    ::CloseHandle(probe);
    return false;
  }
  return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

bool Move(const std::filesystem::path& from, const std::filesystem::path& to, DWORD flags,
          bool* crossDevice) {
  const std::wstring source = LongPath(from);
  const std::wstring target = LongPath(to);
  const bool replacing = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
  if (replacing) MakeWritable(target);
  const bool moved = RetryWhileShared([&] {
    if (::MoveFileExW(source.c_str(), target.c_str(), flags) != 0) return true;
    // The system refuses to replace a target that is open, whatever its
    // sharing, as "access denied"; only an open target is worth the wait.
    if (replacing && ::GetLastError() == ERROR_ACCESS_DENIED && InUse(target)) {
      ::SetLastError(ERROR_SHARING_VIOLATION);
    }
    return false;
  });
  if (crossDevice != nullptr) *crossDevice = !moved && ::GetLastError() == ERROR_NOT_SAME_DEVICE;
  return moved;
}

}  // namespace

NativeFile::~NativeFile() {
  if (is_open()) ::CloseHandle(AsHandle(handle_));
}

bool NativeFile::CreateNew(const std::filesystem::path& path, unsigned, bool& exists) {
  // Readers may open the file while it is written; a rename needs delete
  // sharing while the handle is open.
  HANDLE file =
      ::CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  exists = file == INVALID_HANDLE_VALUE &&
           (::GetLastError() == ERROR_FILE_EXISTS || ::GetLastError() == ERROR_ALREADY_EXISTS);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool NativeFile::Write(const void* data, std::size_t size) {
  if (!is_open()) return false;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (::WriteFile(AsHandle(handle_), bytes, chunk, &written, nullptr) == 0 || written == 0) {
      return false;
    }
    bytes += written;
    size -= written;
  }
  return true;
}

bool NativeFile::CopyFrom(const std::filesystem::path& source) {
  if (!is_open()) return false;
  HANDLE in = ::CreateFileW(LongPath(source).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  bool ok = ::GetFileType(in) == FILE_TYPE_DISK;
  BY_HANDLE_FILE_INFORMATION info{};
  ok = ok && ::GetFileInformationByHandle(in, &info) != 0 &&
       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  std::vector<char> buffer(1 << 16);
  while (ok) {
    DWORD n = 0;
    if (::ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) == 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    ok = Write(buffer.data(), n);
  }
  ::CloseHandle(in);
  return ok;
}

bool NativeFile::SetMode(unsigned) { return is_open(); }

bool NativeFile::SyncData() { return is_open() && ::FlushFileBuffers(AsHandle(handle_)) != 0; }

// The system's lazy writer starts on its own; there is no call to hurry it.
// Unbuffered writes would need FILE_FLAG_NO_BUFFERING from the creation on,
// with sector-aligned lengths up to the last write: the cache does it all.
bool NativeFile::WriteBulk(const void* data, std::size_t size) { return Write(data, size); }

void NativeFile::StartWriteback() {}

bool NativeFile::Close() {
  if (!is_open()) return false;
  HANDLE file = AsHandle(handle_);
  handle_ = kNone;
  return ::CloseHandle(file) != 0;
}

bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                     bool writeThrough, bool* crossDevice) {
  return Move(from, to, MOVEFILE_REPLACE_EXISTING | (writeThrough ? MOVEFILE_WRITE_THROUGH : 0u),
              crossDevice);
}

bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     bool* crossDevice) {
  // Without MOVEFILE_REPLACE_EXISTING the system refuses an existing target
  // itself.
  return Move(from, to, 0, crossDevice);
}

// The write-through rename already put the entry on the disk.
bool SyncDirectory(const std::filesystem::path&) { return true; }

bool SyncFileData(const std::filesystem::path& path) {
  // FlushFileBuffers needs a handle with write access.
  HANDLE file = ::CreateFileW(LongPath(path).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool synced = ::FlushFileBuffers(file) != 0;
  ::CloseHandle(file);
  return synced;
}

bool RemoveNativeFile(const std::filesystem::path& path) {
  const std::wstring name = LongPath(path);
  MakeWritable(name);
  return RetryWhileShared([&] { return ::DeleteFileW(name.c_str()) != 0; });
}

void ClearFileAttributesNative(const std::filesystem::path& path) {
  const std::wstring name = LongPath(path);
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  // A link (reparse point) is left alone, as on POSIX.
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return;
  ::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
}

std::int64_t NativeFileSize(const std::filesystem::path& path) {
  HANDLE file = ::CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;  // a directory does not open this way either
  LARGE_INTEGER size{};
  const bool ok = ::GetFileSizeEx(file, &size) != 0;
  ::CloseHandle(file);
  return ok ? static_cast<std::int64_t>(size.QuadPart) : -1;
}

FileKind FileKindNoFollow(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(LongPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::kMissing;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FileKind::kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::kDirectory;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return FileKind::kOther;
  return FileKind::kRegular;
}

bool CreateDirectoryNative(const std::filesystem::path& path) {
  return ::CreateDirectoryW(LongPath(path).c_str(), nullptr) != 0;
}

namespace {

// True when the directory `name` has an entry besides "." and "..".
bool DirectoryHoldsEntries(const std::wstring& name) {
  // A name ending in ".." comes out of LongPath with a separator at its end.
  const std::wstring pattern = name + (name.back() == L'\\' ? L"*" : L"\\*");
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                   nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool holds = false;
  do {
    const std::wstring_view n = entry.cFileName;
    holds = n != L"." && n != L"..";
  } while (!holds && ::FindNextFileW(find, &entry) != 0);
  ::FindClose(find);
  return holds;
}

}  // namespace

bool RemoveDirectoryNative(const std::filesystem::path& path) {
  const std::wstring name = LongPath(path);
  if (::RemoveDirectoryW(name.c_str()) != 0) return true;
  const DWORD error = ::GetLastError();
  // A directory someone holds open (a prompt whose working directory it is,
  // an Explorer window on it) reports a sharing violation before Windows
  // looks at its entries. One that still holds entries cannot go however
  // long we wait: only an empty one is worth the retries.
  if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) return false;
  if (DirectoryHoldsEntries(name)) {
    ::SetLastError(ERROR_DIR_NOT_EMPTY);
    return false;
  }
  return RetryWhileShared([&] { return ::RemoveDirectoryW(name.c_str()) != 0; });
}

bool OverwriteFileStart(
    const std::filesystem::path& path,
    const std::function<bool(std::uint64_t size, std::string& bytes)>& prepare) {
  HANDLE file = ::CreateFileW(LongPath(path).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  std::string bytes;
  bool ok =
      ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) != 0 &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
      prepare((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow, bytes);
  DWORD written = 0;
  ok = ok && bytes.size() <= 0xFFFFFFFFu &&
       ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
       written == bytes.size();
  ::CloseHandle(file);
  return ok;
}

std::FILE* OpenStdioFile(const std::filesystem::path& path, const char* mode) {
  std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
  const std::size_t exclusive = wideMode.find(L'x');
  if (exclusive == std::wstring::npos) return ::_wfopen(LongPath(path).c_str(), wideMode.c_str());
  // The C runtime has no "x" (it would open an existing file and truncate
  // it): the file is created by the system, which refuses an existing one.
  wideMode.erase(exclusive, 1);
  HANDLE file = ::CreateFileW(LongPath(path).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    errno = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? EEXIST : EACCES;
    return nullptr;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = ::_wfdopen(fd, wideMode.c_str());
  if (stream == nullptr) ::_close(fd);
  return stream;
}

long CurrentProcessId() { return static_cast<long>(::GetCurrentProcessId()); }

// Windows renames without replacing natively; nothing to simulate.
void SimulateRenameNoReplaceUnsupportedForTesting(bool) {}

}  // namespace launcher
