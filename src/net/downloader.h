// HTTP downloader: fetches one URL into one local file, synchronously on the
// calling thread, with an optional resume offset, and reports what happens
// through a callback. libcurl stays inside downloader.cc.
//
// On the wire every request is HTTP/1.1 with the object exactly as given
// ("./" segments kept), "Host", "User-Agent: LiveUpdate Application" (the
// session's agent; the fallback agent is never needed), "Accept: */*", a
// range header of the form "Range: bytes=4096-" when resuming, and
// "Pragma: no-cache" (docs/formats.md shows the bytes). A body ends at its
// announced length (Content-Length, or the end of a chunked body); one cut
// short of it is a network failure (CURLE_PARTIAL_FILE, 18) whose bytes stay
// in the file for the next attempt to resume; a body without a length ends
// when the server closes the connection. Redirects (301, 302, 303) are
// followed once, by hand, with the range sent again; the target is the
// Location header's value. "http" and "https" addresses are accepted
// ("https" verifies the server's certificate against the system's store or
// Options::caFile); any other scheme cannot be split (BAD_URL). Proxies come
// from the environment as libcurl reads it (http_proxy, https_proxy,
// all_proxy, no_proxy; https through CONNECT), with any authentication
// scheme the proxy offers and the credentials of the proxy's address. On
// Windows, when the environment names no proxy, the system's settings give
// it (platform/system_proxy.h), looked up for the address each transfer
// starts with (a redirect keeps that proxy; the bypass list still applies).
//
// A server that ignores the range of a resumed request and sends the whole
// file (status 200) makes the transfer start again at byte 0, with a fresh
// DOWNLOAD_STARTED. Network failures end in state 5 with the CURLcode
// number as errorDetail.
//
// Connections: the downloader keeps one libcurl handle for its whole life,
// and with it the connection to the server (or proxy) between transfers, so
// a run pays for one connection (and one TLS handshake) rather than one per
// file. A connection the server has closed meanwhile is replaced without a
// word.
//
// Threading: a Downloader serves one thread at a time; it may pass from one
// thread to another between transfers, but two threads must not call
// Download on the same object at once (it holds one libcurl handle). Two
// Downloaders on two threads are independent. Download must not be called
// again from inside its own callback (libcurl refuses a transfer on a handle
// that is in one); the callback may use another Downloader.
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
  };

  Downloader();
  explicit Downloader(const Options& options);
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

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace launcher
