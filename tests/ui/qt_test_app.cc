#include "qt_test_app.h"

#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <gtest/gtest.h>

namespace launcher::testing {

QApplication& TestApplication() {
  static int argc = 1;
  static char name[] = "launcher_ui_test";
  static char* argv[] = {name, nullptr};
  // Deliberately never destroyed: windows of finished tests may still hold
  // posted events, and Qt's teardown order at exit is not ours to manage.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

QImage MakeTestSkin() {
  QImage skin(230, 200, QImage::Format_RGB32);
  for (int y = 0; y < skin.height(); ++y) {
    for (int x = 0; x < skin.width(); ++x) {
      const bool corner = (x < 6 && y < 6) || (x >= 224 && y >= 194);
      // Blue stays below 255 - no pixel but the corners is magenta.
      skin.setPixel(x, y, corner ? qRgb(255, 0, 255) : qRgb(x, y, (x * 7 + y * 3) % 200));
    }
  }
  return skin;
}

void SaveBmp(const QImage& image, const std::filesystem::path& path) {
  ASSERT_TRUE(image.convertToFormat(QImage::Format_RGB888)
                  .save(QString::fromStdString(path.string()), "BMP"));
}

}  // namespace launcher::testing
