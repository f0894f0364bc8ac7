#include "update/release_manifest.h"

#include <algorithm>
#include <charconv>

#include "crypto/sha256_digest.h"
#include "files/utf16.h"
#include "update/release_statement.h"

namespace launcher {
namespace {

// Entry fields before the path: two sizes and two digests, each followed by
// one space.
struct Fields {
  std::string_view compressedSize, compressedSha, installedSize, installedSha, path;
};

bool SplitEntry(std::string_view line, Fields& f) {
  std::string_view* parts[] = {&f.compressedSize, &f.compressedSha, &f.installedSize,
                               &f.installedSha};
  for (std::string_view* part : parts) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || space == 0) return false;
    *part = line.substr(0, space);
    line.remove_prefix(space + 1);
  }
  f.path = line;
  return true;
}

bool ParseSize(std::string_view text, std::int64_t& value) {
  if (text.empty() || text.size() > 16 || (text.size() > 1 && text[0] == '0')) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value >= 0;
}

// A relative path of non-empty components other than "." and "..", with no
// control character and no backslash.
bool IsRelativePath(std::string_view path) {
  for (char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\') return false;
  }
  return HasProperComponents(path);
}

std::string_view WithoutDotSlash(std::string_view path) {
  while (path.size() > 2 && path.substr(0, 2) == "./") path.remove_prefix(2);
  return path;
}

}  // namespace

bool ReleaseManifest::Parse(std::string text, std::string& problem) {
  text_.clear();
  lines_.clear();
  const std::string header = std::string(kManifestHeader) + "\n";
  if (text.compare(0, header.size(), header) != 0) {
    problem = "not a release manifest";
    return false;
  }
  std::vector<std::size_t> lines;
  std::string_view previous;
  for (std::size_t at = header.size(); at < text.size();) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      problem = "the last line has no end";
      return false;
    }
    const std::string_view line(text.data() + at, end - at);
    Fields f;
    std::int64_t size = 0;
    if (!SplitEntry(line, f) || !ParseSize(f.compressedSize, size) ||
        !ParseSize(f.installedSize, size) || !IsSha256Hex(f.compressedSha) ||
        !IsSha256Hex(f.installedSha) || !IsRelativePath(f.path)) {
      problem = "bad line " + std::to_string(lines.size() + 2);
      return false;
    }
    if (!lines.empty() && !(previous < f.path)) {
      problem = "paths not in strict byte order at line " + std::to_string(lines.size() + 2);
      return false;
    }
    previous = f.path;
    lines.push_back(at);
    at = end + 1;
  }
  text_ = std::move(text);
  lines_ = std::move(lines);
  return true;
}

std::string_view ReleaseManifest::PathAt(std::size_t index) const {
  std::string_view line(text_.data() + lines_[index], text_.size() - lines_[index]);
  line = line.substr(0, line.find('\n'));
  Fields f;
  SplitEntry(line, f);
  return f.path;
}

bool ReleaseManifest::Find(std::string_view path, ManifestEntry& entry) const {
  path = WithoutDotSlash(path);
  std::size_t low = 0;
  std::size_t high = lines_.size();
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (PathAt(mid) < path) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low == lines_.size() || PathAt(low) != path) return false;
  std::string_view line(text_.data() + lines_[low], text_.size() - lines_[low]);
  Fields f;
  SplitEntry(line.substr(0, line.find('\n')), f);
  ParseSize(f.compressedSize, entry.compressedSize);
  ParseSize(f.installedSize, entry.installedSize);
  entry.compressedSha256 = std::string(f.compressedSha);
  entry.installedSha256 = std::string(f.installedSha);
  return true;
}

bool ReleaseManifest::Find(std::u16string_view decodedPath, ManifestEntry& entry) const {
  return Find(std::string_view(ToUtf8(decodedPath)), entry);
}

std::string ReleaseManifest::Format(const std::map<std::string, ManifestEntry>& entries) {
  std::string text = std::string(kManifestHeader) + "\n";
  for (const auto& [path, e] : entries) {
    text += std::to_string(e.compressedSize) + " " + e.compressedSha256 + " " +
            std::to_string(e.installedSize) + " " + e.installedSha256 + " " + path + "\n";
  }
  return text;
}

}  // namespace launcher
