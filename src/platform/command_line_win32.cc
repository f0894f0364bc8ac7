#include <windows.h>

#include "platform/command_line.h"

namespace launcher {

CommandLineArgs ProcessCommandLine(int, const char* const*) {
  const wchar_t* line = ::GetCommandLineW();
  if (line == nullptr) return {};
  // wchar_t is a UTF-16 unit on Windows.
  std::u16string units;
  for (const wchar_t* p = line; *p != L'\0'; ++p) units.push_back(static_cast<char16_t>(*p));
  return SplitCommandLine(units);
}

}  // namespace launcher
