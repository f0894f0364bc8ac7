#include "publish/list_format.h"

#include <algorithm>

#include "publish/path_rules.h"
#include "update/list_path.h"

namespace launcher::publish {

std::pair<std::string_view, std::string_view> SplitDirectory(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {std::string_view(), path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

namespace {

bool ByDirectoryThenName(const ListEntry& a, const ListEntry& b) {
  auto [dirA, nameA] = SplitDirectory(a.path);
  auto [dirB, nameB] = SplitDirectory(b.path);
  if (dirA != dirB) return dirA < dirB;
  return nameA < nameB;
}

// Appends the lines of one run of entries, already sorted by directory.
bool AppendGroup(ListKind kind, const std::vector<ListEntry>& entries, std::string& out,
                 std::string& problem) {
  bool first = true;
  std::string_view currentDir;
  for (const ListEntry& entry : entries) {
    auto [dir, name] = SplitDirectory(entry.path);
    std::string line;
    if (kind == ListKind::kFull) {
      line = entry.digest;
    } else if (entry.remove) {
      line = kDeleteToken;
    } else {
      line = kAddOperation + entry.digest;
    }
    line += ' ';
    if (first || dir != currentDir) {
      // "/dir/name": the encoded path without its leading ".".
      line += EncodeListPath(entry.path).substr(1);
      currentDir = dir;
      first = false;
    } else {
      line += EncodeListName(name);
    }
    line += '\n';
    if (line.size() > kMaxListLineBytes) {
      problem = entry.path + ": list line of " + std::to_string(line.size()) +
                " bytes exceeds the limit of " + std::to_string(kMaxListLineBytes);
      return false;
    }
    out += line;
  }
  return true;
}

}  // namespace

std::optional<std::string> FormatList(ListKind kind, std::vector<ListEntry> entries,
                                      std::string_view comment, std::string& problem) {
  std::string out;
  if (!comment.empty()) {
    for (char c : comment) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        problem = "the comment must be one line without control characters";
        return std::nullopt;
      }
    }
    out = "# " + std::string(comment) + "\n";
    if (out.size() > kMaxListLineBytes) {
      problem = "the comment is longer than a list line may be";
      return std::nullopt;
    }
  }
  std::vector<ListEntry> removes;
  std::vector<ListEntry> adds;
  for (ListEntry& entry : entries) {
    (kind == ListKind::kIncremental && entry.remove ? removes : adds).push_back(std::move(entry));
  }
  std::sort(removes.begin(), removes.end(), ByDirectoryThenName);
  std::sort(adds.begin(), adds.end(), ByDirectoryThenName);
  if (!AppendGroup(kind, removes, out, problem) || !AppendGroup(kind, adds, out, problem)) {
    return std::nullopt;
  }
  return out;
}

}  // namespace launcher::publish
