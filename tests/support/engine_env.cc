#include "support/engine_env.h"

#include "files/log.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "net/downloader.h"
#include "support/utf16_files.h"
#include "update/list_path.h"
#include "update/update_state.h"

namespace launcher::testing {

namespace {

// The text of a UTF-16 file after its byte-order mark.
std::u16string ReadUtf16(const std::filesystem::path& path) {
  std::u16string text = ReadUtf16Units(path);
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  return text;
}

}  // namespace

EngineEnv::EngineEnv()
    : root_(dir_.path()),
      cwd_(MakeInstallLayout(dir_.path())),
      scopedDisplay_(&display),
      scopedClock_(&clock) {
  for (int slot = 0; slot < kMessageSlots; ++slot) {
    g_messages[static_cast<std::size_t>(slot)] = Msg(slot);
  }
  // The error log's format needs its two paths.
  g_messages[MSG_MOVE_FAILED] = u"S0 %s => %s";
  g_messages[MSG_COPY_FAILED] = u"S1 %s => %s";
  // The lower line keeps the file name alone, as a table without the
  // figures' format has it; the tests of the figures set a format.
  g_messages[MSG_DETAIL_WITH_FIGURES].clear();
}

void EngineEnv::UseServer(const std::string& baseUrl) {
  SetServerBaseUrl(Widen(baseUrl));
  SharedDownloader = std::make_unique<Downloader>();
}

void EngineEnv::NewRun() {
  ResetCancelStateForTesting();
  CurrentListDir.clear();
  PendingLogLine.clear();
}

std::vector<std::u16string> EngineEnv::LogLines() const {
  std::u16string text = ReadUtf16(root_ / "config" / "patcher" / "update.log");
  std::vector<std::u16string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(u"\r\n", start);
    if (end == std::u16string::npos) end = text.size();
    std::u16string line = text.substr(start, end - start);
    // "Y/M/D HH:MM:SS" then the text.
    std::size_t space = line.find(u' ');
    lines.push_back(
        space == std::u16string::npos || space + 9 > line.size() ? line : line.substr(space + 9));
    start = end + 2;
  }
  return lines;
}

std::u16string EngineEnv::ErrorLog() const {
  return ReadUtf16(root_ / "config" / "patcher" / "fileerr.log");
}

std::u16string EngineEnv::Msg(int slot) {
  std::u16string text = u"S";
  for (char c : std::to_string(slot)) text.push_back(static_cast<char16_t>(c));
  return text + u" ";
}

}  // namespace launcher::testing
