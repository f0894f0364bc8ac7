// The full check of an unchanged installation against md5sum over the same
// files: every installed file is compressed and digested and compared with
// the signed full list, so the check reads the whole tree once, as md5sum
// does. Prints both times, their ratio and the peak resident memory of each
// (each run in its own child process under /usr/bin/time: "Maximum resident
// set size").
//
//   full_check_bench [--files N (20)] [--mib M (50)] [--runs R (2)] [--dir D] [--statement]
//
// With --statement the served tree also holds a release statement and
// manifest signed with the test release key, and the full check runs with
// that key installed: it checks each installed file by the SHA-256 of its
// installed form instead of compressing it. `openssl dgst -sha256` over the
// same files then runs as a third side.
//
// The installation is generated under D (default a temporary directory,
// removed at the end): N files of M MiB of mixed content (text-like lines,
// binary records with repeats, incompressible noise). The served tree holds
// the product id, the version and the signed list; no file has to be
// fetched. The full check runs in a child started as
//   full_check_bench --check <launcher dir> <base url>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "crypto/ed25519.h"
#include "crypto/md5_digest.h"
#include "crypto/release_keys.h"
#include "crypto/sha256_digest.h"
#include "crypto/signer.h"
#include "files/paths.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "pack/pack_format.h"
#include "platform/clock.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "update/full_check.h"
#include "update/list_path.h"
#include "update/release_manifest.h"
#include "update/release_statement.h"
#include "update/update_state.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Measure {
  double seconds = 0;
  long maxRssKiB = 0;
  int status = -1;
};

// Runs the command under /usr/bin/time, whose own small image is what the
// command's peak is counted from (a child spawned straight from this larger
// process would report this process's memory as its own peak).
Measure RunChild(std::vector<std::string> command, const std::string& stdoutPath = "/dev/null") {
  const std::string timeOut =
      (fs::temp_directory_path() / ("full_check_bench." + std::to_string(getpid()))).string();
  std::vector<std::string> args = {"/usr/bin/time", "-f", "%M", "-o", timeOut};
  args.insert(args.end(), command.begin(), command.end());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Measure m;
  const auto start = Clock::now();
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::perror(argv[0]);
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  m.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream rss(timeOut);
  rss >> m.maxRssKiB;
  fs::remove(timeOut);
  return m;
}

