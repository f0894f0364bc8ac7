// How the launcher window closes, moves and takes updates from the worker.
#include <QEvent>
#include <QTest>
#include <atomic>
#include <chrono>
#include <thread>

#include "seam/cancel.h"
#include "seam/status_display.h"
#include "window_fixture.h"

namespace launcher::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using WindowBehaviourTest = WindowFixture;

// Counts hide events of a window; readable from any thread.
class HideWatcher : public QObject {
 public:
  std::atomic<int> hides{0};

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Hide) hides.fetch_add(1);
    return QObject::eventFilter(watched, event);
  }
};

TEST_F(WindowBehaviourTest, WorkerUpdatesWhileTheWindowRepaints) {
  std::atomic<int> frames{0};
  auto window = Open([&frames](const int*) {
    // Keep changing everything until the window has drawn a good number of
    // frames in between (or a time limit passed).
    const auto until = Clock::now() + 10s;
    for (int i = 0; frames.load() < 50 && Clock::now() < until; ++i) {
      SetFileProgress(i % 101);
      SetTotalProgress(i / 200);
      if (i % 50 == 0) {
        const std::u16string n = u"file " + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
        SetStatusText(n);
        SetDetailText(n + n);
      }
    }
    SetStatusText(u"All files are up to date");
    SetDetailText(u"patch & play");
    SetTotalProgress(100);
    SetFileProgress(42);
    return 0;
  });
  window->show();
  while (!window->JoinWorker(0ms)) {
    window->repaint();
    (void)Render(*window);
    QCoreApplication::processEvents();
    ++frames;
  }
  EXPECT_GE(frames.load(), 50);
  const StatusState::Values v = window->CurrentValues();
  EXPECT_EQ(v.statusText, u"All files are up to date");
  EXPECT_EQ(v.detailText, u"patch & play");
  EXPECT_EQ(v.totalPercent, 100);
  EXPECT_EQ(v.filePercent, 42);
  WaitUntil([] { return false; }, 50);
  const QImage shown = Render(*window);
  EXPECT_TRUE(SamePixels(shown, RenderFresh(u"All files are up to date", u"patch & play", 100, 42),
                         QRect(0, 0, 230, 200)));
}

TEST_F(WindowBehaviourTest, CloseWaitsForTheGuardedSectionInProgress) {
  std::atomic<int> phase{0};
  std::atomic<Clock::rep> sectionEnd{0};
  auto window = Open([&](const int*) {
    SetStatusText(u"before");
    {
      GuardedSection section;
      phase = 1;
      std::this_thread::sleep_for(300ms);
      sectionEnd = Clock::now().time_since_epoch().count();
      phase = 2;
    }  // the close is seen here and ends the worker
    phase = 3;
    SetStatusText(u"after");
    return 0;
  });
  window->show();
  ASSERT_TRUE(WaitUntil([&] { return phase.load() == 1; }));
  window->close();
  const auto closeDone = Clock::now().time_since_epoch().count();
  EXPECT_EQ(phase.load(), 2) << "the section finished, nothing after it ran";
  EXPECT_GE(closeDone, sectionEnd.load());
  EXPECT_TRUE(window->IsClosed());
  ASSERT_TRUE(window->JoinWorker(2s));
  EXPECT_EQ(phase.load(), 2);
  EXPECT_EQ(window->CurrentValues().statusText, u"before");
}

TEST_F(WindowBehaviourTest, CloseWithoutGuardedSectionIsImmediateAndStopsLaterUpdates) {
  std::atomic<bool> closedSeen{false};
  std::atomic<bool> reachedDisplay{false};
  auto window = Open([&](const int*) {
    while (!closedSeen.load()) std::this_thread::sleep_for(1ms);
    SetDetailText(u"too late");  // ends the worker without drawing
    reachedDisplay = true;
    return 0;
  });
  window->show();
  const auto start = Clock::now();
  window->close();
  EXPECT_LT(Clock::now() - start, 250ms);
  closedSeen = true;
  ASSERT_TRUE(window->JoinWorker(2s));
  EXPECT_FALSE(reachedDisplay.load());
  EXPECT_EQ(window->CurrentValues().detailText, u"");
}

