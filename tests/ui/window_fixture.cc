#include "window_fixture.h"

#include <QPixmap>

#include "files/string_table.h"
#include "seam/cancel.h"

namespace launcher::testing {

void WindowFixture::SetUp() {
  TestApplication();
  ResetCancelStateForTesting();
  ClearStringTable();
  launcherDir_ = MakeInstallLayout(temp_.path());
  cwd_.emplace(launcherDir_);
  skin_ = MakeTestSkin();
  SaveBmp(skin_, launcherDir_ / "launcher.bmp");
}

void WindowFixture::TearDown() {
  cwd_.reset();
  ResetCancelStateForTesting();
}

std::unique_ptr<LauncherWindow> WindowFixture::Open(LauncherWindow::WorkerEntry worker) {
  auto window = std::make_unique<LauncherWindow>(0, 0);
  window->Initialise(std::move(worker));
  return window;
}

QImage WindowFixture::Render(LauncherWindow& window) {
  return window.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

QImage WindowFixture::RenderFresh(const std::u16string& status, const std::u16string& detail,
                                  int total, int file) {
  auto window = Open();
  window->SetStatusText(status);
  window->SetDetailText(detail);
  window->SetTotalProgress(total);
  window->SetFileProgress(file);
  return Render(*window);
}

bool SamePixels(const QImage& a, const QImage& b, const QRect& rect) {
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x)
      if (a.pixel(x, y) != b.pixel(x, y)) return false;
  return true;
}

}  // namespace launcher::testing
