// One launcher per user session. The first launcher holds the named lock
// "QuillmereLauncherExist" for its whole life and listens on a local socket
// named after it in the same private runtime directory; a second launcher
// finds the lock taken, asks the first one over that socket to show its
// window, and ends.
//
// Threading: main thread only; the listening side delivers requests through
// the Qt event loop of the thread that created it.
#pragma once

#include <QLocalServer>
#include <QString>
#include <functional>
#include <memory>

#include "platform/named_lock.h"

namespace launcher {

inline constexpr char kLauncherLockName[] = "QuillmereLauncherExist";

// The socket path of the running launcher: next to its lock file.
QString ShowRequestSocketPath();

class SingleInstance {
 public:
  enum class Role {
    kFirst,   // this process is the launcher; the lock is held
    kSecond,  // another launcher runs; this process should end
  };

  // Takes the lock. Without a usable lock directory the launcher still runs
  // (as the first), only without the single-instance guarantee.
  SingleInstance();
  Role role() const { return role_; }

  // Second launcher: asks the first to show its window. Waits at most
  // `timeoutMs`; false when no running launcher answered (it may still be
  // starting), which the caller treats as nothing to do. Needs a
  // QCoreApplication.
  static bool AskRunningInstanceToShow(int timeoutMs = 2000);

  // First launcher: listens for show requests and calls `onShowRequest` on
  // this thread for each. Needs a running event loop to deliver them.
  bool Listen(std::function<void()> onShowRequest);
  // Stops listening and removes the socket; call while the QCoreApplication
  // still exists. The lock stays held until the object goes away.
  void StopListening() { server_.reset(); }

 private:
  Role role_ = Role::kFirst;
  std::unique_ptr<NamedLock> lock_;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace launcher
