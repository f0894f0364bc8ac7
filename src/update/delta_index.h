// The delta index ("patcher/delta.idx" on the server): the patches the
// publisher made for the newest version, each naming the file it is for,
// the content it applies to, the content it gives and where it is served.
// A signed file in the lists' format (crypto/signature_verifier.h), signed
// with the same key; its content is 8-bit text, byte for byte as
// docs/formats.md says.
//
// Parsing is all or nothing: one malformed line refuses the whole index.
// Pure functions and plain values; safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace launcher {

// The first line of the content.
inline constexpr std::string_view kDeltaIndexHeader = "delta-index 1";
// Where the server serves the index, below the patcher URL.
inline constexpr std::string_view kDeltaIndexName = "delta.idx";
// A larger index is refused before it is read.
inline constexpr std::uint64_t kMaxDeltaIndexBytes = 32u << 20;

struct DeltaPatch {
  std::string path;          // the list entry's expanded path token ("./ZGF0YQ==/...")
  std::string baseDigest;    // list digest of the content the patch applies to
  std::string baseSha256;    // SHA-256 of the base's bytes (64 hex digits)
  std::string resultDigest;  // list digest of the content it gives
  std::uint64_t resultSize = 0;
  std::string resultSha256;  // SHA-256 of the result's bytes (64 hex digits)
  std::uint64_t patchSize = 0;
  std::string patchMd5;  // MD5 of the patch file (32 hex digits)
  std::string place;     // the patch file, relative to the patcher URL
};

struct DeltaIndex {
  int version = 0;  // the version whose files the results are
  std::vector<DeltaPatch> patches;
};

// The content of an index: header, "version V", then one line per patch
// ("# <comment>" first when the comment is not empty). LF line ends.
std::string FormatDeltaIndex(const DeltaIndex& index, std::string_view comment = {});

// Parses index content (the signed content, before the marker line).
// nullopt with `problem` set when anything is malformed.
std::optional<DeltaIndex> ParseDeltaIndex(std::string_view content, std::string& problem);

// The signed content of a whole signed file as the verifier reads it
// (text-mode translation, everything before the first line that begins
// with the marker). nullopt when there is no marker, or when the content
// holds a byte the verifier would not digest as the parser reads it (a NUL)
// or the marker text inside a line.
std::optional<std::string> SignedContent(std::string_view raw);

// True for a relative place the launcher may join to its patcher URL:
// letters, digits and "._-+=" in components separated by "/", none empty,
// "." or "..", at most 255 bytes.
bool IsSafePatchPlace(std::string_view place);

// The patches of an index by file and result, for the launcher's look-up.
class DeltaLookup {
 public:
  DeltaLookup() = default;
  explicit DeltaLookup(DeltaIndex index);

  // The patches for `path` that give `resultDigest`, any base.
  std::vector<const DeltaPatch*> ForResult(std::string_view path,
                                           std::string_view resultDigest) const;

 private:
  DeltaIndex index_;
  std::multimap<std::pair<std::string, std::string>, std::size_t> byResult_;
};

}  // namespace launcher
