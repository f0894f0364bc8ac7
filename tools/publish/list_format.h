// Writing list content: the full list ("files.md5") and the incremental
// lists ("v-<n>.inc"), before signing.
//
// Entries are grouped by directory. The first entry of each directory group
// is written in the "/" form ("/<dir>/<name>", or "/<name>" for the root),
// which sets the reader's current directory; the following entries of the
// group are written as "<name>" alone. A list therefore starts with a "/"
// entry and reads the same in every pass. Lines end with LF.
//
// In an incremental list the deletes come first, then the adds: the
// launcher applies entries in file order, and a path deleted and re-added
// under another letter case, or a file turned into a directory, must lose
// its old form before the new one is moved in.
//
// Pure functions; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace launcher::publish {

// Digest token of a delete entry: the operation character and a placeholder
// digest the launcher does not read.
inline constexpr std::string_view kDeleteToken = "-00000000000000000000000000000000";
inline constexpr char kAddOperation = '+';

struct ListEntry {
  std::string path;     // relative, "/"-separated UTF-8
  bool remove = false;  // incremental lists only: a "-" entry
  std::string digest;   // the list digest (32 lower-case hex), for a present file
};

enum class ListKind { kFull, kIncremental };

// The content of one list: an optional "# <comment>" line, then the entries.
// Returns nullopt and sets `problem` when a line would exceed the line limit
// or the comment holds a line break or control character.
std::optional<std::string> FormatList(ListKind kind, std::vector<ListEntry> entries,
                                      std::string_view comment, std::string& problem);

// Splits "dir/sub/name" into "dir/sub" and "name" ("" for the root).
std::pair<std::string_view, std::string_view> SplitDirectory(std::string_view path);

}  // namespace launcher::publish
