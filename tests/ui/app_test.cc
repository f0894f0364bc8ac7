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

  EXPECT_FALSE(SingleInstance::AskRunningInstanceToShow(200)) << "nobody listens yet";
  SingleInstance first;
  ASSERT_EQ(first.role(), SingleInstance::Role::kFirst);
  int shows = 0;
  ASSERT_TRUE(first.Listen([&] { ++shows; }));

  SingleInstance second;
  EXPECT_EQ(second.role(), SingleInstance::Role::kSecond);
  EXPECT_FALSE(second.Listen([] {})) << "only the lock holder listens";

  ASSERT_TRUE(SingleInstance::AskRunningInstanceToShow());
  EXPECT_TRUE(WaitUntil([&] { return shows == 1; }));

  // Anything but the request itself is dropped.
  for (const QByteArray& junk : {QByteArray("hide\n"), QByteArray(4096, 'x'), QByteArray("sho")}) {
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    ASSERT_TRUE(socket.waitForConnected(2000));
    socket.write(junk);
    socket.waitForBytesWritten(2000);
    WaitUntil([] { return false; }, 100);
    socket.abort();
  }
  WaitUntil([] { return false; }, 100);
  EXPECT_EQ(shows, 1);
}

}  // namespace
}  // namespace launcher::testing
