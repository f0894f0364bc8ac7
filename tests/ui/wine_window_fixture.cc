#include "wine_window_fixture.h"

#include <QDir>
#include <QFont>
#include <QPainter>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "qt_test_app.h"
#include "ui/qt/device_skin.h"
#include "ui/qt/status_painter.h"

namespace launcher::testing {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

QRect ToQRect(const layout::Rect& r) { return {r.left, r.top, r.width(), r.height()}; }

std::string Utf8(const std::u16string& text) {
  return QString::fromStdU16String(text).toStdString();
}

QImage QtReference(const SkinImages& images, const StatusState::Values& values) {
  QImage out(images.WindowSize(), QImage::Format_RGB32);
  QPainter painter(&out);
  const QFont font = MakeStatusFont();
  PaintWindow(painter, images, BuildDeviceSkin(images, 1, false), font, font, values, out.rect());
  return out;
}

QRegion Ink(const QImage& shown, const QImage& skin, const QRect& rect) {
  QRegion ink;
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x)
      if ((shown.pixel(x, y) & 0xFFFFFFu) != (skin.pixel(x, y) & 0xFFFFFFu))
        ink += QRect(x, y, 1, 1);
  return ink;
}

int Area(const QRegion& r) {
  int n = 0;
  for (const QRect& rect : r) n += rect.width() * rect.height();
  return n;
}

QRegion Opaque(const QImage& skin) {
  QRegion opaque;
  for (int y = 0; y < skin.height(); ++y) {
    int x = 0;
    while (x < skin.width()) {
      const int start = x;
      while (x < skin.width() && (skin.pixel(x, y) & 0xFFFFFFu) != kKeyColour) ++x;
      if (x > start) opaque += QRect(start, y, x - start, 1);
      ++x;
    }
  }
  return opaque;
}

void SaveScreenshot(const QImage& image, const std::string& name) {
  const char* dir = std::getenv("LAUNCHER_SCREENSHOT_DIR");
  if (dir == nullptr || *dir == '\0') return;
  QDir().mkpath(QString::fromUtf8(dir));
  const QString file = QString::fromUtf8(dir) + "/" + QString::fromStdString(name) + ".png";
  EXPECT_TRUE(image.save(file)) << file.toStdString();
}

std::unique_ptr<WineSession> WineWindowTest::session_;

int WineWindowTest::dpi_ = 0;

void WineWindowTest::SetUpTestSuite() {
  session_ = std::make_unique<WineSession>(kScreenWidth, kScreenHeight);
  // A run that failed half-way may have left another density in the prefix.
  dpi_ = 0;
}

void WineWindowTest::TearDownTestSuite() {
  // Back to 100 % for whatever runs next in the prefix (the demo's journey
  // clicks the close spot at its 100 % place), also after a filtered run.
  if (session_ && session_->ok() && dpi_ != 96) {
    EXPECT_TRUE(SetDpi(96));
  }
  session_.reset();
}

void WineWindowTest::SetUp() {
  TestApplication();
  probe_ = WindowsBuildFile("tests/ui/win32/window_probe.exe");
  ASSERT_FALSE(probe_.empty());
  ASSERT_TRUE(session_->ok()) << "Xvfb";
  // The window of the test before has gone.
  ASSERT_TRUE(PollFor([&] { return session_->WindowsTitled("Launcher", true).empty(); }, 20s));
  dir_ = temp_.path() / "launcher";
  fs::create_directories(dir_);
  fs::copy_file(fs::path(LAUNCHER_SOURCE_DIR) / "resources/launcher.bmp", dir_ / "launcher.bmp");
  record_ = dir_ / "record.txt";
  // Every test starts at 100 %.
  if (dpi_ != 96) {
    ASSERT_TRUE(SetDpi(96));
  }
}

bool WineWindowTest::SetDpi(int dpi) {
  // Wine takes the density from the user's desktop settings, else from
  // HKEY_CURRENT_CONFIG\Software\Fonts; each program reads it as it starts.
  auto reg = session_->Start("reg",
                             {"add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t",
                              "REG_DWORD", "/d", std::to_string(dpi), "/f"},
                             "/");
  const bool written = reg->WaitForExit(60s) == 0;
  dpi_ = written ? dpi : 0;
  return written;
}

std::unique_ptr<ChildProcess> WineWindowTest::StartProbe(const std::string& mode,
                                                         const StatusState::Values& v) {
  return session_->Start(probe_,
                         {record_.string(), mode, Utf8(v.statusText), Utf8(v.detailText),
                          std::to_string(v.totalPercent), std::to_string(v.filePercent)},
                         dir_);
}

bool WineWindowTest::Recorded(const std::string& line) {
  const auto lines = ReadLines(record_);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

XWindow WineWindowTest::WaitForWindow() {
  XWindow w = 0;
  PollFor(
      [&] {
        const auto found = session_->WindowsTitled("Launcher");
        if (found.size() == 1) w = found.front();
        return w != 0;
      },
      30s);
  return w;
}

void WineWindowTest::Release() { std::ofstream(record_.string() + ".release") << "go\n"; }

}  // namespace launcher::testing
