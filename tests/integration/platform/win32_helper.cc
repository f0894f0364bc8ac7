// A small Windows program the platform tests start:
//   win32_helper hold <lock name> <ready file> <release file>
//     takes the named lock, writes "acquired" or "held" to <ready file>,
//     then (when acquired) keeps it until <release file> exists (30 s at
//     most);
//   win32_helper record <out file> [args...]
//     writes its command line as split by ProcessCommandLine, one argument a
//     line, and then its working directory, to <out file> (UTF-8).
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/command_line.h"
#include "platform/named_lock.h"

namespace {

std::string Utf8(const std::u16string& text) {
  const std::u8string utf8 = std::filesystem::path(text).u8string();
  return std::string(utf8.begin(), utf8.end());
}

// Written under another name and renamed, so that a reader sees it whole.
void WriteWhole(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::path temporary = path;
  temporary += ".part";
  {
    std::ofstream out(temporary, std::ios::binary);
    out << text;
  }
  std::filesystem::rename(temporary, path);
}

int Hold(const launcher::CommandLineArgs& args) {
  std::unique_ptr<launcher::NamedLock> lock = launcher::NamedLock::TryAcquire(Utf8(args.args[2]));
  WriteWhole(std::filesystem::path(args.args[3]), lock ? "acquired" : "held");
  if (!lock) return 0;
  const std::filesystem::path release(args.args[4]);
  for (int i = 0; i < 1500 && !std::filesystem::exists(release); ++i) ::Sleep(20);
  return 0;
}

int Record(const launcher::CommandLineArgs& args) {
  std::string text;
  for (int i = 0; i < args.count; ++i) text += Utf8(args.args[static_cast<std::size_t>(i)]) + "\n";
  text += Utf8(std::filesystem::current_path().u16string()) + "\n";
  WriteWhole(std::filesystem::path(args.args[2]), text);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const launcher::CommandLineArgs args = launcher::ProcessCommandLine(argc, argv);
  if (args.count == 5 && args.args[1] == u"hold") return Hold(args);
  if (args.count >= 3 && args.args[1] == u"record") return Record(args);
  return 2;
}
