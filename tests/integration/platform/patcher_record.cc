#include "integration/platform/patcher_record.h"

#include <signal.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace launcher::testing {
namespace {

std::string Unescape(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    const char next = value[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return out;
}

bool ProcessGone(pid_t pid) {
  if (::kill(pid, 0) != 0) return true;
  // A process that ended but was not yet reaped by its new parent counts
  // as gone as well.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const auto close = text.rfind(')');
  return close == std::string::npos || text.compare(close + 2, 1, "Z") == 0;
}

}  // namespace

PatcherRecord ParsePatcherRecord(const std::string& line) {
  PatcherRecord record;
  std::istringstream fields(line);
  std::string field;
  while (std::getline(fields, field, '\t')) {
    const auto eq = field.find('=');
    if (eq == std::string::npos) continue;
    record[field.substr(0, eq)] = Unescape(field.substr(eq + 1));
  }
  return record;
}

std::vector<PatcherRecord> WaitForPatcherRecords(const std::filesystem::path& path,
                                                 std::size_t count,
                                                 std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::vector<PatcherRecord> records;
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      records.push_back(ParsePatcherRecord(text.substr(start, end - start)));
    }
    if (records.size() >= count || std::chrono::steady_clock::now() >= deadline) return records;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool StopPatcher(const PatcherRecord& record, std::chrono::milliseconds timeout) {
  const auto it = record.find("pid");
  if (it == record.end()) return false;
  const pid_t pid = static_cast<pid_t>(std::stol(it->second));
  if (pid <= 1) return false;
  ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!ProcessGone(pid)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace launcher::testing
