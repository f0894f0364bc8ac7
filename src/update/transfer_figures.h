// The figures a player asks of an update while files arrive: the bytes done
// of the total, the speed and the time left, and the upper bar moved by
// bytes where the total is known. Plain arithmetic over the download
// events of one pass, with the times given by the caller (engine clock
// ticks), so it runs in simulated time in tests.
//
// Bytes count what arrived in this pass: a transfer resumed from an
// earlier run counts from its resume offset on. The total is the one given
// at the start of the pass (a signed statement's figure) or, without one,
// what the transfers announced as they started: the part of each file still
// to come. So without a statement the total grows as files are met, and the
// time left is that of the bytes announced so far.
//
// The speed is averaged over windows of at least kSampleMs and smoothed
// exponentially with the time constant kSmoothingMs, so that bursts and
// stalls of the network do not make the time left jump; the time between
// two transfers (checks, unpacking, the next request) counts too, as it
// belongs to the time the rest will take.
//
// Not thread-safe: the update worker owns it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace launcher {

class TransferFigures {
 public:
  static constexpr std::uint32_t kSampleMs = 500;
  static constexpr std::uint32_t kSmoothingMs = 5000;

  // A pass begins at `now`. `knownTotal` is the number of bytes it will
  // transfer, or -1 when unknown.
  void BeginPass(std::uint32_t now, std::int64_t knownTotal);

  // A transfer from the first byte announced `length` bytes (0: none).
  void TransferStarted(std::int64_t length);
  // The transfer in hand holds `offset` bytes of a file of `length` (the
  // announced or recorded length; 0 when unknown). The first report of a
  // transfer that did not start from the first byte sets where it resumed.
  void TransferReached(std::uint32_t now, std::int64_t offset, std::int64_t length);
  // The transfer in hand ended holding `offset` bytes.
  void TransferEnded(std::uint32_t now, std::int64_t offset);

  std::int64_t BytesDone() const { return bytesDone_; }
  // The known total, or what the transfers announced so far.
  std::int64_t TotalBytes() const { return knownTotal_ >= 0 ? knownTotal_ : announced_; }
  bool TotalKnown() const { return knownTotal_ >= 0; }
  // Smoothed bytes per second; 0 until the first window is complete.
  double BytesPerSecond() const { return gathered_ > 0 ? smoothed_ / gathered_ : 0; }
  // Seconds until TotalBytes at the smoothed speed, rounded up; -1 when no
  // speed or no total is known yet.
  std::int64_t SecondsLeft() const;

  // The upper bar when `entriesPercent` of the pass's entries are settled:
  // by bytes when the total is known, by entries otherwise; 100 only once
  // the entries are all settled, and never below a value it gave before in
  // this pass.
  int TotalBar(int entriesPercent);
  // The same for the entries last given.
  int TotalBar() { return TotalBar(entriesPercent_); }

 private:
  void Count(std::uint32_t now, std::int64_t offset);

  std::int64_t knownTotal_ = -1;
  std::int64_t announced_ = 0;
  std::int64_t bytesDone_ = 0;
  // The transfer in hand: whether it started at the first byte, whether a
  // report of it has been counted, and the offset last counted.
  bool started_ = false;
  bool counting_ = false;
  std::int64_t lastOffset_ = 0;
  // The speed window: when it began and the bytes in it.
  std::uint32_t windowStart_ = 0;
  std::int64_t windowBytes_ = 0;
  double smoothed_ = 0;
  double gathered_ = 0;
  int entriesPercent_ = 0;
  int lastBar_ = 0;
};

// "512B", "3.1K", "12M", "1.5G": binary units, one decimal below 10, none
// above, no space (the line is 140 pixels wide).
std::u16string FormatByteCount(std::int64_t bytes);
// "3.1/12M", "0.5/12M", "14/14B": both in the unit of the larger; "3.1M/--"
// for a total of 0 (unknown).
std::u16string FormatBytesOfTotal(std::int64_t done, std::int64_t total);
// "0:27", "12:05", "1:02:03"; "--:--" for a negative value or 100 hours and
// more.
std::u16string FormatTimeLeft(std::int64_t seconds);

// The lower line from `format`, the installation's text with the fields
// {name} (the text the line shows without figures), {done}, {total},
// {bytes} (done/total in one unit), {speed} and {left}. Other text, braces
// included, is kept as it is. A total or speed not known yet shows as "--".
std::u16string FormatFigures(std::u16string_view format, std::u16string_view name,
                             const TransferFigures& figures);

}  // namespace launcher
