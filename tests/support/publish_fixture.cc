#include "support/publish_fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

extern char** environ;

namespace launcher::testing {

namespace fs = std::filesystem;

fs::path PublishBinaryPath() {
  if (const char* env = std::getenv("LAUNCHER_PUBLISH_BIN"); env != nullptr && *env != '\0') {
    return env;
  }
  return fs::path(LAUNCHER_BINARY_DIR) / "tools" / "publish" / "launcher-publish";
}

fs::path TestPrivateKeyPath() {
  return fs::path(LAUNCHER_SOURCE_DIR) / "resources" / "keys" / "test-private.pem";
}

fs::path TestPublicKeyPath() {
  return fs::path(LAUNCHER_SOURCE_DIR) / "resources" / "keys" / "test-public.pem";
}

void WriteRelease(const fs::path& releases, int version, const ReleaseFiles& files) {
  const fs::path root = releases / std::to_string(version);
  fs::remove_all(root);
  fs::create_directories(root);
  for (const auto& [path, content] : files) {
    fs::create_directories((root / path).parent_path());
    WriteFileBytes(root / path, content);
  }
}

ProcessResult RunProcess(const fs::path& program, const std::vector<std::string>& args) {
  TempDir capture;
  const std::string outPath = (capture / "out").string();
  const std::string errPath = (capture / "err").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<std::string> argv0;
  argv0.push_back(program.string());
  argv0.insert(argv0.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv0) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + program.string());
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ProcessResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadFileBytes(outPath);
  result.err = ReadFileBytes(errPath);
  return result;
}

ProcessResult RunPublish(const std::vector<std::string>& args) {
  return RunProcess(PublishBinaryPath(), args);
}

fs::path BuildTestServerTree(const fs::path& releases, const fs::path& out, int pid) {
  ProcessResult result =
      RunPublish({"build", "--releases", releases.string(), "--key", TestPrivateKeyPath().string(),
                  "--pid", std::to_string(pid), "--out", out.string()});
  if (result.status != 0) {
    ADD_FAILURE() << "launcher-publish build failed (" << result.status << "):\n"
                  << result.out << result.err;
  }
  return out;
}

}  // namespace launcher::testing
