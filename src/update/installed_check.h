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
