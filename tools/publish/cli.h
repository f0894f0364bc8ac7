// The command line of launcher-publish: parses the subcommand and its
// switches and runs it. Usage text in UsageText(); the commands are
// described in docs/publishing.md.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace launcher::publish {

// Runs one command (`args` without the program name). Returns the process
// exit status: 0 success, 1 failure or refused input, 2 bad usage.
int RunPublishCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

std::string UsageText();

}  // namespace launcher::publish
