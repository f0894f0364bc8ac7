#include "update/directories.h"

#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "files/file_ops.h"
#include "files/utf16.h"

namespace launcher {
namespace {

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

// The operating system's name for the first `length` units of `path`.
std::string NativePrefix(std::u16string_view path, std::size_t length) {
  std::string native = ToUtf8(path.substr(0, length));
  // Lists come from a platform where "\" separates too.
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

bool LStat(const std::string& native, struct stat& info) {
  return ::lstat(native.c_str(), &info) == 0;
}

}  // namespace

void CreateParentDirectories(std::u16string_view path) {
  // The recursive definition (parents first) walks the separators from the
  // left; iterating them in order gives the same attempts in the same order.
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (IsSeparator(path[i])) ::mkdir(NativePrefix(path, i).c_str(), 0777);
  }
}

void RemoveEmptyParentDirectories(std::u16string_view path) {
  for (std::size_t i = path.size(); i-- > 1;) {
    if (IsSeparator(path[i])) ::rmdir(NativePrefix(path, i).c_str());
  }
}

bool StaysInsideRoot(std::u16string_view root, std::u16string_view relative) {
  std::u16string joined(root);
  const std::size_t rootLength = joined.size();
  joined += relative;
  for (std::size_t i = rootLength; i < joined.size(); ++i) {
    if (!IsSeparator(joined[i]) || i == rootLength) continue;
    struct stat info {};
    if (!LStat(NativePrefix(joined, i), info)) return true;  // the rest is created fresh
    if (S_ISLNK(info.st_mode) || !S_ISDIR(info.st_mode)) return false;
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
  if (IsSymbolicLink(path)) return ::unlink(NativePrefix(path, path.size()).c_str()) == 0 ? 1 : 0;
  return DeleteFileForced(path);
}

bool IsSymbolicLink(std::u16string_view path) {
  struct stat info {};
  return LStat(NativePrefix(path, path.size()), info) && S_ISLNK(info.st_mode);
}

bool IsRegularFileNoFollow(std::u16string_view path) {
  struct stat info {};
  return LStat(NativePrefix(path, path.size()), info) && S_ISREG(info.st_mode);
}

}  // namespace launcher
