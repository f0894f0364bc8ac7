#include "update/release_list.h"

#include <optional>
#include <string>

#include "files/file_ops.h"
#include "files/log.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "update/mirror_walk.h"
#include "update/state_files.h"
#include "update/update_state.h"

namespace launcher {
namespace {

// The release the server names now: 0 when its version file holds no
// release (an upload under way), none when no version file came at all (a
// failed fetch keeps the answer the run has, as the first fetch does).
std::optional<int> VersionNamedNow() {
  FetchFromHome([] { return PatchUrl + u"version"; }, NewVersionFilePath);
  if (QueryFileSize(NewVersionFilePath) < 0) return std::nullopt;
  int version = 0;
  ReadNumberFile(NewVersionFilePath, version);
  DeleteFileForced(NewVersionFilePath);
  return version;
}

}  // namespace

bool FetchListOfRelease(const std::function<std::u16string()>& listUrl, const std::u16string& path,
                        const std::function<bool(int version)>& acceptable) {
  for (int tries = 0; tries < kReleaseListTries; ++tries) {
    FetchFromHome(listUrl, path);
    const std::optional<int> now = VersionNamedNow();
    if (!now || *now == ServerVersion) return true;
    const int named = *now;
    DeleteFileForced(path);
    LogTextWithName(Message(MSG_LOG_RELEASE_CHANGED), Widen(std::to_string(named)));
    if (named == 0 || !acceptable(named)) return false;
    ServerVersion = named;
  }
  return false;
}

}  // namespace launcher
