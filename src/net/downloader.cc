#include "net/downloader.h"

#include <curl/curl.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "files/utf16.h"
#include "net/http_headers.h"
#include "net/http_url.h"
#include "net/target_file.h"
#include "platform/system_proxy.h"
#include "seam/cancel.h"

// On Windows curl.h brings in <windows.h>, whose FILE_OPEN is a macro; here
// the name is one of our error codes.
#ifdef FILE_OPEN
#undef FILE_OPEN
#endif

namespace launcher {
namespace {

constexpr std::int64_t kReadPiece = 4096;
constexpr std::int64_t kProgressStep = 8192;
// Write limit of a download whose length was not announced.
constexpr std::int64_t kUnknownLengthLimit = 0x40000000;
// A fresh target is sized to its announced length up to this many bytes.
// Where the file system cannot leave the space unwritten (NTFS without the
// sparse mark, FAT), sizing writes zeros: one hostile header must not make
// the launcher fill the disk before a byte of the body arrived.
constexpr std::int64_t kReserveLimit = 64 << 20;
constexpr const char* kAgent = "LiveUpdate Application";
// What libcurl hands over per call at most; split into 4096-byte pieces
// below, written with one call.
constexpr long kClientBufferBytes = 128 * 1024;
// The body of a refusal or a redirect is read and dropped up to this many
// bytes, so that the connection stays usable for the next transfer; a longer
// one ends the connection instead.
constexpr std::int64_t kDiscardLimit = 64 * 1024;
// The already-present prefix of a resumed file goes to a BodySink in pieces
// of this size.
constexpr std::int64_t kPrefixPiece = 256 * 1024;

// A failure the network or the client library reported: state 5.
struct NetworkFailure {
  long code;
};
// A failure that is neither an error code nor the network's (a write error
// on a full disk): ends up as UNEXPECTED.
struct WriteFailure {};

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

bool IsRedirect(long status) { return status == 301 || status == 302 || status == 303; }

// One transfer: lives inside one Download call.
class TransferRun {
 public:
  // `chooseProxy` sets the handle's proxy for an address before a request
  // goes to it.
  using ProxyChoice = std::function<void(std::u16string_view url)>;

  TransferRun(CURL* curl, std::u16string_view url, std::u16string_view localPath,
              const DownloadCallback& callback, std::int64_t resumeOffset, BodySink* sink,
              std::int64_t sizeCap, ProxyChoice chooseProxy)
      : curl_(curl),
        url_(url),
        path_(ToPath(localPath)),
        callback_(callback),
        sink_(sink),
        sizeCap_(sizeCap),
        chooseProxy_(std::move(chooseProxy)) {
    transfer_.offset = resumeOffset < 1 ? 0 : resumeOffset;
  }

  void Run();

  // libcurl's header and body callbacks; `self` is the running transfer.
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);

 private:
  void Execute();
  void DropUnreceivedTail();
  void Perform(const HttpUrl& url);
  bool HeadersDone();
  void CreateTarget();
  void OpenBody();
  void StartSink();
  void AcceptBody(std::string_view data);
  void Notify(int event) {
    if (callback_) callback_(event, transfer_);
  }

  CURL* curl_;  // the downloader's; its connections outlive the transfer
  std::u16string url_;
  std::filesystem::path path_;
  const DownloadCallback& callback_;
  BodySink* sink_;        // may be null
  std::int64_t sizeCap_;  // the most bytes the target may hold; negative: no cap
  ProxyChoice chooseProxy_;
  bool sinkLive_ = false;  // the sink has every byte of the file before transfer_.offset
  Transfer transfer_;

