// HTTP downloader: fetches URLs into local files, with an optional resume
// offset, and reports what happens through a callback. Download fetches one
// URL synchronously on the calling thread; Start, RunUntil and Cancel run
// several transfers at once, driven by the same thread (libcurl's multi
// interface: no thread of the downloader's own). libcurl stays inside net/.
//
// On the wire every request is HTTP/1.1, or HTTP/2 where an https server
// offers it (ALPN), with the object exactly as given ("./" segments kept),
// "Host", "User-Agent: LiveUpdate Application" (the session's agent; the
// fallback agent is never needed), "Accept: */*", a range header of the form
// "Range: bytes=4096-" when resuming, and "Pragma: no-cache"
// (docs/formats.md shows the bytes). A plain http address never uses HTTP/2.
// A body ends at its announced length (Content-Length, or the end of a
// chunked body); one cut short of it is a network failure
// (CURLE_PARTIAL_FILE, 18) whose bytes stay in the file for the next attempt
// to resume; a body without a length ends when the server closes the
// connection. Redirects (301, 302, 303) are followed once, by hand, with the
// range sent again; the target is the Location header's value. "http" and
// "https" addresses are accepted ("https" verifies the server's certificate
// against the system's store or Options::caFile); any other scheme cannot be
// split (BAD_URL). Proxies come from the environment as libcurl reads it
// (http_proxy, https_proxy, all_proxy, no_proxy; https through CONNECT), with
// any authentication scheme the proxy offers and the credentials of the
// proxy's address. On Windows, when the environment names no proxy, the
// system's settings give it (platform/system_proxy.h), looked up for the
// address each transfer starts with (a redirect keeps that proxy; the bypass
// list still applies).
//
// A server that ignores the range of a resumed request and sends the whole
// file (status 200) makes the transfer start again at byte 0, with a fresh
// DOWNLOAD_STARTED. Network failures end in state 5 with the CURLcode
// number as errorDetail.
//
// Connections: the downloader keeps its connections (and TLS sessions) for
// its whole life, so a run pays for a connection once rather than per file.
// Transfers to an https server that speaks HTTP/2 share one connection (up
// to Options::maxStreams at once); to any other server each running
// transfer has an HTTP/1.1 connection of its own, at most
// Options::maxConnections, fewer while more do not raise the rate at which
// bytes arrive (connection_budget.h). A connection the server has closed
// meanwhile is replaced without a word.
//
// Threading: a Downloader serves one thread at a time; it may pass from one
// thread to another between calls, but two threads must not use it at once.
// Every callback runs on that thread, inside Download or RunUntil. Download
// and RunUntil must not be called from inside a callback; Start may be.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace launcher {

namespace PATCH {
// Failures raised inside one transfer; they never leave Download.
enum Error_code : int {
  BAD_URL = 1,       // the URL cannot be split into server, port and object
  NO_LOCATION = 2,   // a redirect answer without a usable Location header
  DATA_OVERRUN = 3,  // a read would carry the data past the end of the local file
  FILE_OPEN = 4,     // the local file cannot be created or opened for update
  UNEXPECTED = 7,    // any other failure inside the transfer
};
}  // namespace PATCH

enum DownloadEvent : int {
  DOWNLOAD_STARTED = 1,   // target created and sized (fresh downloads only)
  DOWNLOAD_PROGRESS = 2,  // more than 8192 bytes written since the last event
  DOWNLOAD_DONE = 3,      // ended without an error code: state 3 or 5
  DOWNLOAD_FAILED = 4,    // ended in state 4; errorDetail holds the error code
};

enum TransferState : int {
  TRANSFER_RUNNING = 0,
  TRANSFER_DONE = 3,
  TRANSFER_ERROR_CODE = 4,  // failed with a PATCH::Error_code
  TRANSFER_HTTP_ERROR = 5,  // failed with an HTTP status above 206 or a network error
};

// What a callback may read of the transfer it is given; valid only during
// the call.
struct Transfer {
  std::int64_t offset = 0;         // bytes of the target that hold received data
  std::int64_t contentLength = 0;  // Content-Length of a fresh download, 0 if unknown
  int state = TRANSFER_RUNNING;
  std::int64_t errorDetail = 0;  // error code (state 4), HTTP status or network error (5)
  // State 5: the network failed (errorDetail is the client's error number),
  // not the server's answer (an HTTP status).
  bool networkFailure = false;
  // A network failure before any connection stood: the name did not
  // resolve, the connection was refused or timed out, the TLS handshake
  // failed.
  bool connectFailure = false;
};

// Runs on the downloading thread, inside Download. May throw the engine's
// WorkerCancelled; the downloader then aborts the transfer, closes the file
// and rethrows it out of Download once libcurl has returned; no further
// event is sent. The bytes a DOWNLOAD_PROGRESS reports are in the file
// (written to the operating system) before the event.
using DownloadCallback = std::function<int(int event, const Transfer& transfer)>;

