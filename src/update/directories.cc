#include "update/directories.h"

#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "files/file_ops.h"
#include "files/replace_file.h"
#include "files/utf16.h"
#include "platform/native_file.h"

namespace launcher {
namespace {

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

// The operating system's name for the first `length` units of `path`.
std::filesystem::path NativePrefix(std::u16string_view path, std::size_t length) {
  std::u16string native(path.substr(0, length));
  // Lists come from a platform where "\" separates too.
  for (char16_t& c : native) {
    if (c == u'\\') c = u'/';
  }
  return ToPath(native);
}

// Removes the unfinished copies and the empty directories inside the real
// directory `directory`, then tries `directory` itself. The names are read
// first and the removals follow, so no listing is walked while it changes.
void RemoveEmptyDirectoriesBelow(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> children;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
       it.increment(ec)) {
    children.push_back(it->path());
  }
  for (const std::filesystem::path& child : children) {
    const FileKind kind = FileKindNoFollow(child);
    if (kind == FileKind::kDirectory) RemoveEmptyDirectoriesBelow(child);
    if (kind == FileKind::kRegular && IsReplacementTemporary(child)) RemoveNativeFile(child);
  }
  RemoveDirectoryNative(directory);
}

// Removes `path` and, when it is a real directory, everything in it; links
// are removed, never followed. Read-only files go too, like any forced
// delete.
void RemoveTreeNoFollow(const std::filesystem::path& path) {
  const FileKind kind = FileKindNoFollow(path);
  std::error_code ec;
  if (kind == FileKind::kDirectory) {
    std::vector<std::filesystem::path> children;
    for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end;
         it.increment(ec)) {
      children.push_back(it->path());
    }
    for (const std::filesystem::path& child : children) RemoveTreeNoFollow(child);
    RemoveDirectoryNative(path);
  } else if (kind == FileKind::kLink) {
    std::filesystem::remove(path, ec);  // the link itself, whatever it names
  } else if (kind != FileKind::kMissing) {
    ClearFileAttributesNative(path);
    RemoveNativeFile(path);
  }
}

// `path` without its trailing separators, so that a link named as a root is
// seen as the link, not as the directory it points to.
std::filesystem::path RootPath(std::u16string_view root) {
  std::size_t length = root.size();
  while (length > 1 && IsSeparator(root[length - 1])) --length;
  return NativePrefix(root, length);
}

}  // namespace

void RemoveDirectoryTree(std::u16string_view root) {
  const std::filesystem::path top = RootPath(root);
  if (FileKindNoFollow(top) == FileKind::kDirectory) RemoveTreeNoFollow(top);
}

void RemoveFilesUnderExcept(std::u16string_view root, const std::vector<std::u16string>& keep) {
  const std::filesystem::path top = RootPath(root);
  if (FileKindNoFollow(top) != FileKind::kDirectory) return;
  if (keep.empty()) {
    RemoveTreeNoFollow(top);
    return;
  }
  std::set<std::filesystem::path> kept;
  for (const std::u16string& path : keep)
    kept.insert(NativePrefix(path, path.size()).lexically_normal());
  std::vector<std::filesystem::path> leftovers;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(top, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const FileKind kind = FileKindNoFollow(it->path());
    if (kind != FileKind::kDirectory && !kept.count(it->path().lexically_normal())) {
      leftovers.push_back(it->path());
    }
  }
  for (const std::filesystem::path& leftover : leftovers) RemoveTreeNoFollow(leftover);
  RemoveEmptyDirectoriesBelow(top);
}

void RemoveLinkAtRoot(std::u16string_view root) {
  const std::filesystem::path top = RootPath(root);
  std::error_code ec;
  if (FileKindNoFollow(top) == FileKind::kLink) std::filesystem::remove(top, ec);
}

void ClearObstaclesUnder(std::u16string_view root, std::u16string_view relative) {
  if (FileKindNoFollow(RootPath(root)) != FileKind::kDirectory) return;
  std::u16string joined(root);
  const std::size_t rootLength = joined.size();
  joined += relative;
  for (std::size_t i = rootLength + 1; i < joined.size(); ++i) {
    if (!IsSeparator(joined[i])) continue;
    const std::filesystem::path prefix = NativePrefix(joined, i);
    const FileKind kind = FileKindNoFollow(prefix);
    if (kind == FileKind::kDirectory) continue;
    // A file where a directory must be: it goes, and the rest of the path
    // is created fresh. Anything else (a link) stays where it is.
    if (kind == FileKind::kRegular) RemoveTreeNoFollow(prefix);
    return;
  }
  const std::filesystem::path target = NativePrefix(joined, joined.size());
  if (FileKindNoFollow(target) == FileKind::kDirectory) RemoveTreeNoFollow(target);
}

void CreateParentDirectories(std::u16string_view path) {
  // The recursive definition (parents first) walks the separators from the
  // left; iterating them in order gives the same attempts in the same order.
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (IsSeparator(path[i])) CreateDirectoryNative(NativePrefix(path, i));
  }
}

void RemoveEmptyParentDirectories(std::u16string_view path) {
  for (std::size_t i = path.size(); i-- > 1;) {
    if (IsSeparator(path[i])) RemoveDirectoryNative(NativePrefix(path, i));
  }
}

void RemoveEmptyDirectoryTree(std::u16string_view root) {
  const std::filesystem::path top = RootPath(root);
  if (FileKindNoFollow(top) == FileKind::kDirectory) RemoveEmptyDirectoriesBelow(top);
}

bool StaysInsideRoot(std::u16string_view root, std::u16string_view relative) {
  std::u16string joined(root);
  const std::size_t rootLength = joined.size();
  joined += relative;
  for (std::size_t i = rootLength; i < joined.size(); ++i) {
    if (!IsSeparator(joined[i]) || i == rootLength) continue;
    const FileKind kind = FileKindNoFollow(NativePrefix(joined, i));
    if (kind == FileKind::kMissing) return true;  // the rest is created fresh
    if (kind != FileKind::kDirectory) return false;
  }
  return true;
}

bool CreateParentDirectoriesUnder(std::u16string_view root, std::u16string_view relative) {
  if (!StaysInsideRoot(root, relative)) return false;
  CreateParentDirectories(std::u16string(root) + std::u16string(relative));
  return true;
}

int DeleteFileUnder(std::u16string_view root, std::u16string_view relative) {
  if (!StaysInsideRoot(root, relative)) return 0;
  const std::u16string path = std::u16string(root) + std::u16string(relative);
  // Clearing the attributes of a link would change the file it points to.
  if (IsSymbolicLink(path)) return RemoveNativeFile(NativePrefix(path, path.size())) ? 1 : 0;
  return DeleteFileForced(path);
}

bool IsSymbolicLink(std::u16string_view path) {
  return FileKindNoFollow(NativePrefix(path, path.size())) == FileKind::kLink;
}

bool IsRegularFileNoFollow(std::u16string_view path) {
  return FileKindNoFollow(NativePrefix(path, path.size())) == FileKind::kRegular;
}

}  // namespace launcher
