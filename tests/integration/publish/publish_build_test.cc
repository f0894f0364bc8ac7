// launcher-publish build and verify-tree, run as real processes on a real
// release history; the server tree is read back with the engine's own list,
// signature and pack code.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/md5_digest.h"
#include "crypto/signature_verifier.h"
#include "crypto/signer.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "support/nginx_server.h"
#include "support/publish_fixture.h"
#include "support/temp_dir.h"
#include "update/list_path.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

struct ReadEntry {
  char op = 0;  // '+', '-', or 0 in the full list
  std::string digest;
  std::string path;    // decoded, "./..." UTF-8
  std::string served;  // expanded token without "./"
};

// Reads a signed list as the launcher does: verify, then every line before
// the exact marker line through DecodeListPath.
std::vector<ReadEntry> ReadList(const fs::path& file, bool full) {
  SignatureVerifier verifier(ReadFileBytes(TestPublicKeyPath()));
  EXPECT_TRUE(verifier.VerifySignedFile(FromUtf8Lossy(file.string()))) << file;
  std::istringstream lines(TextModeContent(ReadFileBytes(file)));
  std::vector<ReadEntry> entries;
  std::string line;
  CurrentListDir = "./c3RhbGU=/";  // as a previous pass may have left it
  bool first = true;
  while (std::getline(lines, line) && line != kSignatureMarker) {
    EXPECT_LT(line.size() + 1, 399u) << line;
    if (line[0] == '#') continue;
    std::istringstream tokens(line);
    ReadEntry entry;
    std::string digest;
    std::string token;
    tokens >> digest >> token;
    EXPECT_TRUE(!first || token[0] == '/') << "a list starts with a directory entry: " << line;
    first = false;
    if (!full) {
      entry.op = digest[0];
      digest.erase(0, 1);
    }
    entry.digest = digest;
    DecodedListPath decoded = DecodeListPath(token);
    std::u16string safe = decoded.path;
    EXPECT_TRUE(decoded.valid && SanitizeDecodedPath(safe)) << line;
    entry.path = ToUtf8(safe);
    entry.served = token.substr(2);
    entries.push_back(entry);
  }
  return entries;
}

std::string Decompressed(const fs::path& compressed, const fs::path& scratch) {
  const fs::path target = scratch / "decompressed";
  EXPECT_TRUE(DecompressFile(FromUtf8Lossy(compressed.string()), FromUtf8Lossy(target.string())))
      << compressed;
  std::string bytes = ReadFileBytes(target);
  fs::remove(target);
  return bytes;
}

// Relative path (with "./") -> content.
using State = std::map<std::string, std::string>;

State StateOf(const ReleaseFiles& files) {
  State state;
  for (const auto& [path, content] : files) state["./" + path] = content;
  return state;
}

class PublishBuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    history_ = {
        {{"data/main.exe", "main v1"},
         {"setup.ini", "cfg 1"},
         {"Ab c", "space"},
         {"docs/readme.txt", "r1"},
         {"größe/数据.bin", std::string(5000, 'n')}},
        {{"data/main.exe", "main v2"},
         {"setup.ini", "cfg 1"},
         {"Ab c", "space"},
         {"größe/数据.bin", std::string(5000, 'n')},
         {"data/new.dll", "dll 2"}},
        {{"data/main.exe", "main v1"},
         {"setup.ini", "cfg 3"},
         {"Ab c", "space"},
         {"größe/数据.bin", std::string(5000, 'n')},
         {"data/new.dll", "dll 2"}},
        {{"data/main.exe", "main v1"},
         {"setup.ini", "cfg 3"},
         {"a/b/c/deep.txt", "deep"},
         {"größe/数据.bin", std::string(5000, 'n')},
         {"data/new.dll", "dll 2"}},
        {{"data/main.exe", "main v1"},
         {"setup.ini", "cfg 3"},
         {"a/b/c/deep.txt", "deep"},
         {"größe/数据.bin", std::string(6000, 'm')},
         {"data/new.dll", "dll 5"},
         {"copy1.bin", "same bytes"},
         {"sub/copy2.bin", "same bytes"}},
    };
    for (std::size_t i = 0; i < history_.size(); ++i) {
      WriteRelease(dir_ / "releases", static_cast<int>(i + 1), history_[i]);
    }
  }

  fs::path Build(const std::string& name = "srv") {
    return BuildTestServerTree(dir_ / "releases", dir_ / name, 7);
  }

  TempDir dir_;
  std::vector<ReleaseFiles> history_;
};

