#include "torture/torture_bed.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "files/paths.h"
#include "files/string_table.h"
#include "update/full_check.h"
#include "update/full_list_update.h"
#include "update/list_path.h"
#include "update/update_state.h"

namespace launcher::testing {

namespace fs = std::filesystem;

int TortureRounds() {
  const char* text = std::getenv("TORTURE_ROUNDS");
  const int rounds = text != nullptr ? std::atoi(text) : 1;
  return std::max(rounds, 1);
}

unsigned TortureSeed(unsigned fallback) {
  const char* text = std::getenv("TORTURE_SEED");
  return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

TreeState SnapshotTree(const fs::path& dir) {
  TreeState state;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(dir, ec))) return state;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string rel = fs::relative(it->path(), dir).generic_string();
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    const std::string mode = std::to_string(st.st_mode & 07777);
    if (S_ISLNK(st.st_mode)) {
      state[rel] = "l " + fs::read_symlink(it->path(), ec).string();
    } else if (S_ISDIR(st.st_mode)) {
      state[rel] = "d " + mode;
    } else if (S_ISREG(st.st_mode)) {
      // Huge (sparse) files are compared by size: reading them is the
      // fault some cases provoke, not something the check should repeat.
      state[rel] = st.st_size > (64 << 20) ? "f " + mode + " size " + std::to_string(st.st_size)
                                           : "f " + mode + " " + ReadFileBytes(it->path());
    } else {
      state[rel] = "? " + mode;
    }
  }
  return state;
}

std::string DescribeTreeDifference(const TreeState& before, const TreeState& after) {
  std::ostringstream out;
  int shown = 0;
  auto note = [&](const std::string& what, const std::string& path) {
    if (++shown <= 40) out << what << " " << path << "\n";
  };
  for (const auto& [path, value] : before) {
    auto it = after.find(path);
    if (it == after.end()) {
      note("removed", path);
    } else if (it->second != value) {
      note("changed", path);
    }
  }
  for (const auto& [path, value] : after) {
    if (!before.count(path)) note("added", path);
  }
  if (shown > 40) out << "... " << shown - 40 << " more\n";
  return out.str();
}

bool IsKnownConfigPath(const std::string& rel) {
  static const char* const kFiles[] = {"pid.sw",
                                       "patcher",
                                       "patcher/version.sw",
                                       "patcher/newver.sw",
                                       "patcher/inc.sw",
                                       "patcher/ustate.sw",
                                       "patcher/FullList.sw",
                                       "patcher/Listver.sw",
                                       "patcher/verified.sw",
                                       "patcher/statement.sw",
                                       "patcher/manifest.sw",
                                       "patcher/trusted.sw",
                                       "patcher/tempfile.dat",
                                       "patcher/update.log",
                                       "patcher/fileerr.log",
                                       "patcher/fileerr.001",
                                       "patcher/update.cfg",
                                       "patcher/temp",
                                       "patcher/Check"};
  for (const char* name : kFiles) {
    // A kill during a replacement can leave its temporary file.
    if (rel == name || rel == std::string(name) + ".~lnew") return true;
  }
  // Rotated update logs and the staging trees' contents.
  if (rel.rfind("patcher/update.", 0) == 0 && rel.find('/', 8) == std::string::npos) return true;
  return rel.rfind("patcher/temp/", 0) == 0 || rel.rfind("patcher/Check/", 0) == 0;
}

std::string FullListLine(std::string_view digest, std::string_view relPath) {
  return std::string(digest) + " " + DirectoryToken(relPath) + "\n";
}

TortureBed::TortureBed() : tree_(env_.root() / "served") {
  fs::create_directories(Outside());
  WriteFileBytes(Outside("precious.txt"), "outside the installation");
  WriteFileBytes(env_.root() / "launcher" / "stringtab.txt", "\xFF\xFE");
  Install({});
  LocalPid = 1;
}

