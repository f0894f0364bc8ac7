// A screen reader's view of the launcher: on a private Xvfb with a private
// session bus and the AT-SPI bus (at-spi2-core), the window's status text,
// its figures line and the values of both bars are read through AT-SPI
// (python3-pyatspi) while the launcher updates from a real nginx, and the
// window announces the changes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "accessibility_bus.h"
#include "served_install.h"
#include "support/publish_fixture.h"
#include "support/temp_dir.h"
#include "x11_session.h"

namespace launcher::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

struct Read {
  std::string status, detail;
  double total = -1, file = -1;
};

TEST(AccessibilityTest, ScreenReaderReadsTheLinesAndBarsWhileAnUpdateRuns) {
  if (!AccessibilityBus::Installed() || ::access("/usr/bin/python3", X_OK) != 0)
    GTEST_SKIP() << "at-spi2-core, dbus or python3 missing";
  XvfbServer xvfb(1024, 768);
  if (!xvfb.ok()) GTEST_SKIP() << "Xvfb is not available";
  TempDir temp;
  fs::create_directories(temp / "bus");
  AccessibilityBus bus(temp / "bus", xvfb.display());
  ASSERT_TRUE(bus.ok()) << "the accessibility bus did not come up";
  fs::create_directories(temp / "install");
  ServedInstall install(temp / "install", "1m");

  // The reader listens before the launcher starts, as a screen reader
  // does, waits for it, then reads until its window goes.
  const fs::path ready = temp / "reader-ready";
  std::vector<std::string> reader = {"/usr/bin/python3",
                                     std::string(LAUNCHER_SOURCE_DIR) + "/tests/ui/atspi_reader.py",
                                     "QuillmereLauncherClass", "40", ready.string()};
  for (const auto& [name, value] : bus.Environment())
    reader.insert(reader.begin(), name + "=" + value);
  ProcessResult read;
  std::thread readerThread([&] { read = RunProcess("/usr/bin/env", reader); });
  for (int i = 0; i < 400 && !fs::exists(ready); ++i) std::this_thread::sleep_for(25ms);
  std::map<std::string, std::string> env = bus.Environment();
  env["QT_QPA_PLATFORM"] = "";
  auto launcher = install.Start({}, env);
  const int status = launcher->WaitForExit(60s);
  readerThread.join();
  ASSERT_EQ(status, 0);
  ASSERT_EQ(install.Installed(), install.release());
  ASSERT_EQ(read.status, 0) << read.err;

  std::vector<Read> states;
  int valueEvents = 0, nameEvents = 0;
  std::istringstream lines(read.out);
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> f = Fields(line);
    if (f.size() >= 3 && f[0] == "event") {
      if (f[1] == "object:property-change:accessible-value" && f[2] == "progress bar")
        ++valueEvents;
      if (f[1] == "object:property-change:accessible-name" && f[2] == "label") ++nameEvents;
    } else if (f.size() == 5 && f[0] == "state") {
      states.push_back({f[1], f[2], std::stod(f[3]), std::stod(f[4])});
    }
  }
  ASSERT_FALSE(states.empty()) << read.out << read.err;
  const auto any = [&](auto pred) { return std::any_of(states.begin(), states.end(), pred); };
  // The texts of the English table, the figures line among them.
  EXPECT_TRUE(any([](const Read& r) { return r.status == "Downloading..."; })) << read.out;
  EXPECT_TRUE(any([](const Read& r) {
    return r.detail.find(" left ") != std::string::npos &&
           r.detail.find("big.pak") != std::string::npos;
  })) << read.out;
  // The file bar read part way through the large file, and the whole pass
  // done at the end.
  EXPECT_TRUE(any([](const Read& r) { return r.file > 0 && r.file < 100; })) << read.out;
  EXPECT_TRUE(any([](const Read& r) { return r.total == 100; })) << read.out;
  EXPECT_GT(valueEvents, 0) << "no value change announced";
  EXPECT_GT(nameEvents, 0) << "no text change announced";
}

}  // namespace
}  // namespace launcher::testing
