// The downloader's engine: one libcurl multi handle with its connections,
// the transfers that run on it, and the ones waiting for a connection or a
// stream. Private to net/; Downloader forwards to it.
//
// Admission: transfers start in the order they were started (urgent ones
// first) as long as their server has room: a server whose answers came over
// HTTP/2 takes up to maxStreams at once on its one connection; any other
// takes as many as the HTTP/1.1 budget allows (connection_budget.h); a
// server not heard from yet takes one, whose answer tells which it is.
// Transfers wait here rather than inside libcurl, so their connect and
// receive time-outs run only while they run.
//
// Ownership: the pool owns every transfer from Start to its end (or Cancel)
// and the easy handles, which it keeps for reuse: a handle keeps what it
// learnt of a proxy's authentication. Threading: one thread at a time, the
// one that drives it; see downloader.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/connection_budget.h"
#include "net/downloader.h"

typedef void CURLM;
typedef void CURL;

namespace launcher {

class TransferRun;

class TransferPool {
 public:
  explicit TransferPool(const Downloader::Options& options);
  ~TransferPool();
  TransferPool(const TransferPool&) = delete;
  TransferPool& operator=(const TransferPool&) = delete;

  Downloader::TransferId Start(TransferRequest request);
  bool Active(Downloader::TransferId id) const { return transfers_.count(id) != 0; }
  void Cancel(Downloader::TransferId id);
  void RunUntil(const std::function<bool()>& done);
  int FreeSlots(std::u16string_view url) const;
  void SetRoundHook(std::function<void()> hook) { roundHook_ = std::move(hook); }
  Downloader::Counts counts() const;

 private:
  enum class Protocol { kUnknown, kHttp1, kHttp2 };
  struct Origin {
    Protocol protocol = Protocol::kUnknown;
    int running = 0;
  };
  struct Handle {
    CURL* curl = nullptr;
    bool systemProxy = false;  // CURLOPT_PROXY is set from the system's settings
  };
  struct Entry {
    std::unique_ptr<TransferRun> run;
    std::string origin;
    bool urgent = false;
    Handle* handle = nullptr;  // null while waiting
    std::int64_t counted = 0;  // bytes already given to the budget
  };

  bool Init();
  Handle* TakeHandle();
  void ReleaseHandle(Handle* handle);
  void UseSystemProxy(Handle& handle, std::u16string_view url);
  int Limit(const Origin& origin, bool urgent) const;
  void Admit();
  void Drive();
  void Finish(Downloader::TransferId id, int code);
  void Retire(Downloader::TransferId id);
  void FeedBudget();

  Downloader::Options options_;
  CURLM* multi_ = nullptr;
  bool initFailed_ = false;
  std::vector<std::unique_ptr<Handle>> handles_;
  std::vector<Handle*> idle_;
  std::map<Downloader::TransferId, Entry> transfers_;
  std::deque<Downloader::TransferId> waiting_;
  std::map<std::string, Origin> origins_;
  Downloader::TransferId nextId_ = 1;
  ConnectionBudget budget_;
  bool heldBack_ = false;  // a waiting HTTP/1.1 transfer found no room
  std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();
  std::function<void()> roundHook_;
  Downloader::Counts counts_;
};

}  // namespace launcher
