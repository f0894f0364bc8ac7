#include "publish/content_index.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "platform/native_file.h"

namespace launcher::publish {

bool ContentIndex::SameContent(const SnapshotFile& a, const SnapshotFile& b) {
  if (a.size != b.size) return false;
  if (a.device == b.device && a.inode == b.inode && a.mtimeNs == b.mtimeNs) return true;
  if (a.size == 0) return true;
  auto da = RawDigest(a);
  auto db = RawDigest(b);
  return da && db && *da == *db;
}

std::optional<RawDigestBytes> ContentIndex::RawDigest(const SnapshotFile& file) {
  const Identity id{file.device, file.inode, file.size, file.mtimeNs};
  if (auto it = digests_.find(id); it != digests_.end()) return it->second;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(OpenStdioFile(file.source, "rb"),
                                                     &std::fclose);
  if (!in) {
    errors_[file.source.string()] = "cannot open for reading";
    return std::nullopt;
  }
  // SHA-256: collision-resistant, and faster than MD5 where the processor
  // has SHA instructions.
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> sha(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!sha || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1) {
    errors_[file.source.string()] = "no SHA-256 digest available";
    return std::nullopt;
  }
  std::vector<unsigned char> buffer(1 << 20);
  std::uint64_t total = 0;
  while (true) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in.get());
    if (got > 0) EVP_DigestUpdate(sha.get(), buffer.data(), got);
    total += got;
    if (got < buffer.size()) break;
  }
  if (std::ferror(in.get()) != 0) {
    errors_[file.source.string()] = "read error";
    return std::nullopt;
  }
  bytesRead_ += total;
  if (total != file.size) {
    // Changed while the build runs: its digest would not describe what is
    // compressed later.
    errors_[file.source.string()] = "changed while being read";
    return std::nullopt;
  }
  RawDigestBytes digest{};
  unsigned length = 0;
  EVP_DigestFinal_ex(sha.get(), digest.data(), &length);
  digests_.emplace(id, digest);
  return digest;
}

}  // namespace launcher::publish
