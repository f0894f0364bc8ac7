#include <windows.h>

#include <limits>

#include "platform/long_path.h"
#include "platform/mapped_file.h"

namespace launcher {
namespace {

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
constexpr std::intptr_t kNone = -1;

}  // namespace

MappedFile::~MappedFile() { Release(); }

bool MappedFile::MapWhole(bool writable) {
  if (size_ == 0) return true;  // a file of no bytes cannot be mapped; data() stays null
  if (size_ > std::numeric_limits<std::size_t>::max()) return false;
  const DWORD protection = writable ? PAGE_READWRITE : PAGE_READONLY;
  HANDLE mapping =
      ::CreateFileMappingW(AsHandle(file_), nullptr, protection, static_cast<DWORD>(size_ >> 32),
                           static_cast<DWORD>(size_ & 0xFFFFFFFFu), nullptr);
  if (mapping == nullptr) return false;
  mapping_ = reinterpret_cast<std::intptr_t>(mapping);
  void* view = ::MapViewOfFile(mapping, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) return false;
  data_ = static_cast<unsigned char*>(view);
  return true;
}

bool MappedFile::OpenRead(const std::filesystem::path& path) {
  Release();
  // Shared with readers only: nobody may change the file under the mapping.
  HANDLE file = ::CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  file_ = reinterpret_cast<std::intptr_t>(file);
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER size{};
  if (::GetFileType(file) != FILE_TYPE_DISK || ::GetFileInformationByHandle(file, &info) == 0 ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      ::GetFileSizeEx(file, &size) == 0) {
    Release();
    return false;
  }
  size_ = static_cast<std::uint64_t>(size.QuadPart);
  if (!MapWhole(false)) {
    Release();
    return false;
  }
  open_ = true;
  return true;
}

bool MappedFile::CreateNew(const std::filesystem::path& path, std::uint64_t size, unsigned,
                           bool& exists) {
  Release();
  const std::wstring name = LongPath(path);
  HANDLE file =
      ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  exists = file == INVALID_HANDLE_VALUE &&
           (::GetLastError() == ERROR_FILE_EXISTS || ::GetLastError() == ERROR_ALREADY_EXISTS);
  if (file == INVALID_HANDLE_VALUE) return false;
  file_ = reinterpret_cast<std::intptr_t>(file);
  size_ = size;
  writable_ = true;
  // Setting the end allocates the clusters, so a full disk shows here.
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(size);
  bool ok = size == 0 ||
            (::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) != 0 && ::SetEndOfFile(file) != 0);
  ok = ok && MapWhole(true);
  if (!ok) {
    const DWORD saved = ::GetLastError();
    Release();
    ::DeleteFileW(name.c_str());
    ::SetLastError(saved);
    return false;
  }
  open_ = true;
  return true;
}

// The system writes mapped pages back on its own schedule.
void MappedFile::StartWriteback(std::uint64_t, std::uint64_t) {}

bool MappedFile::Sync() {
  if (!open_ || !writable_) return false;
  if (data_ != nullptr && ::FlushViewOfFile(data_, 0) == 0) return false;
  return ::FlushFileBuffers(AsHandle(file_)) != 0;
}

void MappedFile::AdviseSequential() {}

bool MappedFile::Close() {
  bool ok = open_;
  // Written pages go to the file system before the view does, so that a
  // later FlushFileBuffers of the file covers them.
  if (data_ != nullptr && writable_ && ::FlushViewOfFile(data_, 0) == 0) ok = false;
  if (data_ != nullptr && ::UnmapViewOfFile(data_) == 0) ok = false;
  data_ = nullptr;
  if (mapping_ != kNone && ::CloseHandle(AsHandle(mapping_)) == 0) ok = false;
  mapping_ = kNone;
  if (file_ != kNone && ::CloseHandle(AsHandle(file_)) == 0) ok = false;
  file_ = kNone;
  open_ = writable_ = false;
  size_ = 0;
  return ok;
}

void MappedFile::Release() {
  const DWORD saved = ::GetLastError();
  Close();
  ::SetLastError(saved);
}

}  // namespace launcher
