// launcher-publish on Windows: the arguments come from the UTF-16 command
// line (split by the C runtime's rules) as UTF-8, so that any path works.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <iostream>
#include <string>
#include <vector>

#include "files/utf16.h"
#include "publish/cli.h"

int main() {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wide != nullptr && i < count; ++i) {
    const std::wstring arg(wide[i]);
    args.push_back(launcher::ToUtf8(std::u16string(arg.begin(), arg.end())));
  }
  ::LocalFree(wide);
  return launcher::publish::RunPublishCommand(args, std::cout, std::cerr);
}
