#include "signing_fixture.h"

#include <sys/wait.h>

#include <cstdlib>

#include "files/utf16.h"

namespace launcher::testing {

std::filesystem::path KeyPath(std::string_view name) {
  return std::filesystem::path(LAUNCHER_SOURCE_DIR) / "resources" / "keys" / name;
}

std::string ReadKey(std::string_view name) { return ReadFileBytes(KeyPath(name)); }

std::u16string U16(const std::filesystem::path& path) { return FromUtf8Lossy(path.string()); }

int Run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string OpensslSignBase64(const TempDir& dir, std::string_view content,
                              std::string_view privateKey) {
  WriteFileBytes(dir / "to-sign.bin", content);
  const std::string command = "openssl dgst -md5 -sign '" + KeyPath(privateKey).string() +
                              "' -out '" + (dir / "sig.bin").string() + "' '" +
                              (dir / "to-sign.bin").string() + "' && openssl base64 -in '" +
                              (dir / "sig.bin").string() + "' -out '" + (dir / "sig.b64").string() +
                              "'";
  if (Run(command) != 0) return {};
  return ReadFileBytes(dir / "sig.b64");
}

bool OpensslVerifies(const TempDir& dir, std::string_view content, std::string_view base64,
                     std::string_view publicKey) {
  WriteFileBytes(dir / "to-verify.bin", content);
  WriteFileBytes(dir / "sig.b64", base64);
  const std::string command = "openssl base64 -d -in '" + (dir / "sig.b64").string() + "' -out '" +
                              (dir / "sig.bin").string() + "' && openssl dgst -md5 -verify '" +
                              KeyPath(publicKey).string() + "' -signature '" +
                              (dir / "sig.bin").string() + "' '" +
                              (dir / "to-verify.bin").string() + "' >/dev/null 2>&1";
  return Run(command) == 0;
}

}  // namespace launcher::testing
