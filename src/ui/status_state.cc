#include "ui/status_state.h"

namespace launcher {

bool StatusState::MarkChanged(unsigned item) {
  changed_ |= item;
  if (requestOutstanding_) return false;
  requestOutstanding_ = true;
  return true;
}

bool StatusState::SetStatusText(std::u16string_view text) {
  std::lock_guard lock(mutex_);
  values_.statusText.assign(text);
  return MarkChanged(kStatusLine);
}

bool StatusState::SetDetailText(std::u16string_view text) {
  std::lock_guard lock(mutex_);
  values_.detailText.assign(text);
  return MarkChanged(kDetailLine);
}

bool StatusState::SetTotalProgress(int percent) {
  std::lock_guard lock(mutex_);
  // An unchanged bar needs no repaint; the engine repeats values often.
  if (values_.totalPercent == percent) return false;
  values_.totalPercent = percent;
  return MarkChanged(kTotalBar);
}

bool StatusState::SetFileProgress(int percent) {
  std::lock_guard lock(mutex_);
  if (values_.filePercent == percent) return false;
  values_.filePercent = percent;
  return MarkChanged(kFileBar);
}

StatusState::Values StatusState::Read() const {
  std::lock_guard lock(mutex_);
  return values_;
}

unsigned StatusState::TakeChanged() {
  std::lock_guard lock(mutex_);
  const unsigned changed = changed_;
  changed_ = 0;
  requestOutstanding_ = false;
  return changed;
}

}  // namespace launcher
