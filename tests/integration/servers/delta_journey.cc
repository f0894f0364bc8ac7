#include "integration/servers/delta_journey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypto/signer.h"
#include "files/string_table.h"
#include "integration/servers/launcher_run.h"
#include "support/nginx_server.h"
#include "support/publish_fixture.h"
#include "support/tcp_relay.h"
#include "update/delta_index.h"
#include "update/list_path.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kArchive = 2 << 20;
constexpr std::size_t kPack = 256 << 10;

// A newer build of `base`: bytes changed in a few places and fresh bytes
// inserted in the middle, so a patch is about `inserted` long.
std::string Rebuilt(const std::string& base, std::size_t inserted, unsigned seed) {
  std::string result = base;
  for (std::size_t at = 4096; at + 16 < result.size(); at += result.size() / 9) {
    result.replace(at, 16, NoiseBytes(16, seed + static_cast<unsigned>(at)));
  }
  result.insert(result.size() / 2, NoiseBytes(inserted, seed));
  return result;
}

Release Version1() {
  return {
      {"data/archive.pak", NoiseBytes(kArchive, 1)}, {"data/badpatch.pak", NoiseBytes(kPack, 2)},
      {"data/badresult.pak", NoiseBytes(kPack, 3)},  {"data/edited.pak", NoiseBytes(kPack, 4)},
      {"data/other.bin", NoiseBytes(64 << 10, 5)},   {"readme.txt", "release 1"}};
}

Release Version2() {
  Release r = Version1();
  r["data/archive.pak"] = Rebuilt(r["data/archive.pak"], 512 << 10, 10);
  for (const char* name : {"data/badpatch.pak", "data/badresult.pak", "data/edited.pak"}) {
    r[name] = Rebuilt(r[name], 48 << 10, 20);
  }
  r["data/other.bin"] = NoiseBytes(64 << 10, 55);  // changed wholesale: no patch
  r["data/new.bin"] = NoiseBytes(10000, 6);
  r["readme.txt"] = "release 2";
  return r;
}

// served/v1 publishes release 1; served/v2 releases 1 and 2 with patches;
// served/mixed and served/badindex are v2 with the damage the journey
// needs.
class DeltaTrees {
 public:
  DeltaTrees() {
    auto files = [](const Release& r) { return ReleaseFiles(r.begin(), r.end()); };
    WriteRelease(dir_ / "r1", 1, files(Version1()));
    WriteRelease(dir_ / "r2", 1, files(Version1()));
    WriteRelease(dir_ / "r2", 2, files(Version2()));
    fs::create_directories(Root());
    BuildTestServerTree(dir_ / "r1", Root() / "v1");
    BuildTestServerTree(dir_ / "r2", Root() / "v2");
    for (const char* copy : {"mixed", "badindex"}) {
      fs::copy(Root() / "v2", Root() / copy, fs::copy_options::recursive);
    }
    // mixed: one patch file damaged at the same size, one line's result
    // digest wrong under a valid signature.
    std::string content = IndexContent("mixed");
    std::string patched;
    for (const std::string& line : TextLines(content)) {
      std::string out = line;
      if (line.starts_with(EncodeListPath("data/badpatch.pak") + " ")) {
        const fs::path file = Root() / "mixed" / "patcher" / line.substr(line.rfind(' ') + 1);
        std::string bytes = ReadFileBytes(file);
        bytes[bytes.size() / 2] ^= 0x20;
        WriteFileBytes(file, bytes);
      }
      if (line.starts_with(EncodeListPath("data/badresult.pak") + " ")) {
        // The sixth field is the result's SHA-256.
        std::size_t at = 0;
        for (int field = 0; field < 5; ++field) at = out.find(' ', at) + 1;
        out.replace(at, 64, std::string(64, 'a'));
      }
      patched += out + "\n";
    }
    WriteFileBytes(IndexPath("mixed"), *MakeSignedFile(TestPrivateKey(), patched));
    // badindex: one byte of the signed content changed.
    std::string raw = ReadFileBytes(IndexPath("badindex"));
    raw[raw.find("version 2")] = 'V';
    WriteFileBytes(IndexPath("badindex"), raw);
  }

  fs::path Root() const { return dir_ / "served"; }
  fs::path IndexPath(const std::string& tree) const {
    return Root() / tree / "patcher" / std::string(kDeltaIndexName);
  }
  std::string IndexContent(const std::string& tree) const {
    return SignedContent(ReadFileBytes(IndexPath(tree))).value_or("");
  }
  // Where the index of `tree` places the patch of `relPath`.
  std::string PatchPlace(const std::string& tree, const std::string& relPath) const {
    for (const std::string& line : TextLines(IndexContent(tree))) {
      if (line.starts_with(EncodeListPath(relPath) + " ")) return line.substr(line.rfind(' ') + 1);
    }
    return {};
  }

 private:
  TempDir dir_;
};

// The lines of the last run in an update log.
std::vector<std::string> LastSession(const std::vector<std::string>& log) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i].rfind("=====", 0) == 0) start = i;
  }
  return {log.begin() + static_cast<std::ptrdiff_t>(start), log.end()};
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Requests of the access log that start with `prefix`, from entry `from` on.
std::size_t Requests(const NginxServer& nginx, std::size_t from, const std::string& prefix) {
  const std::vector<std::string> log = SettledAccessLog(nginx);
  std::size_t n = 0;
  for (std::size_t i = from; i < log.size(); ++i) {
    if (log[i].starts_with(prefix)) ++n;
  }
  return n;
}

std::string Slot(int slot, const std::string& name = {}) {
  return "S" + std::to_string(slot) + name;
}

}  // namespace

