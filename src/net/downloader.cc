#include "net/downloader.h"

#include <utility>

#include "net/transfer_pool.h"

namespace launcher {

// The downloader is its pool of transfers (transfer_pool.h): the multi
// handle with the connections, TLS sessions, DNS answers and proxy
// authentication that libcurl keeps between transfers.
class Downloader::Impl {
 public:
  explicit Impl(const Options& options) : pool(options) {}
  TransferPool pool;
};

namespace {
Downloader::Options& Defaults() {
  static Downloader::Options options;
  return options;
}
}  // namespace

Downloader::Downloader() : Downloader(Defaults()) {}

void Downloader::SetDefaultOptionsForTesting(const Options& options) { Defaults() = options; }

Downloader::Options Downloader::DefaultOptions() { return Defaults(); }
Downloader::Downloader(const Options& options) : impl_(std::make_unique<Impl>(options)) {}
Downloader::~Downloader() = default;

int Downloader::Download(std::u16string_view url, std::u16string_view localPath,
                         const DownloadCallback& callback, std::int64_t resumeOffset,
                         BodySink* sink, std::int64_t sizeCap) {
  TransferRequest request;
  request.url = std::u16string(url);
  request.localPath = std::u16string(localPath);
  request.callback = callback;
  request.resumeOffset = resumeOffset;
  request.sink = sink;
  request.byteCap = sizeCap;
  request.urgent = true;
  TransferPool& pool = impl_->pool;
  const TransferId id = pool.Start(std::move(request));
  // A WorkerCancelled from another transfer's callback leaves this one
  // unfinished: it goes with the call.
  struct DropUnfinished {
    TransferPool& pool;
    TransferId id;
    ~DropUnfinished() { pool.Cancel(id); }
  } drop{pool, id};
  pool.RunUntil([&] { return !pool.Active(id); });
  return 0;
}

Downloader::TransferId Downloader::Start(TransferRequest request) {
  return impl_->pool.Start(std::move(request));
}

bool Downloader::Active(TransferId id) const { return impl_->pool.Active(id); }

void Downloader::Cancel(TransferId id) { impl_->pool.Cancel(id); }

void Downloader::RunUntil(const std::function<bool()>& done) { impl_->pool.RunUntil(done); }

int Downloader::FreeSlots(std::u16string_view url) const { return impl_->pool.FreeSlots(url); }

void Downloader::SetRoundHook(std::function<void()> hook) {
  impl_->pool.SetRoundHook(std::move(hook));
}

Downloader::Counts Downloader::counts() const { return impl_->pool.counts(); }

}  // namespace launcher
