// Test helpers shared by the downloader tests: a callback that records every
// event with what the transfer showed at that moment.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "files/utf16.h"
#include "net/downloader.h"
#include "support/temp_dir.h"

namespace launcher::testing {

struct RecordedEvent {
  int event = 0;
  std::int64_t offset = 0;
  std::int64_t contentLength = 0;
  int state = 0;
  std::int64_t errorDetail = 0;
  std::string fileAtEvent;  // the target's bytes when the event came
};

class DownloadRecorder {
 public:
  explicit DownloadRecorder(std::filesystem::path target) : target_(std::move(target)) {}

  DownloadCallback Callback() {
    return [this](int event, const Transfer& t) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(target_, ec);
      // Huge (sparse) targets are not copied.
      const bool small = !ec && size <= (64u << 20);
      events.push_back({event, t.offset, t.contentLength, t.state, t.errorDetail,
                        small ? ReadFileBytes(target_) : std::string()});
      return 0;
    };
  }

  // Runs one download into the recorder's target.
  void Fetch(Downloader& downloader, const std::string& url, std::int64_t offset = 0,
             BodySink* sink = nullptr) {
    downloader.Download(Widen(url), FromUtf8Lossy(target_.string()), Callback(), offset, sink);
  }

  std::vector<int> Codes() const {
    std::vector<int> out;
    for (const auto& e : events) out.push_back(e.event);
    return out;
  }
  const RecordedEvent& Last() const { return events.back(); }

  std::vector<RecordedEvent> events;

 private:
  std::filesystem::path target_;
};

// A body sink that keeps what it was given since its last restart.
struct RecordingSink : BodySink {
  void Restart() override {
    bytes.clear();
    ++restarts;
  }
  void Append(std::string_view piece) override { bytes.append(piece); }
  std::string bytes;
  int restarts = 0;
};

// Requests to loopback must not go to a proxy from the environment.
inline void ClearProxyEnvironment() {
  for (const char* name :
       {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    unsetenv(name);
  }
}

}  // namespace launcher::testing
