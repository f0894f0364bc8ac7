#include "publish/cli.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <system_error>

#include "crypto/ed25519.h"
#include "crypto/md5_digest.h"
#include "crypto/signature_verifier.h"
#include "crypto/signer.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "platform/clock.h"
#include "publish/build.h"
#include "publish/deltas.h"
#include "publish/file_io.h"
#include "publish/keys.h"
#include "publish/path_rules.h"
#include "publish/release_signing.h"
#include "publish/verify_tree.h"
#include "update/list_path.h"

namespace launcher::publish {

namespace fs = std::filesystem;

namespace {

// Parsed "--name value" switches and the remaining positional arguments.
struct Arguments {
  std::map<std::string, std::string> options;
  std::map<std::string, std::vector<std::string>> repeated;  // every value, in order
  std::vector<std::string> positional;
  std::string error;

  std::optional<std::string> Get(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? std::nullopt : std::optional(it->second);
  }
  std::vector<std::string> GetAll(const std::string& name) const {
    auto it = repeated.find(name);
    return it == repeated.end() ? std::vector<std::string>() : it->second;
  }
};

Arguments Parse(const std::vector<std::string>& args, std::size_t first) {
  Arguments parsed;
  for (std::size_t i = first; i < args.size(); ++i) {
    if (args[i].starts_with("--")) {
      if (i + 1 >= args.size()) {
        parsed.error = args[i] + " needs a value";
        break;
      }
      parsed.options[args[i].substr(2)] = args[i + 1];
      parsed.repeated[args[i].substr(2)].push_back(args[i + 1]);
      ++i;
    } else {
      parsed.positional.push_back(args[i]);
    }
  }
  return parsed;
}

// A path given on the command line, which is UTF-8 (on Windows the entry
// converts the UTF-16 command line; a char path there would be widened
// byte by byte).
fs::path PathArg(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::optional<long long> ParseNumber(const std::string& text) {
  long long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

int Usage(std::ostream& err, const std::string& problem) {
  err << "launcher-publish: " << problem << "\n" << UsageText();
  return 2;
}

int Failure(std::ostream& err, const std::string& problem) {
  err << "launcher-publish: " << problem << "\n";
  return 1;
}

// Writes one key pair into `dir` unless either file is there already.
bool WritePair(const fs::path& dir, const std::string& privateName, const std::string& publicName,
               const std::string& privatePem, const std::string& publicPem, std::ostream& out,
               std::ostream& err) {
  const fs::path privatePath = dir / privateName;
  const fs::path publicPath = dir / publicName;
  if (!WriteNewFile(privatePath, privatePem, 0600) || !WriteNewFile(publicPath, publicPem, 0644)) {
    err << "launcher-publish: cannot write " << privatePath.string() << " and "
        << publicPath.string() << "\n";
    return false;
  }
  out << "wrote " << privatePath.string() << " (mode 0600) and " << publicPath.string() << "\n";
  return true;
}

int Keygen(const Arguments& args, std::ostream& out, std::ostream& err) {
  auto dir = args.Get("out");
  if (!dir) return Usage(err, "keygen needs --out DIR");
  const std::string type = args.Get("type").value_or("both");
  if (type != "list" && type != "release" && type != "both") {
    return Usage(err, "--type must be list, release or both");
  }
  const bool list = type != "release";
  const bool release = type != "list";
  auto bits = ParseNumber(args.Get("bits").value_or("1024"));
  if (!bits || *bits < 512 || *bits > 16384) return Usage(err, "--bits must be 512..16384");
  if (list && *bits != 1024) err << "warning: the launcher's key format is a 1024-bit key\n";
  std::error_code ec;
  const fs::path root = PathArg(*dir);
  fs::create_directories(root, ec);
  std::vector<std::string> names;
  if (list) names.insert(names.end(), {"private.pem", "public.pem"});
  if (release) names.insert(names.end(), {"release-private.pem", "release-public.pem"});
  for (const std::string& name : names) {
    if (fs::exists(root / name, ec)) {
      return Failure(err, (root / name).string() + " already exists; no key was overwritten");
    }
  }
  if (list) {
    auto pair = GenerateKeyPair(static_cast<int>(*bits));
    if (!pair) return Failure(err, "key generation failed");
    if (!WritePair(root, "private.pem", "public.pem", pair->privatePem, pair->publicPem, out, err))
      return 1;
  }
  if (release) {
    auto pair = GenerateEd25519KeyPair();
    if (!pair) return Failure(err, "key generation failed");
    if (!WritePair(root, "release-private.pem", "release-public.pem", pair->privatePem,
                   pair->publicPem, out, err)) {
      return 1;
    }
  }
  return 0;
}

int Build(const Arguments& args, std::ostream& out, std::ostream& err) {
  BuildOptions options;
  auto releases = args.Get("releases");
  auto key = args.Get("key");
  auto pid = args.Get("pid");
  auto target = args.Get("out");
  if (!releases || !key || !pid || !target) {
    return Usage(err, "build needs --releases DIR --key PRIVATE.pem --pid N --out SERVERDIR");
  }
  auto pidValue = ParseNumber(*pid);
  if (!pidValue || *pidValue < 0) return Usage(err, "--pid must be a number");
  auto maxDistance = ParseNumber(args.Get("max-distance").value_or("0"));
  if (!maxDistance || *maxDistance < 0 || *maxDistance > 100000) {
    return Usage(err, "--max-distance must be a number up to 100000");
  }
  options.releases = PathArg(*releases);
  options.privateKey = PathArg(*key);
  options.pid = *pidValue;
  options.out = PathArg(*target).lexically_normal();
  if (options.out.has_filename() == false) options.out = options.out.parent_path();
  options.comment = args.Get("comment").value_or("");
  options.maxDistance = static_cast<int>(*maxDistance);
  const std::string reuse = args.Get("reuse").value_or("yes");
  if (reuse != "yes" && reuse != "no") return Usage(err, "--reuse must be yes or no");
  options.reuse = reuse == "yes";
  for (const std::string& file : args.GetAll("release-key")) {
    options.releaseKeys.push_back(PathArg(file));
  }
  if (auto expires = args.Get("expires")) {
    if (options.releaseKeys.empty()) return Usage(err, "--expires needs --release-key");
    auto lifetime = ParseLifetime(*expires);
    if (!lifetime) return Usage(err, "--expires must be like 7d, 36h or 90m (at most 366d)");
    options.statementLifetime = *lifetime;
  }
  auto deltas = ParseNumber(args.Get("deltas").value_or(std::to_string(kDefaultDeltaReleases)));
  if (!deltas || *deltas < 0 || *deltas > 100) return Usage(err, "--deltas must be 0..100");
  options.deltas = static_cast<int>(*deltas);
  return BuildServerTree(options, out, err);
}

int Refresh(const Arguments& args, std::ostream& out, std::ostream& err) {
  const std::vector<std::string> keyFiles = args.GetAll("release-key");
  if (args.positional.size() != 1 || keyFiles.empty()) {
    return Usage(err, "refresh needs SERVERDIR --release-key PRIVATE.pem");
  }
  auto lifetime = ParseLifetime(args.Get("expires").value_or("7d"));
  if (!lifetime) return Usage(err, "--expires must be like 7d, 36h or 90m (at most 366d)");
  std::vector<fs::path> files;
  for (const std::string& file : keyFiles) files.push_back(PathArg(file));
  std::string problem;
  auto keys = LoadReleaseKeys(files, problem);
  if (!keys) return Failure(err, problem);
  std::string summary;
  if (!RefreshStatement(PathArg(args.positional[0]), *keys, EngineClock().UnixTime(), *lifetime,
                        summary, problem)) {
    return Failure(err, problem);
  }
  out << summary << "\n";
  return 0;
}

int Sign(const Arguments& args, std::ostream& out, std::ostream& err) {
  auto key = args.Get("key");
  if (args.positional.size() != 1 || !key) return Usage(err, "sign needs FILE --key PRIVATE.pem");
  const fs::path file = PathArg(args.positional[0]);
  const fs::path target = PathArg(args.Get("out").value_or(args.positional[0]));
  std::string pem;
  std::string raw;
  if (!ReadWholeFile(PathArg(*key), pem)) return Failure(err, *key + ": cannot read");
  if (!ReadWholeFile(file, raw)) return Failure(err, file.string() + ": cannot read");
  // Signing a signed file again replaces its signature.
  std::string content = TextModeContent(raw);
  for (std::size_t line = 0; line < content.size();) {
    if (std::string_view(content).substr(line).starts_with(kSignatureMarker)) {
      content.resize(line);
      break;
    }
    const std::size_t end = content.find('\n', line);
    line = end == std::string::npos ? content.size() : end + 1;
  }
  if (!content.empty() && content.back() != '\n') content += '\n';
  auto signedFile = MakeSignedFile(pem, content);
  if (!signedFile) return Failure(err, *key + ": not a usable private key");
  if (!ReplaceFile(target, *signedFile)) return Failure(err, target.string() + ": cannot write");
  out << "signed " << target.string() << "\n";
  return 0;
}

int VerifyTree(const Arguments& args, std::ostream& out, std::ostream& err) {
  auto key = args.Get("pubkey");
  if (args.positional.size() != 1 || !key) {
    return Usage(err, "verify-tree needs SERVERDIR --pubkey PUBLIC.pem");
  }
  std::vector<fs::path> releaseKeys;
  for (const std::string& file : args.GetAll("release-pubkey"))
    releaseKeys.push_back(PathArg(file));
  const auto releases = args.Get("releases");
  return VerifyServerTree(PathArg(args.positional[0]), PathArg(*key), out, releaseKeys,
                          releases ? PathArg(*releases) : fs::path());
}

int Pack(const Arguments& args, std::ostream& out, std::ostream& err, bool compress) {
  if (args.positional.size() != 2) return Usage(err, "pack/unpack need SOURCE TARGET");
  const std::u16string source = FromUtf8Lossy(args.positional[0]);
  const std::u16string target = FromUtf8Lossy(args.positional[1]);
  if (!compress) {
    if (!DecompressFile(source, target))
      return Failure(err, "cannot decompress " + args.positional[0]);
    return 0;
  }
  char digest[kDigestTextCapacity] = {};
  if (!CompressFileTo(source, target, digest))
    return Failure(err, "cannot compress " + args.positional[0]);
  out << std::string(digest, kDigestChars) << "\n";
  return 0;
}

int EncodePath(const Arguments& args, std::ostream& out, std::ostream& err) {
  if (args.positional.size() != 1) return Usage(err, "encode-path needs PATH");
  const std::string& path = args.positional[0];
  if (auto problem = CheckRelativePath(path)) return Failure(err, path + ": " + *problem);
  out << EncodeListPath(path) << "\n";
  return 0;
}

int DecodePath(const Arguments& args, std::ostream& out, std::ostream& err) {
  if (args.positional.size() != 1) return Usage(err, "decode-path needs TOKEN");
  std::string token = args.positional[0];
  CurrentListDir.clear();
  DecodedListPath decoded = DecodeListPath(token);
  std::u16string safe = decoded.path;
  if (!decoded.valid || !SanitizeDecodedPath(safe)) {
    return Failure(err, token + " does not decode to a safe relative path");
  }
  out << ToUtf8(safe) << "\n";
  return 0;
}

}  // namespace

std::string UsageText() {
  return "usage: launcher-publish COMMAND ...\n"
         "  keygen --out DIR [--type list|release|both] [--bits 1024]\n"
         "  build --releases DIR --key PRIVATE.pem --pid N --out SERVERDIR\n"
         "        [--release-key RELEASE-PRIVATE.pem [--release-key NEXT.pem]] [--expires 7d]\n"
         "        [--comment TEXT] [--max-distance N] [--reuse yes|no] [--deltas K]\n"
         "  refresh SERVERDIR --release-key RELEASE-PRIVATE.pem [--release-key NEXT.pem]\n"
         "        [--expires 7d]\n"
         "  sign FILE --key PRIVATE.pem [--out SIGNED]\n"
         "  verify-tree SERVERDIR --pubkey PUBLIC.pem [--release-pubkey RELEASE-PUBLIC.pem ...]\n"
         "        [--releases DIR]\n"
         "  pack SOURCE COMPRESSED      (prints the list digest)\n"
         "  unpack COMPRESSED TARGET\n"
         "  encode-path RELATIVE/PATH\n"
         "  decode-path TOKEN\n";
}

int RunPublishCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty() || args[0] == "help" || args[0] == "--help") {
    (args.empty() ? err : out) << UsageText();
    return args.empty() ? 2 : 0;
  }
  const Arguments parsed = Parse(args, 1);
  if (!parsed.error.empty()) return Usage(err, parsed.error);
  const std::string& command = args[0];
  if (command == "keygen") return Keygen(parsed, out, err);
  if (command == "build") return Build(parsed, out, err);
  if (command == "refresh") return Refresh(parsed, out, err);
  if (command == "sign") return Sign(parsed, out, err);
  if (command == "verify-tree") return VerifyTree(parsed, out, err);
  if (command == "pack") return Pack(parsed, out, err, true);
  if (command == "unpack") return Pack(parsed, out, err, false);
  if (command == "encode-path") return EncodePath(parsed, out, err);
  if (command == "decode-path") return DecodePath(parsed, out, err);
  return Usage(err, "unknown command \"" + command + "\"");
}

}  // namespace launcher::publish
