// Measurements of the launcher window, run by hand (not a test):
//
//   window_probe first-paint        prints the wall-clock time (ns since the
//                                   epoch) at which the first frame of the
//                                   window had been painted, then exits
//   window_probe cpu <seconds>      a worker thread changes the file bar and
//                                   the status text as fast as it can; prints
//                                   the GUI thread's CPU time against the
//                                   wall time, and the frames painted
//   window_probe screenshot <png>   a fake worker stops mid-update, with the
//                                   lower line's figures worded by the
//                                   string table's format; saves the screen
//                                   around the window as PNG (at the device
//                                   pixel ratio: QT_SCALE_FACTOR)
//
// Run it in a launcher directory (it loads "launcher.bmp" and "stringtab.txt"
// from the working directory) on the platform to be measured (DISPLAY for xcb, or
// QT_QPA_PLATFORM=offscreen).
#include <time.h>

#include <QApplication>
#include <QEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "files/string_table.h"
#include "seam/cancel.h"
#include "seam/status_display.h"
#include "ui/qt/launcher_window.h"
#include "update/transfer_figures.h"

namespace {

long long Nanos(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

class PaintCounter : public QObject {
 public:
  std::atomic<int> paints{0};
  std::function<void()> onFirstPaint;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && paints.fetch_add(1) == 0 && onFirstPaint) {
      // Runs once the paint and the flush to the screen are done.
      QTimer::singleShot(0, onFirstPaint);
    }
    return QObject::eventFilter(watched, event);
  }
};

int FirstPaint(QApplication& app) {
  launcher::LauncherWindow window(0, 0);
  PaintCounter counter;
  counter.onFirstPaint = [&app] {
    std::printf("%lld\n", Nanos(CLOCK_REALTIME));
    app.quit();
  };
  window.installEventFilter(&counter);
  window.Initialise({});
  window.show();
  app.exec();
  launcher::RunCloseHandshake();
  return 0;
}

int Cpu(QApplication& app, int seconds) {
  std::atomic<long long> calls{0};
  std::atomic<long long> workerCpu{0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  launcher::LauncherWindow window(0, 0);
  PaintCounter counter;
  window.installEventFilter(&counter);
  window.Initialise([&](const int*) {
    const long long cpu0 = Nanos(CLOCK_THREAD_CPUTIME_ID);
    long long n = 0;
    const std::u16string names[] = {u"data/textures/terrain_01.pak", u"data/sound/music.pak"};
    while (std::chrono::steady_clock::now() < end) {
      launcher::SetFileProgress(static_cast<int>(n % 101));
      launcher::SetStatusText(names[n % 2]);
      ++n;
    }
    calls = n;
    workerCpu = Nanos(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    return 0;
  });
  window.show();
  const long long wall0 = Nanos(CLOCK_MONOTONIC);
  const long long gui0 = Nanos(CLOCK_THREAD_CPUTIME_ID);
  QTimer done;
  QObject::connect(&done, &QTimer::timeout, [&] {
    if (window.JoinWorker(std::chrono::milliseconds(0))) app.quit();
  });
  done.start(50);
  app.exec();
  const double wall = static_cast<double>(Nanos(CLOCK_MONOTONIC) - wall0) / 1e6;
  const double gui = static_cast<double>(Nanos(CLOCK_THREAD_CPUTIME_ID) - gui0) / 1e6;
  std::printf("wall %.0f ms, GUI thread CPU %.1f ms (%.2f%% of one core), frames %d\n", wall, gui,
              100.0 * gui / wall, counter.paints.load());
  std::printf("worker: %lld calls of each, %.0f ms CPU\n", calls.load(),
              static_cast<double>(workerCpu.load()) / 1e6);
  launcher::RunCloseHandshake();
  return 0;
}

// A plain backdrop, so the window's shape shows against something.
class Backdrop : public QWidget {
 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    QLinearGradient g(0, 0, width(), height());
    g.setColorAt(0, QColor(46, 84, 96));
    g.setColorAt(1, QColor(18, 36, 48));
    p.fillRect(rect(), g);
  }
};

int Screenshot(QApplication& app, const char* path) {
  Backdrop backdrop;
  backdrop.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  backdrop.setGeometry(QGuiApplication::primaryScreen()->geometry());
  backdrop.show();
  launcher::LauncherWindow window(0, 0);
  window.Initialise([](const int*) {
    // 123 of 456 MB at 850 KB/s, as a pass would have counted them.
    launcher::TransferFigures figures;
    figures.BeginPass(0, 456 << 20);
    figures.TransferStarted(456 << 20);
    for (std::uint32_t second = 1; second <= 148; ++second)
      figures.TransferReached(second * 1000, second * (850 << 10), 456 << 20);
    const std::u16string name = u"terrain_01.pak";
    const std::u16string& format = launcher::Message(launcher::MSG_DETAIL_WITH_FIGURES);
    launcher::SetStatusText(launcher::Message(launcher::MSG_DOWNLOADING));
    launcher::SetDetailText(format.empty() ? name : launcher::FormatFigures(format, name, figures));
    launcher::SetTotalProgress(27);
    launcher::SetFileProgress(37);
    return 0;
  });
  window.show();
  int result = 1;
  QTimer::singleShot(800, [&] {
    const QRect around = window.geometry().adjusted(-30, -30, 30, 30);
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(
        0, around.x(), around.y(), around.width(), around.height());
    result = shot.save(QString::fromLocal8Bit(path), "PNG") ? 0 : 1;
    app.quit();
  });
  app.exec();
  launcher::RunCloseHandshake();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_probe first-paint | cpu <seconds>\n");
    return 2;
  }
  QApplication app(argc, argv);
  if (std::strcmp(argv[1], "first-paint") == 0) return FirstPaint(app);
  if (std::strcmp(argv[1], "screenshot") == 0 && argc > 2) return Screenshot(app, argv[2]);
  if (std::strcmp(argv[1], "cpu") == 0) return Cpu(app, argc > 2 ? std::atoi(argv[2]) : 10);
  return 2;
}
