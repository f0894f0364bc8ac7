#include "net/transfer_run.h"

#include <algorithm>
#include <utility>

#include "files/utf16.h"
#include "net/http_headers.h"
#include "seam/cancel.h"

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
  bool connect = false;  // no connection could be made at all
};
// A failure that is neither an error code nor the network's (a write error
// on a full disk): ends up as UNEXPECTED.
struct WriteFailure {};

bool IsRedirect(long status) { return status == 301 || status == 302 || status == 303; }

// Whether a failed request never had a connection: a name that does not
// resolve, a refusal, a TLS handshake that failed, or a time-out before the
// connection was made. Such a server is down for this client; a failure
// after the connection stood (a cut, a stall) may be the one transfer's.
bool NeverConnected(CURL* curl, CURLcode rc) {
  switch (rc) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
      return true;
    case CURLE_OPERATION_TIMEDOUT: {
      curl_off_t connected = 0;
      curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connected);
      return connected == 0;
    }
    default:
      return false;
  }
}

}  // namespace

TransferRun::TransferRun(TransferRequest request, ProxyChoice chooseProxy)
    : request_(std::move(request)),
      path_(request_.localPath.empty() ? std::filesystem::path() : ToPath(request_.localPath)),
      chooseProxy_(std::move(chooseProxy)) {
  // Without a file there is nothing to resume into.
  transfer_.offset = request_.resumeOffset < 1 || !HasFile() ? 0 : request_.resumeOffset;
}

TransferRun::~TransferRun() {
  if (headers_ != nullptr) curl_slist_free_all(headers_);
}

bool TransferRun::Begin(CURL* curl) {
  curl_ = curl;
  try {
    HttpUrl url;
    if (!SplitHttpUrl(request_.url, url)) throw PATCH::BAD_URL;
    if (curl_ == nullptr) throw NetworkFailure{CURLE_FAILED_INIT};
    DropUnreceivedTail();
    chooseProxy_(curl_, request_.url);
    Prepare(url);
    return true;
  } catch (...) {
    End(std::current_exception());
    return false;
  }
}

bool TransferRun::Completed(CURLcode rc) {
  try {
    AfterRequest(rc);
    if (stopped_ && !bodyOpen_ && IsRedirect(status_) && firstRequest_) {
      // One redirect, by hand, with the same offset: a resumed transfer asks
      // for its range again. Another host may need another proxy (a script
      // chooses by host).
      firstRequest_ = false;
      const std::u16string location = FromUtf8Lossy(location_);
      HttpUrl next;
      if (!SplitHttpUrl(location, next)) throw PATCH::BAD_URL;
      chooseProxy_(curl_, location);
      Prepare(next);
      return true;
    }
    if (stopped_) {
      transfer_.state = TRANSFER_HTTP_ERROR;
      transfer_.errorDetail = status_;
    } else {
      transfer_.state = TRANSFER_DONE;
    }
  } catch (...) {
    End(std::current_exception());
    return false;
  }
  End(nullptr);
  return false;
}

void TransferRun::Abandon() { file_.Close(); }

// Sets the final state from `failure` (none: already set), closes the file
// and sends the last event, which may throw.
void TransferRun::End(std::exception_ptr failure) {
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (PATCH::Error_code code) {
      transfer_.state = TRANSFER_ERROR_CODE;
      transfer_.errorDetail = code;
    } catch (const NetworkFailure& network) {
      transfer_.state = TRANSFER_HTTP_ERROR;
      transfer_.errorDetail = network.code;
      transfer_.networkFailure = true;
      transfer_.connectFailure = network.connect;
    } catch (const WorkerCancelled&) {
      file_.Close();
      throw;
    } catch (...) {
      transfer_.state = TRANSFER_ERROR_CODE;
      transfer_.errorDetail = PATCH::UNEXPECTED;
    }
  }
  file_.Close();
  Notify(transfer_.state == TRANSFER_ERROR_CODE ? DOWNLOAD_FAILED : DOWNLOAD_DONE);
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

