// The state-file readers over arbitrary file contents, and the resume record
// written over whatever file is already there.
#include <cstddef>
#include <cstdint>

#include "crypto/signer.h"
#include "files/paths.h"
#include "files/text_file.h"
#include "fuzz_support.h"
#include "update/state_files.h"

using namespace launcher;

namespace {

bool SameRecord(const UpdateStateRecord& a, const UpdateStateRecord& b) {
  return a.stateVersion == b.stateVersion && a.entriesDone == b.entriesDone &&
         a.bytesDone == b.bytesDone && a.totalBytes == b.totalBytes;
}

int Clamp(std::int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::AsText(data, size);
  const std::filesystem::path file = fuzz::ScratchRoot() / "config/patcher/ustate.sw";
  const std::u16string path = fuzz::WriteScratchFile(file, input);
  // What a text-mode reading of the file presents.
  const std::string text = TextModeContent(input);

  // The file readers agree with the parsers over the translated text.
  UpdateStateRecord record;
  FUZZ_CHECK(ReadUpdateState(path, record));
  FUZZ_CHECK(SameRecord(record, ParseUpdateState(text)));
  std::int64_t leading = 0;
  const bool hasNumber = ParseLeadingInteger(text, leading);
  int number = -7;
  FUZZ_CHECK(ReadNumberFile(path, number) == hasNumber);
  FUZZ_CHECK(hasNumber ? number == Clamp(leading) : number == -7);
  FUZZ_CHECK(hasNumber || record.stateVersion == 0);

  // A record survives its own text form.
  FUZZ_CHECK(SameRecord(ParseUpdateState(FormatUpdateState(record)), record));

  const fuzz::InLauncherDir inLauncherDir;
  // Saving over the fuzzed file (in place or by replacement) leaves exactly
  // the saved record.
  SaveUpdateState(record.stateVersion, record.entriesDone, record.bytesDone, record.totalBytes);
  UpdateStateRecord reread;
  FUZZ_CHECK(ReadUpdateState(UpdateStateFilePath, reread));
  FUZZ_CHECK(SameRecord(reread, record));
  const UpdateStateRecord next{record.stateVersion ^ 1, 0, record.bytesDone / 2, 0};
  SaveUpdateState(next.stateVersion, next.entriesDone, next.bytesDone, next.totalBytes);
  FUZZ_CHECK(ReadUpdateState(UpdateStateFilePath, reread));
  FUZZ_CHECK(SameRecord(reread, next));
  return 0;
}
