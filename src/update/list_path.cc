#include "update/list_path.h"

#include <array>

#include "files/utf16.h"

namespace launcher {

std::string CurrentListDir;

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-=";

// Value of an alphabet character, or -1 for a separator.
int AlphabetValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '-') return 63;
  if (c == '=') return 0;
  return -1;
}

// Decodes one run; appends its text (up to the first zero byte) to `out`.
bool DecodeRun(std::string_view run, std::u16string& text) {
  std::string bytes;
  bytes.reserve(run.size() / 4 * 3);
  for (std::size_t i = 0; i + 4 <= run.size(); i += 4) {
    unsigned v = 0;
    for (std::size_t k = 0; k < 4; ++k)
      v = (v << 6) | static_cast<unsigned>(AlphabetValue(run[i + k]));
    bytes.push_back(static_cast<char>((v >> 16) & 0xFF));
    bytes.push_back(static_cast<char>((v >> 8) & 0xFF));
    bytes.push_back(static_cast<char>(v & 0xFF));
  }
  auto zero = bytes.find('\0');
  if (zero != std::string::npos) bytes.resize(zero);
  return FromUtf8(bytes, text);
}

#ifdef _WIN32
// Windows opens a component whose stem (up to the first dot, less its final
// spaces) is a device name as that device, in any case: "con.txt" is CON.
bool IsDeviceName(std::u16string_view part) {
  std::u16string_view stem = part.substr(0, part.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
  std::u16string name;
  for (char16_t c : stem) name += (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  if (name == u"CON" || name == u"PRN" || name == u"AUX" || name == u"NUL") return true;
  return name.size() == 4 && (name.starts_with(u"COM") || name.starts_with(u"LPT")) &&
         std::u16string_view(u"123456789\u00B9\u00B2\u00B3").find(name[3]) !=
             std::u16string_view::npos;
}
#endif

}  // namespace

void ExpandListPath(std::string& token) {
  if (!token.empty() && token[0] == '/') {
    token.insert(token.begin(), '.');
    CurrentListDir = token.substr(0, token.rfind('/') + 1);
  } else {
    token.insert(0, CurrentListDir);
  }
}

DecodedListPath DecodeExpandedListPath(std::string_view expanded) {
  DecodedListPath result;
  result.valid = true;
  std::size_t i = 0;
  while (i < expanded.size()) {
    if (AlphabetValue(expanded[i]) < 0) {
      result.path.push_back(static_cast<char16_t>(static_cast<unsigned char>(expanded[i])));
      ++i;
      continue;
    }
    std::size_t start = i;
    while (i < expanded.size() && AlphabetValue(expanded[i]) >= 0) ++i;
    std::u16string text;
    if (!DecodeRun(expanded.substr(start, i - start), text)) {
      result.valid = false;
      continue;
    }
    if (text.size() > kMaxRunTextUnits) continue;
    result.path += text;
    result.fileName = text;
  }
  return result;
}

DecodedListPath DecodeListPath(std::string& token) {
  ExpandListPath(token);
  return DecodeExpandedListPath(token);
}

bool SanitizeDecodedPath(std::u16string& path) {
  if (path.empty() || path.size() > kMaxDecodedPathUnits) return false;
  for (char16_t& c : path) {
    if (c == u'\\') c = u'/';
    if (c < 0x20 || c == 0x7F) return false;
  }
  if (path[0] == u'/') return false;
  // Walk the components: only the first may be "."; none may be "..", and
  // none may be empty (a doubled or trailing separator).
  std::size_t start = 0;
  bool first = true;
  while (true) {
    std::size_t end = path.find(u'/', start);
    std::u16string_view part(path.data() + start,
                             (end == std::u16string::npos ? path.size() : end) - start);
    if (part.empty() || part == u"..") return false;
    if (part == u"." && !first) return false;
#ifdef _WIN32
    // Windows drops the final dots and spaces of a name when it resolves a
    // path, so "data." is "data" and "..." becomes "..": such a name is not
    // the file it says, and may climb out of the root.
    if (!(first && part == u".") && (part.back() == u'.' || part.back() == u' ')) return false;
    // These characters are not part of a name there ("a:b" is the stream "b"
    // of file "a"), and a device name is not a file.
    if (part.find_first_of(u"<>:\"|?*") != std::u16string_view::npos || IsDeviceName(part))
      return false;
#endif
    if (end == std::u16string::npos) break;
    start = end + 1;
    first = false;
  }
  // A path that is only "." names the root itself, not a file.
  return path != u".";
}

std::string EncodeListName(std::string_view name) {
  std::string out;
  out.reserve((name.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto byte = [&](std::size_t k) {
    return static_cast<unsigned>(static_cast<unsigned char>(name[k]));
  };
  for (; i + 3 <= name.size(); i += 3) {
    unsigned v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    for (int s = 18; s >= 0; s -= 6) out.push_back(kAlphabet[(v >> s) & 0x3F]);
  }
  std::size_t rest = name.size() - i;
  if (rest == 1) {
    unsigned v = byte(i) << 16;
    out.push_back(kAlphabet[(v >> 18) & 0x3F]);
    out.push_back(kAlphabet[(v >> 12) & 0x3F]);
    out += "==";
  } else if (rest == 2) {
    unsigned v = (byte(i) << 16) | (byte(i + 1) << 8);
    out.push_back(kAlphabet[(v >> 18) & 0x3F]);
    out.push_back(kAlphabet[(v >> 12) & 0x3F]);
    out.push_back(kAlphabet[(v >> 6) & 0x3F]);
    out += "=";
  }
  return out;
}

std::string EncodeListPath(std::string_view path) {
  std::string out = ".";
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    out += '/';
    out += EncodeListName(path.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

}  // namespace launcher
