#include "publish/reuse.h"

#include <zstd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "crypto/md5_digest.h"
#include "crypto/signer.h"
#include "files/utf16.h"
#include "pack/pack_format.h"
#include "platform/native_file.h"
#include "publish/path_rules.h"
#include "update/list_path.h"

namespace launcher::publish {

namespace fs = std::filesystem;

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File Open(const fs::path& path) { return File(OpenStdioFile(path, "rb"), &std::fclose); }

// True when `compressed` has the MD5 `digest` and decompresses to exactly
// the bytes of `plain`.
bool MatchesCompressedForm(const fs::path& compressed, const std::string& digest,
                           const fs::path& plain) {
  File packed = Open(compressed);
  File original = Open(plain);
  std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx*)> dctx(ZSTD_createDCtx(), &ZSTD_freeDCtx);
  if (!packed || !original || !dctx ||
      ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, kMaxWindowLog))) {
    return false;
  }
  std::vector<unsigned char> in(ZSTD_DStreamInSize());
  std::vector<unsigned char> out(ZSTD_DStreamOutSize());
  std::vector<unsigned char> expected(out.size());
  Md5Digest md5;
  std::size_t pending = 1;  // non-zero until a frame has ended
  while (true) {
    const std::size_t got = std::fread(in.data(), 1, in.size(), packed.get());
    if (got == 0) break;
    md5.Update(in.data(), got);
    ZSTD_inBuffer source{in.data(), got, 0};
    while (source.pos < source.size) {
      if (pending == 0) return false;  // bytes after the frame
      ZSTD_outBuffer target{out.data(), out.size(), 0};
      pending = ZSTD_decompressStream(dctx.get(), &target, &source);
      if (ZSTD_isError(pending)) return false;
      if (target.pos > 0 &&
          (std::fread(expected.data(), 1, target.pos, original.get()) != target.pos ||
           std::memcmp(expected.data(), out.data(), target.pos) != 0)) {
        return false;
      }
    }
  }
  if (pending != 0 || std::ferror(packed.get()) != 0) return false;
  // The original must end where the decompressed form ends.
  if (std::fgetc(original.get()) != EOF) return false;
  char text[kDigestTextCapacity] = {};
  unsigned capacity = sizeof text;
  md5.Final();
  return md5.ToHex(text, capacity) != nullptr && digest == std::string_view(text, kDigestChars);
}

}  // namespace

ServedTreeReuse::ServedTreeReuse(const fs::path& served, const SignatureVerifier& verifier) {
  const fs::path list = served / "patcher" / "files.md5";
  std::error_code ec;
  if (!fs::is_regular_file(list, ec) || !verifier.VerifySignedFile(FromUtf8Lossy(list.string()))) {
    return;
  }
  std::ifstream in(list, std::ios::binary);
  std::ostringstream raw;
  raw << in.rdbuf();
  std::istringstream lines(TextModeContent(raw.str()));
  const std::string savedDir = CurrentListDir;
  CurrentListDir.clear();
  std::string line;
  while (std::getline(lines, line) && line != kSignatureMarker) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream tokens(line);
    std::string digest;
    std::string token;
    if (!(tokens >> digest >> token)) continue;
    DecodedListPath decoded = DecodeListPath(token);
    std::u16string safe = decoded.path;
    if (!decoded.valid || !SanitizeDecodedPath(safe) || !token.starts_with("./")) continue;
    const std::string path = ToUtf8(safe).substr(2);
    files_[path] = {digest, served / "patcher" / "patcher" / token.substr(2)};
  }
  CurrentListDir = savedDir;
}

bool ServedTreeReuse::TryReuse(const std::string& relPath, const fs::path& source,
                               const fs::path& target, std::string& digest) {
  auto it = files_.find(relPath);
  if (it == files_.end() || !MatchesCompressedForm(it->second.file, it->second.digest, source)) {
    return false;
  }
  std::error_code ec;
  // A link shares the bytes with the tree being replaced; neither tree is
  // ever written in place, so the new one keeps them when the old one goes.
  fs::create_hard_link(it->second.file, target, ec);
  if (ec) fs::copy_file(it->second.file, target, ec);
  if (ec) return false;
  digest = it->second.digest;
  ++reused_;
  return true;
}

}  // namespace launcher::publish
