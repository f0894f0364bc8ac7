// The UI string table reader over arbitrary "stringtab.txt" contents.
#include <cstddef>
#include <cstdint>

#include "files/string_table.h"
#include "files/utf16_text.h"
#include "fuzz_support.h"

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string path = fuzz::WriteScratchFile(fuzz::ScratchRoot() / "launcher/stringtab.txt",
                                                     fuzz::AsText(data, size));
  ClearStringTable();
  FUZZ_CHECK(LoadStringTable(path));
  for (const std::u16string& text : g_messages) {
    // A slot holds the rest of one piece of a line, without its line end.
    FUZZ_CHECK(text.size() < Utf16LineReader::kMaxPieceUnits);
    FUZZ_CHECK(text.empty() || (text.back() != u'\n' && text.back() != u'\r'));
  }
  return 0;
}
