// What the tests of the Win32 launcher window under Wine share: one private
// X server and Wine desktop per test suite, the window probe of the windows
// build started in a launcher directory of its own with a chosen state, and
// the Linux window's painter as the reference for the pixels.
#pragma once

#include <QImage>
#include <QRegion>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "ui/qt/skin.h"
#include "ui/status_state.h"
#include "ui/window_layout.h"
#include "wine_session.h"

namespace launcher::testing {

inline constexpr int kScreenWidth = 1024;
inline constexpr int kScreenHeight = 768;
inline constexpr QRgb kKeyColour = 0xFF00FF;

QRect ToQRect(const layout::Rect& r);
std::string Utf8(const std::u16string& text);
// What the Linux window paints for `values`, at the skin's own pixels.
QImage QtReference(const SkinImages& images, const StatusState::Values& values);
// Pixels of `rect` that differ from the skin: the text's ink.
QRegion Ink(const QImage& shown, const QImage& skin, const QRect& rect);
int Area(const QRegion& r);
// The skin's pixels that are not the key colour.
QRegion Opaque(const QImage& skin);
// Writes `image` as <name>.png into $LAUNCHER_SCREENSHOT_DIR when it is
// set (how the screenshots under docs/ are made); otherwise nothing.
void SaveScreenshot(const QImage& image, const std::string& name);

class WineWindowTest : public ::testing::Test {
 protected:
  // One X server and one Wine desktop for each suite; every test starts at
  // 100 %, and the suite leaves the prefix at 100 %.
  static void SetUpTestSuite();
  static void TearDownTestSuite();

  void SetUp() override;

  // Sets the pixel density Wine reports to the programs started from now
  // on (the user's "LogPixels" in the prefix's registry). True when it was
  // written.
  static bool SetDpi(int dpi);

  std::unique_ptr<ChildProcess> StartProbe(const std::string& mode,
                                           const StatusState::Values& v = {});
  bool Recorded(const std::string& line);
  XWindow WaitForWindow();
  void Release();

  TempDir temp_;
  std::filesystem::path probe_;
  std::filesystem::path dir_;
  std::filesystem::path record_;
  static std::unique_ptr<WineSession> session_;
  static int dpi_;  // the density last written, 0 when not known
};

}  // namespace launcher::testing
