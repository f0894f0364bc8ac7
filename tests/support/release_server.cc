#include "support/release_server.h"

#include <chrono>
#include <random>
#include <stdexcept>
#include <thread>

#include "crypto/signer.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "update/list_path.h"

namespace launcher::testing {

namespace fs = std::filesystem;

std::string NoiseBytes(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
  return bytes;
}

std::string TestPrivateKey() {
  static const std::string key =
      ReadFileBytes(fs::path(LAUNCHER_SOURCE_DIR) / "resources/keys/test-private.pem");
  return key;
}

ServerTree::ServerTree(fs::path root) : root_(std::move(root)) {
  fs::create_directories(root_ / "patcher" / "patcher");
  WriteFileBytes(root_ / "info" / "pid", "1\n");
}

std::string ServerTree::AddFile(std::string_view relPath, std::string_view content) {
  // The address is PatchFilesUrl + the expanded token; the server resolves
  // its "./" segment, so the file lives under patcher/patcher/<runs>.
  std::string encoded = EncodeListPath(relPath).substr(2);
  const fs::path target = root_ / "patcher" / "patcher" / encoded;
  fs::create_directories(target.parent_path());
  const fs::path plain = root_ / ".plain";
  WriteFileBytes(plain, content);
  char digest[64] = {};
  if (!CompressFileTo(FromUtf8Lossy(plain.string()), FromUtf8Lossy(target.string()), digest)) {
    throw std::runtime_error("compression failed");
  }
  fs::remove(plain);
  return digest;
}

void ServerTree::WriteVersion(int version) {
  WriteFileBytes(root_ / "patcher" / "version", std::to_string(version) + "\n");
}

std::string ServerTree::Sign(std::string_view content) {
  auto signedFile = MakeSignedFile(TestPrivateKey(), content);
  if (!signedFile) throw std::runtime_error("signing failed");
  return *signedFile;
}

void ServerTree::WriteSignedList(int distance, std::string_view content) {
  WriteFileBytes(root_ / "patcher" / ("v-" + std::to_string(distance) + ".inc"), Sign(content));
}

std::string DirectoryToken(std::string_view relPath) { return EncodeListPath(relPath).substr(1); }

namespace {

std::string DirectoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string ServerTree::DiffList(const Release& from, const Release& to, bool comments) {
  std::string list;
  std::string currentDir = "\x01";  // no directory yet
  auto entry = [&](const std::string& digestToken, const std::string& path) {
    if (comments) list += "# " + path + "\n";
    std::string token;
    if (DirectoryOf(path) != currentDir) {
      currentDir = DirectoryOf(path);
      token = DirectoryToken(path);
    } else {
      token = EncodeListName(NameOf(path));
    }
    list += digestToken + " " + token + "\n";
  };
  // Paths in map order keep each directory's entries together.
  std::map<std::string, std::string> entries;
  for (const auto& [path, content] : to) {
    auto old = from.find(path);
    if (old == from.end() || old->second != content) entries[path] = "+" + AddFile(path, content);
  }
  for (const auto& [path, content] : from) {
    if (to.find(path) == to.end()) entries[path] = "-";
  }
  for (const auto& [path, token] : entries) entry(token, path);
  return list;
}

void WriteTree(const fs::path& dir, const Release& release) {
  for (const auto& [path, content] : release) WriteFileBytes(dir / path, content);
}

Release ReadTree(const fs::path& dir, std::string_view skip) {
  Release tree;
  if (!fs::exists(dir)) return tree;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    std::string rel = fs::relative(it->path(), dir).generic_string();
    if (!skip.empty() && (rel == skip || rel.rfind(std::string(skip) + "/", 0) == 0)) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file()) tree[rel] = ReadFileBytes(it->path());
  }
  return tree;
}

std::vector<std::string> ListDirectories(const fs::path& dir) {
  std::vector<std::string> dirs;
  if (!fs::exists(dir)) return dirs;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_directory()) dirs.push_back(fs::relative(e.path(), dir).generic_string());
  }
  return dirs;
}

std::vector<std::string> SettledAccessLog(const NginxServer& nginx) {
  std::vector<std::string> lines = nginx.AccessLogLines();
  for (int stable = 0, round = 0; stable < 2 && round < 60; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<std::string> again = nginx.AccessLogLines();
    stable = again.size() == lines.size() ? stable + 1 : 0;
    lines = std::move(again);
  }
  return lines;
}

}  // namespace launcher::testing
