// Fetching the list of the release the server names, so that the list and
// the version number it is applied under belong to one release.
//
// The version file and a list are two requests; a release published between
// them (a tree switched, a cache refreshed, an upload half done) would give
// the list of one release and the number of another. An incremental list
// applied under the wrong number misses the changes of a version, for good.
// So once the list is here the version file is read again: the list belongs
// to ServerVersion only when the server still names that release. When it
// names another (or holds 0: an upload under way), the list is dropped,
// ServerVersion takes the new number and that release's list is fetched
// (logged MSG_LOG_RELEASE_CHANGED). A version file that does not come at all
// changes nothing, as for the first fetch. With the upload order of
// docs/publishing.md this catches every mix.
//
// Worker thread only; everything comes from the home server (mirror_walk.h).
#pragma once

#include <functional>
#include <string>

namespace launcher {

inline constexpr int kReleaseListTries = 3;

// Fetches `listUrl()` (asked again for every release) into `path`. True with
// the list of release ServerVersion in `path`; false, and `path` deleted,
// when the version file then names no release that `acceptable` takes, or
// kept changing over kReleaseListTries fetches.
bool FetchListOfRelease(const std::function<std::u16string()>& listUrl, const std::u16string& path,
                        const std::function<bool(int version)>& acceptable);

}  // namespace launcher
