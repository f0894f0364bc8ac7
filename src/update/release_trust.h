// The release statement in the update paths. When the launcher holds
// release keys (crypto/release_keys.h), every update path fetches the
// server's statement right after the product-id handshake and goes on only
// with one that a trusted key signed, that names this product, that is not
// below the trusted version (trusted_version.h) and that has not expired.
// From then on the statement decides: the version comes from it, and each
// list and the manifest is fetched no further than the size it gives and
// kept only with the SHA-256 it gives. Without release keys nothing here
// changes what the update paths do.
//
// Worker thread only. The accepted statement and the manifest are
// process-wide engine state (update_state.h), forgotten at the start of
// each update path and by ResetEngineStateForTesting.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "update/release_manifest.h"
#include "update/release_statement.h"

namespace launcher {

// How far past its expiry a statement is still taken, for a player's clock
// that runs a little fast.
inline constexpr std::int64_t kExpirySkewSeconds = 5 * 60;

// Starts an update path: forgets the statement and manifest of an earlier
// path. Then, with release keys, fetches "patcher/statement" (at most
// kMaxStatementBytes) and checks it. True when the path may go on: no keys,
// or a statement accepted (the trusted version is raised to its version and
// the log names it). False once the refusal has been shown and logged:
// MSG_STATEMENT_EXPIRED for an expired statement, MSG_RELEASE_NOT_TRUSTED
// for any other fault.
bool AcceptReleaseStatement();

// The statement accepted in this update path, or null.
const ReleaseStatement* AcceptedStatement();

// With an accepted statement, `version` (the version file's number, 0 when
// it had none) becomes the statement's version; a different number is
// logged. Without one, `version` stays.
void UseSignedVersion(int& version);

// Fetches the server file `treePath` ("patcher/files.md5", below the base
// URL) afresh into `localPath`. With an accepted statement the download
// stops at the size the statement gives, a file the statement does not name
// is not fetched at all, and a file whose size or SHA-256 differs is
// removed and logged: the caller then finds no file. Without a statement,
// as FetchFresh.
void FetchReleaseFile(std::string_view treePath, const std::u16string& localPath);

// The most bytes the product-id and version files may have with release
// keys: each holds a number. They carry no signature, so nothing signed can
// give their size; a fixed cap still keeps an endless answer off the disk.
inline constexpr std::int64_t kNumberFileCap = 4096;

// Fetches the unsigned product-id or version file afresh into `localPath`:
// with release keys, at most kNumberFileCap bytes (a longer answer leaves
// no file); without, as FetchFresh. From the home server (mirror_walk.h).
void FetchNumberFile(const std::function<std::u16string()>& url, const std::u16string& localPath);

// True when there is no accepted statement, or `localPath` holds exactly the
// file the statement names `treePath` (so a file kept from an earlier run
// can be used again).
bool HoldsReleaseFile(const std::u16string& localPath, std::string_view treePath);

// With an accepted statement: the manifest it names, from "manifest.sw"
// when that still holds it, else fetched. True when it is loaded (or no
// statement is in use); false when it could not be had.
bool LoadReleaseManifest();
// The loaded manifest, or null.
const ReleaseManifest* ActiveManifest();

// Forgets the statement and the manifest.
void ForgetReleaseStatement();

}  // namespace launcher
