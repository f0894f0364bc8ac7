#include "update/mirror_walk.h"

#include <string>

#include "files/log.h"
#include "files/paths.h"
#include "files/server_mirrors.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "update/full_check.h"

namespace launcher {
namespace {

std::u16string Number(std::int64_t value) { return Widen(std::to_string(value)); }

}  // namespace

AttemptVerdict JudgeTransfer(const Transfer& transfer) {
  AttemptVerdict verdict;
  if (transfer.state == TRANSFER_HTTP_ERROR) {
    if (transfer.networkFailure) {
      verdict.serverFailed = true;
      verdict.down = transfer.connectFailure;
      verdict.reason = (transfer.connectFailure ? u"no connection (" : u"network error (") +
                       Number(transfer.errorDetail) + u")";
    } else if (transfer.errorDetail >= 500) {
      verdict.serverFailed = true;
      verdict.reason = u"HTTP " + Number(transfer.errorDetail);
    } else {
      verdict.wrongContent = true;
      verdict.reason = u"HTTP " + Number(transfer.errorDetail);
    }
  } else if (transfer.state == TRANSFER_ERROR_CODE) {
    // An address that cannot be split is the server's entry's fault; the
    // others (a file that cannot be opened, a body past its length) are
    // tried again where they are.
    verdict.serverFailed = transfer.errorDetail == PATCH::BAD_URL;
    verdict.reason = u"error " + Number(transfer.errorDetail);
  }
  return verdict;
}

MirrorWalk::MirrorWalk() : order_(RunServers.FileOrder()) {}

std::size_t MirrorWalk::server() const {
  return at_ < order_.size() ? order_[at_] : RunServers.home();
}

std::u16string MirrorWalk::FileUrl(std::string_view expandedPath) const {
  return PatcherUrl("patcher/") + Widen(expandedPath);
}

std::u16string MirrorWalk::PatcherUrl(std::string_view place) const {
  // The home's files come from the URL family, which is what it always
  // was without mirrors.
  const std::u16string base = order_.empty() || order_[at_] == RunServers.home()
                                  ? PatchUrl
                                  : RunServers.at(order_[at_]).baseUrl + u"patcher/";
  return base + Widen(place);
}

bool MirrorWalk::Next(const std::u16string& reason, std::u16string_view what) {
  if (at_ + 1 >= order_.size()) return false;
  LogTextWithName(Message(MSG_LOG_SERVER_FAILED), RunServers.Label(order_[at_]) + u" (" + reason +
                                                      u") -> " + RunServers.Label(order_[at_ + 1]) +
                                                      u": " + std::u16string(what));
  ++at_;
  wrongOnce_ = false;
  return true;
}

bool MirrorWalk::MoveOnAfter(const AttemptVerdict& verdict, std::u16string_view what) {
  if (order_.empty()) return false;
  if (verdict.down) RunServers.MarkDown(order_[at_]);
  if (verdict.serverFailed) return Next(verdict.reason, what);
  if (!verdict.wrongContent) return false;
  if (!wrongOnce_) {
    // Wrong once: the usual second attempt, on the same server.
    wrongOnce_ = true;
    return false;
  }
  return Next(u"wrong content twice" + (verdict.reason.empty() ? u"" : u", " + verdict.reason),
              what);
}

bool MirrorWalk::MoveOnAfterTimeLimit(std::u16string_view what) {
  return !order_.empty() && Next(u"time limit", what);
}

void MirrorWalk::Served(std::u16string_view what) const {
  if (!RunServers.several() || order_.empty() || order_[at_] == RunServers.home()) return;
  LogTextWithName(Message(MSG_LOG_SERVED_BY),
                  RunServers.Label(order_[at_]) + u": " + std::u16string(what));
}

Transfer FetchFromHome(const std::function<std::u16string()>& url, const std::u16string& path,
                       std::int64_t cap) {
  for (;;) {
    const Transfer transfer = FetchFresh(url(), path, cap);
    const AttemptVerdict verdict = JudgeTransfer(transfer);
    if (!verdict.serverFailed) return transfer;
    const std::size_t home = RunServers.home();
    if (verdict.down) RunServers.MarkDown(home);
    const std::size_t next = RunServers.NextAfter(home);
    if (next == ServerMirrors::kNone) return transfer;
    const std::u16string address = url();
    LogTextWithName(Message(MSG_LOG_SERVER_FAILED),
                    RunServers.Label(home) + u" (" + verdict.reason + u") -> " +
                        RunServers.Label(next) + u": " +
                        address.substr(std::min(address.size(), ServerBaseUrl.size())));
    RunServers.MoveHome(next);
  }
}

void LogHomeServer(std::u16string_view what) {
  if (!RunServers.several()) return;
  LogTextWithName(Message(MSG_LOG_SERVED_BY),
                  RunServers.Label(RunServers.home()) + u": " + std::u16string(what));
}

}  // namespace launcher
