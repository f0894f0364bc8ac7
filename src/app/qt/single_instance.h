// One launcher per user session. The first launcher holds the named lock
// "QuillmereLauncherExist" for its whole life and listens on a local socket
// named after it in the same private runtime directory; a second launcher
// finds the lock taken, asks the first one over that socket to show its
// window, and ends. The request carries what the second start knows of the
// user's action (its time stamp, its activation token), so the first can
// come to the front on the user's behalf where the desktop refuses a window
// that merely asks for focus.
//
// The request is one line: "show <time> <token>\n", the time in decimal
// (0: unknown) and the token as printable ASCII without spaces ("-": none).
// A bare "show\n" asks the same without either.
//
// Threading: main thread only; the listening side delivers requests through
// the Qt event loop of the thread that created it.
#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/named_lock.h"

namespace launcher {

inline constexpr char kLauncherLockName[] = "QuillmereLauncherExist";

// The socket path of the running launcher: next to its lock file.
QString ShowRequestSocketPath();

struct ShowRequest {
  // X11 time of the user action that started the second launcher; 0 unknown.
  std::uint32_t userTime = 0;
  // Activation token the second start received (XDG_ACTIVATION_TOKEN);
  // empty when none.
  QByteArray activationToken;

  QByteArray Encode() const;
  // The request of one line (line end included); nothing for anything else.
  static std::optional<ShowRequest> Parse(const QByteArray& line);
};

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
  static bool AskRunningInstanceToShow(const ShowRequest& request = {}, int timeoutMs = 2000);

  // First launcher: listens for show requests and calls `onShowRequest` on
  // this thread for each. Needs a running event loop to deliver them.
  bool Listen(std::function<void(const ShowRequest&)> onShowRequest);
  // Stops listening and removes the socket; call while the QCoreApplication
  // still exists. The lock stays held until the object goes away.
  void StopListening() { server_.reset(); }

 private:
  Role role_ = Role::kFirst;
  std::unique_ptr<NamedLock> lock_;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace launcher