// Mixed content in 1 MiB blocks, rotating through three kinds.
void WriteMixedFile(const fs::path& path, std::size_t mib, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::ofstream out(path, std::ios::binary);
  std::string block(1 << 20, '\0');
  static const char* const kWords[] = {"texture", "=",  "0", "model", "quest",  "\n", "level",
                                       "the",     "of", "1", "sound", "script", " ",  "2"};
  for (std::size_t b = 0; b < mib; ++b) {
    switch ((b + seed) % 3) {
      case 0: {  // text
        std::string text;
        while (text.size() < block.size()) text += kWords[rng() % 14];
        block.assign(text, 0, block.size());
        break;
      }
      case 1:  // records: a few distinct 64-byte records repeated
        for (std::size_t i = 0; i < block.size(); i += 64) {
          const std::uint64_t r = rng() % 16;
          for (std::size_t j = 0; j < 64; ++j)
            block[i + j] = static_cast<char>((r * 31 + j) & 0xFF);
        }
        break;
      default:  // noise
        for (std::size_t i = 0; i < block.size(); i += 8) {
          const std::uint64_t r = rng();
          std::memcpy(&block[i], &r, 8);
        }
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

fs::path KeyFile(const char* name) {
  return fs::path(LAUNCHER_SOURCE_DIR) / "resources/keys" / name;
}

int CheckMain(const char* launcherDir, const char* baseUrl, bool statement) {
  // The launcher built with the test release key, for the statement's run.
  const std::string pem = launcher::testing::ReadFileBytes(KeyFile("test-release-public.pem"));
  static const launcher::ReleaseKeys keys({pem});
  if (statement) launcher::SetReleaseKeys(&keys);
  fs::current_path(launcherDir);
  launcher::SetServerBaseUrl(launcher::Widen(baseUrl));
  launcher::RunFullCheck(0);
  // Success is the recorded version, with nothing fetched.
  std::ifstream version("../config/patcher/version.sw");
  int v = 0;
  version >> v;
  return v == 1 && !fs::exists("../config/patcher/tempfile.dat") ? 0 : 3;
}

// The compressed form's list digest, size and SHA-256, and the installed
// form's, in one compression.
struct Digests {
  std::string md5;
  launcher::ManifestEntry entry;
};

bool DigestBoth(const fs::path& path, Digests& out) {
  launcher::Md5Digest md5;
  launcher::Sha256Digest compressed;
  std::int64_t size = 0;
  const std::u16string file = launcher::FromUtf8Lossy(path.string());
  if (!launcher::CompressFileToSink(file, launcher::FrozenPackParameters(),
                                    [&](const unsigned char* data, std::size_t n) {
                                      md5.Update(data, n);
                                      compressed.Update(data, n);
                                      size += static_cast<std::int64_t>(n);
                                      return true;
                                    })) {
    return false;
  }
  char text[launcher::kDigestTextCapacity] = {};
  unsigned capacity = sizeof text;
  md5.Final();
  md5.ToHex(text, capacity);
  out.md5 = text;
  out.entry.compressedSize = size;
  out.entry.compressedSha256 = compressed.FinalHex();
  std::uint64_t installed = 0;
  if (!launcher::Sha256File(file, out.entry.installedSha256, installed)) return false;
  out.entry.installedSize = static_cast<std::int64_t>(installed);
  return true;
}

// Writes patcher/manifest and patcher/statement for version 1 of product 1.
bool WriteRelease(const fs::path& served,
                  const std::map<std::string, launcher::ManifestEntry>& entries) {
  const std::string manifest = launcher::ReleaseManifest::Format(entries);
  launcher::testing::WriteFileBytes(served / "patcher" / "manifest", manifest);
  const std::string list = launcher::testing::ReadFileBytes(served / "patcher" / "files.md5");
  launcher::ReleaseStatement statement;
  statement.product = 1;
  statement.version = 1;
  statement.signedAt = launcher::EngineClock().UnixTime();
  statement.expiresAt = statement.signedAt + 86400;
  statement.files = {
      {"patcher/files.md5", static_cast<std::int64_t>(list.size()), launcher::Sha256Hex(list)},
      {"patcher/manifest", static_cast<std::int64_t>(manifest.size()),
       launcher::Sha256Hex(manifest)}};
  const std::string body = launcher::FormatStatementBody(statement);
  const std::string key = launcher::testing::ReadFileBytes(KeyFile("test-release-private.pem"));
  const auto publicKey = launcher::Ed25519PublicKey::FromPem(
      launcher::testing::ReadFileBytes(KeyFile("test-release-public.pem")));
  const auto signature = launcher::Ed25519Sign(key, body);
  if (!publicKey || !signature) return false;
  launcher::testing::WriteFileBytes(
      served / "patcher" / "statement",
      body + launcher::FormatSignatureLine(publicKey->key_id(), *signature));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--check") == 0) {
    return CheckMain(argv[2], argv[3], argc == 5 && std::strcmp(argv[4], "--statement") == 0);
  }

  std::size_t files = 20, mib = 50;
  int runs = 2;
  fs::path dir;
  bool statement = false;
  for (int i = 1; i < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--statement") {
      statement = true;
      --i;
      continue;
    }
    if (i + 1 >= argc) break;
    if (opt == "--files")
      files = std::stoul(argv[i + 1]);
    else if (opt == "--mib")
      mib = std::stoul(argv[i + 1]);
    else if (opt == "--runs")
      runs = std::stoi(argv[i + 1]);
    else if (opt == "--dir")
      dir = argv[i + 1];
  }
  std::unique_ptr<launcher::testing::TempDir> temp;
  if (dir.empty()) {
    temp = std::make_unique<launcher::testing::TempDir>();
    dir = temp->path();
  }
  const fs::path launcherDir = launcher::testing::MakeInstallLayout(dir / "install");
  const fs::path patcher = dir / "install" / "patcher";
  const fs::path served = dir / "served";
  fs::create_directories(served / "info");
  fs::create_directories(served / "patcher");
  launcher::testing::WriteFileBytes(served / "info" / "pid", "1\n");
  launcher::testing::WriteFileBytes(served / "patcher" / "version", "1\n");

  std::printf("generating %zu files of %zu MiB ...\n", files, mib);
  std::fflush(stdout);
  std::string list;
  std::vector<std::string> paths;
  std::map<std::string, launcher::ManifestEntry> entries;
  for (std::size_t i = 0; i < files; ++i) {
    const std::string rel = "data" + std::to_string(i % 4) + "/pack" + std::to_string(i) + ".bin";
    const fs::path path = patcher / rel;
    fs::create_directories(path.parent_path());
    WriteMixedFile(path, mib, static_cast<unsigned>(i + 1));
    Digests digests;
    if (!DigestBoth(path, digests)) return 1;
    list += digests.md5 + " " + launcher::EncodeListPath(rel).substr(1) + "\n";
    entries.emplace(rel, digests.entry);
    paths.push_back(path.string());
  }
  const std::string key = launcher::testing::ReadFileBytes(fs::path(LAUNCHER_SOURCE_DIR) /
                                                           "resources/keys/test-private.pem");
  auto signedList = launcher::MakeSignedFile(key, list);
  if (!signedList) return 1;
  launcher::testing::WriteFileBytes(served / "patcher" / "files.md5", *signedList);
  if (statement && !WriteRelease(served, entries)) return 1;

  launcher::testing::NginxServer nginx(served);
  const std::string self = fs::canonical("/proc/self/exe").string();
  std::vector<std::string> md5Args = {"md5sum"};
  md5Args.insert(md5Args.end(), paths.begin(), paths.end());
  std::vector<std::string> shaArgs = {"openssl", "dgst", "-sha256"};
  shaArgs.insert(shaArgs.end(), paths.begin(), paths.end());

  double bestCheck = 1e9, bestMd5 = 1e9, bestSha = 1e9;
  long rssCheck = 0, rssMd5 = 0;
  const int sides = statement ? 3 : 2;
  for (int r = 0; r < runs; ++r) {
    // Rotate which side runs first; all read from the page cache after the
    // generation.
    for (int side = 0; side < sides; ++side) {
      const int which = (side + r) % sides;
      if (which == 2) {
        Measure m = RunChild(shaArgs);
        bestSha = std::min(bestSha, m.seconds);
        std::printf("run %d openssl sha256  %.2f s\n", r + 1, m.seconds);
      } else if (which == 0) {
        fs::remove(launcherDir.parent_path() / "config/patcher/version.sw");
        std::vector<std::string> check = {self, "--check", launcherDir.string(), nginx.BaseUrl()};
        if (statement) check.push_back("--statement");
        Measure m = RunChild(check);
        if (m.status != 0) {
          std::fprintf(stderr, "full check failed (status %d)\n", m.status);
          return 1;
        }
        bestCheck = std::min(bestCheck, m.seconds);
        rssCheck = std::max(rssCheck, m.maxRssKiB);
        std::printf("run %d full check  %.2f s  peak RSS %ld KiB\n", r + 1, m.seconds, m.maxRssKiB);
      } else {
        Measure m = RunChild(md5Args);
        bestMd5 = std::min(bestMd5, m.seconds);
        rssMd5 = std::max(rssMd5, m.maxRssKiB);
        std::printf("run %d md5sum      %.2f s  peak RSS %ld KiB\n", r + 1, m.seconds, m.maxRssKiB);
      }
      std::fflush(stdout);
    }
  }
  const double gib = static_cast<double>(files * mib) / 1024.0;
  std::printf(
      "tree %.2f GiB: full check best %.2f s, md5sum best %.2f s, ratio %.2fx (goal <= 3)\n", gib,
      bestCheck, bestMd5, bestCheck / bestMd5);
  if (statement) {
    std::printf(
        "with a statement: full check best %.2f s, openssl sha256 best %.2f s, ratio %.2fx "
        "(goal <= 1), against md5sum %.2fx (goal <= 0.5)\n",
        bestCheck, bestSha, bestCheck / bestSha, bestCheck / bestMd5);
  }
  std::printf("peak RSS: full check %.1f MiB (goal < 64), md5sum %.1f MiB\n",
              static_cast<double>(rssCheck) / 1024.0, static_cast<double>(rssMd5) / 1024.0);
  return 0;
}
