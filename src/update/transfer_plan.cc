#include "update/transfer_plan.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>

#include "files/log.h"
#include "files/paths.h"
#include "files/string_table.h"
#include "files/utf16.h"
#include "platform/clock.h"
#include "seam/status_display.h"
#include "update/file_fetch.h"
#include "update/list_entry.h"
#include "update/list_file.h"
#include "update/list_path.h"
#include "update/release_trust.h"
#include "update/update_state.h"

namespace launcher {
namespace {

// Planned files not settled yet: decoded path (UTF-8) -> compressed size.
std::unordered_map<std::string, std::int64_t> g_pending;
bool g_spaceShort = false;

std::string Key(std::u16string_view decodedPath) {
  std::string key = ToUtf8(decodedPath);
  while (key.size() > 2 && key.compare(0, 2, "./") == 0) key.erase(0, 2);
  return key;
}

std::int64_t InstalledSize(const std::u16string& decodedPath) {
  std::error_code ec;
  const auto path = ToPath(PatcherDirPath + decodedPath);
  const auto status = std::filesystem::symlink_status(path, ec);
  if (ec || !std::filesystem::is_regular_file(status)) return -1;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? -1 : static_cast<std::int64_t>(size);
}

struct Plan {
  std::int64_t transfer = 0;   // compressed bytes to fetch
  std::int64_t installed = 0;  // installed bytes to stage
  std::int64_t largestCompressed = 0;
};

// Walks the list as the passes read it. False when an entry the pass would
// fetch is not in the manifest (its name is logged).
bool PlanList(const std::u16string& listPath, bool incremental, int skipEntries,
              const std::vector<bool>& superseded, const ReleaseManifest& manifest, Plan& plan) {
  ListReader list(listPath);
  if (!list.is_open()) return false;
  const std::string savedDir = CurrentListDir;
  RewindForPass(list);
  std::string line;
  bool named = true;
  for (std::size_t index = 0; list.NextEntry(line) == ListLine::kEntry; ++index) {
    ListedFile file;
    if (!ReadListedFileQuietly(line, incremental, file)) {
      named = false;
      break;
    }
    if (file.operation == '-' || (index < superseded.size() && superseded[index])) continue;
    ManifestEntry entry;
    if (!manifest.Find(std::u16string_view(file.decodedPath), entry)) {
      LogTextWithName(Message(MSG_LOG_NOT_IN_MANIFEST), file.decodedPath);
      named = false;
      break;
    }
    if (static_cast<int>(index) < skipEntries) continue;
    // The full check fetches only what differs; a file of another size
    // certainly does. An incremental list names what changed.
    if (!incremental && InstalledSize(file.decodedPath) == entry.installedSize) continue;
    const std::string key = Key(file.decodedPath);
    if (g_pending.count(key) != 0) continue;
    g_pending.emplace(key, entry.compressedSize);
    plan.transfer += entry.compressedSize;
    plan.installed += entry.installedSize;
    plan.largestCompressed = std::max(plan.largestCompressed, entry.compressedSize);
  }
  CurrentListDir = savedDir;
  return named;
}

bool RoomFor(std::int64_t needed) {
  for (const std::u16string& dir :
       {TempFilePath.substr(0, TempFilePath.rfind(u'/') + 1), PatcherDirPath}) {
    const std::int64_t free = FreeDiskBytes(dir);
    if (free >= 0 && free < needed) return false;
  }
  return true;
}

}  // namespace

std::int64_t FreeDiskBytes(const std::u16string& directory) {
  std::error_code ec;
  const std::filesystem::space_info info = std::filesystem::space(ToPath(directory), ec);
  if (ec || info.available == static_cast<std::uintmax_t>(-1)) return -1;
  return static_cast<std::int64_t>(
      std::min<std::uintmax_t>(info.available, static_cast<std::uintmax_t>(INT64_MAX)));
}

bool PrepareSignedPass(const std::u16string& listPath, bool incremental, int skipEntries,
                       const std::vector<bool>& superseded) {
  ForgetTransferPlan();
  if (AcceptedStatement() == nullptr) return true;
  if (!LoadReleaseManifest()) {
    ReportListUnusable();
    return false;
  }
  Plan plan;
  if (!PlanList(listPath, incremental, skipEntries, superseded, *ActiveManifest(), plan)) {
    ForgetTransferPlan();
    ReportListUnusable();
    return false;
  }
  // A resumed transfer has part of its file already.
  if (incremental && BytesDone > 0)
    plan.transfer = std::max<std::int64_t>(0, plan.transfer - BytesDone);
  if (!RoomFor(plan.installed + plan.largestCompressed + kSpareDiskBytes)) {
    ForgetTransferPlan();
    g_spaceShort = true;
    LogText(Message(MSG_LOG_DISK_SPACE_LOW));
    SetStatusText(Message(MSG_DISK_SPACE_LOW));
    SetDetailText(u"");
    SleepMs(kOutcomePauseMs);
    return false;
  }
  KnownTransferTotal = plan.transfer;
  return true;
}

bool DiskSpaceWasShort() { return g_spaceShort; }

bool SignedEntryFor(std::u16string_view decodedPath, ManifestEntry& entry) {
  const ReleaseManifest* manifest = ActiveManifest();
  return manifest != nullptr && manifest->Find(decodedPath, entry);
}

void NoteTransferStarting(std::u16string_view decodedPath) {
  if (KnownTransferTotal < 0) return;
  const std::string key = Key(decodedPath);
  const auto it = g_pending.find(key);
  if (it != g_pending.end()) {
    g_pending.erase(it);  // counted already; a later check of it changes nothing
    return;
  }
  ManifestEntry entry;
  if (SignedEntryFor(decodedPath, entry)) KnownTransferTotal += entry.compressedSize;
}

void NoteFoundCurrent(std::u16string_view decodedPath) {
  if (KnownTransferTotal < 0) return;
  const auto it = g_pending.find(Key(decodedPath));
  if (it == g_pending.end()) return;
  KnownTransferTotal = std::max<std::int64_t>(0, KnownTransferTotal - it->second);
  g_pending.erase(it);
}

void ForgetTransferPlan() {
  g_pending.clear();
  g_spaceShort = false;
}

}  // namespace launcher