TEST_F(WindowBehaviourTest, HandOffHidesThenTheWorkerClosesTheWindow) {
  HideWatcher watcher;
  std::atomic<int> hidesAfterHandOff{-1};
  std::atomic<bool> closedAfterRequest{false};
  int callbacks = 0;
  auto window = Open([&](const int*) {
    SetStatusText(u"handing off");
    g_launcherWindow->HideForHandOff();
    hidesAfterHandOff = watcher.hides.load();
    g_launcherWindow->RequestClose();
    closedAfterRequest = WindowClosing.load() != 0;
    return 0;
  });
  window->installEventFilter(&watcher);
  window->SetClosedCallback([&] { ++callbacks; });
  window->show();
  ASSERT_TRUE(WaitUntil([&] { return window->IsClosed(); }));
  ASSERT_TRUE(window->JoinWorker(2s));
  EXPECT_GE(hidesAfterHandOff.load(), 1) << "hidden before HideForHandOff returned";
  EXPECT_TRUE(closedAfterRequest.load()) << "closed before RequestClose returned";
  EXPECT_EQ(callbacks, 1);
}

TEST_F(WindowBehaviourTest, BringToFrontShowsAHiddenWindowAgain) {
  auto window = Open();
  window->show();
  window->HideForHandOff();
  EXPECT_FALSE(window->isVisible());
  window->BringToFront();
  EXPECT_TRUE(window->isVisible());
  window->showMinimized();
  window->BringToFront();
  EXPECT_FALSE(window->isMinimized());
}

TEST_F(WindowBehaviourTest, ReleaseOnTheCloseSpotCloses) {
  struct Click {
    QPoint press;
    QPoint release;
    bool closes;
  };
  for (const Click c : {Click{{194, 24}, {194, 24}, true}, Click{{212, 41}, {212, 41}, true},
                        Click{{203, 30}, {196, 38}, true}, Click{{193, 30}, {193, 30}, false},
                        Click{{213, 30}, {213, 30}, false}, Click{{200, 23}, {200, 23}, false},
                        Click{{200, 42}, {200, 42}, false}, Click{{200, 30}, {100, 100}, false}}) {
    ResetCancelStateForTesting();
    auto window = Open();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QTest::mousePress(window.get(), Qt::LeftButton, {}, c.press);
    QTest::mouseRelease(window.get(), Qt::LeftButton, {}, c.release);
    EXPECT_EQ(window->IsClosed(), c.closes) << "press " << c.press.x() << "," << c.press.y()
                                            << " release " << c.release.x() << "," << c.release.y();
    EXPECT_EQ(WindowClosing.load() != 0, c.closes) << "a close runs the handshake";
  }
}

TEST_F(WindowBehaviourTest, DraggingMovesTheWindowFromTextAndBarsToo) {
  for (const QPoint from : {QPoint(20, 60), QPoint(100, 160), QPoint(100, 124)}) {
    auto window = Open();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    const QPoint start = window->pos();
    QTest::mousePress(window.get(), Qt::LeftButton, {}, from);
    QTest::mouseMove(window.get(), from + QPoint(25, 40));
    QTest::mouseRelease(window.get(), Qt::LeftButton, {}, from);
    EXPECT_EQ(window->pos(), start + QPoint(25, 40)) << from.x() << "," << from.y();
    EXPECT_FALSE(window->IsClosed());
  }
}

TEST_F(WindowBehaviourTest, EscapeAndEnterCloseThroughTheHandshake) {
  for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
    ResetCancelStateForTesting();
    auto window = Open();
    window->show();
    QTest::keyClick(window.get(), key);
    EXPECT_TRUE(window->IsClosed()) << key;
    EXPECT_NE(WindowClosing.load(), 0);
  }
  ResetCancelStateForTesting();
  auto window = Open();
  window->show();
  QTest::keyClick(window.get(), Qt::Key_A);
  QTest::keyClick(window.get(), Qt::Key_Space);
  EXPECT_FALSE(window->IsClosed());
}

TEST_F(WindowBehaviourTest, WorkerGetsTheFullCheckFlagAndUpdateMode) {
  std::atomic<int> seen{-1};
  std::atomic<bool> update{false};
  auto window = std::make_unique<LauncherWindow>(1, 1);
  window->Initialise([&](const int* fullCheck) {
    seen = *fullCheck;
    update = g_launcherWindow->UpdateMode();
    return 0;
  });
  ASSERT_TRUE(window->JoinWorker(2s));
  EXPECT_EQ(seen.load(), 1);
  EXPECT_TRUE(update.load());
  EXPECT_EQ(g_launcherWindow, window.get());
}

}  // namespace
}  // namespace launcher::testing
