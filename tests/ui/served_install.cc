#include "served_install.h"

#include <fstream>

#include "support/publish_fixture.h"
#include "support/temp_dir.h"

namespace launcher::testing {

namespace fs = std::filesystem;

ServedInstall::ServedInstall(const fs::path& root, const std::string& rate) : root_(root) {
  release_ = {{"data/big.pak", NoiseBytes(3 << 20, 27)}, {"data/small.txt", "a small file"}};
  WriteRelease(root_ / "releases", 1, release_);
  BuildTestServerTree(root_ / "releases", root_ / "served");
  NginxServer::Options options;
  options.extraServerConfig = "limit_rate " + rate + ";";
  nginx_ = std::make_unique<NginxServer>(root_ / "served", options);

  const fs::path launcherDir = MakeInstallLayout(root_ / "game");
  fs::copy_file(fs::path(LAUNCHER_BINARY_DIR) / "src/app/launcher", launcherDir / "launcher");
  const fs::path resources = fs::path(LAUNCHER_SOURCE_DIR) / "resources";
  fs::copy_file(resources / "launcher.bmp", launcherDir / "launcher.bmp");
  fs::copy_file(resources / "stringtab-en.txt", launcherDir / "stringtab.txt");
  const fs::path patcher = root_ / "game" / "patcher";
  fs::copy_file(FAKE_PATCHER_EXE, patcher / "patcher.exe");
  WriteFileBytes(patcher / "server" / "pid.ini", "[Version]\npid=1\n");
  WriteUtf16Lines(patcher / "server" / "updateserver.txt",
                  {"\"local\" \"" + nginx_->BaseUrl() + "\""});
  WriteUtf16Lines(root_ / "game" / "config" / "patcher" / "update.cfg",
                  {"UpdateServerSelect local"});
}

Release ServedInstall::Installed() const {
  Release tree = ReadTree(root_ / "game" / "patcher", "server");
  tree.erase("patcher.exe");
  return tree;
}

std::vector<std::string> ServedInstall::PatcherStarts() const {
  std::vector<std::string> starts;
  std::ifstream in(root_ / "patcher-record.txt");
  for (std::string line; std::getline(in, line);) {
    const std::size_t at = line.find("\targ1=");
    if (at == std::string::npos) continue;
    starts.push_back(line.substr(at + 6, line.find('\t', at + 6) - at - 6));
  }
  return starts;
}

std::unique_ptr<ChildProcess> ServedInstall::Start(const std::vector<std::string>& args,
                                                   std::map<std::string, std::string> env) const {
  env.insert({{"FAKE_PATCHER_RECORD", (root_ / "patcher-record.txt").string()},
              {"FAKE_PATCHER_SECONDS", "0"}});
  return std::make_unique<ChildProcess>((root_ / "game" / "launcher" / "launcher").string(), args,
                                        root_.string(), env);
}

}  // namespace launcher::testing
