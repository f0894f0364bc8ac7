#include "files/string_table.h"

#include <cstdint>

#include "files/utf16_text.h"

namespace launcher {

std::array<std::u16string, kMessageSlots> g_messages;

namespace {

bool IsAtoiSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// The slot number as atoi reads it: leading white space, an optional sign,
// then decimal digits up to the first other unit; no digits give 0. Numbers
// far outside the table are held at a bound instead of wrapping around, so a
// huge number can never land on a real slot.
std::int64_t LeadingSlotNumber(std::u16string_view line) {
  std::size_t i = 0;
  while (i < line.size() && IsAtoiSpace(line[i])) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == u'+' || line[i] == u'-')) {
    negative = line[i] == u'-';
    ++i;
  }
  std::int64_t value = 0;
  for (; i < line.size() && line[i] >= u'0' && line[i] <= u'9'; ++i) {
    if (value < 1'000'000'000) value = value * 10 + (line[i] - u'0');
  }
  return negative ? -value : value;
}

void ParseLine(std::u16string& line) {
  TrimLineEnd(line);
  std::size_t space = line.find(u' ');
  if (space == std::u16string::npos) return;
  std::int64_t slot = LeadingSlotNumber(line);
  // The file belongs to the installation; a number outside the table is
  // dropped rather than trusted.
  if (slot < 0 || slot >= kMessageSlots) return;
  g_messages[static_cast<std::size_t>(slot)] = line.substr(space + 1);
}

}  // namespace

bool LoadStringTable(std::u16string_view path) {
  Utf16LineReader reader(path);
  if (!reader.is_open()) return true;
  std::u16string line;
  while (reader.ReadLine(line)) ParseLine(line);
  return true;
}

void ClearStringTable() {
  for (std::u16string& text : g_messages) text.clear();
}

}  // namespace launcher
