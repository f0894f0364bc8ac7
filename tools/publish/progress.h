// Progress lines for long runs, written to a stream (stderr in the tool) at
// most about once a second, plus the lines the caller forces. Not
// thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace launcher::publish {

class Progress {
 public:
  explicit Progress(std::ostream& out) : out_(out) {}

  // Always written.
  void Line(const std::string& text) { out_ << text << '\n' << std::flush; }
  // Written when a second has passed since the last progress line, or when
  // done == total.
  void Count(const std::string& what, std::uint64_t done, std::uint64_t total, std::uint64_t bytes);

 private:
  std::ostream& out_;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace launcher::publish
