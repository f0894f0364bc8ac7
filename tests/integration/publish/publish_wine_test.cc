// launcher-publish.exe (the windows build) under Wine publishes, from the
// same releases and key, the tree this tree's launcher-publish does, byte
// for byte (the compressed form is fixed, PKCS #1 v1.5 signatures are
// deterministic); a second publish switches the served tree whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/publish_fixture.h"
#include "support/temp_dir.h"
#include "support/windows_build.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

fs::path WindowsPublisher() {
  return WindowsBuildTree() / "tools" / "publish" / "launcher-publish.exe";
}

ProcessResult RunWindowsPublish(const std::vector<std::string>& args) {
  std::vector<std::string> all = {WindowsPublisher().string()};
  all.insert(all.end(), args.begin(), args.end());
  return RunUnderWine(all);
}

TEST(PublishWineTest, TheWindowsPublisherGivesTheSameTreeAndSwitchesItOnRepublish) {
  ASSERT_TRUE(fs::exists(WindowsPublisher())) << WindowsPublisher() << ": run make windows";
  TempDir dir;
  ReleaseFiles files = {{"data/main.exe", "main v1"},
                        {"setup.ini", "cfg 1"},
                        {"Ab c", "space"},
                        {"größe/数据.bin", std::string(300000, 'n') + "end"},
                        {"copy1.bin", "same bytes"},
                        {"sub/copy2.bin", "same bytes"}};
  WriteRelease(dir / "releases", 1, files);
  files["data/main.exe"] = "main v2";
  files.erase("Ab c");
  WriteRelease(dir / "releases", 2, files);

  auto publish = [&](int version) {
    const std::string pid = "7";
    ProcessResult onLinux = RunPublish({"build", "--releases", (dir / "releases").string(), "--key",
                                        TestPrivateKeyPath().string(), "--pid", pid, "--out",
                                        (dir / "linux").string()});
    ASSERT_EQ(onLinux.status, 0) << onLinux.err;
    ProcessResult windows = RunWindowsPublish({"build", "--releases", WinePath(dir / "releases"),
                                               "--key", WinePath(TestPrivateKeyPath()), "--pid",
                                               pid, "--out", WinePath(dir / "srv")});
    ASSERT_EQ(windows.status, 0) << windows.out << windows.err;
    EXPECT_NE(windows.out.find("published version " + std::to_string(version)), std::string::npos)
        << windows.out;
    EXPECT_NE(windows.out.find(version == 2 ? "created" : "replaced"), std::string::npos)
        << windows.out;
    EXPECT_EQ(TreeBytes(dir / "srv"), TreeBytes(dir / "linux"));
  };
  publish(2);

  files["setup.ini"] = "cfg 3";
  files.erase("copy1.bin");
  WriteRelease(dir / "releases", 3, files);
  publish(3);
  EXPECT_EQ(ReadFileBytes(dir / "srv" / "patcher" / "version"), "3\n");
  // Nothing is left beside the served tree: no build, no old tree, no journal.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);

  // "aaa" and "aaG" are served as "YWFh" and "YWFH": Wine, like Windows,
  // ignores letter case in names, so the build is refused and the tree kept.
  files["aaa"] = "one";
  files["aaG"] = "two";
  WriteRelease(dir / "releases", 4, files);
  ProcessResult refused = RunWindowsPublish({"build", "--releases", WinePath(dir / "releases"),
                                             "--key", WinePath(TestPrivateKeyPath()), "--pid", "7",
                                             "--out", WinePath(dir / "srv")});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("case-sensitive file system"), std::string::npos) << refused.err;
  EXPECT_EQ(ReadFileBytes(dir / "srv" / "patcher" / "version"), "3\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);

  ProcessResult verify = RunWindowsPublish(
      {"verify-tree", WinePath(dir / "srv"), "--pubkey", WinePath(TestPublicKeyPath())});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
}

}  // namespace
}  // namespace launcher::testing
