// Encoded list paths: the path token of a list entry, its expansion against
// the directory of the nearest preceding "/" entry, and its decoding into a
// UTF-16 relative path.
//
// A token is a sequence of runs of the alphabet
// "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-=" (base64
// with "-" in place of "/", and "=" worth 0) separated by other bytes
// (in practice "/", "." and "\"), which are copied unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

inline constexpr std::size_t kMaxExpandedTokenBytes = 351;
inline constexpr std::size_t kMaxDecodedPathUnits = 391;
inline constexpr std::size_t kMaxRunTextUnits = 399;

// The directory of the nearest preceding "/" entry, as an expanded encoded
// path ending in "/". Lives for the whole run; empty at start.
extern std::string CurrentListDir;

// Expands `token` in place: a token that begins with "/" becomes "." + token
// and sets CurrentListDir to it up to and including its last "/"; any other
// token is prefixed with CurrentListDir.
void ExpandListPath(std::string& token);

struct DecodedListPath {
  std::u16string path;      // the relative path, e.g. u"./data/main.exe"
  std::u16string fileName;  // the decoded text of the last run (shown to the user)
  bool valid = false;       // false: a run was not valid UTF-8
};

// Decodes an already expanded token. Runs whose text exceeds 399 units
// contribute nothing.
DecodedListPath DecodeExpandedListPath(std::string_view expandedToken);

// ExpandListPath followed by DecodeExpandedListPath; the token is left expanded.
DecodedListPath DecodeListPath(std::string& token);

// Makes a decoded path safe to join to a root: turns "\" into "/" and
// refuses (returns false) an empty or absolute path, a ".." component, an
// empty component other than a leading ".", a NUL or another control
// character, or a path longer than kMaxDecodedPathUnits. On Windows it also
// refuses a name that ends in a dot or a space ("...", "data."), which the
// system would shorten, a name holding one of <>:"|?* ("a:b" is a stream of
// "a"), and a device name with or without extension ("CON", "nul.txt",
// "COM1", "LPT9.log").
bool SanitizeDecodedPath(std::u16string& path);

// Encodes one UTF-8 name (a path component) as one run, with padding.
std::string EncodeListName(std::string_view utf8Name);
// Encodes a relative path of "/"-separated UTF-8 components, e.g.
// "data/main.exe" -> "./ZGF0YQ==/bWFpbi5leGU=".
std::string EncodeListPath(std::string_view utf8RelativePath);

}  // namespace launcher
