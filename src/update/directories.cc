#include "update/directories.h"

#include <filesystem>
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

// Removes the unfinished copies (with `allFiles`, every regular file) and
// the empty directories inside the real directory `directory`, then tries
// `directory` itself. The names are read first and the removals follow, so
// no listing is walked while it changes.
void RemoveEmptyDirectoriesBelow(const std::filesystem::path& directory, bool allFiles) {
  std::vector<std::filesystem::path> children;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
       it.increment(ec)) {
    children.push_back(it->path());
  }
  for (const std::filesystem::path& child : children) {
    const FileKind kind = FileKindNoFollow(child);
    if (kind == FileKind::kDirectory) RemoveEmptyDirectoriesBelow(child, allFiles);
    if (kind == FileKind::kRegular && (allFiles || IsReplacementTemporary(child)))
      RemoveNativeFile(child);
  }
  RemoveDirectoryNative(directory);
}

}  // namespace

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

namespace {

void RemoveTreeBelow(std::u16string_view root, bool allFiles) {
  // Without its trailing separators, so that a link named as the root is
  // seen as the link, not as the directory it points to.
  std::size_t length = root.size();
  while (length > 1 && IsSeparator(root[length - 1])) --length;
  const std::filesystem::path top = NativePrefix(root, length);
  if (FileKindNoFollow(top) == FileKind::kDirectory) RemoveEmptyDirectoriesBelow(top, allFiles);
}

}  // namespace

void RemoveEmptyDirectoryTree(std::u16string_view root) { RemoveTreeBelow(root, false); }

void RemoveStagingTree(std::u16string_view root) { RemoveTreeBelow(root, true); }

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
