#include "ui/row_drawing.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QStyleOptionViewItem>
#include <array>
#include <functional>

#include "platform/device_fs.h"
#include "tests/support/recording_screen.h"
#include "tests/support/temp_root.h"
#include "ui/product_list_view.h"
#include "ui/ui_test_env.h"

namespace quobble {
namespace {

const QColor kBackground(255, 255, 255);
const QColor kHighlight(0, 120, 215);
constexpr int kRowWidth = 448;
constexpr int kRowHeight = 122;
const QSize kThumbnailBox(112, 120);

bool IsBlue(QRgb p) {
  return qBlue(p) > 150 && qRed(p) < 90 && qGreen(p) < 90;
}
bool IsRed(QRgb p) {
  return qRed(p) > 150 && qBlue(p) < 90 && qGreen(p) < 90;
}

QPalette Palette(QColor base, QColor text, QColor highlight, QColor highlightedText) {
  QPalette palette;
  palette.setColor(QPalette::Base, base);
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::Highlight, highlight);
  palette.setColor(QPalette::HighlightedText, highlightedText);
  return palette;
}
const QPalette kLight = Palette(kBackground, Qt::black, kHighlight, Qt::white);

// Rows drawn the way the list draws them: the delegate paints what the
// model says of each index.
class RowDrawingTest : public ::testing::Test {
 protected:
  RowDrawingTest()
      : list_(screen_, u"\\VOVo Vidav\\quobble\\"),
        model_(list_, nullptr),
        delegate_(screen_, kRowWidth, nullptr) {
    model_.SetThumbnailBox(kThumbnailBox, 1.0);
  }

  ProductRecord& Add(std::u16string title, int32_t low, int32_t high) {
    auto record = std::make_unique<ProductRecord>();
    record->title = std::move(title);
    record->lowPrice = low;
    record->highPrice = high;
    ProductRecord& kept = *record;
    list_.AppendRecord(std::move(record));
    model_.SetRowCount(static_cast<int>(list_.RecordCount()));
    return kept;
  }

  // Draws row `index` into a fresh image filled with `fill`.
  QImage Draw(int index, bool selected = false, QColor fill = QColor(1, 2, 3)) {
    QImage image(kRowWidth, kRowHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(fill);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, kRowWidth, kRowHeight);
    option.palette = kLight;
    option.state = QStyle::State_Enabled;
    if (selected) option.state |= QStyle::State_Selected;
    delegate_.paint(&painter, option, model_.index(index));
    painter.end();
    return image;
  }

  // A device file for the thumbnail cache; returns its device path.
  std::u16string WriteThumbnail(const QByteArray& bytes) {
    const std::u16string device = u"\\VOVo Vidav\\quobble\\Images\\p3\\thumb.png";
    EXPECT_TRUE(CreateFolderPath(device));
    QFile file(QString::fromStdString(root_.Host(device)));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    return device;
  }