  TargetFile file_;
  bool firstRequest_ = true;
  // Per response.
  std::string headerBlock_;
  long status_ = 0;
  bool stopped_ = false;  // the status decided the outcome; any body is dropped
  std::int64_t discarded_ = 0;
  bool bodyOpen_ = false;
  bool proxyChallenge_ = false;  // a 407 whose body is read and dropped
  std::string location_;
  std::int64_t announced_ = -1;  // Content-Length of the response, -1 if none
  std::int64_t received_ = 0;
  std::int64_t limit_ = 0;
  std::int64_t sinceEvent_ = 0;
  std::vector<std::int64_t> eventOffsets_;  // where the events of one chunk fall
  // An exception raised inside a libcurl callback: it must not unwind through
  // libcurl, so it waits here until curl_easy_perform has returned.
  std::exception_ptr pending_;
};

void TransferRun::Run() {
  try {
    Execute();
  } catch (PATCH::Error_code code) {
    transfer_.state = TRANSFER_ERROR_CODE;
    transfer_.errorDetail = code;
  } catch (const NetworkFailure& failure) {
    transfer_.state = TRANSFER_HTTP_ERROR;
    transfer_.errorDetail = failure.code;
  } catch (const WorkerCancelled&) {
    file_.Close();
    throw;
  } catch (...) {
    transfer_.state = TRANSFER_ERROR_CODE;
    transfer_.errorDetail = PATCH::UNEXPECTED;
  }
  file_.Close();
  Notify(transfer_.state == TRANSFER_ERROR_CODE ? DOWNLOAD_FAILED : DOWNLOAD_DONE);
}

void TransferRun::Execute() {
  HttpUrl url;
  if (!SplitHttpUrl(url_, url)) throw PATCH::BAD_URL;
  if (curl_ == nullptr) throw NetworkFailure{CURLE_FAILED_INIT};
  DropUnreceivedTail();
  chooseProxy_(url_);
  Perform(url);
  if (stopped_ && !bodyOpen_ && IsRedirect(status_) && firstRequest_) {
    // One redirect, by hand, with the same offset: a resumed transfer asks
    // for its range again. Another host may need another proxy (a script
    // chooses by host).
    firstRequest_ = false;
    const std::u16string location = FromUtf8Lossy(location_);
    HttpUrl next;
    if (!SplitHttpUrl(location, next)) throw PATCH::BAD_URL;
    chooseProxy_(location);
    Perform(next);
  }
  if (stopped_) {
    transfer_.state = TRANSFER_HTTP_ERROR;
    transfer_.errorDetail = status_;
    return;
  }
  transfer_.state = TRANSFER_DONE;
}

// A resumed target holds received data up to the resume offset; past it
// lies at most a tail that was reserved and never received (its transfer
// broke off, or the process was killed). That tail is cut before anything
// else happens, so that whatever this transfer's outcome, the file never
// holds bytes nobody sent and its digest reads only what arrived: a
// terabyte announced once must not be read back by every later run.
void TransferRun::DropUnreceivedTail() {
  if (transfer_.offset <= 0) return;
  TargetFile file;
  if (!file.OpenForUpdate(path_)) return;  // the body step reports a missing file
  if (file.Size() > transfer_.offset) file.Truncate(transfer_.offset);
}

void TransferRun::Perform(const HttpUrl& url) {
  headerBlock_.clear();
  status_ = 0;
  stopped_ = false;
  discarded_ = 0;
  bodyOpen_ = false;
  proxyChallenge_ = false;
  announced_ = -1;
  received_ = 0;

  // libcurl's own Accept is replaced by ours (the same text). The range
  // asks for everything from the offset on. Every answer comes from the
  // origin, never from a cache on the way.
  curl_slist* list = curl_slist_append(nullptr, "Accept: */*");
  std::unique_ptr<curl_slist, SlistDeleter> headers(list);
  if (list != nullptr && transfer_.offset > 0) {
    const std::string range = "Range: bytes=" + std::to_string(transfer_.offset) + "-";
    list = curl_slist_append(list, range.c_str());
  }
  if (list != nullptr) list = curl_slist_append(list, "Pragma: no-cache");
  if (list == nullptr) throw NetworkFailure{CURLE_OUT_OF_MEMORY};

  const std::string clientUrl = url.ClientUrl();
  CURL* c = curl_;
  curl_easy_setopt(c, CURLOPT_URL, clientUrl.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
  const CURLcode rc = curl_easy_perform(c);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, nullptr);
  file_.Close();
  if (pending_) {
    std::exception_ptr e = pending_;
    pending_ = nullptr;
    std::rethrow_exception(e);
  }
  // The status decided; whether its body arrived whole does not matter.
  if (stopped_) return;
  if (rc != CURLE_OK) throw NetworkFailure{rc};
  if (proxyChallenge_) {
    // The proxy kept refusing: an answer like any other above 206.
    stopped_ = true;
    return;
  }
  if (!bodyOpen_) throw NetworkFailure{CURLE_WEIRD_SERVER_REPLY};
  // libcurl ends a body at its announced length and reports one cut short
  // (CURLE_PARTIAL_FILE); this holds the same rule should it not.
  if (announced_ >= 0 && received_ < announced_) throw NetworkFailure{CURLE_PARTIAL_FILE};
}

// Called once the header block of a final response is complete. A redirect
// or a refusal decides the outcome here (stopped_); its body is dropped.
bool TransferRun::HeadersDone() {
  long code = 0;
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code);
  status_ = code;
  proxyChallenge_ = code == 407;
  if (proxyChallenge_) {
    // The proxy asks for credentials. libcurl answers the challenge with
    // the proxy's user and password (any scheme) and sends the request again;
    // its next header block is the real answer. Without credentials this
    // stays the final answer.
    return true;
  }
  if (firstRequest_ && IsRedirect(code)) {
    if (FindLocation(headerBlock_, location_) != LocationResult::kFound) throw PATCH::NO_LOCATION;
    stopped_ = true;
    return true;
  }
  if (static_cast<unsigned long>(code) > 206) {
    stopped_ = true;
    return true;
  }
  announced_ = ParseContentLength(headerBlock_);
  // A server that ignores the range sends the whole file: start again from
  // its first byte rather than writing it at the resume offset.
  if (transfer_.offset > 0 && code == 200) transfer_.offset = 0;
  // An answer longer than the cap is refused before a byte of it is taken,
  // and before the target is sized to what the server claims.
  if (sizeCap_ >= 0 && announced_ >= 0 && announced_ > sizeCap_ - transfer_.offset) {
    throw PATCH::DATA_OVERRUN;
  }
  if (transfer_.offset == 0) CreateTarget();
  OpenBody();
  return true;
}

