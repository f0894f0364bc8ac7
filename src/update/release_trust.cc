#include "update/release_trust.h"

#include <memory>
#include <optional>

#include "crypto/release_keys.h"
#include "crypto/sha256_digest.h"
#include "files/file_ops.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/regular_file.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "platform/clock.h"
#include "seam/status_display.h"
#include "update/directories.h"
#include "update/file_fetch.h"
#include "update/full_check.h"
#include "update/mirror_walk.h"
#include "update/trusted_version.h"
#include "update/update_state.h"

namespace launcher {
namespace {

std::optional<ReleaseStatement> g_statement;
std::unique_ptr<ReleaseManifest> g_manifest;

// The whole file when it is a regular file of at most `limit` bytes.
std::optional<std::string> ReadSmallFile(const std::u16string& path, std::int64_t limit) {
  RegularFile file(path);
  if (!file.is_open() || file.size() > static_cast<std::uint64_t>(limit)) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(file.size()), '\0');
  const std::int64_t n = file.ReadFull(bytes.data(), bytes.size());
  if (n != static_cast<std::int64_t>(bytes.size())) return std::nullopt;
  return bytes;
}

bool FileMatches(const std::u16string& path, const BoundFile& bound) {
  std::string hex;
  std::uint64_t size = 0;
  return Sha256File(path, hex, size) && static_cast<std::int64_t>(size) == bound.size &&
         hex == bound.sha256;
}

bool RefuseStatement(MessageSlot logSlot, MessageSlot statusSlot) {
  LogText(Message(logSlot));
  SetStatusText(Message(statusSlot));
  SetDetailText(u"");
  SleepMs(kOutcomePauseMs);
  return false;
}

}  // namespace

bool AcceptReleaseStatement() {
  ForgetReleaseStatement();
  if (!ReleaseStatementsRequired()) return true;

  CreateParentDirectories(StatementFilePath);
  FetchFresh(PatchUrl + u"statement", StatementFilePath, kMaxStatementBytes);
  const std::optional<std::string> bytes = ReadSmallFile(StatementFilePath, kMaxStatementBytes);
  DeleteFileForced(StatementFilePath);

  SignedStatement read;
  std::string problem;
  // Nothing in a statement counts before a trusted key has vouched for it,
  // the product id included.
  if (!bytes || !ParseReleaseStatement(*bytes, read, problem) ||
      CheckStatementSignatures(read, InstalledReleaseKeys()) != SignatureCheck::kValid ||
      read.statement.product != LocalPid) {
    return RefuseStatement(MSG_LOG_STATEMENT_REFUSED, MSG_RELEASE_NOT_TRUSTED);
  }
  const ReleaseStatement& statement = read.statement;
  if (statement.version < ReadTrustedVersion()) {
    return RefuseStatement(MSG_LOG_STATEMENT_ROLLBACK, MSG_RELEASE_NOT_TRUSTED);
  }
  // A statement that is no longer renewed is what a server frozen at an
  // old release looks like.
  if (EngineClock().UnixTime() > statement.expiresAt + kExpirySkewSeconds) {
    return RefuseStatement(MSG_LOG_STATEMENT_EXPIRED, MSG_STATEMENT_EXPIRED);
  }
  RaiseTrustedVersion(statement.version);
  LogText(Message(MSG_LOG_STATEMENT_ACCEPTED) + Widen(std::to_string(statement.version)));
  g_statement = statement;
  return true;
}

const ReleaseStatement* AcceptedStatement() { return g_statement ? &*g_statement : nullptr; }

void UseSignedVersion(int& version) {
  if (!g_statement) return;
  if (version != g_statement->version) {
    LogText(Message(MSG_LOG_VERSION_DISAGREES) + Widen(std::to_string(g_statement->version)));
  }
  version = g_statement->version;
}

void FetchNumberFile(const std::function<std::u16string()>& url, const std::u16string& localPath) {
  FetchFromHome(url, localPath, ReleaseStatementsRequired() ? kNumberFileCap : -1);
}

void FetchReleaseFile(std::string_view treePath, const std::u16string& localPath) {
  const std::u16string url = ServerBaseUrl + Widen(treePath);
  if (!g_statement) {
    FetchFresh(url, localPath);
    return;
  }
  const BoundFile* bound = g_statement->Find(treePath);
  if (bound == nullptr) {
    // Nothing signed gives a size or a digest for it: not even a download.
    DeleteFileForced(localPath);
    LogTextWithName(Message(MSG_LOG_FILE_NOT_BOUND), Widen(treePath));
    return;
  }
  FetchFresh(url, localPath, bound->size);
  if (!FileMatches(localPath, *bound)) {
    DeleteFileForced(localPath);
    LogTextWithName(Message(MSG_LOG_FILE_NOT_BOUND), Widen(treePath));
  }
}

bool HoldsReleaseFile(const std::u16string& localPath, std::string_view treePath) {
  if (!g_statement) return true;
  const BoundFile* bound = g_statement->Find(treePath);
  return bound != nullptr && FileMatches(localPath, *bound);
}

bool LoadReleaseManifest() {
  if (!g_statement || g_manifest) return true;
  constexpr std::string_view kTreePath = "patcher/manifest";
  // Kept between runs: a manifest that still matches the statement is not
  // fetched again.
  if (!HoldsReleaseFile(ManifestFilePath, kTreePath)) {
    CreateParentDirectories(ManifestFilePath);
    FetchReleaseFile(kTreePath, ManifestFilePath);
  }
  const BoundFile* bound = g_statement->Find(kTreePath);
  std::optional<std::string> text =
      bound != nullptr ? ReadSmallFile(ManifestFilePath, bound->size) : std::nullopt;
  auto manifest = std::make_unique<ReleaseManifest>();
  std::string problem;
  if (!text || !manifest->Parse(std::move(*text), problem)) {
    DeleteFileForced(ManifestFilePath);
    return false;
  }
  g_manifest = std::move(manifest);
  return true;
}

const ReleaseManifest* ActiveManifest() { return g_manifest.get(); }

void ForgetReleaseStatement() {
  g_statement.reset();
  g_manifest.reset();
  KnownTransferTotal = -1;
}

}  // namespace launcher
