#include "platform/command_line.h"

namespace launcher {

CommandLineArgs ProcessCommandLine(int argc, const char* const* argv) {
  return ArgsFromArgv(argc, argv);
}

}  // namespace launcher
