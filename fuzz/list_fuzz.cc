// The list reader and the entry checks over arbitrary list files. The
// property that matters: a list that ValidateListEntries accepts never yields,
// in any later pass, an entry whose path fails to decode or leaves its root,
// and every pass resolves each entry to the same path.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "update/list_entry.h"
#include "update/list_file.h"
#include "update/list_path.h"

using namespace launcher;

namespace {

// One pass as the update passes make it: every entry in file order. Appends
// the decoded paths to `paths`.
void WalkEntries(ListReader& reader, bool incremental, bool mustDecode,
                 std::vector<std::u16string>& paths) {
  RewindForPass(reader);
  std::string line;
  ListLine kind;
  int entries = 0;
  while ((kind = reader.NextEntry(line)) == ListLine::kEntry) {
    FUZZ_CHECK(line.size() <= kMaxListLineBytes);
    ListedFile file;
    const bool ok = ReadListedFile(line, incremental, file);
    if (mustDecode) FUZZ_CHECK(ok);
    if (ok) {
      FUZZ_CHECK(fuzz::IsSafeRelativePath(file.decodedPath, kMaxDecodedPathUnits));
    }
    paths.push_back(ok ? file.decodedPath : std::u16string());
    ++entries;
  }
  if (mustDecode) FUZZ_CHECK(kind != ListLine::kOverlong);
  reader.Rewind();
  FUZZ_CHECK(CountListEntries(reader) == entries);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the list kind and the list directory left by
  // whatever was read before (a pass of an earlier list can leave any
  // directory, even one that a later check refuses); no pass may depend on
  // it.
  static const char* const kStartDirs[] = {"", "./ZGF0YQ==/", "./Li4=/", "./"};
  const bool incremental = (data[0] & 1) != 0;
  const std::string startDir = kStartDirs[(data[0] >> 1) & 3];
  const std::u16string path = fuzz::WriteScratchFile(fuzz::ScratchRoot() / "config/patcher/inc.sw",
                                                     fuzz::AsText(data + 1, size - 1));

  ListReader reader(path);
  FUZZ_CHECK(reader.is_open());
  CurrentListDir = startDir;
  std::vector<bool> superseded;
  const bool valid = ValidateListEntries(reader, incremental, &superseded);
  FUZZ_CHECK(CurrentListDir == startDir);
  // Two passes, as the fetch and apply passes read the list.
  std::vector<std::u16string> first;
  std::vector<std::u16string> second;
  WalkEntries(reader, incremental, valid, first);
  WalkEntries(reader, incremental, valid, second);
  FUZZ_CHECK(first == second);
  if (valid) FUZZ_CHECK(superseded.size() == first.size());

  // Raw line reading never hands out more than a line's worth.
  reader.Rewind();
  std::string line;
  for (ListLine kind = reader.Next(line); kind != ListLine::kEnd; kind = reader.Next(line)) {
    if (kind == ListLine::kOverlong) break;
    FUZZ_CHECK(line.size() <= kMaxListLineBytes);
    if (kind == ListLine::kMarker) FUZZ_CHECK(line == kListMarkerLine);
    if (kind == ListLine::kComment) FUZZ_CHECK(!line.empty() && line[0] == '#');
    if (kind == ListLine::kMarker) break;
  }
  CurrentListDir.clear();
  return 0;
}
