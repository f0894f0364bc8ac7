#include "update/engine_downloader.h"

#include "files/server_select.h"

#include <charconv>
#include <string>

#include "crypto/release_keys.h"
#include "files/paths.h"
#include "files/server_select.h"
#include "files/utf16.h"
#include "files/utf16_text.h"

namespace launcher {
namespace {

bool IsWordSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

std::u16string_view NextWord(std::u16string_view line, std::size_t& pos) {
  while (pos < line.size() && IsWordSpace(line[pos])) ++pos;
  const std::size_t start = pos;
  while (pos < line.size() && !IsWordSpace(line[pos])) ++pos;
  return line.substr(start, pos - start);
}

// A decimal number within [1, maximum], or 0.
long SettingValue(std::u16string_view word, long maximum) {
  const std::string text = ToUtf8(word);
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > maximum) {
    return 0;
  }
  return value;
}

}  // namespace

Downloader::Options EngineDownloaderOptions() {
  Downloader::Options options = Downloader::DefaultOptions();
  if (const int connections = ConfiguredDownloadConnections(); connections > 0)
    options.maxConnections = connections;
  if (ReleaseStatementsRequired()) {
    options.lowSpeedBytesPerSecond = kSignedLowSpeedBytesPerSecond;
    options.receiveTimeoutMs = kSignedLowSpeedSeconds * 1000;
  }
  Utf16LineReader reader(UpdateCfgPath);
  std::u16string line;
  while (reader.ReadLine(line)) {
    std::size_t pos = 0;
    const std::u16string_view key = NextWord(line, pos);
    const std::u16string_view value = NextWord(line, pos);
    if (key == u"LowSpeedLimit") {
      if (const long rate = SettingValue(value, 100L << 20); rate != 0) {
        options.lowSpeedBytesPerSecond = rate;
      }
    } else if (key == u"LowSpeedTime") {
      if (const long seconds = SettingValue(value, 3600); seconds != 0) {
        options.receiveTimeoutMs = seconds * 1000;
      }
    }
  }
  return options;
}

std::unique_ptr<Downloader> NewEngineDownloader() {
  return std::make_unique<Downloader>(EngineDownloaderOptions());
}

}  // namespace launcher
