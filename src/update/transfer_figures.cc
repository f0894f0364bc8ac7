#include "update/transfer_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "files/utf16.h"

namespace launcher {
namespace {

constexpr std::int64_t kMaxSecondsShown = 100 * 3600;

// `value` with one decimal or none, and `unit`.
std::u16string Printed(double value, bool decimal, const char* unit) {
  char text[32];
  if (decimal) {
    std::snprintf(text, sizeof text, "%.1f%s", value, unit);
  } else {
    std::snprintf(text, sizeof text, "%.0f%s", value, unit);
  }
  return Widen(text);
}

}  // namespace

void TransferFigures::BeginPass(std::uint32_t now, std::int64_t knownTotal) {
  *this = TransferFigures();
  knownTotal_ = knownTotal;
  windowStart_ = now;
}

void TransferFigures::TransferStarted(std::int64_t length) {
  started_ = true;
  counting_ = false;
  lastOffset_ = 0;
  if (length > 0) announced_ += length;
}

void TransferFigures::TransferReached(std::uint32_t now, std::int64_t offset, std::int64_t length) {
  if (!counting_ && !started_) {
    // Resumed: what came before this report arrived in this pass too, but
    // where it began is not told; counting starts here, and the rest of
    // the file is what it announces.
    counting_ = true;
    lastOffset_ = offset;
    if (length > offset) announced_ += length - offset;
  }
  Count(now, offset);
}

void TransferFigures::TransferEnded(std::uint32_t now, std::int64_t offset) {
  // A transfer refused before its body (no report) counts nothing.
  if (counting_ || started_) Count(now, offset);
  started_ = false;
  counting_ = false;
}

void TransferFigures::Count(std::uint32_t now, std::int64_t offset) {
  counting_ = true;
  // An offset that went back (a body sent again from its start) begins
  // anew; the bytes already counted stay counted, since they did arrive.
  const std::int64_t arrived = offset >= lastOffset_ ? offset - lastOffset_ : offset;
  lastOffset_ = offset;
  bytesDone_ += arrived;
  windowBytes_ += arrived;

  const std::uint32_t elapsed = now - windowStart_;
  if (elapsed < kSampleMs) return;
  const double rate = static_cast<double>(windowBytes_) * 1000.0 / elapsed;
  // An exponential average whose weight follows the window's length, so
  // the result does not depend on how often the network reports. The
  // average starts from nothing and is divided by the weight it has
  // gathered: early on it is the mean of every window so far, not the
  // first burst's pace alone.
  const double weight = 1.0 - std::exp(-static_cast<double>(elapsed) / kSmoothingMs);
  smoothed_ += weight * (rate - smoothed_);
  gathered_ += weight * (1.0 - gathered_);
  windowStart_ = now;
  windowBytes_ = 0;
}

std::int64_t TransferFigures::SecondsLeft() const {
  const std::int64_t total = TotalBytes();
  const double speed = BytesPerSecond();
  if (speed <= 0 || total <= 0) return -1;
  const std::int64_t rest = std::max<std::int64_t>(0, total - bytesDone_);
  return static_cast<std::int64_t>(std::ceil(static_cast<double>(rest) / speed));
}

int TransferFigures::TotalBar(int entriesPercent) {
  entriesPercent_ = entriesPercent;
  int bar = 0;
  if (entriesPercent >= 100) {
    bar = 100;
  } else if (knownTotal_ > 0) {
    // Work remains while an entry does: 99 at most, even when the bytes
    // reached the total (a retry, or a total that was short).
    const double share = static_cast<double>(bytesDone_) * 100.0 / static_cast<double>(knownTotal_);
    bar = static_cast<int>(std::min(share, 99.0));
  } else {
    bar = std::clamp(entriesPercent, 0, 99);
  }
  lastBar_ = std::max(lastBar_, bar);
  return lastBar_;
}

namespace {

// The unit a byte count shows in: 0 bytes, 1 KiB, 2 MiB, 3 GiB, 4 TiB; 1000
// and more of a unit show in the next one, so at most three digits show.
int UnitOf(std::int64_t bytes) {
  double value = static_cast<double>(bytes);
  int unit = 0;
  if (value < 1024) return 0;
  for (value /= 1024; value >= 999.5 && unit < 3; value /= 1024) ++unit;
  return unit + 1;
}

std::u16string InUnit(std::int64_t bytes, int unit, bool withUnit) {
  static const char* const kUnits[] = {"B", "K", "M", "G", "T"};
  const double value =
      std::ldexp(static_cast<double>(std::max<std::int64_t>(bytes, 0)), -10 * unit);
  return Printed(value, unit > 0 && value < 9.95, withUnit ? kUnits[unit] : "");
}

}  // namespace

std::u16string FormatByteCount(std::int64_t bytes) { return InUnit(bytes, UnitOf(bytes), true); }

std::u16string FormatBytesOfTotal(std::int64_t done, std::int64_t total) {
  if (total <= 0) return FormatByteCount(done) + u"/--";
  const int unit = UnitOf(std::max(done, total));
  return InUnit(done, unit, false) + u"/" + InUnit(total, unit, true);
}

std::u16string FormatTimeLeft(std::int64_t seconds) {
  if (seconds < 0 || seconds >= kMaxSecondsShown) return u"--:--";
  char text[32];
  const auto h = static_cast<int>(seconds / 3600);
  const auto m = static_cast<int>(seconds / 60 % 60);
  const auto s = static_cast<int>(seconds % 60);
  if (h > 0) {
    std::snprintf(text, sizeof text, "%d:%02d:%02d", h, m, s);
  } else {
    std::snprintf(text, sizeof text, "%d:%02d", m, s);
  }
  return Widen(text);
}

std::u16string FormatFigures(std::u16string_view format, std::u16string_view name,
                             const TransferFigures& figures) {
  std::u16string out;
  std::size_t i = 0;
  while (i < format.size()) {
    const std::size_t open = format.find(u'{', i);
    const std::size_t close = open == std::u16string_view::npos ? open : format.find(u'}', open);
    if (close == std::u16string_view::npos) break;
    out.append(format.substr(i, open - i));
    const std::u16string_view field = format.substr(open + 1, close - open - 1);
    if (field == u"name") {
      out.append(name);
    } else if (field == u"done") {
      out.append(FormatByteCount(figures.BytesDone()));
    } else if (field == u"bytes") {
      out.append(FormatBytesOfTotal(figures.BytesDone(), figures.TotalBytes()));
    } else if (field == u"total") {
      out.append(figures.TotalBytes() > 0 ? FormatByteCount(figures.TotalBytes()) : u"--");
    } else if (field == u"speed") {
      out.append(figures.BytesPerSecond() > 0
                     ? FormatByteCount(std::llround(figures.BytesPerSecond())) + u"/s"
                     : u"--");
    } else if (field == u"left") {
      out.append(FormatTimeLeft(figures.SecondsLeft()));
    } else {
      // Not a field: the brace is text, and so is what follows it.
      out.push_back(u'{');
      i = open + 1;
      continue;
    }
    i = close + 1;
  }
  out.append(format.substr(std::min(i, format.size())));
  return out;
}

}  // namespace launcher