void TransferRun::CreateTarget() {
  transfer_.contentLength = std::max<std::int64_t>(announced_, 0);
  if (!file_.Create(path_)) throw PATCH::FILE_OPEN;
  // Reserve the announced length up front (as far as kReserveLimit).
  const std::int64_t reserve = std::min(transfer_.contentLength, kReserveLimit);
  if (reserve > 0 && !file_.WriteAt(reserve - 1, std::string_view("\0", 1))) {
    throw WriteFailure{};
  }
  Notify(DOWNLOAD_STARTED);
  file_.Close();
}

void TransferRun::OpenBody() {
  if (!file_.OpenForUpdate(path_)) throw PATCH::FILE_OPEN;
  // Checked before any data: a resume offset past the file's end fails even
  // when the server sends nothing.
  if (transfer_.offset > file_.Size()) throw PATCH::DATA_OVERRUN;
  // The write limit is the length this body announced: the whole file for a
  // fresh transfer, the rest of it for a resumed one. A body without a
  // length may make the file grow to kUnknownLengthLimit, and a resumed one
  // as far as it could when it began, so a transfer cut short resumes.
  if (transfer_.offset == 0) {
    limit_ = transfer_.contentLength > 0 ? transfer_.contentLength : kUnknownLengthLimit;
  } else if (announced_ >= 0) {
    limit_ = transfer_.offset + announced_;
  } else {
    limit_ = std::max(transfer_.offset, kUnknownLengthLimit);
  }
  // A capped transfer never writes past its signed size, whatever the
  // server announces.
  if (sizeCap_ >= 0) limit_ = std::min(limit_, sizeCap_);
  sinceEvent_ = 0;
  bodyOpen_ = true;
  StartSink();
}

// The sink's content starts at byte 0: a resumed file's prefix is read back
// once, here, and the body's pieces follow it. A prefix that cannot be read
// whole leaves the sink short of the file, which its owner notices.
void TransferRun::StartSink() {
  sinkLive_ = sink_ != nullptr;
  if (!sinkLive_) return;
  sink_->Restart();
  if (transfer_.offset <= 0) return;
  std::vector<char> buffer(static_cast<size_t>(std::min(transfer_.offset, kPrefixPiece)));
  for (std::int64_t at = 0; at < transfer_.offset;) {
    const std::int64_t want = std::min(kPrefixPiece, transfer_.offset - at);
    const std::int64_t got = file_.ReadAt(at, buffer.data(), static_cast<size_t>(want));
    if (got != want) {
      sinkLive_ = false;
      return;
    }
    sink_->Append(std::string_view(buffer.data(), static_cast<size_t>(got)));
    at += got;
  }
}

// Takes the data in pieces of at most 4096 bytes. Each piece is checked
// against the limit before it counts; the pieces that fit are written in one
// go, and only then are the progress events that fell among them sent (each
// with the offset it fell at), so an event never reports bytes that are not
// in the file yet and a chunk costs one write, not one per event.
void TransferRun::AcceptBody(std::string_view data) {
  std::int64_t cursor = transfer_.offset;
  size_t fits = 0;
  bool overrun = false;
  eventOffsets_.clear();
  while (fits < data.size()) {
    const auto piece = static_cast<std::int64_t>(
        std::min<size_t>(static_cast<size_t>(kReadPiece), data.size() - fits));
    if (cursor + piece > limit_) {
      overrun = true;
      break;
    }
    cursor += piece;
    fits += static_cast<size_t>(piece);
    received_ += piece;
    sinceEvent_ += piece;
    if (sinceEvent_ > kProgressStep) {
      eventOffsets_.push_back(cursor);
      sinceEvent_ = 0;
    }
  }
  if (fits > 0) {
    if (!file_.WriteAt(transfer_.offset, data.substr(0, fits))) throw WriteFailure{};
    if (sinkLive_) sink_->Append(data.substr(0, fits));
  }
  for (std::int64_t at : eventOffsets_) {
    transfer_.offset = at;
    Notify(DOWNLOAD_PROGRESS);
  }
  transfer_.offset = cursor;
  if (overrun) throw PATCH::DATA_OVERRUN;
}

