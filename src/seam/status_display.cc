#include "seam/status_display.h"

#include "seam/cancel.h"

namespace launcher {

StatusDisplay* g_launcherWindow = nullptr;

void SetStatusText(std::u16string_view text) {
  GuardedSection guard;
  if (g_launcherWindow != nullptr) g_launcherWindow->SetStatusText(text);
}

void SetDetailText(std::u16string_view text) {
  GuardedSection guard;
  if (g_launcherWindow != nullptr) g_launcherWindow->SetDetailText(text);
}

void SetTotalProgress(int percent) {
  GuardedSection guard;
  if (g_launcherWindow != nullptr) g_launcherWindow->SetTotalProgress(percent);
}

void SetFileProgress(int percent) {
  GuardedSection guard;
  if (g_launcherWindow != nullptr) g_launcherWindow->SetFileProgress(percent);
}

void SetFileProgressInGuardedSection(int percent) {
  if (g_launcherWindow != nullptr) g_launcherWindow->SetFileProgress(percent);
}

}  // namespace launcher