void TransferRun::Prepare(const HttpUrl& url) {
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
  if (headers_ != nullptr) curl_slist_free_all(headers_);
  headers_ = nullptr;
  curl_slist* list = curl_slist_append(nullptr, "Accept: */*");
  headers_ = list;
  if (list != nullptr && transfer_.offset > 0) {
    const std::string range = "Range: bytes=" + std::to_string(transfer_.offset) + "-";
    list = curl_slist_append(list, range.c_str());
  } else if (list != nullptr && FirstBytesOnly()) {
    const std::string range = "Range: bytes=0-" + std::to_string(request_.byteCap - 1);
    list = curl_slist_append(list, range.c_str());
  }
  if (list != nullptr) list = curl_slist_append(list, "Pragma: no-cache");
  if (list == nullptr) throw NetworkFailure{CURLE_OUT_OF_MEMORY};

  const std::string clientUrl = url.ClientUrl();
  curl_easy_setopt(curl_, CURLOPT_URL, clientUrl.c_str());
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
  curl_easy_setopt(curl_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl_, CURLOPT_PRIVATE, this);
  // An https server may offer HTTP/2: a transfer waits for the connection
  // being made to learn whether it can share it, rather than opening one of
  // its own.
  curl_easy_setopt(curl_, CURLOPT_PIPEWAIT, url.tls ? 1L : 0L);
}

void TransferRun::AfterRequest(CURLcode rc) {
  file_.Close();
  if (pending_) {
    std::exception_ptr e = pending_;
    pending_ = nullptr;
    std::rethrow_exception(e);
  }
  // The status decided; whether its body arrived whole does not matter.
  if (stopped_) return;
  if (rc != CURLE_OK) throw NetworkFailure{rc, NeverConnected(curl_, rc)};
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
  curl_easy_getinfo(curl_, CURLINFO_HTTP_VERSION, &httpVersion_);
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
  // A file that would end past the transfer's cap is refused before any of
  // its body is taken; so is one whose first bytes alone were asked for and
  // that is longer than those (or does not say how long it is).
  if (request_.byteCap >= 0 && announced_ >= 0 && transfer_.offset + announced_ > request_.byteCap)
    throw PATCH::DATA_OVERRUN;
  if (FirstBytesOnly() && code == 206) {
    const std::int64_t total = ParseContentRangeTotal(headerBlock_);
    if (total < 0 || total > request_.byteCap) throw PATCH::DATA_OVERRUN;
  }
  if (transfer_.offset == 0) CreateTarget();
  OpenBody();
  return true;
}

void TransferRun::CreateTarget() {
  transfer_.contentLength = std::max<std::int64_t>(announced_, 0);
  if (HasFile()) {
    if (!file_.Create(path_)) throw PATCH::FILE_OPEN;
    // Reserve the announced length up front (as far as kReserveLimit).
    const std::int64_t reserve = std::min(transfer_.contentLength, kReserveLimit);
    if (reserve > 0 && !file_.WriteAt(reserve - 1, std::string_view("\0", 1))) {
      throw WriteFailure{};
    }
  }
  Notify(DOWNLOAD_STARTED);
  file_.Close();
}

void TransferRun::OpenBody() {
  if (HasFile()) {
    if (!file_.OpenForUpdate(path_)) throw PATCH::FILE_OPEN;
    // Checked before any data: a resume offset past the file's end fails
    // even when the server sends nothing.
    if (transfer_.offset > file_.Size()) throw PATCH::DATA_OVERRUN;
  }
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
  if (request_.byteCap >= 0) limit_ = std::min(limit_, request_.byteCap);
  sinceEvent_ = 0;
  bodyOpen_ = true;
  StartSink();
}

// The sink's content starts at byte 0: a resumed file's prefix is read back
// once, here, and the body's pieces follow it. A prefix that cannot be read
// whole leaves the sink short of the file, which its owner notices.
void TransferRun::StartSink() {
  BodySink* sink = request_.sink;
  sinkLive_ = sink != nullptr;
  if (!sinkLive_) return;
  sink->Restart();
  if (transfer_.offset <= 0) return;
  std::vector<char> buffer(static_cast<size_t>(std::min(transfer_.offset, kPrefixPiece)));
  for (std::int64_t at = 0; at < transfer_.offset;) {
    const std::int64_t want = std::min(kPrefixPiece, transfer_.offset - at);
    const std::int64_t got = file_.ReadAt(at, buffer.data(), static_cast<size_t>(want));
    if (got != want) {
      sinkLive_ = false;
      return;
    }
    sink->Append(std::string_view(buffer.data(), static_cast<size_t>(got)));
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
    if (HasFile() && !file_.WriteAt(transfer_.offset, data.substr(0, fits))) throw WriteFailure{};
    if (sinkLive_) request_.sink->Append(data.substr(0, fits));
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
  run->totalReceived_ += static_cast<std::int64_t>(bytes);
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

}  // namespace launcher
