// Signed-file verification over arbitrary files, with the compiled-in key.
// Inputs are near misses of real signed lists (the seeds are signed with the
// test key the build compiles in by default).
#include <cstddef>
#include <cstdint>

#include "crypto/signature_verifier.h"
#include "crypto/signer.h"
#include "fuzz_support.h"

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::AsText(data, size);
  const std::u16string path =
      fuzz::WriteScratchFile(fuzz::ScratchRoot() / "config/patcher/FullList.sw", input);
  const SignatureVerifier& verifier = CompiledInVerifier();
  FUZZ_CHECK(verifier.HasKey());
  if (!verifier.VerifySignedFile(path)) return 0;
  // The content is what the text-mode reading presents up to the marker
  // line, which starts a line.
  const std::string text = TextModeContent(input);
  std::size_t marker = 0;
  while (text.compare(marker, kSignatureMarker.size(), kSignatureMarker) != 0) {
    marker = text.find('\n', marker);
    FUZZ_CHECK(marker != std::string::npos);  // only a file with a marker verifies
    ++marker;
  }
  // The list reader sees every byte of the content, so every byte must be
  // covered by the signature; a NUL would hide the rest of its line from a
  // digest taken over C strings.
  FUZZ_CHECK(text.find('\0') >= marker);
  return 0;
}