TEST_F(PublishBuildTest, TreeHoldsEveryPieceAndVerifies) {
  const fs::path srv = Build();
  EXPECT_EQ(ReadFileBytes(srv / "info" / "pid"), "7\n");
  EXPECT_EQ(ReadFileBytes(srv / "patcher" / "version"), "5\n");
  for (int n = 1; n <= 4; ++n)
    EXPECT_TRUE(fs::exists(srv / "patcher" / ("v-" + std::to_string(n) + ".inc"))) << n;
  EXPECT_FALSE(fs::exists(srv / "patcher" / "v-5.inc"));  // no client is 5 versions behind
  // The example path of the formats: data/main.exe is served at its encoded path.
  EXPECT_TRUE(fs::exists(srv / "patcher" / "patcher" / "ZGF0YQ==" / "bWFpbi5leGU="));
  struct stat st {};
  ASSERT_EQ(stat(srv.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);  // readable by the web server's user

  ProcessResult verify =
      RunPublish({"verify-tree", srv.string(), "--pubkey", TestPublicKeyPath().string()});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_NE(verify.out.find("OK"), std::string::npos);
  // Nothing is left next to the served tree.
  for (const auto& item : fs::directory_iterator(dir_.path())) {
    EXPECT_TRUE(item.path().filename() == "srv" || item.path().filename() == "releases")
        << item.path();
  }
}

TEST_F(PublishBuildTest, FullListNamesEveryFileWithItsCompressedDigest) {
  const fs::path srv = Build();
  std::vector<ReadEntry> entries = ReadList(srv / "patcher" / "files.md5", true);
  const State expected = StateOf(history_.back());
  ASSERT_EQ(entries.size(), expected.size());
  for (const ReadEntry& entry : entries) {
    ASSERT_TRUE(expected.contains(entry.path)) << entry.path;
    // The digest the launcher computes from the installed file.
    const fs::path source = dir_ / "releases" / "5" / entry.path.substr(2);
    std::int64_t count = 0;
    unsigned char* buffer = nullptr;
    ASSERT_EQ(CalcCompressFile(FromUtf8Lossy(source.string()), count, buffer), 1);
    char digest[kDigestTextCapacity] = {};
    DigestBuffer(buffer, count, digest);
    ReleasePackBuf(buffer);
    EXPECT_EQ(entry.digest, std::string(digest, 32)) << entry.path;
    const fs::path served = srv / "patcher" / "patcher" / entry.served;
    EXPECT_EQ(Md5Hex(ReadFileBytes(served)), entry.digest);
    EXPECT_EQ(Decompressed(served, dir_.path()), expected.at(entry.path));
  }
}

// A client d versions behind that applies v-n.inc (d <= n) ends with the
// newest version's files, whichever n the server offers it.
TEST_F(PublishBuildTest, EveryClientWithinADistanceReachesTheNewestState) {
  const fs::path srv = Build();
  const State newest = StateOf(history_.back());
  for (int n = 1; n <= 4; ++n) {
    const std::vector<ReadEntry> list =
        ReadList(srv / "patcher" / ("v-" + std::to_string(n) + ".inc"), false);
    for (int d = 1; d <= n; ++d) {
      State state = StateOf(history_[history_.size() - 1 - static_cast<std::size_t>(d)]);
      for (const ReadEntry& entry : list) {
        if (entry.op == '-') {
          state.erase(entry.path);
        } else {
          EXPECT_EQ(entry.op, '+');
          state[entry.path] = Decompressed(srv / "patcher" / "patcher" / entry.served, dir_.path());
        }
      }
      EXPECT_EQ(state, newest) << "v-" << n << ".inc applied " << d << " versions behind";
    }
  }
  // main.exe changed in version 2 and back in 3: the same in 1 and 5, yet a
  // client at 2 needs it, so the list for distance 4 names it.
  bool named = false;
  for (const ReadEntry& entry : ReadList(srv / "patcher" / "v-4.inc", false))
    named |= entry.path == "./data/main.exe";
  EXPECT_TRUE(named);
  // v-1.inc holds exactly the changes of the last step, deletes first.
  std::vector<std::string> lastStep;
  for (const ReadEntry& entry : ReadList(srv / "patcher" / "v-1.inc", false))
    lastStep.push_back(entry.op + entry.path);
  EXPECT_EQ(lastStep, (std::vector<std::string>{"+./copy1.bin", "+./data/new.dll",
                                                "+./größe/数据.bin", "+./sub/copy2.bin"}));
}

TEST_F(PublishBuildTest, SameInputGivesTheSameBytesAndOpensslVerifiesTheLists) {
  const fs::path a = Build("a");
  const fs::path b = Build("b");
  EXPECT_EQ(TreeBytes(a), TreeBytes(b));

  for (const std::string name : {"files.md5", "v-3.inc"}) {
    const std::string signedFile = ReadFileBytes(a / "patcher" / name);
    const std::size_t marker = signedFile.find(std::string(kSignatureMarker) + "\n");
    ASSERT_NE(marker, std::string::npos);
    WriteFileBytes(dir_ / "content", signedFile.substr(0, marker));
    WriteFileBytes(dir_ / "sig.b64", signedFile.substr(marker + kSignatureMarker.size() + 1));
    ProcessResult decode = RunProcess(
        "openssl",
        {"base64", "-d", "-in", (dir_ / "sig.b64").string(), "-out", (dir_ / "sig.bin").string()});
    ASSERT_EQ(decode.status, 0) << decode.err;
    EXPECT_EQ(fs::file_size(dir_ / "sig.bin"), 128u);
    ProcessResult verify = RunProcess(
        "openssl", {"dgst", "-md5", "-verify", TestPublicKeyPath().string(), "-signature",
                    (dir_ / "sig.bin").string(), (dir_ / "content").string()});
    EXPECT_EQ(verify.status, 0) << name << verify.out << verify.err;
  }
}

TEST_F(PublishBuildTest, VerifyTreeFindsTampering) {
  const fs::path srv = Build();
  auto expectProblem = [&](const std::string& what, const std::string& mention) {
    ProcessResult verify =
        RunPublish({"verify-tree", srv.string(), "--pubkey", TestPublicKeyPath().string()});
    EXPECT_EQ(verify.status, 1) << what << "\n" << verify.out;
    EXPECT_NE(verify.out.find(mention), std::string::npos) << what << "\n" << verify.out;
  };
  // One byte of a list's content.
  const fs::path list = srv / "patcher" / "v-2.inc";
  const std::string original = ReadFileBytes(list);
  std::string changed = original;
  changed[5] = changed[5] == 'a' ? 'b' : 'a';
  WriteFileBytes(list, changed);
  expectProblem("list byte", "v-2.inc: signature does not verify");
  WriteFileBytes(list, original);

  // A compressed file, one byte appended.
  const fs::path file = srv / "patcher" / "patcher" / "c2V0dXAuaW5p";
  const std::string bytes = ReadFileBytes(file);
  WriteFileBytes(file, bytes + "x");
  expectProblem("compressed file", "has digest");
  // A compressed file that is gone.
  fs::remove(file);
  expectProblem("missing file", "is missing");
  WriteFileBytes(file, bytes);

  // Verified against another key.
  ProcessResult other =
      RunPublish({"verify-tree", srv.string(), "--pubkey",
                  (fs::path(LAUNCHER_SOURCE_DIR) / "resources/keys/other-public.pem").string()});
  EXPECT_EQ(other.status, 1);
  ProcessResult sound =
      RunPublish({"verify-tree", srv.string(), "--pubkey", TestPublicKeyPath().string()});
  EXPECT_EQ(sound.status, 0) << sound.out;
}

TEST_F(PublishBuildTest, VerifyTreeRefusesAPathThatLeavesTheRoot) {
  const fs::path srv = Build();
  // A correctly signed list whose entry climbs out of the root.
  const std::string digest = Md5Hex(ReadFileBytes(srv / "patcher" / "patcher" / "c2V0dXAuaW5p"));
  WriteFileBytes(dir_ / "evil", "+" + digest + " /Li4=/c2V0dXAuaW5p\n");
  ProcessResult sign =
      RunPublish({"sign", (dir_ / "evil").string(), "--key", TestPrivateKeyPath().string(), "--out",
                  (srv / "patcher" / "v-1.inc").string()});
  ASSERT_EQ(sign.status, 0) << sign.err;
  ProcessResult verify =
      RunPublish({"verify-tree", srv.string(), "--pubkey", TestPublicKeyPath().string()});
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(verify.out.find("does not decode to a safe relative path"), std::string::npos)
      << verify.out;
}

TEST_F(PublishBuildTest, RepublishingReplacesTheServedTreeWhole) {
  const fs::path srv = Build();
  ReleaseFiles next = history_.back();
  next.erase("copy1.bin");
  next["data/main.exe"] = "main v6";
  WriteRelease(dir_ / "releases", 6, next);
  Build();
  EXPECT_EQ(ReadFileBytes(srv / "patcher" / "version"), "6\n");
  EXPECT_FALSE(fs::exists(srv / "patcher" / "patcher" / "Y29weTEuYmlu"));  // copy1.bin is gone
  EXPECT_TRUE(fs::exists(srv / "patcher" / "v-5.inc"));
  ProcessResult verify =
      RunPublish({"verify-tree", srv.string(), "--pubkey", TestPublicKeyPath().string()});
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);

  // A served path that is a symbolic link is switched by replacing the link.
  fs::create_directory(dir_ / "live.new-first");
  fs::create_directory_symlink("live.new-first", dir_ / "live");
  Build("live");
  ASSERT_TRUE(fs::is_symlink(dir_ / "live"));
  EXPECT_TRUE(fs::read_symlink(dir_ / "live").string().starts_with("live.new-"));
  EXPECT_FALSE(fs::exists(dir_ / "live.new-first"));
  EXPECT_EQ(ReadFileBytes(dir_ / "live" / "patcher" / "version"), "6\n");
}

