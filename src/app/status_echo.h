// Mirrors what the window shows to standard output, for runs without a
// screen (the demo on the offscreen platform) and for diagnosis. Enabled by
// the environment variable LAUNCHER_ECHO_STATUS=1; wraps the window's
// StatusDisplay and forwards every call unchanged.
//
// Called on the worker thread only (like the display it wraps); prints the
// text lines as they change and each bar in steps of 10 percent.
#pragma once

#include "seam/status_display.h"

namespace launcher {

class StatusEcho final : public StatusDisplay {
 public:
  explicit StatusEcho(StatusDisplay& inner) : inner_(inner) {}

  // True when LAUNCHER_ECHO_STATUS asks for the mirror.
  static bool Requested();

  void SetStatusText(std::u16string_view text) override;
  void SetDetailText(std::u16string_view text) override;
  void SetTotalProgress(int percent) override;
  void SetFileProgress(int percent) override;
  void HideForHandOff() override;
  void RequestClose() override;
  bool UpdateMode() const override { return inner_.UpdateMode(); }

 private:
  StatusDisplay& inner_;
  int lastTotalStep_ = -1;
  int lastFileStep_ = -1;
};

}  // namespace launcher
