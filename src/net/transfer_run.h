// One transfer of the downloader: the requests it sends on one libcurl
// handle (the first, and the one redirect it may follow), the answer's
// headers, the target file and the events to the caller's callback. Private
// to net/: the pool (transfer_pool.h) owns every TransferRun and the handle
// it runs on, adds the handle to its multi handle, and tells the run when
// libcurl is done with a request.
//
// Threading: the worker only. libcurl calls OnHeader and OnBody inside
// curl_multi_perform; an exception raised there (the caller's callback may
// throw WorkerCancelled) never unwinds through libcurl: it is kept, the
// request is aborted, and Completed rethrows it once libcurl has returned.
#pragma once

#include <curl/curl.h>

// On Windows curl.h brings in <windows.h>, whose FILE_OPEN is a macro; here
// the name is one of our error codes.
#ifdef FILE_OPEN
#undef FILE_OPEN
#endif

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "net/downloader.h"
#include "net/http_url.h"
#include "net/target_file.h"

namespace launcher {

class TransferRun {
 public:
  // Sets a handle's proxy for an address before a request goes to it.
  using ProxyChoice = std::function<void(CURL* curl, std::u16string_view url)>;

  TransferRun(TransferRequest request, ProxyChoice chooseProxy);
  ~TransferRun();
  TransferRun(const TransferRun&) = delete;
  TransferRun& operator=(const TransferRun&) = delete;

  // Makes `curl` ready for the first request. False when the transfer has
  // ended before any request (an address that cannot be split, no handle):
  // its last event has been sent, and it may have thrown.
  bool Begin(CURL* curl);
  // libcurl has finished the request on the handle with `rc`. True when a
  // second request (the redirect) is ready on the same handle; false when
  // the transfer has ended and its last event has been sent. Rethrows a
  // WorkerCancelled raised by the callback, after closing the file.
  bool Completed(CURLcode rc);
  // Ends the transfer without another event (its owner dropped it).
  void Abandon();

  // Body bytes received so far, over every request.
  std::int64_t received() const { return totalReceived_; }
  // The protocol of the last answer (CURL_HTTP_VERSION_1_1, _2_0, ...), 0
  // before one arrived.
  long httpVersion() const { return httpVersion_; }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);

 private:
  void Prepare(const HttpUrl& url);
  void AfterRequest(CURLcode rc);
  void End(std::exception_ptr failure);
  void DropUnreceivedTail();
  bool HeadersDone();
  void CreateTarget();
  void OpenBody();
  void StartSink();
  void AcceptBody(std::string_view data);
  void Notify(int event) {
    if (request_.callback) request_.callback(event, transfer_);
  }
  bool HasFile() const { return !path_.empty(); }
  bool FirstBytesOnly() const {
    return request_.firstBytesOnly && request_.byteCap > 0 && transfer_.offset == 0;
  }

  TransferRequest request_;
  std::filesystem::path path_;  // empty: the body goes to the sink only
  ProxyChoice chooseProxy_;
  CURL* curl_ = nullptr;
  curl_slist* headers_ = nullptr;
  bool sinkLive_ = false;  // the sink has every byte of the file before transfer_.offset
  Transfer transfer_;

  TargetFile file_;
  bool firstRequest_ = true;
  // Per response.
  std::string headerBlock_;
  long status_ = 0;
  long httpVersion_ = 0;
  bool stopped_ = false;  // the status decided the outcome; any body is dropped
  std::int64_t discarded_ = 0;
  bool bodyOpen_ = false;
  bool proxyChallenge_ = false;  // a 407 whose body is read and dropped
  std::string location_;
  std::int64_t announced_ = -1;  // Content-Length of the response, -1 if none
  std::int64_t received_ = 0;
  std::int64_t totalReceived_ = 0;
  std::int64_t limit_ = 0;
  std::int64_t sinceEvent_ = 0;
  std::vector<std::int64_t> eventOffsets_;  // where the events of one chunk fall
  // An exception raised inside a libcurl callback: it must not unwind through
  // libcurl, so it waits here until curl_multi_perform has returned.
  std::exception_ptr pending_;
};

}  // namespace launcher
