// A launcher installation in a temporary directory, made the working
// directory, with a test skin, and helpers to open and render the window.
#pragma once

#include <QImage>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "qt_test_app.h"
#include "support/temp_dir.h"
#include "ui/qt/launcher_window.h"

namespace launcher::testing {

class WindowFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A window initialised with `worker` (none: no worker thread).
  std::unique_ptr<LauncherWindow> Open(LauncherWindow::WorkerEntry worker = {});
  // The window as it would appear on screen now, every item drawn.
  static QImage Render(LauncherWindow& window);
  // Renders a fresh window showing exactly these values.
  QImage RenderFresh(const std::u16string& status, const std::u16string& detail, int total,
                     int file);

  const std::filesystem::path& launcherDir() const { return launcherDir_; }

  TempDir temp_;
  std::filesystem::path launcherDir_;
  std::optional<ScopedCurrentDir> cwd_;
  QImage skin_;
};

// True when `a` and `b` agree on every pixel of `rect`.
bool SamePixels(const QImage& a, const QImage& b, const QRect& rect);

}  // namespace launcher::testing
