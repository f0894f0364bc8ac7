// A private Xvfb for the tests that need a window system: started on a free
// display (Xvfb chooses it and tells us through -displayfd), stopped when the
// object goes away.
#pragma once

#include <sys/types.h>

#include <string>

namespace launcher::testing {

class XvfbServer {
 public:
  // True when an Xvfb program can be found; tests skip otherwise.
  static bool Available();

  XvfbServer();
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":<n>", or empty when the server did not come up.
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace launcher::testing
