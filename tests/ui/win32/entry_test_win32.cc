// The Windows entry's own rules: the launcher's directory from a module
// path spelled with either separator, and the switches from a Windows
// command line split by the launcher's rules rather than the C runtime's.
#include <filesystem>

#include <gtest/gtest.h>

#include "app/working_directory.h"
#include "platform/command_line.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;

TEST(Win32Entry, DirectoryOfTheExecutable) {
  EXPECT_EQ(DirectoryOfExecutable(L"C:\\Games\\Quill mere\\launcher\\launcher.exe"),
            fs::path(L"C:\\Games\\Quill mere\\launcher"));
  EXPECT_EQ(DirectoryOfExecutable(L"C:/Games/launcher/launcher.exe"),
            fs::path(L"C:/Games/launcher"));
  EXPECT_EQ(DirectoryOfExecutable(L"C:\\launcher.exe"), fs::path(L"C:\\"))
      << "the drive's root, not its current directory";
  EXPECT_EQ(DirectoryOfExecutable(L"launcher.exe"), fs::path());
}

TEST(Win32Entry, SwitchesFromTheWholeCommandLine) {
  // The C runtime would take the backslash before the quote as an escape
  // and join the rest into one argument; the launcher's split does not.
  const Switches s = ParseSwitches(
      SplitCommandLine(u"\"C:\\Games\\launcher\\launcher.exe\" \"FullCheck\"\t/update"));
  EXPECT_EQ(s.fullCheck, 1);
  EXPECT_EQ(s.updateMode, 0) << "a tab does not separate arguments";
  const Switches t = ParseSwitches(SplitCommandLine(u"launcher.exe \"dir\\\" /update"));
  EXPECT_EQ(t.updateMode, 1);
}

}  // namespace
}  // namespace launcher
