// The UI string table: 200 UTF-16 message slots loaded from "stringtab.txt".
// Filled once on the window thread before the worker starts, then read-only.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace launcher {

inline constexpr int kMessageSlots = 200;
extern std::array<std::u16string, kMessageSlots> g_messages;

// Loads the table (UTF-16LE, first unit skipped, lines in pieces of at most
// 399 units, "<slot> <text>"). A missing file leaves every slot empty; a slot
// outside 0..199 is skipped. Always returns true.
bool LoadStringTable(std::u16string_view path);
// Empties every slot (tests).
void ClearStringTable();

enum MessageSlot : int {
  MSG_MOVE_FAILED = 0,
  MSG_COPY_FAILED = 1,
  MSG_DOWNLOAD_ERROR_1 = 3,
  MSG_DOWNLOAD_ERROR_2 = 4,
  MSG_DOWNLOAD_ERROR_3 = 5,
  MSG_DOWNLOAD_ERROR_4 = 6,
  MSG_DOWNLOAD_ERROR_5 = 7,
  MSG_DOWNLOAD_ERROR_6 = 8,
  MSG_DOWNLOAD_ERROR_7 = 9,
  MSG_DOWNLOAD_ERROR_OTHER = 10,
  MSG_LOG_LIST_UNUSABLE = 11,
  MSG_LIST_UNUSABLE = 12,
  MSG_CHECKING_FILES = 13,
  MSG_LOG_CHECKING_FILE = 14,
  MSG_LOG_FILE_NEEDS_FETCH = 15,
  MSG_DOWNLOADING = 16,
  MSG_LOG_DOWNLOADING_FILE = 17,
  MSG_DECOMPRESS_FAILED = 18,
  MSG_LOG_INSTALL_START = 19,
  MSG_INSTALLING = 20,
  MSG_LOG_INSTALLING_FILE = 21,
  MSG_LOG_FETCHING_LIST = 22,
  MSG_FETCHING_LIST = 23,
  MSG_FULL_CHECK_START = 24,
  MSG_SERVER_INFO_INVALID = 25,
  MSG_SERVER_INFO_MISSING = 26,
  MSG_PID_MISMATCH = 27,
  MSG_LOG_FULL_CHECK_RUN = 28,
  MSG_FULL_CHECK_FAILED = 29,
  MSG_FULL_CHECK_DONE = 30,
  MSG_LOG_FILE_ALREADY_FETCHED = 31,
  MSG_LOG_RESUMING_FILE = 32,
  MSG_LOG_FETCHING_FILE = 33,
  MSG_APPLYING = 34,
  MSG_DELETING = 35,
  MSG_LOG_DELETING_FILE = 36,
  MSG_UPDATE_START = 37,
  MSG_FULL_CHECK_NEEDED = 38,
  MSG_FULL_CHECK_NEEDED_DETAIL = 39,
  MSG_UPDATE_FAILED = 40,
  MSG_UPDATE_DONE = 41,
  MSG_LOG_SESSION_START = 42,
  MSG_WAITING_FOR_PATCHER = 43,
  MSG_PATCHER_STILL_RUNNING = 44,
  MSG_PATCHER_STILL_RUNNING_DETAIL = 45,
  MSG_LOG_PATCHER_RUNNING = 46,
  // Logged with the list's name when the incremental list is missing or
  // unusable and the update goes on from the full list.
  MSG_LOG_INCREMENTAL_LIST_UNUSABLE = 47,
  // The release statement, its manifest and the room for an update.
  MSG_RELEASE_NOT_TRUSTED = 49,
  MSG_LOG_STATEMENT_REFUSED = 50,
  MSG_STATEMENT_EXPIRED = 51,
  MSG_LOG_STATEMENT_EXPIRED = 52,
  MSG_LOG_STATEMENT_ROLLBACK = 53,
  MSG_LOG_VERSION_DISAGREES = 54,
  MSG_DISK_SPACE_LOW = 55,
  MSG_LOG_DISK_SPACE_LOW = 56,
  MSG_LOG_NOT_IN_MANIFEST = 57,
  MSG_LOG_STATEMENT_ACCEPTED = 58,
  MSG_LOG_FILE_NOT_BOUND = 59,
  // The lower line while files arrive: a format with the fields {name},
  // {done}, {total}, {bytes}, {speed} and {left} (update/transfer_figures.h). Empty:
  // the line shows the file name alone.
  MSG_DETAIL_WITH_FIGURES = 48,
  // Log lines of a file fetched whole although patches are published, each
  // followed by the file's name, and of the patch index.
  MSG_LOG_WHOLE_NO_PATCH = 60,
  MSG_LOG_WHOLE_NOT_A_BASE = 61,
  MSG_LOG_WHOLE_PATCH_DIGEST = 62,
  MSG_LOG_WHOLE_PATCH_FAILED = 63,
  MSG_LOG_WHOLE_TOO_LARGE = 64,
  MSG_LOG_NO_PATCH_INDEX = 65,
  MSG_LOG_PATCH_INDEX_REFUSED = 66,
  // Logged only when the server list names mirrors (server_mirrors.h): a
  // server failed and the next one is tried, with "<server> (<reason>) ->
  // <next server>: <what>"; and what a server served, with "<server>:
  // <what>" (the run's version and lists, a file from a fallback).
  MSG_LOG_SERVER_FAILED = 67,
  MSG_LOG_SERVED_BY = 68,
  // Logged with the release now named when the version file changed while
  // the list of the release it named before was fetched: that list is
  // dropped and the new release's list fetched.
  MSG_LOG_RELEASE_CHANGED = 69,
};

// The text of a slot.
inline const std::u16string& Message(MessageSlot slot) {
  return g_messages[static_cast<std::size_t>(slot)];
}

}  // namespace launcher
