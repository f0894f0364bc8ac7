// Signed-file verification over arbitrary files, with the compiled-in key.
// Inputs are near misses of real signed lists (the seeds are signed with the
// test key the build compiles in by default).
#include <cstddef>
#include <cstdint>

#include "crypto/signature_verifier.h"
#include "fuzz_support.h"

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::AsText(data, size);
  const std::u16string path =
      fuzz::WriteScratchFile(fuzz::ScratchRoot() / "config/patcher/FullList.sw", input);
  const SignatureVerifier& verifier = CompiledInVerifier();
  FUZZ_CHECK(verifier.HasKey());
  if (verifier.VerifySignedFile(path)) {
    // Only a file with the marker line can carry a signature.
    FUZZ_CHECK(input.find(kSignatureMarker) != std::string_view::npos);
  }
  return 0;
}
