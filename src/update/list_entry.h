// List entries in the form the update passes use: the split tokens, the
// expanded encoded path (for the download address) and the decoded relative
// path (for the files), checked to stay inside the root it is joined to.
//
// Decoding goes through ExpandListPath, so it advances CurrentListDir; the
// passes decode every entry in file order, each pass starting with
// RewindForPass. Worker thread only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "update/list_file.h"

namespace launcher {

struct ListedFile {
  // Incremental lists: the first character of the digest token ("-" deletes);
  // full lists: 0.
  char operation = 0;
  std::string listDigest;      // 32 lower-case hex digits when well formed
  std::string expandedPath;    // e.g. "./ZGF0YQ==/bWFpbi5leGU="
  std::u16string decodedPath;  // e.g. u"./data/main.exe", "/" separators only
};

// Expands and decodes `token` (left expanded), shows the decoded file name on
// the detail line, and checks the result with SanitizeDecodedPath. False for
// a path that is not valid UTF-8, too long, or would leave its root.
bool DecodeAndShowListPath(std::string& token, std::u16string& decodedPath);

// Splits an entry line and decodes its path as above. `incremental` selects
// the incremental digest token (operation character + digest).
bool ReadListedFile(std::string_view line, bool incremental, ListedFile& file);

// Back to the list's first line, with CurrentListDir empty as at the start
// of a run. Every pass starts here, so an entry before the list's first "/"
// entry names the same file (directly under the root) in every pass.
void RewindForPass(ListReader& reader);
// ReadListedFile without the detail line, for planning a pass ahead of it.
// Advances CurrentListDir the same way.
bool ReadListedFileQuietly(std::string_view line, bool incremental, ListedFile& file);

// Reads the whole list once before anything is changed and answers whether
// every entry is well formed: two tokens within their limits, a path that
// decodes to valid UTF-8 and stays inside its root, and no overlong line;
// and whether its final state can exist: no file it leaves in place lies
// inside another one (as "a" and "a/b").
// Entries are read as every pass reads them (from RewindForPass), so no pass
// can meet an entry that was not checked. CurrentListDir is left as it was;
// the reader is rewound.
//
// `superseded`, when given, receives one mark per entry in list order: set
// when a later entry names the same file. The later entry is what counts,
// so the passes leave a superseded entry alone: the file is fetched once
// and the final state is that of the last entry.
bool ValidateListEntries(ListReader& reader, bool incremental,
                         std::vector<bool>* superseded = nullptr);

// What both update paths do with a list that fails its signature check or
// validation: log MSG_LOG_LIST_UNUSABLE, show MSG_LIST_UNUSABLE, clear the
// detail line and pause. Returns 0, the update's failure result.
int ReportListUnusable();

}  // namespace launcher
