// The one QApplication of a Qt test executable, and waiting on its event
// loop. GUI (main) thread only.
#pragma once

#include <QApplication>
#include <QImage>
#include <filesystem>
#include <functional>

namespace launcher::testing {

// Created on first use and kept until the process ends.
QApplication& TestApplication();

// Runs the event loop until `done` holds or `timeoutMs` passed; returns done().
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// A 230 x 200 skin with a distinct colour at every pixel and magenta corners,
// so that any pixel drawn over it can be told from the skin.
QImage MakeTestSkin();

// Saves `image` as a 24-bit BMP at `path`.
void SaveBmp(const QImage& image, const std::filesystem::path& path);

}  // namespace launcher::testing
