// A player's installation in a temporary directory, served by a real
// nginx: the built launcher with the repository's skin and English string
// table, the stand-in patcher, and a release published by launcher-publish
// whose large file arrives at a limited rate, so that an update lasts a few
// seconds and can be watched while it runs. Everything is stopped and
// removed with the object. Not thread-safe.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/nginx_server.h"
#include "support/release_server.h"
#include "x11_session.h"

namespace launcher::testing {

class ServedInstall {
 public:
  // `root` must exist; `rate` is nginx's limit_rate ("1m": 1 MiB/s).
  ServedInstall(const std::filesystem::path& root, const std::string& rate);

  const Release& release() const { return release_; }
  // What ../patcher/ holds besides the patcher and server/.
  Release Installed() const;
  // The first argument of each start of the stand-in patcher.
  std::vector<std::string> PatcherStarts() const;

  // Starts the launcher with `args`; `env` on top of this process's (the
  // patcher's record and pace are set here).
  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args,
                                      std::map<std::string, std::string> env) const;

 private:
  std::filesystem::path root_;
  Release release_;
  std::unique_ptr<NginxServer> nginx_;
};

}  // namespace launcher::testing
