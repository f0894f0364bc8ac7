#include "publish/release_signing.h"

#include <charconv>
#include <system_error>

#include "crypto/ed25519.h"
#include "crypto/release_keys.h"
#include "crypto/sha256_digest.h"
#include "files/utf16.h"
#include "publish/file_io.h"
#include "update/utc_time.h"

namespace launcher::publish {

namespace fs = std::filesystem;

namespace {

// The public halves of the signing keys, as the launcher would hold them.
std::unique_ptr<ReleaseKeys> PublicHalves(const std::vector<std::string>& privatePems) {
  std::vector<std::string> pems;
  for (const std::string& pem : privatePems) {
    if (auto pub = Ed25519PublicPemFromPrivate(pem)) pems.push_back(*pub);
  }
  std::vector<std::string_view> views(pems.begin(), pems.end());
  return std::make_unique<ReleaseKeys>(views);
}

bool CheckWritten(const fs::path& path, const std::vector<std::string>& privatePems,
                  std::string& problem) {
  std::string bytes;
  SignedStatement read;
  if (!ReadWholeFile(path, bytes) || !ParseReleaseStatement(bytes, read, problem)) {
    problem = path.string() + ": the written statement does not read back: " + problem;
    return false;
  }
  if (CheckStatementSignatures(read, *PublicHalves(privatePems)) != SignatureCheck::kValid) {
    problem =
        path.string() + ": the written statement does not verify with the keys' public halves";
    return false;
  }
  return true;
}

bool BindFile(const fs::path& root, const std::string& treePath, ReleaseStatement& statement,
              std::string& problem) {
  BoundFile bound;
  bound.path = treePath;
  if (!HashFile(root / fs::path(treePath), bound.sha256, bound.size)) {
    problem = (root / fs::path(treePath)).string() + ": cannot be read";
    return false;
  }
  statement.files.push_back(std::move(bound));
  return true;
}

}  // namespace

std::optional<std::int64_t> ParseLifetime(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::int64_t unit = 86400;
  std::string digits = text;
  switch (text.back()) {
    case 'd':
      unit = 86400;
      digits.pop_back();
      break;
    case 'h':
      unit = 3600;
      digits.pop_back();
      break;
    case 'm':
      unit = 60;
      digits.pop_back();
      break;
    case 's':
      unit = 1;
      digits.pop_back();
      break;
    default:
      break;
  }
  std::int64_t count = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || count < 1 ||
      count > kMaxStatementLifetime) {
    return std::nullopt;
  }
  const std::int64_t seconds = count * unit;
  if (seconds < 60 || seconds > kMaxStatementLifetime) return std::nullopt;
  return seconds;
}

std::optional<std::vector<std::string>> LoadReleaseKeys(const std::vector<fs::path>& files,
                                                        std::string& problem) {
  if (files.empty() || files.size() > kMaxReleaseKeys) {
    problem = "give one --release-key, or two while a key is rotated";
    return std::nullopt;
  }
  std::vector<std::string> pems;
  for (const fs::path& file : files) {
    std::string pem;
    if (!ReadWholeFile(file, pem)) {
      problem = file.string() + ": cannot read the release key";
      return std::nullopt;
    }
    if (!Ed25519PublicPemFromPrivate(pem)) {
      problem = file.string() + ": not a PEM Ed25519 private key";
      return std::nullopt;
    }
    pems.push_back(std::move(pem));
  }
  if (pems.size() == 2 &&
      Ed25519PublicPemFromPrivate(pems[0]) == Ed25519PublicPemFromPrivate(pems[1])) {
    problem = "the two release keys are the same key";
    return std::nullopt;
  }
  return pems;
}

std::optional<std::string> SignStatement(const ReleaseStatement& statement,
                                         const std::vector<std::string>& privatePems) {
  std::string text = FormatStatementBody(statement);
  const std::string body = text;
  for (const std::string& pem : privatePems) {
    auto publicPem = Ed25519PublicPemFromPrivate(pem);
    auto key = publicPem ? Ed25519PublicKey::FromPem(*publicPem) : nullptr;
    auto signature = Ed25519Sign(pem, body);
    if (!key || !signature) return std::nullopt;
    text += FormatSignatureLine(key->key_id(), *signature);
  }
  return text;
}

