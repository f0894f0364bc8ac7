// Writes the seed corpora of the fuzz targets into <out>/<target>/: small,
// well-formed inputs of each format (and a few typical damaged ones), made by
// the engine's own writers so they track the formats. Deterministic: the same
// tree and key give the same bytes. Usage: make_fuzz_seeds <out> <private.pem>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/md5_digest.h"
#include "crypto/signer.h"
#include "files/utf16.h"
#include "pack/pack.h"
#include "update/list_file.h"
#include "update/list_path.h"
#include "update/state_files.h"

using namespace launcher;
namespace fs = std::filesystem;

namespace {

fs::path g_out;

void Seed(const char* target, const std::string& name, const std::string& bytes) {
  const fs::path dir = g_out / target;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

// UTF-16LE with the byte-order mark, from UTF-8 text.
std::string Utf16File(std::string_view utf8) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : FromUtf8Lossy(utf8)) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

// A seed whose first byte selects what the target does with the rest.
std::string Tagged(char tag, std::string_view rest) {
  return std::string(1, tag) + std::string(rest);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void StringTableSeeds() {
  Seed("string_table_fuzz", "table",
       Utf16File("0 Move failed: \r\n41 Update done.\r\n12 List unusable\r\n"));
  Seed("string_table_fuzz", "edges",
       Utf16File("-1 negative\r\n200 past the end\r\n99999999999 huge\r\nno-number\r\n  7\ttabbed\n"
                 "13 " +
                 std::string(500, 'x') + "\r\n30 完了\r\n"));
}

void ServerSelectSeeds() {
  const std::string sep = "--8<--";
  Seed("server_select_fuzz", "chosen",
       Utf16File("UpdateServerSelect main\r\n") + sep +
           Utf16File(
               "\"main\" \"http://127.0.0.1:8080/game/\"\r\n\"alt\" \"http://[::1]:81/\"\r\n"));
  Seed(
      "server_select_fuzz", "last-wins",
      Utf16File("Other 1\r\nUpdateServerSelect alt\r\nUpdateServerSelect\r\n") + sep +
          Utf16File(
              "\"alt\" \"http://a/\"\r\n\"alt\"\r\n\"alt\" \"http://b/\" extra\r\n\"unclosed\r\n"));
}

// Entry lines of a small release: files in the root and in two directories.
std::string ListBody(bool incremental) {
  const char* paths[] = {"patcher.exe", "data/main.pak", "data/setup.ini", "data/ü/名前.txt"};
  std::string body = "# release 7\n";
  std::string dir;
  for (const char* path : paths) {
    std::string encoded = EncodeListPath(path);  // "./<dir runs>/<name run>"
    const std::string fileDir = encoded.substr(1, encoded.rfind('/'));
    std::string token = encoded.substr(1);  // opens its directory
    if (fileDir == dir) token = encoded.substr(encoded.rfind('/') + 1);
    dir = fileDir;
    char digest[33];
    DigestBuffer(path, static_cast<std::int64_t>(std::string_view(path).size()), digest);
    body += (incremental ? "+" : "") + std::string(digest) + " " + token + "\n";
  }
  if (incremental)
    body += "-0123456789abcdef0123456789abcdef " + EncodeListPath("old.dll").substr(1) + "\n";
  return body;
}

void ListSeeds(const std::string& key) {
  for (bool incremental : {false, true}) {
    const char kind = incremental ? 1 : 0;
    const std::string suffix = incremental ? "-inc" : "-full";
    const std::optional<std::string> signedList = MakeSignedFile(key, ListBody(incremental));
    if (!signedList) {
      std::fprintf(stderr, "make_fuzz_seeds: cannot sign with the given key\n");
      std::exit(1);
    }
    Seed("list_fuzz", "signed" + suffix, Tagged(kind, *signedList));
    Seed("signed_file_fuzz", "signed" + suffix, *signedList);
    // A line starting with a NUL slipped in before the marker: once accepted
    // without touching the signature, which covered lines only up to a NUL.
    const std::size_t marker = signedList->find(kListMarkerLine);
    Seed("signed_file_fuzz", "nul-line" + suffix,
         signedList->substr(0, marker) + std::string(1, '\0') +
             "+0123456789abcdef0123456789abcdef /ZXZpbA==\n" + signedList->substr(marker));
  }
  Seed("list_fuzz", "escape", Tagged(0, "0123 /Li4=/ZXRj/cGFzc3dk\nabcd Li4=\n"));
  Seed("list_fuzz", "overlong", Tagged(0, "# x\nabc " + std::string(420, 'Q') + "\n"));
  Seed("signed_file_fuzz", "crlf", *MakeSignedFile(key, "# a\r\nabc ./YQ==\r\n"));
  Seed("signed_file_fuzz", "unsigned",
       ListBody(false) + "-----BEGIN KESTREL SIGNATURE-----\nAAAA\n");
}

void ListPathSeeds() {
  Seed("list_path_fuzz", "expand-dir", Tagged(0, "./ZGF0YQ==/--8<--/ZGF0YQ==/bWFpbi5leGU="));
  Seed("list_path_fuzz", "expand-rel", Tagged(0, "./ZGF0YQ==/--8<--c2V0dXAuaW5p"));
  Seed("list_path_fuzz", "escape", Tagged(0, "--8<--/Li4=/Li4=\\ZXRj"));
  std::string utf16;
  for (char c : std::string("./data\\..\\x")) utf16 += std::string{c, '\0'};
  Seed("list_path_fuzz", "sanitize", Tagged(1, utf16));
  Seed("list_path_fuzz", "roundtrip", Tagged(2, "data/ü/名前.txt"));
}

void StateSeeds() {
  Seed("state_files_fuzz", "record", FormatUpdateState({7, 3, 123456, 9999999}));
  Seed("state_files_fuzz", "padded", "7 3 12   \r\r\n");
  Seed("state_files_fuzz", "version", "42\r\n");
  Seed("state_files_fuzz", "edges", " -2147483649 +5 99999999999999999999 x\x1a 4");
}

void HttpSeeds() {
  Seed("http_fuzz", "headers",
       Tagged(0,
              "HTTP/1.1 302 Found\r\nContent-Length: 1234\r\nContent-Location: /x\r\n"
              "Location:  http://127.0.0.1:8080/patcher/files.md5 \r\n\r\n"));
  Seed("http_fuzz", "headers-bad",
       Tagged(0, "HTTP/1.0 206\r\ncontent-length: 99999999999999999999\r\nLOCATION: a\rb\r\n"));
  Seed("http_fuzz", "url",
       Tagged(1, "http://user:pw@127.0.0.1:8080/patcher/./ZGF0YQ==/a b?q=1#frag"));
  Seed("http_fuzz", "url-v6", Tagged(1, "HTTPS://[::1]/"));
  std::string utf16;
  for (char c : std::string("http://h:65535/ä")) utf16 += std::string{c, '\0'};
  Seed("http_fuzz", "url-utf16", Tagged(2, utf16));
}

void PackSeeds() {
  const fs::path scratch = fs::temp_directory_path() / "make-fuzz-seeds.tmp";
  const std::vector<std::pair<std::string, std::string>> contents = {
      {"empty", ""}, {"text", "hello, patcher\n"}, {"runs", std::string(70000, 'a') + "tail"}};
  for (const auto& [name, content] : contents) {
    std::ofstream(scratch, std::ios::binary | std::ios::trunc) << content;
    std::int64_t count = 0;
    unsigned char* buffer = nullptr;
    if (CalcCompressFile(FromUtf8Lossy(scratch.string()), count, buffer) != 1) std::exit(1);
    Seed("decompress_fuzz", name,
         std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(count)));
    ReleasePackBuf(buffer);
  }
  fs::remove(scratch);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_fuzz_seeds <out> <private.pem>\n");
    return 2;
  }
  g_out = argv[1];
  const std::string key = ReadFile(argv[2]);
  StringTableSeeds();
  ServerSelectSeeds();
  ListSeeds(key);
  ListPathSeeds();
  StateSeeds();
  HttpSeeds();
  PackSeeds();
  return 0;
}
