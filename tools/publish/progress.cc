#include "publish/progress.h"

namespace launcher::publish {

void Progress::Count(const std::string& what, std::uint64_t done, std::uint64_t total,
                     std::uint64_t bytes) {
  const auto now = std::chrono::steady_clock::now();
  if (done != total && now - last_ < std::chrono::seconds(1)) return;
  last_ = now;
  out_ << what << ": " << done << "/" << total << " files, " << (bytes >> 20) << " MiB\n"
       << std::flush;
}

}  // namespace launcher::publish
