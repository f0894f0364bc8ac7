// A fixture for the tests of the logs and file operations: an installation
// layout in a temporary directory, made the working directory, with the two
// error-log formats loaded and the cancel state reset.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "files/log.h"
#include "files/string_table.h"
#include "seam/cancel.h"
#include "support/engine_state.h"
#include "support/utf16_files.h"

namespace launcher::testing {

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_messages[MSG_MOVE_FAILED] = u"move %s -> %s";
    g_messages[MSG_COPY_FAILED] = u"copy %s -> %s";
  }

  // A path below config/patcher/ as the engine names it.
  static std::filesystem::path Config(std::string_view name) {
    return std::filesystem::path("../config/patcher") / name;
  }

  // The lines of a UTF-16 log after its byte-order mark, each without "\r\n";
  // fails the test when the file does not start with U+FEFF or a line does
  // not end with "\r\n".
  static std::vector<std::u16string> LogLines(const std::filesystem::path& path) {
    std::u16string units = ReadUtf16Units(path);
    std::vector<std::u16string> lines;
    if (units.empty() || units[0] != u'\uFEFF') {
      ADD_FAILURE() << path << " does not start with a byte-order mark";
      return lines;
    }
    std::size_t pos = 1;
    while (pos < units.size()) {
      std::size_t end = units.find(u"\r\n", pos);
      if (end == std::u16string::npos) {
        ADD_FAILURE() << path << " has an unterminated line";
        break;
      }
      lines.push_back(units.substr(pos, end - pos));
      pos = end + 2;
    }
    return lines;
  }

  // True for "Y/M/D hh:mm:ss": a four-digit year, month and day of one or
  // two digits without a leading zero, two digits for each part of the time.
  static bool IsTimeStamp(std::string_view text) {
    auto digits = [&](std::size_t& pos, std::size_t min, std::size_t max) {
      std::size_t start = pos;
      while (pos < text.size() && pos - start < max && text[pos] >= '0' && text[pos] <= '9') ++pos;
      return pos - start >= min && (max == min || text[start] != '0');
    };
    auto literal = [&](std::size_t& pos, char c) { return pos < text.size() && text[pos++] == c; };
    std::size_t pos = 0;
    return digits(pos, 4, 4) && literal(pos, '/') && digits(pos, 1, 2) && literal(pos, '/') &&
           digits(pos, 1, 2) && literal(pos, ' ') && digits(pos, 2, 2) && literal(pos, ':') &&
           digits(pos, 2, 2) && literal(pos, ':') && digits(pos, 2, 2) && pos == text.size();
  }

  // Removes and checks the leading time stamp of a log line.
  static std::u16string WithoutTimeStamp(const std::u16string& line) {
    std::string text = ToUtf8(line);
    std::size_t space = text.find(' ');
    EXPECT_NE(space, std::string::npos);
    std::size_t end = std::min(text.size(), space + 9);
    EXPECT_TRUE(IsTimeStamp(std::string_view(text).substr(0, end))) << text.substr(0, end);
    return line.substr(std::min(line.size(), end));
  }

  ScopedEngineState state_;
  TempDir root_;
  std::filesystem::path launcherDir_ = MakeInstallLayout(root_.path());
  ScopedCurrentDir cwd_{launcherDir_};
};

}  // namespace launcher::testing
