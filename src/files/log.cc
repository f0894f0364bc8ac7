#include "files/log.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "files/file_ops.h"
#include "files/paths.h"
#include "files/utf16.h"
#include "files/utf16_text.h"
#include "platform/clock.h"
#include "seam/cancel.h"

namespace launcher {

std::u16string PendingLogLine;

namespace {

constexpr std::int64_t kUpdateLogRotationSize = 300'000;
constexpr int kUpdateLogGenerations = 6;

bool PathExists(std::u16string_view path) {
  std::error_code ec;
  return std::filesystem::symlink_status(ToPath(path), ec).type() !=
             std::filesystem::file_type::not_found &&
         !ec;
}

// Generation `to` takes the content of `from`. A generation that does not
// exist yet (a fresh installation) is no failure: the older one then goes
// too, so that each generation stays one older than the one before it.
bool ShiftGeneration(const std::u16string& from, const std::u16string& to) {
  if (!PathExists(from)) {
    DeleteFileForced(to);
    return false;
  }
  return CopyFileLogged(from, to, 0);
}

void RotateUpdateLog() {
  // Generations are copied, not moved: each copy replaces the next older
  // generation, oldest first, so generation 6's old content is dropped.
  for (int n = kUpdateLogGenerations; n >= 2; --n) {
    ShiftGeneration(UpdateLogGenerationPath(n - 1), UpdateLogGenerationPath(n));
  }
  bool saved = ShiftGeneration(UpdateLogPath, UpdateLogGenerationPath(1));
  // Restarting a log whose copy failed would throw away its lines with no
  // copy left anywhere; keep it and try again at the next size check.
  if (!saved && PathExists(UpdateLogPath)) return;
  DeleteFileForced(UpdateLogPath);
  GuardedSection guard;
  CreateUtf16File(UpdateLogPath);
}

}  // namespace

std::u16string FormatTimeStamp(int year, int month, int day, int hour, int minute, int second) {
  char text[96];
  std::snprintf(text, sizeof text, "%d/%d/%d %02d:%02d:%02d", year, month, day, hour, minute,
                second);
  return Widen(text);
}

std::u16string LogTimeStamp() {
  const LocalTime now = LocalTimeNow();
  return FormatTimeStamp(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

void WriteLog(std::optional<std::u16string_view> text, int checkSize) {
  if (checkSize != 0) {
    std::int64_t size = QueryFileSize(UpdateLogPath);
    if (size == -1 || size >= kUpdateLogRotationSize) RotateUpdateLog();
  }
  if (text.has_value()) {
    PendingLogLine.append(*text);
    return;
  }
  std::u16string line = LogTimeStamp();
  line += PendingLogLine;
  line += u"\r\n";
  // The pending line is consumed whether or not the file can be written.
  PendingLogLine.clear();
  GuardedSection guard;
  CreateUtf16FileIfMissing(UpdateLogPath);
  AppendUtf16(UpdateLogPath, line);
}

void LogText(std::u16string_view text) {
  WriteLog(text, 0);
  WriteLog(std::nullopt, 0);
}

void LogTextWithName(std::u16string_view text, std::u16string_view name) {
  WriteLog(text, 0);
  WriteLog(name, 0);
  WriteLog(std::nullopt, 0);
}

}  // namespace launcher
