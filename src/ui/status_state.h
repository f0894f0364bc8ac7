// The four values the worker shows on the launcher window, shared between the
// worker (writer) and the window thread (reader).
//
// Every operation takes one short internal lock and never waits for the
// window thread, so a worker inside a guarded section can never block on it.
// Besides the values, the state remembers which items changed since the
// window last looked and whether a repaint request is already on its way, so
// that thousands of changes a second cost the window thread one repaint per
// frame. No Qt types; thread-safe.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace launcher {

class StatusState {
 public:
  // Items, as bits of a changed-items mask.
  enum Item : unsigned {
    kStatusLine = 1u << 0,
    kDetailLine = 1u << 1,
    kTotalBar = 1u << 2,
    kFileBar = 1u << 3,
  };

  struct Values {
    std::u16string statusText;
    std::u16string detailText;
    int totalPercent = 0;
    int filePercent = 0;
  };

  // Each setter stores its value and marks the item changed. Returns true
  // when the caller must ask the window thread to repaint (no request is
  // outstanding); false when one already is and will see this change too.
  bool SetStatusText(std::u16string_view text);
  bool SetDetailText(std::u16string_view text);
  bool SetTotalProgress(int percent);
  bool SetFileProgress(int percent);

  // A consistent copy of all four values.
  Values Read() const;

  // Window thread: the items changed since the last call. Ends the
  // outstanding repaint request, so the next change asks for a new one.
  unsigned TakeChanged();

 private:
  bool MarkChanged(unsigned item);  // lock held

  mutable std::mutex mutex_;
  Values values_;
  unsigned changed_ = 0;
  bool requestOutstanding_ = false;
};

}  // namespace launcher
