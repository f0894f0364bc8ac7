#include "publish/file_io.h"

#include <fstream>
#include <sstream>

namespace launcher::publish {

bool ReadWholeFile(const std::filesystem::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  out = buffer.str();
  return !in.bad();
}

}  // namespace launcher::publish
