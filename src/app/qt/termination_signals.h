// SIGTERM, SIGINT and SIGHUP close the launcher the way its close spot does:
// through the window's close handshake, so a log line, a state-file rewrite
// or an install step under way is finished first and the next run resumes.
//
// The handlers only write a byte to a pipe; a notifier on the GUI thread
// reads it and runs `onSignal` there. Create once, on the GUI thread, after
// the QApplication exists; lives until the process ends.
#pragma once

#include <functional>

class QSocketNotifier;

namespace launcher {

class TerminationSignals {
 public:
  explicit TerminationSignals(std::function<void()> onSignal);
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

 private:
  std::function<void()> onSignal_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace launcher
