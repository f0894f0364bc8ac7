#include "ui/qt/launcher_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include "files/paths.h"
#include "files/string_table.h"
#include "seam/cancel.h"
#include "ui/qt/launcher_accessible.h"
#include "ui/qt/native_shape.h"
#include "ui/qt/status_painter.h"
#include "ui/window_layout.h"

namespace launcher {
namespace {

// The worker may change a bar thousands of times a second; the window shows
// at most one frame per interval and folds the changes in between into it.
constexpr qint64 kMinRepaintIntervalMs = 15;

constexpr StatusState::Item kItems[] = {StatusState::kStatusLine, StatusState::kDetailLine,
                                        StatusState::kFileBar, StatusState::kTotalBar};

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

LauncherWindow::LauncherWindow(int fullCheck, int updateMode, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      StatusWindowBase(fullCheck, updateMode) {
  setWindowTitle(QStringLiteral("Launcher"));
  InstallLauncherAccessibility();
  // The skin covers every pixel; nothing needs clearing before a paint.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

LauncherWindow::~LauncherWindow() { EndWorker(); }

void LauncherWindow::Initialise(WorkerEntry worker) {
  setWindowIcon(QIcon(QStringLiteral(":/launcher/images/icon.png")));

  images_ = LoadSkinImages(ToQString(SkinPath));
  translucent_ = QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
  // Without a shape of its own (Wayland), the window shows its skin's shape
  // through the key colour's transparent pixels.
  if (translucent_ && images_.HasSkin()) setAttribute(Qt::WA_TranslucentBackground);
  if (images_.HasSkin()) {
    // An all-key skin asks for a window with nothing visible. An empty
    // QRegion would mean "no mask" to Qt, so give it one pixel outside the
    // window instead.
    setMask(images_.shape.isEmpty() ? QRegion(-1, -1, 1, 1) : images_.shape);
  }

  const QSize size = images_.WindowSize();
  setFixedSize(size);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    // The whole screen, not the work area.
    const QRect g = screen->geometry();
    const layout::Point at = layout::CentredOrigin(
        g.left(), g.top(), g.left() + g.width(), g.top() + g.height(), size.width(), size.height());
    move(at.x, at.y);
  }

  statusFont_ = MakeStatusFont();
  detailFont_ = MakeStatusFont();

  LoadStringTable(StringTablePath);
  StartWorker(std::move(worker));
}

void LauncherWindow::BringToFront() {
  if (isMinimized()) {
    showNormal();
  } else {
    show();
  }
  raise();
  activateWindow();
}

void LauncherWindow::HideForHandOff() {
  RunOnGuiThread([this] { hide(); });
}

void LauncherWindow::RequestClose() {
  RunOnGuiThread([this] { close(); });
}

void LauncherWindow::RunOnGuiThread(const std::function<void()>& task) {
  if (QThread::currentThread() == thread()) {
    task();
    return;
  }
  // After the handshake the window is closing or gone from the event loop;
  // a blocking call could then wait for ever.
  if (WindowClosing.load() != 0) return;
  QMetaObject::invokeMethod(this, task, Qt::BlockingQueuedConnection);
}

void LauncherWindow::PostRepaint() {
  // Posting is thread-safe; the call runs on the GUI thread.
  QMetaObject::invokeMethod(
      this, [this] { RepaintChanged(); }, Qt::QueuedConnection);
}

void LauncherWindow::RepaintChanged() {
  if (lastRepaint_.isValid()) {
    const qint64 since = lastRepaint_.elapsed();
    if (since < kMinRepaintIntervalMs) {
      // The request stays outstanding, so the worker posts no more until
      // this timer has folded its changes into one repaint.
      QTimer::singleShot(static_cast<int>(kMinRepaintIntervalMs - since), this,
                         [this] { RepaintChanged(); });
      return;
    }
  }
  lastRepaint_.start();
  const unsigned changed = State().TakeChanged();
  for (StatusState::Item item : kItems) {
    if ((changed & item) != 0) update(ItemRepaintRect(item));
  }
  NotifyAccessibleChanges(*this, changed);
}

void LauncherWindow::FollowDeviceRatio() {
  const qreal ratio = devicePixelRatioF();
  if (device_.ratio == ratio) return;
  device_ = BuildDeviceSkin(images_, ratio, translucent_);
  // Qt's mask stays as the layout's; on X11 the shape in device pixels
  // replaces what Qt made of it.
  if (images_.HasSkin() && windowHandle() != nullptr) SetNativeShape(*this, device_.shape);
}

void LauncherWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // A native window made anew gets Qt's scaling of the mask; put ours back.
  device_.ratio = 0;
  FollowDeviceRatio();
}

void LauncherWindow::paintEvent(QPaintEvent* event) {
  FollowDeviceRatio();
  QPainter painter(this);
  PaintWindow(painter, images_, device_, statusFont_, detailFont_, CurrentValues(), event->rect());
}

void LauncherWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const QPoint at = event->position().toPoint();
  pressOnCloseSpot_ = layout::kCloseSpot.Contains(at.x(), at.y());
  if (pressOnCloseSpot_) return;
  // Every other point drags the window. Without a window manager that
  // offers moving, follow the mouse ourselves.
  if (windowHandle() != nullptr && windowHandle()->startSystemMove()) return;
  manualDrag_ = true;
  dragOffset_ = event->globalPosition().toPoint() - pos();
}

void LauncherWindow::mouseMoveEvent(QMouseEvent* event) {
  if (manualDrag_ && (event->buttons() & Qt::LeftButton) != 0) {
    move(event->globalPosition().toPoint() - dragOffset_);
  }
}

void LauncherWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const bool wasDrag = manualDrag_;
  manualDrag_ = false;
  const QPoint at = event->position().toPoint();
  // Like a button: pressed and released on the close spot.
  if (!wasDrag && pressOnCloseSpot_ && layout::kCloseSpot.Contains(at.x(), at.y())) {
    pressOnCloseSpot_ = false;
    close();
  }
  pressOnCloseSpot_ = false;
}

void LauncherWindow::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      close();
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

void LauncherWindow::closeEvent(QCloseEvent* event) {
  // The one place every close passes: wait for a guarded section of the
  // worker to finish and keep any further one from starting.
  RunCloseHandshake();
  event->accept();
  const bool first = !closed_;
  closed_ = true;
  if (first && closedCallback_) closedCallback_();
}

}  // namespace launcher