  static QByteArray QuadrantPng(int side = 100) {
    QImage picture(side, side, QImage::Format_RGB32);
    picture.fill(Qt::green);
    QPainter painter(&picture);
    painter.fillRect(0, 0, side / 2, side / 2, QColor(255, 0, 255));
    painter.fillRect(side / 2, side / 2, side / 2, side / 2, QColor(0, 255, 255));
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
  ProductRowModel model_;
  ProductRowDelegate delegate_;
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

TEST_F(RowDrawingTest, SelectedRowIsHighlighted) {
  Add(u"title", 0, 0);
  const QImage image = Draw(0, /*selected=*/true);
  EXPECT_EQ(image.pixel(440, 60), kHighlight.rgb());
  EXPECT_EQ(image.pixel(50, 60), kHighlight.rgb());  // no thumbnail yet
}

// The seed's black, blue and red stay on a light palette; wherever one would
// read below 4.5:1 (a selected row, a dark palette) a readable shade stands in.
TEST_F(RowDrawingTest, TextColoursAreReadableOnEveryBackground) {
  const struct {
    const char* name;
    QPalette palette;
    bool selected;
  } cases[] = {
      {"light", kLight, false},
      {"light, selected", kLight, true},
      {"light, pale selection", Palette(Qt::white, Qt::black, QColor(48, 140, 198), Qt::white),
       true},
      {"dark", Palette(QColor(42, 42, 42), QColor(220, 220, 220), QColor(42, 130, 218), Qt::white),
       false},
      {"dark, selected",
       Palette(QColor(42, 42, 42), QColor(220, 220, 220), QColor(42, 130, 218), Qt::white), true},
      {"black", Palette(Qt::black, Qt::white, QColor(255, 200, 0), Qt::black), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RowColours colours = ChooseRowColours(c.palette, c.selected);
    EXPECT_EQ(colours.background,
              c.palette.color(c.selected ? QPalette::Highlight : QPalette::Base));
    for (const QColor& text : {colours.title, colours.lowPrice, colours.highPrice})
      EXPECT_GE(ContrastRatio(text, colours.background), 4.5) << text.name().toStdString();
  }
  const RowColours light = ChooseRowColours(kLight, false);
  EXPECT_EQ(light.title, QColor(0, 0, 0));
  EXPECT_EQ(light.lowPrice, QColor(0, 0, 230));
  EXPECT_EQ(light.highPrice, QColor(230, 0, 0));
  // A shade keeps its hue: the dark palette's prices stay blue and red.
  const RowColours dark = ChooseRowColours(cases[3].palette, false);
  EXPECT_GT(dark.lowPrice.blue(), dark.lowPrice.red());
  EXPECT_GT(dark.highPrice.red(), dark.highPrice.blue());
}

TEST_F(RowDrawingTest, TheModelAnswersForEachRow) {
  ProductRecord& record = Add(u"Mouse", 12000, 13500);
  const QModelIndex row = model_.index(0);
  EXPECT_EQ(row.data(Qt::DisplayRole).toString(), QStringLiteral("Mouse"));
  EXPECT_EQ(row.data(Qt::AccessibleTextRole).toString(),
            QStringLiteral("Mouse, lowest 12,000 won, highest 13,500 won"));
  EXPECT_EQ(row.data(ProductRowModel::LowPriceTextRole).toString(), QStringLiteral("Low : 12,000"));
  EXPECT_EQ(row.data(ProductRowModel::HighPriceTextRole).toString(),
            QStringLiteral("High : 13,500"));
  // No file yet: no thumbnail, and nothing decoded.
  const long before = ThumbnailDecodeAttempts();
  EXPECT_FALSE(row.data(Qt::DecorationRole).isValid());
  EXPECT_EQ(ThumbnailDecodeAttempts(), before);
  record.SetThumbPath(WriteThumbnail(QuadrantPng()));
  EXPECT_EQ(row.data(Qt::DecorationRole).value<QImage>().size(), kThumbnailBox);
  // A row past the page's records answers nothing.
  model_.SetRowCount(2);
  EXPECT_FALSE(model_.index(1).data(Qt::DisplayRole).isValid());
}

TEST_F(RowDrawingTest, ThumbnailIsStretchedToItsBoxAndDecodedOnce) {
  ProductRecord& record = Add(u"t", 1, 2);
  record.SetThumbPath(WriteThumbnail(QuadrantPng()));
  const long before = ThumbnailDecodeAttempts();
  const QImage image = Draw(0);
  EXPECT_EQ(record.imageInfo.width, 100);
  EXPECT_EQ(record.imageInfo.height, 100);
  // 100 x 100 stretched to 112 x 120: corners land on the box's corners.
  EXPECT_EQ(image.pixel(0, 1), qRgb(255, 0, 255));
  EXPECT_EQ(image.pixel(111, 120), qRgb(0, 255, 255));
  EXPECT_EQ(image.pixel(111, 1), QColor(Qt::green).rgb());
  EXPECT_EQ(image.pixel(55, 0), kBackground.rgb());
  EXPECT_EQ(image.pixel(113, 60), kBackground.rgb());
  Draw(0);
  EXPECT_EQ(ThumbnailDecodeAttempts() - before, 1);
}

// Decoded at the size it is shown at, times the screen's pixel ratio: a
// page of pictures that claim to be huge keeps only box-sized images, and a
// HiDPI screen gets every pixel it can show.
TEST_F(RowDrawingTest, ThumbnailIsDecodedAtItsBoxTimesThePixelRatio) {
  ProductRecord& record = Add(u"t", 1, 2);
  record.SetThumbPath(WriteThumbnail(QuadrantPng(2000)));
  for (const qreal ratio : {1.0, 2.0}) {
    SCOPED_TRACE(ratio);
    model_.SetThumbnailBox(kThumbnailBox, ratio);
    const QImage thumbnail = model_.index(0).data(Qt::DecorationRole).value<QImage>();
    EXPECT_EQ(thumbnail.size(), kThumbnailBox * ratio);
    EXPECT_EQ(thumbnail.devicePixelRatio(), ratio);
    EXPECT_EQ(record.imageInfo.width, 2000);
  }
  // Drawn at a ratio of 2, the box's corners are the picture's.
  QImage target(kRowWidth * 2, kRowHeight * 2, QImage::Format_ARGB32_Premultiplied);
  target.setDevicePixelRatio(2.0);
  target.fill(Qt::white);
  QPainter painter(&target);
  QStyleOptionViewItem option;
  option.rect = QRect(0, 0, kRowWidth, kRowHeight);
  option.palette = kLight;
  delegate_.paint(&painter, option, model_.index(0));
  painter.end();
  EXPECT_EQ(target.pixel(0, 2), qRgb(255, 0, 255));
  EXPECT_EQ(target.pixel(223, 239), qRgb(0, 255, 255));
}

// A file that does not decode is not decoded again at every repaint; once
// it changes (a whole picture arrives in its place), it is.
TEST_F(RowDrawingTest, UndecodableThumbnailIsTriedAgainOnlyOnceItChanges) {
  ProductRecord& record = Add(u"t", 1, 2);
  const std::u16string path = WriteThumbnail("not a picture at all");
  record.SetThumbPath(path);
  const long before = ThumbnailDecodeAttempts();
  const QImage image = Draw(0);
  for (int i = 0; i < 3; ++i) Draw(0);
  EXPECT_EQ(ThumbnailDecodeAttempts() - before, 1);
  EXPECT_EQ(record.image, nullptr);
  EXPECT_EQ(image.pixel(50, 60), kBackground.rgb());
  EXPECT_TRUE(AnyPixel(image, QRect(117, 61, 301, 28), IsBlue));

  WriteThumbnail(QuadrantPng());
  const QImage whole = Draw(0);
  EXPECT_EQ(ThumbnailDecodeAttempts() - before, 2);
  EXPECT_EQ(whole.pixel(0, 1), qRgb(255, 0, 255));
}

TEST_F(RowDrawingTest, MissingRecordIsReportedAndNothingIsDrawn) {
  Add(u"only row", 1, 2);
  model_.SetRowCount(3);
  const QColor fill(1, 2, 3);
  for (int index : {1, 2}) {
    screen_.ClearEvents();
    const QImage image = Draw(index, false, fill);
    ASSERT_EQ(screen_.Messages(), std::vector<std::string>{"에러: 상품 데이터가 잘못 되었습니다."})
        << index;
    EXPECT_FALSE(AnyPixel(image, image.rect(), [&](QRgb p) { return p != fill.rgb(); }));
  }
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
