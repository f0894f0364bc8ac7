// The release statement and release manifest readers over arbitrary bytes
// (first byte: which).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "update/release_manifest.h"
#include "update/release_statement.h"

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input = fuzz::AsText(data + 1, size - 1);
  if (data[0] % 2 == 0) {
    SignedStatement read;
    std::string problem;
    if (!ParseReleaseStatement(input, read, problem)) {
      FUZZ_CHECK(!problem.empty());
      return 0;
    }
    // What was read is a prefix of the input, ends at "end", and writing the
    // fields again gives a statement that reads back to the same fields.
    FUZZ_CHECK(input.substr(0, read.signedPart.size()) == read.signedPart);
    FUZZ_CHECK(read.signedPart.size() >= 4 &&
               read.signedPart.substr(read.signedPart.size() - 4) == "end\n");
    FUZZ_CHECK(!read.signatures.empty() && read.signatures.size() <= 2);
    SignedStatement again;
    std::string body = FormatStatementBody(read.statement);
    for (const auto& s : read.signatures) body += FormatSignatureLine(s.keyId, s.signature);
    FUZZ_CHECK(ParseReleaseStatement(body, again, problem));
    FUZZ_CHECK(again.statement.version == read.statement.version &&
               again.statement.expiresAt == read.statement.expiresAt &&
               again.statement.files.size() == read.statement.files.size());
    return 0;
  }
  ReleaseManifest manifest;
  std::string problem;
  if (!manifest.Parse(std::string(input), problem)) {
    FUZZ_CHECK(manifest.size() == 0);
    return 0;
  }
  // Every entry line is found again by its own path.
  std::size_t found = 0;
  for (std::size_t at = input.find('\n') + 1; at < input.size();) {
    const std::size_t end = input.find('\n', at);
    std::string_view line = input.substr(at, end - at);
    for (int field = 0; field < 4; ++field) line.remove_prefix(line.find(' ') + 1);
    ManifestEntry entry;
    FUZZ_CHECK(manifest.Find(line, entry));
    FUZZ_CHECK(entry.compressedSize >= 0 && entry.installedSize >= 0);
    ++found;
    at = end + 1;
  }
  FUZZ_CHECK(found == manifest.size());
  return 0;
}