// Sees the target file's content in file order while a transfer writes it,
// so a caller can take a digest of the file without reading it again. When
// a body starts, Restart is called and, for a resumed transfer, the bytes
// the file already holds before the resume offset are read once and given
// to Append; then every piece of the body that is written is given to
// Append, right after it is in the file. A server that ignores the range
// makes the content start again: Restart once more. So after a transfer the
// bytes given since the last Restart are the target's first bytes, in
// order; whether they are all of it (the file may hold more, say a reserved
// tail or data a broken transfer never replaced) is for the caller to check
// against the file's size. Should the file's prefix not be readable, nothing
// more is given. Called on the downloading thread, inside Download; must
// not throw.
class BodySink {
 public:
  virtual ~BodySink() = default;
  virtual void Restart() = 0;
  virtual void Append(std::string_view bytes) = 0;
};

// One transfer as the caller asks for it.
struct TransferRequest {
  std::u16string url;
  // The target file. Empty: no file is written, the body goes to `sink`
  // only (and a resume offset is ignored).
  std::u16string localPath;
  DownloadCallback callback;  // may be empty
  std::int64_t resumeOffset = 0;
  BodySink* sink = nullptr;  // may be null; must outlive the transfer
  // 0 or more: the target may not grow past this many bytes. An answer
  // that announces more fails at once, a body that brings more fails as it
  // passes the cap (DATA_OVERRUN either way). Negative: no cap.
  std::int64_t byteCap = -1;
  // With a cap: asks for the first byteCap bytes only (a range request), so
  // that a longer file costs no more than that before it fails at its
  // header (DATA_OVERRUN); a file within the cap comes whole.
  bool firstBytesOnly = false;
  // Starts before transfers that are merely waiting, and may use one
  // connection over the budget: what the caller is waiting for.
  bool urgent = false;
};

class Downloader {
 public:
  struct Options {
    long connectTimeoutMs = 60000;
    // The transfer ends (state 5, CURLE_OPERATION_TIMEDOUT) when less than
    // lowSpeedBytesPerSecond bytes a second arrived on average over this
    // period; whole seconds, rounded up. The default (one byte a second over
    // 90 s) is a receive time-out; a higher rate abandons a transfer that a
    // server keeps alive with a trickle.
    long receiveTimeoutMs = 90000;
    long lowSpeedBytesPerSecond = 1;
    // Certificate authorities for "https" addresses; empty means the
    // system's store. Verification itself is always on.
    std::string caFile;
    // HTTP/1.1 connections to one server at most; 1 makes every transfer
    // wait for the one before it.
    int maxConnections = 6;
    // Transfers at once on one HTTP/2 connection.
    int maxStreams = 100;
  };
  using TransferId = std::uint64_t;

  // With the default options, or those a test set as the default.
  Downloader();
  explicit Downloader(const Options& options);
  // What Downloader() uses from now on (the engine makes its downloaders so):
  // for tests and benchmarks that need short time-outs or their own
  // certificate authority. Not while another thread makes a Downloader.
  static void SetDefaultOptionsForTesting(const Options& options);
  static Options DefaultOptions();
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Fetches `url` into `localPath`. resumeOffset < 1 means a fresh download
  // (the target is created at the announced length). Returns 0 in every case;
  // the outcome reaches the callback only. `sink`, when given, sees the
  // target's content as it is written (BodySink above).
  //
  // `sizeCap` >= 0 bounds the target: it never holds more than that many
  // bytes. An answer that announces more (counting the resume offset) fails
  // with DATA_OVERRUN before the file is created or sized, and a body that
  // runs past the cap fails like one that runs past its announced length.
  // A negative cap leaves the limits above (the announced length, or 1 GiB
  // when none was announced).
  int Download(std::u16string_view url, std::u16string_view localPath,
               const DownloadCallback& callback, std::int64_t resumeOffset,
               BodySink* sink = nullptr, std::int64_t sizeCap = -1);

  // Concurrent transfers. Start queues a transfer and returns at once; it
  // runs, and its callback gets its events, while the thread is inside
  // RunUntil or Download. Each started transfer ends with exactly one
  // DOWNLOAD_DONE or DOWNLOAD_FAILED, unless it is cancelled first.
  TransferId Start(TransferRequest request);
  // True until the transfer's last event was sent (or it was cancelled).
  bool Active(TransferId id) const;
  // Drops a transfer: no further event, its file closed as it stands.
  void Cancel(TransferId id);
  // Runs the transfers until `done` holds (checked whenever something has
  // happened, and at least every 100 ms). A WorkerCancelled thrown by a
  // callback leaves through here once libcurl has returned; the other
  // transfers stay as they are.
  void RunUntil(const std::function<bool()>& done);
  // How many more transfers to the server of `url` would start at once;
  // less than 0 when that many already wait for room.
  int FreeSlots(std::u16string_view url) const;
  // Called on every round of RunUntil (and Download): where a caller keeps
  // its queue of transfers full. Empty: none.
  void SetRoundHook(std::function<void()> hook);

  // What the downloader learnt so far, for tests and benchmarks.
  struct Counts {
    int started = 0;
    int http2 = 0;       // transfers whose answer came over HTTP/2
    int mostAtOnce = 0;  // transfers running at once, at most
    int http1Limit = 0;  // the HTTP/1.1 budget now
  };
  Counts counts() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace launcher
