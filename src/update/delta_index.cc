#include "update/delta_index.h"

#include <charconv>

#include "crypto/sha256_digest.h"
#include "crypto/signature_verifier.h"
#include "crypto/signer.h"
#include "update/list_path.h"

namespace launcher {
namespace {

bool IsLowerHex(std::string_view text, std::size_t length) {
  if (text.size() != length) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// A decimal number without sign or leading zeros, below 2^63.
bool ParseSize(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0')) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// An expanded list path as the publisher writes it: "./" and runs of the
// list alphabet separated by "/".
bool IsExpandedPath(std::string_view path) {
  if (path.size() < 3 || path.size() > kMaxExpandedTokenBytes || !path.starts_with("./")) {
    return false;
  }
  for (char c : path.substr(2)) {
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '=';
    if (!alphabet && c != '/') return false;
  }
  return path.back() != '/' && path.find("//") == std::string_view::npos;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start <= line.size()) {
    const std::size_t space = line.find(' ', start);
    const std::size_t end = space == std::string_view::npos ? line.size() : space;
    fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

std::optional<DeltaPatch> ParsePatchLine(std::string_view line) {
  const std::vector<std::string_view> f = SplitFields(line);
  if (f.size() != 9) return std::nullopt;
  DeltaPatch patch;
  patch.path = f[0];
  patch.baseDigest = f[1];
  patch.baseSha256 = f[2];
  patch.resultDigest = f[3];
  patch.resultSha256 = f[5];
  patch.patchMd5 = f[7];
  patch.place = f[8];
  if (!IsExpandedPath(patch.path) || !IsLowerHex(patch.baseDigest, 32) ||
      !IsSha256Hex(patch.baseSha256) || !IsLowerHex(patch.resultDigest, 32) ||
      !ParseSize(f[4], patch.resultSize) || !IsSha256Hex(patch.resultSha256) ||
      !ParseSize(f[6], patch.patchSize) || patch.patchSize == 0 ||
      !IsLowerHex(patch.patchMd5, 32) || !IsSafePatchPlace(patch.place) ||
      patch.baseDigest == patch.resultDigest) {
    return std::nullopt;
  }
  return patch;
}

}  // namespace

std::string FormatDeltaIndex(const DeltaIndex& index, std::string_view comment) {
  std::string text(kDeltaIndexHeader);
  text += '\n';
  if (!comment.empty()) text.append("# ").append(comment).append("\n");
  text += "version " + std::to_string(index.version) + "\n";
  for (const DeltaPatch& p : index.patches) {
    text += p.path + ' ' + p.baseDigest + ' ' + p.baseSha256 + ' ' + p.resultDigest + ' ' +
            std::to_string(p.resultSize) + ' ' + p.resultSha256 + ' ' +
            std::to_string(p.patchSize) + ' ' + p.patchMd5 + ' ' + p.place + '\n';
  }
  return text;
}

std::optional<DeltaIndex> ParseDeltaIndex(std::string_view content, std::string& problem) {
  DeltaIndex index;
  std::size_t start = 0;
  int lineNumber = 0;
  bool sawVersion = false;
  while (start < content.size()) {
    const std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos) {
      problem = "the last line has no line end";
      return std::nullopt;
    }
    const std::string_view line = content.substr(start, end - start);
    start = end + 1;
    const std::string where = "line " + std::to_string(++lineNumber) + ": ";
    if (lineNumber == 1) {
      if (line != kDeltaIndexHeader) {
        problem = where + "not a delta index of this format";
        return std::nullopt;
      }
      continue;
    }
    if (line.starts_with("#")) continue;
    if (!sawVersion) {
      std::uint64_t version = 0;
      if (!line.starts_with("version ") || !ParseSize(line.substr(8), version) || version < 1 ||
          version > 0x7FFFFFFF) {
        problem = where + "\"version N\" expected";
        return std::nullopt;
      }
      index.version = static_cast<int>(version);
      sawVersion = true;
      continue;
    }
    std::optional<DeltaPatch> patch = ParsePatchLine(line);
    if (!patch) {
      problem = where + "not a patch line";
      return std::nullopt;
    }
    index.patches.push_back(std::move(*patch));
  }
  if (!sawVersion) {
    problem = "no version line";
    return std::nullopt;
  }
  return index;
}

std::optional<std::string> SignedContent(std::string_view raw) {
  const std::string text = TextModeContent(raw);
  std::size_t line = 0;
  while (line < text.size()) {
    const std::string_view rest = std::string_view(text).substr(line);
    if (rest.starts_with(kSignatureMarker)) {
      std::string content = text.substr(0, line);
      // The verifier digests each piece of a line up to its first NUL and
      // takes a piece that begins with the marker text as the marker, even
      // inside a long line: content where that could happen would be read
      // otherwise than it was verified.
      if (content.find('\0') != std::string::npos ||
          content.find(kSignatureMarker) != std::string::npos) {
        return std::nullopt;
      }
      return content;
    }
    const std::size_t end = text.find('\n', line);
    if (end == std::string::npos) break;
    line = end + 1;
  }
  return std::nullopt;
}

bool IsSafePatchPlace(std::string_view place) {
  if (place.empty() || place.size() > 255) return false;
  std::size_t start = 0;
  while (start <= place.size()) {
    const std::size_t slash = place.find('/', start);
    const std::size_t end = slash == std::string_view::npos ? place.size() : slash;
    const std::string_view part = place.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    for (char c : part) {
      const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '-' || c == '+' || c == '=';
      if (!ok) return false;
    }
    start = end + 1;
  }
  return true;
}

DeltaLookup::DeltaLookup(DeltaIndex index) : index_(std::move(index)) {
  for (std::size_t i = 0; i < index_.patches.size(); ++i) {
    const DeltaPatch& p = index_.patches[i];
    byResult_.emplace(std::make_pair(p.path, p.resultDigest), i);
  }
}

std::vector<const DeltaPatch*> DeltaLookup::ForResult(std::string_view path,
                                                      std::string_view resultDigest) const {
  std::vector<const DeltaPatch*> found;
  const auto [first, last] =
      byResult_.equal_range(std::make_pair(std::string(path), std::string(resultDigest)));
  for (auto it = first; it != last; ++it) found.push_back(&index_.patches[it->second]);
  return found;
}

}  // namespace launcher
