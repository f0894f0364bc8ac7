#include "net/transfer_pool.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <utility>

#include "files/utf16.h"
#include "net/http_url.h"
#include "net/transfer_run.h"
#include "platform/system_proxy.h"

namespace launcher {
namespace {

constexpr const char* kAgent = "LiveUpdate Application";
// What libcurl hands over per call at most; split into 4096-byte pieces by
// the transfer, written with one call.
constexpr long kClientBufferBytes = 128 * 1024;
// The longest a round waits for the network before the round hook runs again.
constexpr int kRoundMs = 100;

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// "https://host:443": what transfers share connections by.
std::string OriginOf(std::u16string_view url) {
  HttpUrl split;
  if (!SplitHttpUrl(url, split)) return std::string();
  return std::string(split.tls ? "https://" : "http://") + split.host + ":" +
         std::to_string(split.port);
}

}  // namespace

TransferPool::TransferPool(const Downloader::Options& options)
    : options_(options), budget_(std::max(1, options.maxConnections)) {}

TransferPool::~TransferPool() {
  for (auto& [id, entry] : transfers_) {
    if (entry.handle != nullptr && multi_ != nullptr)
      curl_multi_remove_handle(multi_, entry.handle->curl);
    entry.run->Abandon();
  }
  transfers_.clear();
  for (auto& handle : handles_) curl_easy_cleanup(handle->curl);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

bool TransferPool::Init() {
  if (multi_ != nullptr) return true;
  if (initFailed_) return false;
  InitCurlOnce();
  multi_ = curl_multi_init();
  if (multi_ == nullptr) {
    initFailed_ = true;
    return false;
  }
  curl_multi_setopt(multi_, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
  curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(std::max(1, options_.maxConnections)));
  curl_multi_setopt(multi_, CURLMOPT_MAX_CONCURRENT_STREAMS,
                    static_cast<long>(std::max(1, options_.maxStreams)));
  return true;
}

TransferPool::Handle* TransferPool::TakeHandle() {
  if (!idle_.empty()) {
    Handle* handle = idle_.back();
    idle_.pop_back();
    return handle;
  }
  CURL* c = curl_easy_init();
  if (c == nullptr) return nullptr;
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  // HTTP/2 where an https server offers it through ALPN, HTTP/1.1 otherwise
  // (never HTTP/2 in clear text). The object goes out exactly as given
  // ("./" kept).
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  // The session's agent goes into every request, so the fallback
  // "Mozilla/4.0" (added only to a request without one) never reaches the
  // wire.
  curl_easy_setopt(c, CURLOPT_USERAGENT, kAgent);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, options_.connectTimeoutMs);
  // Receive time-out and minimum rate: the transfer ends when less than the
  // rate arrived on average over the whole period.
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, options_.lowSpeedBytesPerSecond));
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, (options_.receiveTimeoutMs + 999) / 1000));
  // Proxies come from the standard environment variables; any scheme of
  // proxy authentication the proxy offers, with the credentials of the
  // proxy's address. A handle remembers the scheme it settled on, and
  // handles are reused, so only a handle's first request pays for the
  // challenge.
  curl_easy_setopt(c, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
  curl_easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options_.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options_.caFile.c_str());
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kClientBufferBytes);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &TransferRun::OnHeader);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &TransferRun::OnBody);
  handles_.push_back(std::make_unique<Handle>());
  handles_.back()->curl = c;
  return handles_.back().get();
}

