// The release manifest ("patcher/manifest" on the server, "manifest.sw"
// when fetched): for every file of the release, the size and SHA-256 of its
// compressed form (what the server serves) and of its installed form. It is
// not signed itself; the release statement names its size and SHA-256.
// Format in docs/formats.md.
//
// ReleaseManifest keeps the manifest's text and the offsets of its lines,
// which the format requires in path order, so a look-up is a binary search
// and memory is the file's size plus a few bytes an entry. A plain value,
// used by one thread at a time once parsed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

inline constexpr std::string_view kManifestHeader = "release-manifest 1";

struct ManifestEntry {
  std::int64_t compressedSize = 0;
  std::string compressedSha256;  // 64 lower-case hex digits
  std::int64_t installedSize = 0;
  std::string installedSha256;
};

class ReleaseManifest {
 public:
  // Takes the whole manifest. False, with the first fault in `problem`,
  // for anything but the documented form; the manifest is then empty.
  bool Parse(std::string text, std::string& problem);

  // The entry of a relative path, "/"-separated UTF-8 ("data/main.exe";
  // a leading "./" is passed over, as list paths have it). False when the
  // manifest does not name the path.
  bool Find(std::string_view path, ManifestEntry& entry) const;
  bool Find(std::u16string_view decodedPath, ManifestEntry& entry) const;

  std::size_t size() const { return lines_.size(); }

  // The text of a manifest naming `entries` (path -> entry; a std::map keeps
  // them in the byte order the format requires).
  static std::string Format(const std::map<std::string, ManifestEntry>& entries);

 private:
  std::string_view PathAt(std::size_t index) const;

  std::string text_;
  std::vector<std::size_t> lines_;  // offset of each entry line in text_
};

}  // namespace launcher
