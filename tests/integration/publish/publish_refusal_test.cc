// launcher-publish build refuses release trees the launcher cannot read
// safely, names the offending file, and leaves the served tree untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>

#include "support/publish_fixture.h"
#include "support/temp_dir.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

class PublishRefusalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteRelease(dir_ / "releases", 1, {{"data/main.exe", "v1"}, {"setup.ini", "cfg"}});
    BuildTestServerTree(dir_ / "releases", dir_ / "srv");
    served_ = ReadFileBytes(dir_ / "srv" / "patcher" / "files.md5");
    WriteRelease(dir_ / "releases", 2, {{"data/main.exe", "v2"}, {"setup.ini", "cfg"}});
  }

  // Adds something unsafe to version 2, builds, and expects a refusal that
  // names `mention` with the served tree of version 1 left as it was.
  std::string ExpectRefused(const std::function<void(const fs::path&)>& make,
                            const std::string& mention) {
    make(dir_ / "releases" / "2");
    ProcessResult result =
        RunPublish({"build", "--releases", (dir_ / "releases").string(), "--key",
                    TestPrivateKeyPath().string(), "--pid", "1", "--out", (dir_ / "srv").string()});
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_NE(result.err.find(mention), std::string::npos) << result.err;
    EXPECT_EQ(ReadFileBytes(dir_ / "srv" / "patcher" / "version"), "1\n");
    EXPECT_EQ(ReadFileBytes(dir_ / "srv" / "patcher" / "files.md5"), served_);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2)
        << "no build directory is left behind";
    return result.err;
  }

  TempDir dir_;
  std::string served_;
};

TEST_F(PublishRefusalTest, SymbolicLink) {
  ExpectRefused([](const fs::path& v) { fs::create_symlink("setup.ini", v / "link.ini"); },
                "link.ini: symbolic link");
}

TEST_F(PublishRefusalTest, SpecialFile) {
  ExpectRefused([](const fs::path& v) { ASSERT_EQ(mkfifo((v / "pipe").c_str(), 0644), 0); },
                "pipe: special file");
}

TEST_F(PublishRefusalTest, NamesWithControlCharactersBackslashesOrBadUtf8) {
  const std::string err = ExpectRefused(
      [](const fs::path& v) {
        WriteFileBytes(v / "tab\there", "x");
        WriteFileBytes(v / "back\\slash", "x");
        WriteFileBytes(v / "bad\xc3(", "x");
      },
      "3 problem(s)");
  EXPECT_NE(err.find("tab\there: name contains a control character"), std::string::npos) << err;
  EXPECT_NE(err.find("back\\slash: name contains a backslash"), std::string::npos) << err;
  EXPECT_NE(err.find("bad\xc3(: name is not valid UTF-8"), std::string::npos) << err;
}

TEST_F(PublishRefusalTest, PathsTooLongForTheLauncher) {
  ExpectRefused(
      [](const fs::path& v) {
        fs::path deep = v;
        for (int i = 0; i < 30; ++i) deep /= "directory";
        fs::create_directories(deep);
        WriteFileBytes(deep / "f", "x");
      },
      "path too long");
  fs::remove_all(dir_ / "releases" / "2" / "directory");
  ExpectRefused([](const fs::path& v) { WriteFileBytes(v / std::string(200, 'n'), "x"); },
                "name too long");
}

TEST_F(PublishRefusalTest, NamesDifferingOnlyInLetterCase) {
  ExpectRefused([](const fs::path& v) { WriteFileBytes(v / "Setup.INI", "other"); },
                "setup.ini: differs only in letter case from Setup.INI");
  fs::remove(dir_ / "releases" / "2" / "Setup.INI");
  // A file and a directory of the same name in other case collide too.
  ExpectRefused(
      [](const fs::path& v) {
        fs::create_directories(v / "DATA");
        WriteFileBytes(v / "DATA" / "x", "x");
      },
      "differs only in letter case");
}

TEST_F(PublishRefusalTest, OlderVersionsMayHoldCaseVariantsAndEmptyDirectoriesAreIgnored) {
  WriteFileBytes(dir_ / "releases" / "1" / "SETUP.ini", "old");
  fs::create_directories(dir_ / "releases" / "2" / "empty" / "dir");
  BuildTestServerTree(dir_ / "releases", dir_ / "srv");
  EXPECT_EQ(ReadFileBytes(dir_ / "srv" / "patcher" / "version"), "2\n");
  EXPECT_FALSE(fs::exists(dir_ / "srv" / "patcher" / "patcher" / "ZW1wdHk="));
  // Deleting the case variant of version 1 would remove setup.ini on a
  // case-insensitive file system: the list installs setup.ini again after it.
  const std::string list = ReadFileBytes(dir_ / "srv" / "patcher" / "v-1.inc");
  const std::size_t remove = list.find("-00000000000000000000000000000000 /U0VUVVAuaW5p\n+");
  const std::size_t reinstall = list.find(" /c2V0dXAuaW5p\n");
  EXPECT_NE(remove, std::string::npos) << list;
  EXPECT_NE(reinstall, std::string::npos) << list;
  EXPECT_LT(remove, reinstall);
  ProcessResult verify = RunPublish(
      {"verify-tree", (dir_ / "srv").string(), "--pubkey", TestPublicKeyPath().string()});
  EXPECT_EQ(verify.status, 0) << verify.out;
}

TEST_F(PublishRefusalTest, BadKeyOrNoVersions) {
  WriteFileBytes(dir_ / "bad.pem", "not a key");
  ProcessResult badKey =
      RunPublish({"build", "--releases", (dir_ / "releases").string(), "--key",
                  (dir_ / "bad.pem").string(), "--pid", "1", "--out", (dir_ / "srv").string()});
  EXPECT_EQ(badKey.status, 1);
  EXPECT_NE(badKey.err.find("bad.pem: not a PEM RSA private key"), std::string::npos) << badKey.err;
  fs::create_directories(dir_ / "empty");
  ProcessResult none =
      RunPublish({"build", "--releases", (dir_ / "empty").string(), "--key",
                  TestPrivateKeyPath().string(), "--pid", "1", "--out", (dir_ / "srv2").string()});
  EXPECT_EQ(none.status, 1);
  EXPECT_FALSE(fs::exists(dir_ / "srv2"));
  ProcessResult usage = RunPublish({"build", "--releases", (dir_ / "releases").string()});
  EXPECT_EQ(usage.status, 2);
}

}  // namespace
}  // namespace launcher::testing