size_t TransferRun::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* run = static_cast<TransferRun*>(self);
  const size_t bytes = size * count;
  try {
    std::string_view line(data, bytes);
    if (line.rfind("HTTP/", 0) == 0) run->headerBlock_.clear();
    run->headerBlock_.append(line);
    if (line != "\r\n" && line != "\n") return bytes;
    long code = 0;
    curl_easy_getinfo(run->curl_, CURLINFO_RESPONSE_CODE, &code);
    if (code >= 100 && code < 200) return bytes;  // interim answer; the real one follows
    return run->HeadersDone() ? bytes : 0;
  } catch (...) {
    run->pending_ = std::current_exception();
    return 0;
  }
}

size_t TransferRun::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* run = static_cast<TransferRun*>(self);
  const size_t bytes = size * count;
  if (run->proxyChallenge_) return bytes;
  if (run->stopped_) {
    run->discarded_ += static_cast<std::int64_t>(bytes);
    return run->discarded_ <= kDiscardLimit ? bytes : 0;
  }
  if (!run->bodyOpen_) return 0;
  try {
    run->AcceptBody(std::string_view(data, bytes));
    return bytes;
  } catch (...) {
    run->pending_ = std::current_exception();
    return 0;
  }
}

}  // namespace

// Owns the one libcurl handle of the downloader, and with it the
// connections (and TLS sessions, DNS answers, the proxy's chosen
// authentication) that libcurl keeps between transfers.
class Downloader::Impl {
 public:
  explicit Impl(const Options& opts) : options(opts) {}
  ~Impl() {
    if (curl != nullptr) curl_easy_cleanup(curl);
  }

  // The handle, made and configured on first use; null when libcurl cannot
  // make one (the transfer then fails like a network failure).
  CURL* Handle() {
    if (curl == nullptr) {
      InitCurlOnce();
      curl = curl_easy_init();
      if (curl != nullptr) Configure(curl);
    }
    return curl;
  }

  // The system's proxy for `url` (the Windows settings) when the
  // environment names none; libcurl's own choice otherwise. The player's
  // logon answers an NTLM or Negotiate proxy (":" lets SSPI choose).
  void UseSystemProxy(std::u16string_view url) {
    std::optional<SystemProxy> proxy = SystemProxyFor(ToUtf8(url));
    if (curl == nullptr || (!proxy && !systemProxy)) return;
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy ? proxy->proxy.c_str() : nullptr);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, proxy ? proxy->noProxy.c_str() : nullptr);
    curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, proxy ? ":" : nullptr);
    systemProxy = proxy.has_value();
  }

  Options options;

 private:
  void Configure(CURL* c) const;

  CURL* curl = nullptr;
  bool systemProxy = false;  // CURLOPT_PROXY is set from the system's settings
};

void Downloader::Impl::Configure(CURL* c) const {
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  // HTTP/1.1: a Host header, persistent connections, chunked bodies; the
  // object goes out exactly as given ("./" kept).
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  // The session's agent goes into every request, so the fallback
  // "Mozilla/4.0" (added only to a request without one) never reaches the
  // wire.
  curl_easy_setopt(c, CURLOPT_USERAGENT, kAgent);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
  // Receive time-out and minimum rate: the transfer ends when less than the
  // rate arrived on average over the whole period.
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, options.lowSpeedBytesPerSecond));
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, (options.receiveTimeoutMs + 999) / 1000));
  // Proxies come from the standard environment variables; any scheme of
  // proxy authentication the proxy offers, with the credentials of the
  // proxy's address. libcurl remembers the scheme it settled on, so only
  // the first request of a run pays for the challenge.
  curl_easy_setopt(c, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
  curl_easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options.caFile.c_str());
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kClientBufferBytes);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &TransferRun::OnHeader);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &TransferRun::OnBody);
}

Downloader::Downloader() : Downloader(Options{}) {}
Downloader::Downloader(const Options& options) : impl_(std::make_unique<Impl>(options)) {}
Downloader::~Downloader() = default;

int Downloader::Download(std::u16string_view url, std::u16string_view localPath,
                         const DownloadCallback& callback, std::int64_t resumeOffset,
                         BodySink* sink, std::int64_t sizeCap) {
  CURL* handle = impl_->Handle();
  TransferRun run(handle, url, localPath, callback, resumeOffset, sink, sizeCap,
                  [this](std::u16string_view address) { impl_->UseSystemProxy(address); });
  run.Run();
  return 0;
}

}  // namespace launcher
