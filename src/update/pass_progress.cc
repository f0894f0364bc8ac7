#include "update/pass_progress.h"

#include <string>

#include "files/string_table.h"
#include "platform/clock.h"
#include "seam/status_display.h"
#include "update/transfer_figures.h"
#include "update/update_state.h"

namespace launcher {
namespace {

struct PassProgress {
  TransferFigures figures;
  std::u16string name;
  std::uint32_t lineShownAt = 0;
  bool lineDue = true;
};

PassProgress g_pass;

}  // namespace

void BeginPassProgress(int entriesPercent, bool transfers) {
  g_pass.figures.BeginPass(EngineClock().TickCount(), transfers ? KnownTransferTotal : -1);
  g_pass.lineDue = true;
  SetTotalProgress(g_pass.figures.TotalBar(entriesPercent));
}

void ShowPassProgress(int entriesPercent) {
  SetTotalProgress(g_pass.figures.TotalBar(entriesPercent));
}

void NoteDetailName(std::u16string_view name) {
  g_pass.name.assign(name);
  g_pass.lineDue = true;
}

void ShowTransferFigures(int event, const Transfer& transfer) {
  const std::uint32_t now = EngineClock().TickCount();
  TransferFigures& figures = g_pass.figures;
  switch (event) {
    case DOWNLOAD_STARTED:
      figures.TransferStarted(transfer.contentLength);
      g_pass.lineDue = true;
      break;
    case DOWNLOAD_PROGRESS:
      // TotalBytes is the length of the file in hand: announced by this
      // transfer, or by the one it resumes.
      figures.TransferReached(now, transfer.offset, TotalBytes);
      break;
    case DOWNLOAD_DONE:
    case DOWNLOAD_FAILED:
      // The line keeps what it shows at the end until the next file.
      figures.TransferEnded(now, transfer.offset);
      g_pass.lineDue = true;
      break;
    default:
      return;
  }
  if (figures.TotalKnown()) SetTotalProgress(figures.TotalBar());

  const std::u16string& format = Message(MSG_DETAIL_WITH_FIGURES);
  if (format.empty()) return;
  if (!g_pass.lineDue && static_cast<std::uint32_t>(now - g_pass.lineShownAt) < kFiguresLineMs)
    return;
  g_pass.lineDue = false;
  g_pass.lineShownAt = now;
  SetDetailText(FormatFigures(format, g_pass.name, figures));
}

void ResetPassProgress() { g_pass = PassProgress(); }

}  // namespace launcher