bool HashFile(const fs::path& path, std::string& sha256, std::int64_t& size) {
  std::uint64_t bytes = 0;
  if (!Sha256File(FromUtf8Lossy(path.string()), sha256, bytes)) return false;
  size = static_cast<std::int64_t>(bytes);
  return true;
}

bool WriteReleaseFiles(const fs::path& root, int pid, int version,
                       const std::map<std::string, ManifestSource>& files,
                       const std::vector<std::string>& privatePems, std::int64_t now,
                       std::int64_t lifetime, std::string& problem) {
  std::map<std::string, ManifestEntry> entries;
  for (const auto& [path, source] : files) {
    ManifestEntry entry;
    entry.installedSize = source.installedSize;
    entry.installedSha256 = source.installedSha256;
    if (!HashFile(source.compressed, entry.compressedSha256, entry.compressedSize)) {
      problem = source.compressed.string() + ": cannot be read";
      return false;
    }
    entries.emplace(path, std::move(entry));
  }
  const fs::path patcher = root / "patcher";
  if (!ReplaceFile(patcher / "manifest", ReleaseManifest::Format(entries))) {
    problem = (patcher / "manifest").string() + ": cannot write";
    return false;
  }

  ReleaseStatement statement;
  statement.product = pid;
  statement.version = version;
  statement.signedAt = now;
  statement.expiresAt = now + lifetime;
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(patcher, ec)) {
    const std::string name = item.path().filename().string();
    const bool list = name == "files.md5" || (name.starts_with("v-") && name.ends_with(".inc"));
    if ((list || name == "manifest" || name == "delta.idx") && item.is_regular_file(ec) &&
        !BindFile(root, "patcher/" + name, statement, problem)) {
      return false;
    }
  }
  auto text = SignStatement(statement, privatePems);
  if (!text || static_cast<std::int64_t>(text->size()) > kMaxStatementBytes) {
    problem = !text ? "the release key cannot sign" : "the statement would exceed 64 KiB";
    return false;
  }
  const fs::path path = patcher / "statement";
  if (!ReplaceFile(path, *text)) {
    problem = path.string() + ": cannot write";
    return false;
  }
  return CheckWritten(path, privatePems, problem);
}

bool RefreshStatement(const fs::path& root, const std::vector<std::string>& privatePems,
                      std::int64_t now, std::int64_t lifetime, std::string& summary,
                      std::string& problem) {
  const fs::path path = root / "patcher" / "statement";
  std::string bytes;
  SignedStatement served;
  if (!ReadWholeFile(path, bytes)) {
    problem = path.string() + ": cannot read (build the tree with --release-key first)";
    return false;
  }
  if (!ParseReleaseStatement(bytes, served, problem)) {
    problem = path.string() + ": " + problem;
    return false;
  }
  // Only what one of these keys signed before is signed again, and only
  // while the tree still holds what it names: a statement or a list changed
  // on the server must not get a fresh signature from a cron job.
  if (CheckStatementSignatures(served, *PublicHalves(privatePems)) != SignatureCheck::kValid) {
    problem = path.string() + ": not signed by any of the given keys; not refreshed";
    return false;
  }
  for (const BoundFile& bound : served.statement.files) {
    std::string sha256;
    std::int64_t size = 0;
    if (!HashFile(root / fs::path(bound.path), sha256, size) || size != bound.size ||
        sha256 != bound.sha256) {
      problem = bound.path + ": does not match the statement; not refreshed";
      return false;
    }
  }
  ReleaseStatement statement = served.statement;
  statement.signedAt = now;
  statement.expiresAt = now + lifetime;
  auto text = SignStatement(statement, privatePems);
  if (!text) {
    problem = "the release key cannot sign";
    return false;
  }
  if (!ReplaceFile(path, *text)) {
    problem = path.string() + ": cannot write";
    return false;
  }
  if (!CheckWritten(path, privatePems, problem)) return false;
  summary = "refreshed the statement of version " + std::to_string(statement.version) +
            ": signed " + FormatUtcTime(now) + ", expires " + FormatUtcTime(statement.expiresAt);
  return true;
}

}  // namespace launcher::publish
