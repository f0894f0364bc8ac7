#include "publish/path_rules.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdint>
#include <locale>

#include "files/utf16.h"
#include "update/list_path.h"

namespace launcher::publish {

std::optional<std::string> CheckName(std::string_view name) {
  if (name.empty()) return "empty name";
  if (name == "." || name == "..") return "name \"" + std::string(name) + "\" is not allowed";
  std::u16string wide;
  if (!FromUtf8(name, wide)) return "name is not valid UTF-8";
  for (char16_t c : wide) {
    if (c < 0x20 || c == 0x7F) return "name contains a control character";
    if (c == u'\\') return "name contains a backslash (a separator for the launcher)";
  }
  if (EncodeListName(name).size() > kMaxServedNameBytes) {
    return "name too long: its encoded form exceeds " + std::to_string(kMaxServedNameBytes) +
           " bytes, the longest name a web server's file system stores";
  }
  return std::nullopt;
}

std::optional<std::string> CheckRelativePath(std::string_view relPath) {
  std::size_t start = 0;
  while (true) {
    std::size_t end = relPath.find('/', start);
    std::string_view part =
        relPath.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (auto problem = CheckName(part)) return problem;
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  // The expanded token is the encoded path ("./dir/name"); its first entry in
  // a directory is written as "/dir/name", one byte shorter.
  const std::string encoded = EncodeListPath(relPath);
  if (encoded.size() > kMaxExpandedTokenBytes) {
    return "path too long: its encoded form has " + std::to_string(encoded.size()) +
           " bytes, the launcher reads at most " + std::to_string(kMaxExpandedTokenBytes);
  }
  std::u16string decoded;
  FromUtf8(std::string("./") + std::string(relPath), decoded);
  if (decoded.size() > kMaxDecodedPathUnits) {
    return "path too long: " + std::to_string(decoded.size()) +
           " UTF-16 units, the launcher takes at most " + std::to_string(kMaxDecodedPathUnits);
  }
  // Longest line: "+" digest, a blank, the "/" form of the token, line feed.
  const std::size_t line = 1 + kDigestChars + 1 + (encoded.size() - 1) + 1;
  if (line > kMaxListLineBytes) {
    return "path too long: its list line would have " + std::to_string(line) + " bytes, at most " +
           std::to_string(kMaxListLineBytes) + " are allowed";
  }
  return std::nullopt;
}

std::string ServedRelativePath(std::string_view relPath) {
  return EncodeListPath(relPath).substr(2);
}

std::u16string CaseFoldKey(std::string_view utf8) {
  std::u16string key = FromUtf8Lossy(utf8);
#ifdef _WIN32
  // The system's upper case, unit by unit as the C.UTF-8 locale does it on
  // Linux (the C runtime here knows no locale but "C").
  for (char16_t& c : key) {
    if (c >= u'a' && c <= u'z') {
      c = static_cast<char16_t>(c - u'a' + u'A');
    } else if (c >= 0x80 && (c < 0xD800 || c > 0xDFFF)) {
      wchar_t unit = static_cast<wchar_t>(c);
      wchar_t upper = unit;
      if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &unit, 1, &upper, 1, nullptr,
                          nullptr, 0) == 1 &&
          upper != 0) {
        c = static_cast<char16_t>(upper);
      }
    }
  }
#else
  // Upper case, as the home platform compares names; a locale that is not
  // installed leaves non-ASCII letters as they are.
  static const std::locale locale = [] {
    try {
      return std::locale("C.UTF-8");
    } catch (const std::exception&) {
      return std::locale::classic();
    }
  }();
  const auto& facet = std::use_facet<std::ctype<wchar_t> >(locale);
  for (char16_t& c : key) {
    if (c >= u'a' && c <= u'z') {
      c = static_cast<char16_t>(c - u'a' + u'A');
    } else if (c >= 0x80 && (c < 0xD800 || c > 0xDFFF)) {
      const wchar_t upper = facet.toupper(static_cast<wchar_t>(c));
      if (upper > 0 && upper < 0x10000) c = static_cast<char16_t>(upper);
    }
  }
#endif
  return key;
}

}  // namespace launcher::publish