// A rebuild links the served compressed files that still match and gives
// the same tree as a build from scratch; a served file that does not match
// its list or the new content is compressed again.
TEST_F(PublishBuildTest, RebuildReusesOnlyServedFilesThatStillMatch) {
  const fs::path srv = Build();
  ReleaseFiles next = history_.back();
  next["data/main.exe"] = "main v6";  // changed: its served file must not be reused
  WriteRelease(dir_ / "releases", 6, next);
  // A damaged served file (the list still names the old digest).
  const fs::path damaged = srv / "patcher" / "patcher" / "c2V0dXAuaW5p";
  WriteFileBytes(damaged, ReadFileBytes(damaged) + "x");

  ProcessResult fresh = RunPublish({"build", "--releases", (dir_ / "releases").string(), "--key",
                                    TestPrivateKeyPath().string(), "--pid", "7", "--out",
                                    (dir_ / "fresh").string(), "--reuse", "no"});
  ASSERT_EQ(fresh.status, 0) << fresh.err;
  ProcessResult rebuilt =
      RunPublish({"build", "--releases", (dir_ / "releases").string(), "--key",
                  TestPrivateKeyPath().string(), "--pid", "7", "--out", srv.string()});
  ASSERT_EQ(rebuilt.status, 0) << rebuilt.err;
  // 7 files; main.exe changed, setup.ini damaged, the two copies count once.
  EXPECT_NE(rebuilt.err.find("reused 4 compressed files"), std::string::npos) << rebuilt.err;
  EXPECT_EQ(TreeBytes(srv), TreeBytes(dir_ / "fresh"));
}