void TransferPool::ReleaseHandle(Handle* handle) {
  if (handle == nullptr) return;
  curl_easy_setopt(handle->curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(handle->curl, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(handle->curl, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(handle->curl, CURLOPT_PRIVATE, nullptr);
  idle_.push_back(handle);
}

// The system's proxy for `url` (the Windows settings) when the environment
// names none; libcurl's own choice otherwise. The player's logon answers an
// NTLM or Negotiate proxy (":" lets SSPI choose).
void TransferPool::UseSystemProxy(Handle& handle, std::u16string_view url) {
  std::optional<SystemProxy> proxy = SystemProxyFor(ToUtf8(url));
  if (!proxy && !handle.systemProxy) return;
  CURL* c = handle.curl;
  curl_easy_setopt(c, CURLOPT_PROXY, proxy ? proxy->proxy.c_str() : nullptr);
  curl_easy_setopt(c, CURLOPT_NOPROXY, proxy ? proxy->noProxy.c_str() : nullptr);
  curl_easy_setopt(c, CURLOPT_PROXYUSERPWD, proxy ? ":" : nullptr);
  handle.systemProxy = proxy.has_value();
}

Downloader::TransferId TransferPool::Start(TransferRequest request) {
  const Downloader::TransferId id = nextId_++;
  Entry entry;
  entry.origin = OriginOf(request.url);
  entry.urgent = request.urgent;
  entry.run = std::make_unique<TransferRun>(std::move(request),
                                            [this](CURL* curl, std::u16string_view url) {
                                              for (auto& handle : handles_) {
                                                if (handle->curl == curl)
                                                  UseSystemProxy(*handle, url);
                                              }
                                            });
  transfers_.emplace(id, std::move(entry));
  // Urgent transfers go before every waiting one that is not urgent.
  auto at = waiting_.begin();
  if (transfers_.at(id).urgent) {
    while (at != waiting_.end() && transfers_.at(*at).urgent) ++at;
  } else {
    at = waiting_.end();
  }
  waiting_.insert(at, id);
  return id;
}

int TransferPool::Limit(const Origin& origin, bool urgent) const {
  switch (origin.protocol) {
    case Protocol::kHttp2:
      return std::max(1, options_.maxStreams);
    case Protocol::kHttp1:
      return std::min(budget_.max(), budget_.limit() + (urgent ? 1 : 0));
    case Protocol::kUnknown:
      break;
  }
  return 1;
}

int TransferPool::FreeSlots(std::u16string_view url) const {
  const std::string key = OriginOf(url);
  auto found = origins_.find(key);
  const Origin origin = found == origins_.end() ? Origin{} : found->second;
  int waiting = 0;
  for (Downloader::TransferId id : waiting_) {
    if (transfers_.at(id).origin == key) ++waiting;
  }
  return Limit(origin, false) - origin.running - waiting;
}

void TransferPool::Admit() {
  if (!Init()) {
    // No multi handle: every transfer fails as a network failure would.
    while (!waiting_.empty()) {
      const Downloader::TransferId id = waiting_.front();
      waiting_.pop_front();
      Entry& entry = transfers_.at(id);
      try {
        entry.run->Begin(nullptr);
      } catch (...) {
        transfers_.erase(id);
        throw;
      }
      transfers_.erase(id);
    }
    return;
  }
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    const Downloader::TransferId id = *it;
    Entry& entry = transfers_.at(id);
    Origin& origin = origins_[entry.origin];
    if (origin.running >= Limit(origin, entry.urgent)) {
      if (origin.protocol == Protocol::kHttp1) heldBack_ = true;
      ++it;
      continue;
    }
    it = waiting_.erase(it);
    entry.handle = TakeHandle();
    bool ready = false;
    try {
      ready = entry.run->Begin(entry.handle != nullptr ? entry.handle->curl : nullptr);
    } catch (...) {
      Retire(id);
      throw;
    }
    if (!ready) {
      Retire(id);
      continue;
    }
    curl_multi_add_handle(multi_, entry.handle->curl);
    ++origin.running;
    ++counts_.started;
    int running = 0;
    for (const auto& [key, o] : origins_) running += o.running;
    counts_.mostAtOnce = std::max(counts_.mostAtOnce, running);
  }
}

void TransferPool::Retire(Downloader::TransferId id) {
  auto found = transfers_.find(id);
  if (found == transfers_.end()) return;
  ReleaseHandle(found->second.handle);
  transfers_.erase(found);
}

void TransferPool::Cancel(Downloader::TransferId id) {
  auto found = transfers_.find(id);
  if (found == transfers_.end()) return;
  Entry& entry = found->second;
  if (entry.handle == nullptr) {
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), id), waiting_.end());
  } else {
    curl_multi_remove_handle(multi_, entry.handle->curl);
    --origins_[entry.origin].running;
  }
  entry.run->Abandon();
  Retire(id);
}

void TransferPool::Finish(Downloader::TransferId id, int code) {
  Entry& entry = transfers_.at(id);
  Origin& origin = origins_[entry.origin];
  curl_multi_remove_handle(multi_, entry.handle->curl);
  --origin.running;
  // The answer tells how the server is reached; a transfer that got none
  // (a refused connection) tells nothing.
  const long version = entry.run->httpVersion();
  if (version == CURL_HTTP_VERSION_2_0) {
    origin.protocol = Protocol::kHttp2;
    ++counts_.http2;
  } else if (version != 0) {
    origin.protocol = Protocol::kHttp1;
  }
  if (origin.protocol == Protocol::kHttp1) {
    budget_.AddBytes(entry.run->received() - entry.counted);
    entry.counted = entry.run->received();
    budget_.TransferEnded();
  }
  bool again = false;
  try {
    again = entry.run->Completed(static_cast<CURLcode>(code));
  } catch (...) {
    Retire(id);
    throw;
  }
  if (!again) {
    Retire(id);
    return;
  }
  curl_multi_add_handle(multi_, entry.handle->curl);
  ++origin.running;
}

void TransferPool::FeedBudget() {
  for (auto& [id, entry] : transfers_) {
    if (entry.handle == nullptr) continue;
    auto found = origins_.find(entry.origin);
    if (found == origins_.end() || found->second.protocol != Protocol::kHttp1) continue;
    budget_.AddBytes(entry.run->received() - entry.counted);
    entry.counted = entry.run->received();
  }
  const auto now = std::chrono::steady_clock::now() - epoch_;
  budget_.Update(std::chrono::duration_cast<std::chrono::milliseconds>(now).count(), heldBack_);
  heldBack_ = false;
}

// One round: start what may start, let libcurl move every transfer, and
// finish the ones it is done with (their last events are sent here, outside
// libcurl).
void TransferPool::Drive() {
  Admit();
  if (multi_ == nullptr) return;
  int running = 0;
  curl_multi_perform(multi_, &running);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    const CURLcode code = message->data.result;
    CURL* curl = message->easy_handle;
    for (auto& [id, entry] : transfers_) {
      if (entry.handle != nullptr && entry.handle->curl == curl) {
        Finish(id, code);
        break;
      }
    }
  }
  FeedBudget();
}

void TransferPool::RunUntil(const std::function<bool()>& done) {
  for (;;) {
    Drive();
    if (roundHook_) roundHook_();
    if (done()) return;
    Admit();
    // Nothing left that could make `done` true.
    if (transfers_.empty()) return;
    if (multi_ != nullptr) curl_multi_poll(multi_, nullptr, 0, kRoundMs, nullptr);
  }
}

Downloader::Counts TransferPool::counts() const {
  Downloader::Counts counts = counts_;
  counts.http1Limit = budget_.limit();
  return counts;
}

}  // namespace launcher
