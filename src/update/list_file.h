// Reading the file lists ("FullList.sw", "inc.sw") line by line.
//
// A list is 8-bit text read with the text-mode rules (CR LF reads as LF).
// In file order it holds entry lines and comment lines (first byte "#"),
// then the marker line "-----BEGIN KESTREL SIGNATURE-----" (that text and
// nothing else), then the signature block, which readers never look at. A
// line is at most 399 bytes including its line end.
//
// The lists are read again from disk for every pass rather than kept in
// memory; only the current line is held. A ListReader is used by one thread
// and closes its file when destroyed.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "files/text_file.h"

namespace launcher {

inline constexpr std::size_t kMaxListLineBytes = 399;    // line end included
inline constexpr std::size_t kMaxDigestTokenBytes = 51;  // first token of an entry
inline constexpr std::string_view kListMarkerLine = "-----BEGIN KESTREL SIGNATURE-----";

enum class ListLine {
  kEntry,     // anything before the marker that is not a comment
  kComment,   // first byte "#"
  kMarker,    // the exact marker line: the signed content ends here
  kEnd,       // end of the file without a marker
  kOverlong,  // a line longer than the format allows
};

class ListReader {
 public:
  explicit ListReader(std::u16string_view path);
  bool is_open() const { return reader_.is_open(); }

  // Reads the next line into `line`, without its line end.
  ListLine Next(std::string& line);
  // Reads lines up to the next entry; returns kEntry, or where it stopped
  // (kMarker, kEnd, kOverlong).
  ListLine NextEntry(std::string& line);
  // Back to the first line.
  void Rewind() { reader_.Rewind(); }

 private:
  TextModeReader reader_;
};

// The two tokens of an entry line, read like "%s %s": white space separates
// them and anything after the second is ignored.
struct ListEntryTokens {
  std::string digestToken;  // incremental lists: operation character + digest
  std::string pathToken;    // encoded path, expanded in place by the callers
};

// False when the line holds fewer than two tokens or the digest token is
// longer than kMaxDigestTokenBytes.
bool SplitListEntry(std::string_view line, ListEntryTokens& tokens);

// Entries before the marker (or the end): lines that are not comments. The
// reader is left at an unspecified place; Rewind before reading again.
int CountListEntries(ListReader& reader);

}  // namespace launcher
