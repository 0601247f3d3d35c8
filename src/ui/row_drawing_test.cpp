#include "ui/row_drawing.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <array>
#include <functional>

#include "platform/device_fs.h"
#include "tests/support/recording_screen.h"
#include "tests/support/temp_root.h"
#include "ui/ui_test_env.h"

namespace quobble {
namespace {

const QColor kBackground(255, 255, 255);
const QColor kHighlight(0, 120, 215);
constexpr int kRowWidth = 448;
constexpr int kRowHeight = 122;

bool IsBlue(QRgb p) {
  return qBlue(p) > 150 && qRed(p) < 90 && qGreen(p) < 90;
}
bool IsRed(QRgb p) {
  return qRed(p) > 150 && qBlue(p) < 90 && qGreen(p) < 90;
}

class RowDrawingTest : public ::testing::Test {
 protected:
  RowDrawingTest() : list_(screen_, u"\\VOVo Vidav\\quobble\\") {}

  ProductRecord& Add(std::u16string title, int32_t low, int32_t high) {
    auto record = std::make_unique<ProductRecord>();
    record->title = std::move(title);
    record->lowPrice = low;
    record->highPrice = high;
    ProductRecord& kept = *record;
    list_.AppendRecord(std::move(record));
    return kept;
  }

  // Draws row `index` into a fresh image filled with `fill`.
  QImage Draw(int index, bool selected = false, int controlType = kListViewControl,
              QColor fill = QColor(1, 2, 3)) {
    QImage image(kRowWidth, kRowHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(fill);
    QPainter painter(&image);
    DrawItemRequest request;
    request.controlType = controlType;
    request.itemIndex = index;
    request.right = kRowWidth;
    request.bottom = kRowHeight;
    request.selected = selected;
    request.painter = &painter;
    request.background = kBackground;
    request.highlight = kHighlight;
    DrawRow(request, list_, screen_);
    painter.end();
    return image;
  }

  // A device file for the thumbnail cache; returns its device path.
  std::u16string WriteThumbnail(const QByteArray& bytes) {
    const std::u16string device = u"\\VOVo Vidav\\quobble\\Images\\p3\\thumb.png";
    EXPECT_TRUE(CreateFolderPath(device));
    QFile file(QString::fromStdString(root_.Host(device)));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return device;
  }

  static QByteArray QuadrantPng() {
    QImage picture(100, 100, QImage::Format_RGB32);
    picture.fill(Qt::green);
    QPainter painter(&picture);
    painter.fillRect(0, 0, 50, 50, QColor(255, 0, 255));
    painter.fillRect(50, 50, 50, 50, QColor(0, 255, 255));
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    return bytes;
  }

  static bool AnyPixel(const QImage& image, const QRect& area,
                       const std::function<bool(QRgb)>& is) {
    const QRect clipped = area.intersected(image.rect());
    for (int y = clipped.top(); y <= clipped.bottom(); ++y)
      for (int x = clipped.left(); x <= clipped.right(); ++x)
        if (is(image.pixel(x, y))) return true;
    return false;
  }

  TempRoot root_;
  RecordingScreen screen_;
  ProductList list_;
};

TEST_F(RowDrawingTest, BoxesOfA448PixelRow) {
  const RowLayout layout = ComputeRowLayout(0, 0, 448, 122);
  // Exclusive right and bottom edges, as the boxes are specified.
  const auto edges = [](const QRect& r) {
    return std::array<int, 4>{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
  };
  EXPECT_EQ(edges(layout.thumbnail), (std::array<int, 4>{0, 1, 112, 121}));
  EXPECT_EQ(edges(layout.title), (std::array<int, 4>{117, 3, 418, 63}));
  EXPECT_EQ(edges(layout.lowPrice), (std::array<int, 4>{117, 61, 418, 123}));
  EXPECT_EQ(edges(layout.highPrice), (std::array<int, 4>{117, 89, 418, 143}));
  EXPECT_EQ(layout.dividerY, 121);
  // The row's own offset moves the boxes down with it.
  EXPECT_EQ(ComputeRowLayout(0, 244, 448, 366).title.top(), 247);
}

TEST_F(RowDrawingTest, DividerBackgroundAndPriceColours) {
  Add(u"Galaxy S 'Edge' case", 12000, 1234567);
  const QImage image = Draw(0);
  for (int x : {0, 200, kRowWidth - 1}) EXPECT_EQ(image.pixel(x, 121), qRgb(210, 210, 210)) << x;
  EXPECT_EQ(image.pixel(440, 60), kBackground.rgb());
  // Blue only in the low-price line, red only in the high-price line (which
  // starts lower inside the low-price box).
  EXPECT_TRUE(AnyPixel(image, QRect(117, 61, 301, 28), IsBlue));
  EXPECT_TRUE(AnyPixel(image, QRect(117, 89, 301, 32), IsRed));
  EXPECT_FALSE(AnyPixel(image, QRect(0, 0, kRowWidth, 61), IsBlue));
  EXPECT_FALSE(AnyPixel(image, QRect(0, 0, kRowWidth, 89), IsRed));
  EXPECT_FALSE(
      AnyPixel(image, QRect(418, 0, 30, 121), [](QRgb p) { return IsBlue(p) || IsRed(p); }));
  EXPECT_TRUE(screen_.Messages().empty());
}

TEST_F(RowDrawingTest, SelectedRowIsHighlightedAndKeepsTextColours) {
  Add(u"title", 0, 0);
  const QImage image = Draw(0, /*selected=*/true);
  EXPECT_EQ(image.pixel(440, 60), kHighlight.rgb());
  EXPECT_EQ(image.pixel(50, 60), kHighlight.rgb());  // no thumbnail yet
  EXPECT_TRUE(AnyPixel(image, QRect(117, 61, 301, 28), IsBlue));
  EXPECT_TRUE(AnyPixel(image, QRect(117, 89, 301, 32), IsRed));
}

TEST_F(RowDrawingTest, ThumbnailIsStretchedToItsBoxAndDecodedOnce) {
  ProductRecord& record = Add(u"t", 1, 2);
  record.SetThumbPath(WriteThumbnail(QuadrantPng()));
  const long before = ThumbnailDecodeAttempts();
  const QImage image = Draw(0);
  EXPECT_EQ(record.imageInfo.width, 100);
  EXPECT_EQ(record.imageInfo.height, 100);
  EXPECT_EQ(record.thumbRect.left, 0);
  EXPECT_EQ(record.thumbRect.top, 1);
  EXPECT_EQ(record.thumbRect.right, 112);
  EXPECT_EQ(record.thumbRect.bottom, 121);
  // 100 x 100 stretched to 112 x 120: corners land on the box's corners.
  EXPECT_EQ(image.pixel(0, 1), qRgb(255, 0, 255));
  EXPECT_EQ(image.pixel(111, 120), qRgb(0, 255, 255));
  EXPECT_EQ(image.pixel(111, 1), QColor(Qt::green).rgb());
  EXPECT_EQ(image.pixel(55, 0), kBackground.rgb());
  EXPECT_EQ(image.pixel(113, 60), kBackground.rgb());
  Draw(0);
  EXPECT_EQ(ThumbnailDecodeAttempts() - before, 1);
}

TEST_F(RowDrawingTest, UndecodableThumbnailIsRetriedAtEachRedraw) {
  ProductRecord& record = Add(u"t", 1, 2);
  record.SetThumbPath(WriteThumbnail("not a picture at all"));
  const long before = ThumbnailDecodeAttempts();
  const QImage image = Draw(0);
  Draw(0);
  EXPECT_EQ(ThumbnailDecodeAttempts() - before, 2);
  EXPECT_EQ(record.image, nullptr);
  EXPECT_EQ(image.pixel(50, 60), kBackground.rgb());
  EXPECT_TRUE(AnyPixel(image, QRect(117, 61, 301, 28), IsBlue));

  // A record whose file has not arrived is not decoded at all.
  Add(u"no file yet", 1, 2);
  const long later = ThumbnailDecodeAttempts();
  Draw(1);
  EXPECT_EQ(ThumbnailDecodeAttempts(), later);
}

TEST_F(RowDrawingTest, MissingRecordIsReportedAndNothingIsDrawn) {
  Add(u"only row", 1, 2);
  const QColor fill(1, 2, 3);
  for (int index : {1, 7, -1}) {
    screen_.ClearEvents();
    const QImage image = Draw(index, false, kListViewControl, fill);
    ASSERT_EQ(screen_.Messages(), std::vector<std::string>{"에러: 상품 데이터가 잘못 되었습니다."})
        << index;
    EXPECT_FALSE(AnyPixel(image, image.rect(), [&](QRgb p) { return p != fill.rgb(); }));
  }
  // Another control's request draws nothing and says nothing.
  screen_.ClearEvents();
  const QImage other = Draw(0, false, 101, fill);
  EXPECT_TRUE(screen_.Messages().empty());
  EXPECT_FALSE(AnyPixel(other, other.rect(), [&](QRgb p) { return p != fill.rgb(); }));
}

TEST_F(RowDrawingTest, LongTextShowsOnlyWholeLines) {
  QImage image(300, 200, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::white);
  QPainter painter(&image);
  painter.setPen(Qt::black);
  const int lineHeight = QFontMetrics(painter.font(), &image).height();
  const QRect box(0, 0, 200, 60);
  QString longTitle;
  for (int i = 0; i < 40; ++i) longTitle += QStringLiteral("word%1 ").arg(i);
  const int lines = DrawBoxText(painter, box, longTitle);
  EXPECT_EQ(lines, 60 / lineHeight);
  EXPECT_EQ(DrawBoxText(painter, QRect(0, 100, 200, 60), QStringLiteral("short")), 1);
  EXPECT_EQ(DrawBoxText(painter, QRect(0, 100, 200, lineHeight - 1), QStringLiteral("x")), 0);
  painter.end();
  // Nothing below the last whole line, nor outside the box.
  const int inkBottom = lines * lineHeight;
  EXPECT_FALSE(AnyPixel(image, QRect(0, inkBottom, 300, 100 - inkBottom),
                        [](QRgb p) { return p != qRgb(255, 255, 255); }));
  EXPECT_FALSE(
      AnyPixel(image, QRect(200, 0, 100, 100), [](QRgb p) { return p != qRgb(255, 255, 255); }));
}

}  // namespace
}  // namespace quobble
