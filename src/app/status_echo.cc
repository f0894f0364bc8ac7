#include "app/status_echo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "files/utf16.h"

namespace launcher {
namespace {

void PrintLine(const char* label, const std::string& text) {
  std::printf("[launcher] %-6s %s\n", label, text.c_str());
  std::fflush(stdout);
}

// Prints a bar when it enters a new 10-percent step (and at 0 and 100).
void PrintBar(const char* label, int percent, int& lastStep) {
  const int step = percent >= 100 ? 10 : (percent <= 0 ? 0 : percent / 10);
  if (step == lastStep) return;
  lastStep = step;
  PrintLine(label, std::to_string(percent) + "%");
}

}  // namespace

bool StatusEcho::Requested() {
  const char* value = std::getenv("LAUNCHER_ECHO_STATUS");
  return value != nullptr && std::strcmp(value, "0") != 0 && *value != '\0';
}

void StatusEcho::SetStatusText(std::u16string_view text) {
  inner_.SetStatusText(text);
  PrintLine("status", ToUtf8(text));
}

void StatusEcho::SetDetailText(std::u16string_view text) {
  inner_.SetDetailText(text);
  if (!text.empty()) PrintLine("detail", ToUtf8(text));
}

void StatusEcho::SetTotalProgress(int percent) {
  inner_.SetTotalProgress(percent);
  PrintBar("total", percent, lastTotalStep_);
}

void StatusEcho::SetFileProgress(int percent) {
  inner_.SetFileProgress(percent);
  PrintBar("file", percent, lastFileStep_);
}

void StatusEcho::HideForHandOff() {
  PrintLine("hand", "starting the patcher");
  inner_.HideForHandOff();
}

void StatusEcho::RequestClose() { inner_.RequestClose(); }

}  // namespace launcher
