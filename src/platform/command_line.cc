#include "platform/command_line.h"

#include <filesystem>
#include <string>
#include <system_error>

namespace launcher {
namespace {

std::u16string ArgumentToUtf16(const char* arg) {
  std::string bytes(arg);
  try {
    // std::filesystem converts its UTF-8 names to UTF-16 and refuses
    // malformed input.
    std::u8string utf8(bytes.begin(), bytes.end());
    return std::filesystem::path(utf8).u16string();
  } catch (const std::system_error&) {
    std::u16string widened;
    for (char c : bytes) widened.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return widened;
  }
}

}  // namespace

CommandLineArgs SplitCommandLine(std::u16string_view line) {
  CommandLineArgs result;
  const std::size_t n = line.size();
  std::size_t i = 0;
  while (i < n) {
    while (i < n && line[i] == u' ') ++i;
    if (i == n) break;
    std::size_t start = i;
    std::size_t end = 0;
    if (line[i] == u'"') {
      start = ++i;
      while (i < n && line[i] != u'"') ++i;
      end = i;
      // Step over the closing quote; the next character, if it is not a
      // space, starts the next argument at once.
      if (i < n) ++i;
    } else {
      while (i < n && line[i] != u' ') ++i;
      end = i;
    }
    // The table has ten places; the rest of the line is ignored.
    if (result.count == kMaxCommandLineArgs) break;
    result.args[static_cast<std::size_t>(result.count++)] = line.substr(start, end - start);
  }
  return result;
}

CommandLineArgs ArgsFromArgv(int argc, const char* const* argv) {
  CommandLineArgs result;
  for (int k = 0; k < argc && k < kMaxCommandLineArgs && argv[k] != nullptr; ++k) {
    result.args[static_cast<std::size_t>(k)] = ArgumentToUtf16(argv[k]);
    result.count = k + 1;
  }
  return result;
}

Switches ParseSwitches(const CommandLineArgs& args) {
  Switches switches;
  for (int k = 1; k < args.count && k < kMaxCommandLineArgs; ++k) {
    const std::u16string& arg = args.args[static_cast<std::size_t>(k)];
    if (arg == u"FullCheck") switches.fullCheck = 1;
    if (arg == u"/update") switches.updateMode = 1;
  }
  return switches;
}

}  // namespace launcher