void TortureBed::Install(const Release& files) {
  std::error_code ec;
  fs::remove_all(env_.Patcher(), ec);
  fs::create_directories(env_.Patcher());
  WriteTree(env_.Patcher(), files);
  WriteFileBytes(env_.Patcher("server/pid.ini"), "[Version]\npid=1\n");
}

Release TortureBed::Installed() const { return ReadTree(env_.Patcher(), "server"); }

std::string TortureBed::FullListContent(const Release& release) {
  std::string list;
  for (const auto& [path, content] : release)
    list += FullListLine(tree_.AddFile(path, content), path);
  return list;
}

void TortureBed::ServeFullList(const std::string& bytes, int version) {
  WriteFileBytes(tree_.root() / "patcher" / "files.md5", bytes);
  tree_.WriteVersion(version);
}

void TortureBed::PublishFull(const Release& release, int version) {
  ServeFullList(ServerTree::Sign(FullListContent(release)), version);
}

void TortureBed::StartNginx() {
  nginx_ = std::make_unique<NginxServer>(tree_.root());
  env_.UseServer(nginx_->BaseUrl());
}

void TortureBed::StartFaultServer(const std::string& routesJson) {
  fault_ = std::make_unique<FaultServer>(routesJson, tree_.root());
  env_.UseServer(fault_->BaseUrl());
}

bool TortureBed::RunFullCheckOnce() {
  env_.NewRun();
  env_.display.Clear();
  LocalPid = 1;
  RunFullCheck(0);
  const auto statuses = env_.display.Texts(DisplayCall::kStatus);
  return !statuses.empty() && statuses.back() == EngineEnv::Msg(MSG_FULL_CHECK_DONE);
}

bool TortureBed::RunFullListUpdateWith(const Downloader::Options& options) {
  env_.NewRun();
  env_.display.Clear();
  LocalPid = 1;
  SharedDownloader = std::make_unique<Downloader>(options);
  if (FetchFullList() != 1) return false;
  SharedDownloader = std::make_unique<Downloader>(options);
  return UpdateFromFullList() == 1;
}

bool TortureBed::StatusShown(int slot) const {
  const auto texts = env_.display.Texts(DisplayCall::kStatus);
  return std::find(texts.begin(), texts.end(), EngineEnv::Msg(slot)) != texts.end();
}

std::size_t TortureBed::FileRequestCount() const {
  std::size_t count = 0;
  if (nginx_ != nullptr) {
    for (const auto& line : SettledAccessLog(*nginx_)) {
      if (line.rfind("GET /patcher/patcher/", 0) == 0) ++count;
    }
  }
  if (fault_ != nullptr) {
    for (const auto& request : fault_->Requests()) {
      if (request.rfind("GET /patcher/patcher/", 0) == 0) ++count;
    }
  }
  return count;
}

TreeState TortureBed::RestState() const {
  TreeState state;
  for (const auto& entry : fs::directory_iterator(env_.root())) {
    const std::string name = entry.path().filename().string();
    if (name == "served" || name == "patcher" || name == "config") continue;
    if (entry.is_directory() && !entry.is_symlink()) {
      state[name] = "d";
      for (const auto& [rel, value] : SnapshotTree(entry.path())) state[name + "/" + rel] = value;
    } else {
      state[name] = "other";
    }
  }
  return state;
}

void TortureBed::ExpectNothingStray(const TreeState& before) const {
  EXPECT_EQ(DescribeTreeDifference(before, RestState()), "") << "outside the working trees";
  for (const auto& [rel, value] : SnapshotTree(env_.root() / "config")) {
    EXPECT_TRUE(IsKnownConfigPath(rel)) << "stray ../config/" << rel;
  }
}

void TortureBed::ExpectPatcherUnchanged(const TreeState& before) const {
  EXPECT_EQ(DescribeTreeDifference(before, PatcherState()), "") << "../patcher/ changed";
}

}  // namespace launcher::testing
