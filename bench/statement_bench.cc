// What the release statement costs: its size and the manifest's for a
// release of N files (default 10,000) with a full list and 30 incremental
// lists, and the time to verify them as the launcher does (read the
// statement and check its Ed25519 signature; hash the manifest against the
// statement, read it, and look every file up once).
//
//   statement_bench [--files N (10000)] [--rounds R (200)]
//
// Synthetic paths, sizes and digests; the formats, the signing and the
// reading are the launcher's own.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "crypto/ed25519.h"
#include "crypto/release_keys.h"
#include "crypto/sha256_digest.h"
#include "support/temp_dir.h"
#include "update/release_manifest.h"
#include "update/release_statement.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::string RandomHex(std::mt19937_64& rng) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(64, '0');
  for (char& c : hex) c = kDigits[rng() % 16];
  return hex;
}

template <typename F>
double MicrosecondsPerRound(int rounds, F&& work) {
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) work();
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 10000, rounds = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--files") == 0) files = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  std::mt19937_64 rng(7);
  std::map<std::string, launcher::ManifestEntry> entries;
  for (int i = 0; i < files; ++i) {
    const std::string path =
        "data" + std::to_string(i % 40) + "/models/asset_" + std::to_string(100000 + i) + ".pak";
    const auto installed = static_cast<std::int64_t>(rng() % (8 << 20));
    entries[path] = {installed / 2 + 1, RandomHex(rng), installed, RandomHex(rng)};
  }
  const std::string manifest = launcher::ReleaseManifest::Format(entries);

  launcher::ReleaseStatement statement;
  statement.product = 17;
  statement.version = 1234;
  statement.signedAt = 1750000000;
  statement.expiresAt = statement.signedAt + 7 * 86400;
  statement.files.push_back({"patcher/files.md5", 900000, RandomHex(rng)});
  statement.files.push_back({"patcher/manifest", static_cast<std::int64_t>(manifest.size()),
                             launcher::Sha256Hex(manifest)});
  for (int n = 1; n <= 30; ++n) {
    statement.files.push_back(
        {"patcher/v-" + std::to_string(n * 7) + ".inc", 50000, RandomHex(rng)});
  }
  const auto pair = launcher::GenerateEd25519KeyPair();
  const auto key = launcher::Ed25519PublicKey::FromPem(pair->publicPem);
  const std::string body = launcher::FormatStatementBody(statement);
  const std::string text =
      body +
      launcher::FormatSignatureLine(key->key_id(), *launcher::Ed25519Sign(pair->privatePem, body));
  const launcher::ReleaseKeys keys({pair->publicPem});

  bool ok = true;
  const double statementUs = MicrosecondsPerRound(rounds * 10, [&] {
    launcher::SignedStatement read;
    std::string problem;
    ok = ok && launcher::ParseReleaseStatement(text, read, problem) &&
         launcher::CheckStatementSignatures(read, keys) == launcher::SignatureCheck::kValid;
  });
  // The manifest as the launcher meets it: a file whose SHA-256 is checked
  // against the statement, then read whole.
  launcher::testing::TempDir dir;
  launcher::testing::WriteFileBytes(dir / "manifest.sw", manifest);
  const std::u16string path = (dir / "manifest.sw").u16string();
  const launcher::BoundFile& bound = *statement.Find("patcher/manifest");
  launcher::ReleaseManifest parsed;
  const double manifestUs = MicrosecondsPerRound(rounds / 10 + 1, [&] {
    std::string hex;
    std::uint64_t size = 0;
    std::string problem;
    ok = ok && launcher::Sha256File(path, hex, size) && hex == bound.sha256 &&
         static_cast<std::int64_t>(size) == bound.size &&
         parsed.Parse(launcher::testing::ReadFileBytes(dir / "manifest.sw"), problem);
  });
  launcher::ManifestEntry entry;
  const double lookupUs = MicrosecondsPerRound(1, [&] {
    for (const auto& [name, e] : entries) ok = ok && parsed.Find(std::string_view(name), entry);
  });
  if (!ok) {
    std::fprintf(stderr, "statement_bench: a check failed\n");
    return 1;
  }
  std::printf(
      "files %d: statement %zu bytes (%zu lists named), manifest %zu bytes (%.1f bytes a file)\n",
      files, text.size(), statement.files.size() - 1, manifest.size(),
      static_cast<double>(manifest.size()) / files);
  std::printf("verify statement %.1f us, manifest hash+read %.2f ms, look up every file %.2f ms\n",
              statementUs, manifestUs / 1000.0, lookupUs / 1000.0);
  return 0;
}
