// The launcher's command line: its split into at most 10 arguments and the
// scan for the two switches "FullCheck" and "/update". Pure functions over
// their inputs; used once on the main thread at start-up.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace launcher {

inline constexpr int kMaxCommandLineArgs = 10;

// The argument table: entry 0 is the program path as the command line spells
// it. Entries from `count` on are empty.
struct CommandLineArgs {
  int count = 0;
  std::array<std::u16string, kMaxCommandLineArgs> args;
};

// Splits a whole command line (program path included, as the platform hands
// it over in one string). Only U+0020 separates arguments; an argument that
// starts with a quotation mark runs to the next quotation mark (or the end of
// the line) and loses both marks; quotation marks anywhere else are ordinary
// characters. Arguments past the tenth are ignored.
CommandLineArgs SplitCommandLine(std::u16string_view line);

// The same table from main's argv (the program path first), at most 10
// entries. Arguments are taken as UTF-8; bytes that are not valid UTF-8 are
// widened one to one.
CommandLineArgs ArgsFromArgv(int argc, const char* const* argv);

// The process's own command line: on Windows the whole line the system
// holds (GetCommandLineW) through SplitCommandLine, so that quoting follows
// the launcher's rules rather than the C runtime's; on Linux, where the
// system hands over the arguments already split, ArgsFromArgv(argc, argv).
CommandLineArgs ProcessCommandLine(int argc, const char* const* argv);

struct Switches {
  int fullCheck = 0;   // 1 when an argument is exactly "FullCheck"
  int updateMode = 0;  // 1 when an argument is exactly "/update"
};

// Compares arguments 1 .. count-1 with the switches, whole and
// case-sensitive; entry 0 is never compared.
Switches ParseSwitches(const CommandLineArgs& args);

}  // namespace launcher
