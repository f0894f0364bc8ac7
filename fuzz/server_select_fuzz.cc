// Server choice over arbitrary settings ("update.cfg") and server list
// ("updateserver.txt"); the input holds both, split at kPartSeparator.
#include <cstddef>
#include <cstdint>

#include "files/paths.h"
#include "files/server_select.h"
#include "fuzz_support.h"

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::filesystem::path& root = fuzz::ScratchRoot();
  std::string_view settings;
  std::string_view servers;
  fuzz::SplitParts(fuzz::AsText(data, size), settings, servers);
  fuzz::WriteScratchFile(root / "config/patcher/update.cfg", settings);
  fuzz::WriteScratchFile(root / "patcher/server/updateserver.txt", servers);

  const fuzz::InLauncherDir inLauncherDir;
  SetServerBaseUrl(DefaultServerBaseUrl);
  SelectUpdateServer();
  // Whatever was chosen, the URL family is rebuilt from it consistently.
  FUZZ_CHECK(PidUrl == ServerBaseUrl + u"info/pid");
  FUZZ_CHECK(PatchUrl == ServerBaseUrl + u"patcher/");
  FUZZ_CHECK(PatchFilesUrl == PatchUrl + u"patcher/");
  // A chosen URL is the text between two quotes of one list line.
  FUZZ_CHECK(ServerBaseUrl.find(u'"') == std::u16string::npos);
  FUZZ_CHECK(ServerBaseUrl.find(u'\n') == std::u16string::npos);
  return 0;
}
