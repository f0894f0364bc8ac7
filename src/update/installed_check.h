// Planning the "is it current?" checks of a pass for the look-ahead.
// IsInstalledFileCurrent itself is declared in file_fetch.h; it asks, in
// turn, the record of verified files, the look-ahead's answer and, when
// neither answers, the file's content.
//
// Worker thread only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace launcher {

// What the last IsInstalledFileCurrent learnt of the installed file: the
// decoded path it was asked about and the text form of the digest of the
// file's compressed form, empty when the file was missing or unreadable.
// The fetch that follows the check takes it as the base a patch must match,
// without reading the file again.
struct InstalledDigest {
  std::u16string decodedPath;
  std::string digest;  // list digest form; empty when not learnt
  std::string sha256;  // the installed file's SHA-256, when a release manifest was asked
};
const InstalledDigest& LastInstalledDigest();

// The SHA-256 of the installed file PatcherDirPath + decodedPath, read as
// the check reads it (one guarded section, the file bar). False when it is
// not a regular file inside the patcher directory or cannot be read.
bool InstalledSha256(std::u16string_view decodedPath, std::string& hex);

// The installed files (PatcherDirPath + decoded path) that a pass over the
// list at `listPath` will check, in its order: the entries after the first
// `skipEntries` ones, but the deletions of an incremental list, the entries
// `excluded` marks (by entry number), paths that would leave the patcher
// directory and files the record of verified files answers. Decodes with
// CurrentListDir as it stands (the pass's starting point) and leaves it as
// it was; shows nothing.
std::vector<std::u16string> PlanInstalledChecks(std::u16string_view listPath, bool incremental,
                                                int skipEntries,
                                                const std::vector<bool>* excluded = nullptr);

}  // namespace launcher