void RunDeltaJourney(const HeadlessProgram& program) {
  DeltaTrees trees;
  NginxServer nginx(trees.Root());
  TcpRelay fast(nginx.port());
  TcpRelay::Options throttled;
  throttled.rate = 1 << 20;
  TcpRelay slow(nginx.port(), throttled);
  const std::string archivePatch = trees.PatchPlace("v2", "data/archive.pak");
  ASSERT_FALSE(archivePatch.empty()) << trees.IndexContent("v2");
  const std::string archiveWhole = "patcher/patcher/" + EncodeListPath("data/archive.pak");

  LauncherRun launcher(program);
  auto toVersion1 = [&] {
    launcher.UseServer(fast.BaseUrl() + "v1/");
    ASSERT_EQ(launcher.Run(true), 0) << launcher.Output();
    // A full check leaves files its list does not name; release 1 has none.
    fs::remove(launcher.PatcherDir() / "data" / "new.bin");
    ASSERT_EQ(Differences(launcher.Installed(), Version1()), "");
  };
  toVersion1();
  if (::testing::Test::HasFatalFailure()) return;

  // A normal update killed a third of the way into the archive's patch.
  launcher.UseServer(slow.BaseUrl() + "v2/");
  const LauncherRun::Killed killed = launcher.RunKilledAtAThird(256 << 10);
  ASSERT_TRUE(killed.killed) << "the update ended before a third of the patch";
  const std::string kind = ReadFileBytes(launcher.ConfigDir() / "tempfile.sw");
  EXPECT_NE(kind.find(archivePatch.substr(6, 32)), std::string::npos)
      << "tempfile.sw names the patch being fetched: " << kind;
  // Run again: the rest of the patch comes, not the whole archive.
  std::size_t seen = SettledAccessLog(nginx).size();
  std::int64_t before = fast.WaitIdle().down;
  launcher.UseServer(fast.BaseUrl() + "v2/");
  ASSERT_EQ(launcher.Run(false), 0) << launcher.Output();
  EXPECT_EQ(Differences(launcher.Installed(), Version2()), "");
  EXPECT_EQ(launcher.InstalledVersion(), "2\r\n");
  const std::int64_t moved = fast.WaitIdle().down - before;
  EXPECT_GE(moved, killed.totalBytes - killed.bytesDone);
  EXPECT_LT(moved, static_cast<std::int64_t>(kArchive / 2)) << "more than patches moved";
  std::vector<std::string> log = LastSession(launcher.LogLines());
  EXPECT_TRUE(Has(log, Slot(MSG_LOG_RESUMING_FILE, "./data/archive.pak")))
      << ::testing::PrintToString(log);
  EXPECT_EQ(Requests(nginx, seen, "GET /v2/patcher/" + archivePatch), 1u);
  EXPECT_EQ(Requests(nginx, seen, "GET /v2/" + archiveWhole), 0u);
  if (::testing::Test::HasFatalFailure()) return;

  // A full check where one base was edited by the player, one patch is
  // damaged and one names a wrong result: only the archive is patched.
  toVersion1();
  if (::testing::Test::HasFatalFailure()) return;
  const fs::path edited = launcher.PatcherDir() / "data" / "edited.pak";
  std::string bytes = ReadFileBytes(edited);
  bytes[100] ^= 1;
  WriteFileBytes(edited, bytes);
  seen = SettledAccessLog(nginx).size();
  launcher.UseServer(fast.BaseUrl() + "mixed/");
  ASSERT_EQ(launcher.Run(true), 0) << launcher.Output();
  EXPECT_EQ(Differences(launcher.Installed(), Version2()), "");
  log = LastSession(launcher.LogLines());
  EXPECT_TRUE(Has(log, Slot(MSG_LOG_WHOLE_NOT_A_BASE, "./data/edited.pak")));
  EXPECT_TRUE(Has(log, Slot(MSG_LOG_WHOLE_PATCH_DIGEST, "./data/badpatch.pak")));
  EXPECT_TRUE(Has(log, Slot(MSG_LOG_WHOLE_PATCH_FAILED, "./data/badresult.pak")));
  EXPECT_TRUE(Has(log, Slot(MSG_LOG_WHOLE_NO_PATCH, "./data/other.bin")));
  EXPECT_TRUE(Has(log, Slot(MSG_LOG_DOWNLOADING_FILE, "./data/archive.pak")));
  EXPECT_FALSE(Has(log, Slot(MSG_DECOMPRESS_FAILED))) << ::testing::PrintToString(log);
  EXPECT_EQ(Requests(nginx, seen, "GET /mixed/patcher/" + archivePatch), 1u);
  EXPECT_EQ(Requests(nginx, seen, "GET /mixed/" + archiveWhole), 0u);
  EXPECT_EQ(Requests(nginx, seen, "GET /mixed/patcher/patcher/"), 6u)
      << "the three fallbacks, the two files without a patch and the new file come whole";
  if (::testing::Test::HasFatalFailure()) return;

  // An index changed after signing is refused whole.
  toVersion1();
  if (::testing::Test::HasFatalFailure()) return;
  seen = SettledAccessLog(nginx).size();
  launcher.UseServer(fast.BaseUrl() + "badindex/");
  ASSERT_EQ(launcher.Run(false), 0) << launcher.Output();
  EXPECT_EQ(Differences(launcher.Installed(), Version2()), "");
  log = LastSession(launcher.LogLines());
  EXPECT_TRUE(Has(log, Slot(MSG_LOG_PATCH_INDEX_REFUSED))) << ::testing::PrintToString(log);
  EXPECT_EQ(Requests(nginx, seen, "GET /badindex/patcher/delta/"), 0u);
  EXPECT_EQ(Requests(nginx, seen, "GET /badindex/patcher/delta.idx"), 1u) << "fetched once a run";
}

}  // namespace launcher::testing
