// The installed icon, rendered from packaging/quobble.svg, and the window's
// icon, drawn by AboutDialog::AppIcon, are one drawing: a change to either
// alone shows up here.
#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <cstdlib>
#include <string>

#include "ui/about_dialog.h"

namespace quobble {
namespace {

// Pixels with a channel more than 96 apart. Two renderers anti-alias edges
// a little differently; a changed colour, shape or place moves far more.
int FarPixels(const QImage& a, const QImage& b) {
  int far = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y);
      const QRgb q = b.pixel(x, y);
      far += std::abs(qRed(p) - qRed(q)) > 96 || std::abs(qGreen(p) - qGreen(q)) > 96 ||
             std::abs(qBlue(p) - qBlue(q)) > 96 || std::abs(qAlpha(p) - qAlpha(q)) > 96;
    }
  }
  return far;
}

// The two sizes the window icon holds (app.cpp).
TEST(InstalledIcon, MatchesTheWindowIcon) {
  const char* folder = std::getenv("QUOBBLE_ICON_DIR");
  ASSERT_NE(folder, nullptr);
  for (int size : {16, 32}) {
    SCOPED_TRACE(size);
    const QImage installed = QImage(QString::fromStdString(std::string(folder) + "/quobble-" +
                                                           std::to_string(size) + ".png"))
                                 .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage window =
        AboutDialog::AppIcon(size).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    ASSERT_EQ(installed.size(), QSize(size, size));
    ASSERT_EQ(window.size(), QSize(size, size));
    EXPECT_LE(FarPixels(installed, window), size / 8);
  }
}

}  // namespace
}  // namespace quobble
