// The release statement ("patcher/statement" on the server, "statement.sw"
// when fetched): a small text signed with Ed25519 that names the product,
// the release version, when it was signed and when it expires, and the size
// and SHA-256 of every other file the launcher fetches before the files
// themselves (the lists and the manifest). Its format is specified byte for
// byte in docs/formats.md; this is the one reader and writer of it.
//
// Pure functions over byte strings, safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/release_keys.h"

namespace launcher {

// The most bytes a statement may have; the launcher fetches no more.
inline constexpr std::int64_t kMaxStatementBytes = 64 * 1024;
inline constexpr std::string_view kStatementHeader = "release-statement 1";

// A file of the tree that the statement vouches for: its path below the
// server's base URL ("patcher/files.md5"), its size and its SHA-256.
struct BoundFile {
  std::string path;
  std::int64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
};

struct ReleaseStatement {
  int product = 0;
  int version = 0;
  std::int64_t signedAt = 0;     // seconds since 1970 UTC
  std::int64_t expiresAt = 0;    // seconds since 1970 UTC
  std::vector<BoundFile> files;  // sorted by path, each path once

  // The entry for `path`, or null.
  const BoundFile* Find(std::string_view path) const;
};

struct StatementSignature {
  std::string keyId;      // 16 lower-case hex digits
  std::string signature;  // 64 raw bytes
};

// A statement as read: its fields, the bytes the signatures cover and the
// signatures.
struct SignedStatement {
  ReleaseStatement statement;
  std::string signedPart;  // from the first byte through the LF after "end"
  std::vector<StatementSignature> signatures;
};

// True when `path` is relative and each of its "/"-separated components is
// neither empty nor "." nor ".." (the manifest's and the statement's paths).
bool HasProperComponents(std::string_view path);

// Reads a whole statement. False, with the first fault in `problem`, for
// anything that is not exactly the documented form.
bool ParseReleaseStatement(std::string_view bytes, SignedStatement& out, std::string& problem);

enum class SignatureCheck {
  kValid,               // a trusted key signed it, and no trusted key's signature fails
  kNoTrustedSignature,  // no signature names a trusted key
  kBadSignature,        // a signature naming a trusted key does not verify
};

// Checks the signatures against `keys`. Signatures by keys the set does not
// hold are passed over, so a statement signed by the current and the next
// key is read by launchers that know either.
SignatureCheck CheckStatementSignatures(const SignedStatement& statement, const ReleaseKeys& keys);

// The signed part of a statement for `statement` (files sorted here).
std::string FormatStatementBody(ReleaseStatement statement);
// One signature line: "signature <key id> <base64>" and LF.
std::string FormatSignatureLine(std::string_view keyId, std::string_view signature);

}  // namespace launcher
