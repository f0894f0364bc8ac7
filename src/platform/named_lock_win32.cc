#include "platform/named_lock.h"

#include <windows.h>

#include <string>

namespace launcher {
namespace {

// Mutex names are UTF-8 here and UTF-16 for the system. A backslash would
// name a namespace ("Global\..."): our names are plain.
std::wstring MutexName(std::string_view name) {
  if (name.empty() || name.find('\\') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    return {};
  }
  const int size = static_cast<int>(name.size());
  const int units =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), size, nullptr, 0);
  if (units <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), size, wide.data(), units);
  return wide;
}

// Creates or opens the named mutex. `existed` tells whether it was there
// before; a mutex of another user that we may not open counts as existing.
HANDLE CreateOrOpen(const std::wstring& name, bool* existed) {
  HANDLE handle = ::CreateMutexW(nullptr, FALSE, name.c_str());
  const DWORD error = ::GetLastError();
  *existed = error == ERROR_ALREADY_EXISTS || (handle == nullptr && error == ERROR_ACCESS_DENIED);
  return handle;
}

}  // namespace

std::unique_ptr<NamedLock> NamedLock::TryAcquire(std::string_view name, Outcome* outcome) {
  Outcome ignored;
  Outcome& result = outcome != nullptr ? *outcome : ignored;
  result = Outcome::kUnavailable;
  const std::wstring wide = MutexName(name);
  if (wide.empty()) return nullptr;
  bool existed = false;
  HANDLE handle = CreateOrOpen(wide, &existed);
  if (existed) {
    if (handle != nullptr) ::CloseHandle(handle);
    result = Outcome::kHeldElsewhere;
    return nullptr;
  }
  if (handle == nullptr) return nullptr;
  result = Outcome::kAcquired;
  return std::unique_ptr<NamedLock>(new NamedLock(handle));
}

bool NamedLock::IsHeld(std::string_view name) {
  const std::wstring wide = MutexName(name);
  if (wide.empty()) return false;
  // The probe creates the mutex when nobody has it; closing the handle
  // removes it again.
  bool existed = false;
  HANDLE handle = CreateOrOpen(wide, &existed);
  if (handle != nullptr) ::CloseHandle(handle);
  return existed;
}

std::string NamedLock::LockFilePath(std::string_view) { return {}; }

NamedLock::~NamedLock() { ::CloseHandle(native_); }

}  // namespace launcher
