// The installed icon, rendered from packaging/quobble.svg, and the window's
// icon, drawn by AboutDialog::AppIcon, are one drawing: a change to either
// alone shows up here.
#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <algorithm>
#include <cstdlib>
#include <string>

#include "ui/about_dialog.h"

namespace quobble {
namespace {

struct Difference {
  double mean = 0;  // per channel, 0..255
  int far = 0;      // pixels with a channel off by more than 96
};

Difference Compare(const QImage& a, const QImage& b) {
  Difference difference;
  long long sum = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y);
      const QRgb q = b.pixel(x, y);
      const int channels[] = {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q),
                              qAlpha(p) - qAlpha(q)};
      int worst = 0;
      for (int channel : channels) {
        sum += std::abs(channel);
        worst = std::max(worst, std::abs(channel));
      }
      if (worst > 96) ++difference.far;
    }
  }
  difference.mean = static_cast<double>(sum) / (a.width() * a.height() * 4);
  return difference;
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
    const Difference difference = Compare(installed, window);
    // Two renderers anti-alias edges a little differently; a changed colour,
    // shape or place moves far more pixels than that.
    EXPECT_LT(difference.mean, 3.0);
    EXPECT_LE(difference.far, size / 8) << "pixels far apart";
  }
}

}  // namespace
}  // namespace quobble
