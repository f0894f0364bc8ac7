#include "platform/process.h"

#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include <system_error>

namespace launcher {
namespace {

// The parameters as one string that the started program's command line split
// gives back: an argument that is empty or holds a space is quoted. (A
// quotation mark inside an argument cannot be passed this way.)
std::wstring JoinParameters(const std::vector<std::string>& args) {
  std::wstring joined;
  for (const std::string& arg : args) {
    const std::wstring wide =
        std::filesystem::path(std::u8string(arg.begin(), arg.end())).wstring();
    if (!joined.empty()) joined += L' ';
    const bool quote = wide.empty() || wide.find(L' ') != std::wstring::npos;
    if (quote) joined += L'"';
    joined += wide;
    if (quote) joined += L'"';
  }
  return joined;
}

}  // namespace

bool StartDetachedProcess(const std::filesystem::path& program,
                          const std::vector<std::string>& args,
                          const std::filesystem::path& workingDir) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(program, ec);
  if (ec) return false;
  const std::filesystem::path dir = std::filesystem::absolute(workingDir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) return false;
  std::wstring parameters;
  try {
    parameters = JoinParameters(args);
  } catch (const std::system_error&) {
    return false;  // an argument that is not UTF-8
  }
  // The "open" verb starts the program without waiting for it; the program
  // inherits no handle of ours.
  const HINSTANCE result = ::ShellExecuteW(nullptr, L"open", absolute.c_str(),
                                           parameters.empty() ? nullptr : parameters.c_str(),
                                           dir.c_str(), SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

std::filesystem::path ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return std::filesystem::path(buffer);
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace launcher
