// Encoded list paths: expansion against the current list directory, decoding,
// the safety check that guards every join to the patcher directory, and the
// publisher's encoder against the launcher's decoder.
#include <cstddef>
#include <cstdint>

#include "files/utf16.h"
#include "fuzz_support.h"
#include "update/list_path.h"

using namespace launcher;

namespace {

void CheckSanitized(std::u16string path) {
  const std::u16string before = path;
  if (!SanitizeDecodedPath(path)) return;
  FUZZ_CHECK(fuzz::IsSafeRelativePath(path, kMaxDecodedPathUnits));
  FUZZ_CHECK(path.size() == before.size());
  // A sanitised path stays accepted and unchanged.
  std::u16string again = path;
  FUZZ_CHECK(SanitizeDecodedPath(again) && again == path);
}

void ExpandAndDecode(std::string_view dir, std::string_view tokenText) {
  CurrentListDir.assign(dir);
  std::string token(tokenText);
  const DecodedListPath decoded = DecodeListPath(token);
  if (!tokenText.empty() && tokenText[0] == '/') {
    FUZZ_CHECK(token == "." + std::string(tokenText));
    FUZZ_CHECK(CurrentListDir == token.substr(0, token.rfind('/') + 1));
  } else {
    FUZZ_CHECK(token == std::string(dir) + std::string(tokenText));
    FUZZ_CHECK(CurrentListDir == dir);
  }
  FUZZ_CHECK(decoded.fileName.size() <= kMaxRunTextUnits);
  CheckSanitized(decoded.path);
  CurrentListDir.clear();
}

// Names without a NUL that are valid UTF-8 decode back to themselves.
void RoundTrip(std::string_view utf8Path) {
  std::u16string wide;
  if (utf8Path.find('\0') != std::string_view::npos || !FromUtf8(utf8Path, wide)) return;
  std::size_t start = 0;
  while (start <= utf8Path.size()) {
    std::size_t end = utf8Path.find('/', start);
    if (end == std::string_view::npos) end = utf8Path.size();
    std::u16string component;
    FUZZ_CHECK(FromUtf8(utf8Path.substr(start, end - start), component));
    if (component.size() > kMaxRunTextUnits) return;  // dropped by design
    start = end + 1;
  }
  const DecodedListPath decoded = DecodeExpandedListPath(EncodeListPath(utf8Path));
  FUZZ_CHECK(decoded.valid);
  FUZZ_CHECK(decoded.path == u"./" + wide);
  // The name shown is the last component with any text.
  std::u16string_view last = wide;
  while (!last.empty() && last.back() == u'/') last.remove_suffix(1);
  const std::size_t slash = last.rfind(u'/');
  if (slash != std::u16string_view::npos) last.remove_prefix(slash + 1);
  FUZZ_CHECK(decoded.fileName == last);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input = fuzz::AsText(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      std::string_view dir;
      std::string_view token;
      fuzz::SplitParts(input, dir, token);
      ExpandAndDecode(dir, token);
      break;
    }
    case 1:
      CheckSanitized(fuzz::Utf16Units(input));
      break;
    default:
      RoundTrip(input);
      break;
  }
  return 0;
}