TEST_F(PublishBuildTest, MissingSnapshotGivesListsNamingEveryFile) {
  fs::remove_all(dir_ / "releases" / "3");
  ProcessResult result = RunPublish({"build", "--releases", (dir_ / "releases").string(), "--key",
                                     TestPrivateKeyPath().string(), "--pid", "7", "--out",
                                     (dir_ / "srv").string(), "--comment", "release five"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("version 3 is missing"), std::string::npos) << result.err;
  const fs::path srv = dir_ / "srv";
  EXPECT_TRUE(ReadFileBytes(srv / "patcher" / "v-2.inc").starts_with("# release five\n-"));
  // v-1 needs versions 4 and 5 only: exact.
  EXPECT_EQ(ReadList(srv / "patcher" / "v-1.inc", false).size(), 4u);
  // v-2 cannot know what changed in 3: every file of 5, and deletes of the
  // paths seen in the kept versions.
  std::map<std::string, char> ops;
  for (const ReadEntry& entry : ReadList(srv / "patcher" / "v-2.inc", false))
    ops[entry.path] = entry.op;
  EXPECT_EQ(ops.size(), history_.back().size() + 2);
  EXPECT_EQ(ops["./docs/readme.txt"], '-');
  EXPECT_EQ(ops["./Ab c"], '-');
  EXPECT_EQ(ops["./setup.ini"], '+');
  ProcessResult verify =
      RunPublish({"verify-tree", srv.string(), "--pubkey", TestPublicKeyPath().string()});
  EXPECT_EQ(verify.status, 0) << verify.out;
}

// Releases 2..5 kept, clients of version 1 still about: the lists beyond
// the kept history are written all the same, and name every file; asked
// for with --max-distance, lists reach further still.
TEST_F(PublishBuildTest, PrunedHistoryReachesOlderClientsWithCompleteLists) {
  fs::remove_all(dir_ / "releases" / "1");
  ProcessResult result = RunPublish({"build", "--releases", (dir_ / "releases").string(), "--key",
                                     TestPrivateKeyPath().string(), "--pid", "7", "--out",
                                     (dir_ / "srv").string(), "--max-distance", "5"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("v-4.inc names every file"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("v-3.inc names every file"), std::string::npos) << result.err;
  const fs::path srv = dir_ / "srv";
  EXPECT_EQ(ReadFileBytes(srv / "patcher" / "v-4.inc"), ReadFileBytes(srv / "patcher" / "v-5.inc"));
  Build();  // without --max-distance: the client of version 1 still has its list
  EXPECT_TRUE(fs::exists(srv / "patcher" / "v-4.inc"));
  EXPECT_FALSE(fs::exists(srv / "patcher" / "v-5.inc"));
  for (int n : {4}) {
    const std::vector<ReadEntry> list =
        ReadList(srv / "patcher" / ("v-" + std::to_string(n) + ".inc"), false);
    State state = StateOf(history_[0]);
    for (const ReadEntry& entry : list) {
      if (entry.op == '-') {
        state.erase(entry.path);
      } else {
        state[entry.path] = Decompressed(srv / "patcher" / "patcher" / entry.served, dir_.path());
      }
    }
    // Only a file that no kept release holds is left behind.
    State expected = StateOf(history_.back());
    expected["./docs/readme.txt"] = "r1";
    EXPECT_EQ(state, expected) << n;
  }
}

TEST_F(PublishBuildTest, UnchangedVersionStillGetsAReadableList) {
  WriteRelease(dir_ / "releases", 6, history_.back());
  fs::create_directory_symlink(dir_ / "releases" / "6", dir_ / "releases" / "7");
  const fs::path srv = Build();
  EXPECT_EQ(ReadFileBytes(srv / "patcher" / "version"), "7\n");
  // Nothing changed from 6 to 7: one current file keeps the list non-empty.
  const std::vector<ReadEntry> list = ReadList(srv / "patcher" / "v-1.inc", false);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].op, '+');
  EXPECT_EQ(ReadList(srv / "patcher" / "v-2.inc", false).size(),
            1u);  // 5 -> 6 is byte-identical too
  ProcessResult verify =
      RunPublish({"verify-tree", srv.string(), "--pubkey", TestPublicKeyPath().string()});
  EXPECT_EQ(verify.status, 0) << verify.out;
}

// The "./" segment of a file address is resolved by the web server; the
// file is served at the encoded path without it, with byte ranges.
TEST_F(PublishBuildTest, NginxServesTheEncodedPathsWithRanges) {
  const fs::path srv = Build();
  NginxServer nginx(srv);
  const fs::path served = srv / "patcher" / "patcher" / "ZGF0YQ==" / "bWFpbi5leGU=";
  const fs::path got = dir_ / "got";
  ProcessResult curl = RunProcess(
      "curl", {"-s", "-0", "--path-as-is", "-r", "3-", "-o", got.string(), "-w", "%{http_code}",
               nginx.BaseUrl() + "patcher/patcher/./ZGF0YQ==/bWFpbi5leGU="});
  ASSERT_EQ(curl.status, 0) << curl.err;
  EXPECT_EQ(curl.out, "206");
  EXPECT_EQ(ReadFileBytes(got), ReadFileBytes(served).substr(3));
}

}  // namespace
}  // namespace launcher::testing
