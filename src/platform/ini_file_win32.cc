#include "platform/ini_file.h"

#include <windows.h>

#include <string>

namespace launcher {
namespace {

// The path in the ANSI code page, or empty when it has a character that
// the code page lacks.
std::string AnsiPath(const std::wstring& wide) {
  const int size = static_cast<int>(wide.size());
  BOOL lossy = FALSE;
  const int bytes =
      ::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, &lossy);
  if (bytes <= 0 || lossy) return {};
  std::string ansi(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, ansi.data(), bytes, nullptr, &lossy);
  return lossy ? std::string() : ansi;
}

std::wstring WideAscii(std::string_view text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

// The system's own profile function, the one the patcher reads the same file
// with. A path outside the ANSI code page goes through the UTF-16 entry
// point, which follows the same rules.
int ReadIniInt(const std::filesystem::path& path, std::string_view section, std::string_view key,
               int defaultValue) {
  // The profile functions look a bare file name up in the Windows
  // directory; a relative path is made explicit so that it names our file.
  std::wstring file = path.wstring();
  if (path.is_relative() && !path.has_parent_path()) file = L".\\" + file;
  const std::string sectionText(section);
  const std::string keyText(key);
  const std::string ansi = AnsiPath(file);
  UINT value = 0;
  if (!ansi.empty()) {
    value =
        ::GetPrivateProfileIntA(sectionText.c_str(), keyText.c_str(), defaultValue, ansi.c_str());
  } else {
    value = ::GetPrivateProfileIntW(WideAscii(section).c_str(), WideAscii(key).c_str(),
                                    defaultValue, file.c_str());
  }
  return static_cast<int>(value);
}

}  // namespace launcher
