// The error log: failed moves and copies, with one backup generation.
#include <cstdint>

#include "files/file_ops.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16_text.h"
#include "seam/cancel.h"

namespace launcher {
namespace {

constexpr std::int64_t kErrorLogRotationSize = 1'000'000;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

std::u16string FormatTwoPaths(std::u16string_view format, std::u16string_view first,
                              std::u16string_view second) {
  // The format comes from the installation's string table. It is never given
  // to a printf-style formatter: only the first two "%s" are filled, so a
  // stray conversion cannot read a missing argument or write through "%n".
  std::u16string out;
  int filled = 0;
  for (std::size_t i = 0; i < format.size() && out.size() <= kMaxFormattedMessageUnits; ++i) {
    char16_t next = i + 1 < format.size() ? format[i + 1] : u'\0';
    if (format[i] == u'%' && next == u'%') {
      // "%%" is kept as a pair, so "%%s" is not taken for a conversion.
      out += u"%%";
      ++i;
    } else if (filled < 2 && format[i] == u'%' && next == u's') {
      out += filled == 0 ? first : second;
      ++filled;
      ++i;
    } else {
      out += format[i];
    }
  }
  if (out.size() > kMaxFormattedMessageUnits) {
    out.resize(kMaxFormattedMessageUnits);
    if (IsHighSurrogate(out.back())) out.pop_back();
  }
  return out;
}

void LogFileOperationFailure(int messageSlot, std::u16string_view source,
                             std::u16string_view target) {
  std::u16string_view format;
  if (messageSlot >= 0 && messageSlot < kMessageSlots) {
    format = g_messages[static_cast<std::size_t>(messageSlot)];
  }
  std::u16string line = LogTimeStamp();
  line += FormatTwoPaths(format, source, target);
  line += u"\r\n";
  GuardedSection guard;
  // A new error log gets its byte-order mark before the first line, so that
  // its readers (which skip the first unit) do not lose a character.
  CreateUtf16FileIfMissing(ErrorLogPath);
  AppendUtf16(ErrorLogPath, line);
}

void RotateErrorLog() {
  std::int64_t size = QueryFileSize(ErrorLogPath);
  if (size == -1) {
    CreateUtf16FileIfMissing(ErrorLogPath);
    return;
  }
  // The log restarts only when its backup holds its lines.
  if (size > kErrorLogRotationSize && CopyFileLogged(ErrorLogPath, ErrorLogBackupPath, 0)) {
    CreateUtf16File(ErrorLogPath);
  }
}

}  // namespace launcher
