// launcher-publish: builds, signs and checks a patch server tree.
#include <iostream>
#include <string>
#include <vector>

#include "publish/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return launcher::publish::RunPublishCommand(args, std::cout, std::cerr);
}
