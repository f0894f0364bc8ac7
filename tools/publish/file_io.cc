#include "publish/file_io.h"

#include <fstream>
#include <sstream>

#include "files/replace_file.h"
#include "platform/native_file.h"

namespace launcher::publish {

bool ReadWholeFile(const std::filesystem::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  out = buffer.str();
  return !in.bad();
}

bool WriteNewFile(const std::filesystem::path& path, std::string_view data, unsigned mode) {
  NativeFile file;
  bool exists = false;
  if (!file.CreateNew(path, mode, exists)) return false;
  const bool ok = file.SetMode(mode) && file.Write(data.data(), data.size());
  return file.Close() && ok;
}

bool ReplaceFile(const std::filesystem::path& path, std::string_view data) {
  FileReplacement replacement(path, 0644);
  return replacement.is_open() && replacement.file().SetMode(0644) &&
         replacement.file().Write(data.data(), data.size()) &&
         replacement.Commit(Durability::kDurable);
}

}  // namespace launcher::publish
