#include "torture/trust_bed.h"

#include <algorithm>

#include "files/paths.h"
#include "files/string_table.h"
#include "update/list_path.h"
#include "update/normal_update.h"
#include "update/state_files.h"
#include "update/update_state.h"

namespace launcher::testing {

namespace fs = std::filesystem;

SignedRepo* TrustBed::repo_ = nullptr;

const Release& TrustBed::R(int version) {
  // R1; R2 changes b.bin, adds d.txt; R3 changes a.txt, drops c.txt; R4
  // inserts a few bytes into b.bin (a patch is published for it).
  static const std::vector<Release> releases = [] {
    std::vector<Release> r(5);
    r[1] = {{"a.txt", "one"}, {"data/b.bin", NoiseBytes(20000, 1)}, {"c.txt", "shared"}};
    r[2] = r[1];
    r[2]["data/b.bin"] = NoiseBytes(20000, 2);
    r[2]["d.txt"] = "new in two";
    r[3] = r[2];
    r[3]["a.txt"] = "three";
    r[3].erase("c.txt");
    r[4] = r[3];
    r[4]["data/b.bin"].insert(10000, NoiseBytes(64, 4));
    return r;
  }();
  return releases.at(static_cast<std::size_t>(version));
}

void TrustBed::SetUpTestSuite() {
  repo_ = new SignedRepo;
  repo_->Publish(1, R(1), "1");
  repo_->Publish(2, R(2), "2");
  repo_->Publish(2, R(2), "2-both", {1, 2});
  repo_->Publish(2, R(2), "2-pid2", {1}, {"--pid", "2"});
  repo_->Publish(2, R(2), "2-hour", {1}, {"--expires", "1h"});
  repo_->Publish(3, R(3), "3");
  repo_->Publish(3, R(3), "3-next", {2});
  repo_->Publish(4, R(4), "4");
  repo_->Publish(4, R(4), "4-next", {2});
}

void TrustBed::TearDownTestSuite() {
  delete repo_;
  repo_ = nullptr;
}

TrustBed::TrustBed() { UseKeys({1}); }

void TrustBed::UseKeys(const std::vector<int>& keys) {
  std::vector<std::string> pems;
  for (int key : keys) pems.push_back(TestReleasePublicPem(key));
  keys_.reset();
  keys_ = std::make_unique<ScopedReleaseKeys>(pems);
}

void TrustBed::Serve(const std::string& name) {
  repo_->Serve(name, tree_.root());
  requestsAtServe_ = FileRequestCount();
}

bool TrustBed::RunNormal() {
  env_.NewRun();
  env_.display.Clear();
  LocalPid = 1;
  RunNormalUpdate();
  // A first installation goes through the full check.
  return LastStatusIs(MSG_UPDATE_DONE) || LastStatusIs(MSG_FULL_CHECK_DONE);
}

bool TrustBed::LastStatusIs(int slot) const {
  const auto statuses = env_.display.Texts(DisplayCall::kStatus);
  return !statuses.empty() && statuses.back() == EngineEnv::Msg(slot);
}

bool TrustBed::Logged(int slot) const {
  const std::u16string text = EngineEnv::Msg(slot);
  const auto lines = env_.LogLines();
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::u16string& line) { return line.rfind(text, 0) == 0; });
}

void TrustBed::ExpectState(const Release& files, int version, int trusted) const {
  EXPECT_EQ(Installed(), files) << "installed files";
  EXPECT_EQ(ReadNumberFileOrZero(VersionFilePath), version) << "version.sw";
  EXPECT_EQ(ReadNumberFileOrZero(TrustedVersionPath), trusted) << "trusted version";
}

void TrustBed::ExpectRecovery(const std::string& name, int version) {
  SCOPED_TRACE("an honest server recovers: " + name);
  Serve(name);
  EXPECT_TRUE(RunNormal());
  ExpectState(R(version), version, version);
}

std::string FileTarget(std::string_view relPath) {
  return "/patcher/patcher/" + EncodeListPath(relPath);
}

}  // namespace launcher::testing
