// The process entry's pieces: the launcher's directory from its executable
// path, and the show request between a second launcher and the first.
#include <QCoreApplication>
#include <QFile>
#include <QLocalSocket>
#include <cstdlib>
#include <filesystem>

#include "app/qt/single_instance.h"
#include "app/working_directory.h"
#include "qt_test_app.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;

TEST(WorkingDirectoryTest, DirectoryIsThePathUpToTheLastSlash) {
  EXPECT_EQ(DirectoryOfExecutable("/opt/game/launcher/launcher"), fs::path("/opt/game/launcher"));
  EXPECT_EQ(DirectoryOfExecutable("/launcher"), fs::path("/"));
  EXPECT_EQ(DirectoryOfExecutable("/opt/my game/la\\un cher"), fs::path("/opt/my game"))
      << "a backslash is part of a Linux file name";
  EXPECT_EQ(DirectoryOfExecutable("launcher"), fs::path());
  EXPECT_EQ(DirectoryOfExecutable(""), fs::path());
}

// A private runtime directory, so the lock and socket of this test are its
// own.
class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    runtime_ = temp_ / "run";
    fs::create_directory(runtime_);
    fs::permissions(runtime_, fs::perms::owner_all);
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old != nullptr) oldRuntime_ = old;
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  }
  void TearDown() override {
    if (oldRuntime_.empty()) {
      unsetenv("XDG_RUNTIME_DIR");
    } else {
      setenv("XDG_RUNTIME_DIR", oldRuntime_.c_str(), 1);
    }
  }

  TempDir temp_;
  fs::path runtime_;
  std::string oldRuntime_;
};

TEST_F(SingleInstanceTest, SecondInstanceAsksTheFirstToShow) {
  // Left over by a launcher that was killed: must not stop the next one.
  const QString socketPath = ShowRequestSocketPath();
  ASSERT_TRUE(socketPath.startsWith(QString::fromStdString(runtime_.string())));
  {
    QFile stale(socketPath);
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  }

  EXPECT_FALSE(SingleInstance::AskRunningInstanceToShow({}, 200)) << "nobody listens yet";
  SingleInstance first;
  ASSERT_EQ(first.role(), SingleInstance::Role::kFirst);
  std::vector<ShowRequest> shows;
  ASSERT_TRUE(first.Listen([&](const ShowRequest& request) { shows.push_back(request); }));

  SingleInstance second;
  EXPECT_EQ(second.role(), SingleInstance::Role::kSecond);
  EXPECT_FALSE(second.Listen([](const ShowRequest&) {})) << "only the lock holder listens";

  // The second start's time stamp and activation token reach the first.
  const QByteArray token = "kwin-42_TIME77";
  ASSERT_TRUE(SingleInstance::AskRunningInstanceToShow(
      {.userTime = 4000000000u, .activationToken = token}));
  ASSERT_TRUE(WaitUntil([&] { return shows.size() == 1; }));
  EXPECT_EQ(shows[0].userTime, 4000000000u);
  EXPECT_EQ(shows[0].activationToken, token);
  // Without either, and from a launcher that sends the bare word.
  ASSERT_TRUE(SingleInstance::AskRunningInstanceToShow({.activationToken = "two words"}));
  ASSERT_TRUE(WaitUntil([&] { return shows.size() == 2; }));
  EXPECT_EQ(shows[1].userTime, 0u);
  EXPECT_TRUE(shows[1].activationToken.isEmpty()) << "a token that cannot travel is left out";
  EXPECT_TRUE(ShowRequest::Parse("show\n").has_value());

  // Anything but a request is dropped.
  for (const QByteArray& junk : {QByteArray("hide\n"), QByteArray(4096, 'x'), QByteArray("sho"),
                                 QByteArray("show 12\n"), QByteArray("show 99999999999 -\n"),
                                 QByteArray("show 1 a\tb\n"), QByteArray("show x -\n")}) {
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    ASSERT_TRUE(socket.waitForConnected(2000));
    socket.write(junk);
    socket.waitForBytesWritten(2000);
    WaitUntil([] { return false; }, 100);
    socket.abort();
  }
  WaitUntil([] { return false; }, 100);
  EXPECT_EQ(shows.size(), 2u);
}

}  // namespace
}  // namespace launcher::testing
