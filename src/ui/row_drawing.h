#pragma once
#include <QColor>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>
#include <string>

#include "search/product_record.h"

class QPainter;
class QPalette;

namespace quobble {

// A thumbnail decoded from its cache file, at the size it is shown at; the
// record keeps it for later redraws.
class DecodedThumbnail : public RecordImage {
 public:
  explicit DecodedThumbnail(QImage decoded) : image(std::move(decoded)) {}
  QImage image;
};

// The boxes of one row, exclusive right and bottom.
struct RowLayout {
  QRect thumbnail;
  QRect title;
  QRect lowPrice;
  QRect highPrice;
  int dividerY = 0;
};
RowLayout ComputeRowLayout(int left, int top, int right, int bottom);

// What one row shows: the title, the two price lines as they read ("Low :
// 12,000"), and the thumbnail (null while there is none).
struct RowContent {
  QString title;
  QString lowPrice;
  QString highPrice;
  QImage thumbnail;
};

// The row's background and text colours. On a light palette the texts keep
// their own black, blue and red; where one of them would be hard to read
// (a selected row, a dark palette) a shade of it that is readable takes its
// place.
struct RowColours {
  QColor background;
  QColor title;
  QColor lowPrice;
  QColor highPrice;
};
RowColours ChooseRowColours(const QPalette& palette, bool selected);
// The seed's price colours: the low price in blue, the high in red.
extern const QColor kLowPriceColor;
extern const QColor kHighPriceColor;

// The contrast ratio of two colours, from 1 (the same) to 21 (black and
// white), as the web's accessibility guidelines define it.
double ContrastRatio(const QColor& a, const QColor& b);
// The least change to `wanted`, toward white or toward black, that reads at
// `ratio` against `background`; `wanted` itself when it already does.
QColor ReadableShade(const QColor& wanted, const QColor& background, double ratio = 4.5);

// Draws one row into `row` (exclusive right and bottom edges): background,
// thumbnail, title, price lines and the divider under it. With `focused`, a
// frame shows the keyboard's place.
void DrawRow(QPainter& painter, const QRect& row, const RowContent& content,
             const RowColours& colours, bool focused = false);

// Stretches `thumbnail` over `box`, the whole picture as source.
void PaintThumbnail(QPainter& painter, const QImage& thumbnail, const QRect& box);

// Decodes the thumbnail file at the device path `path`, scaled while it is
// decoded to `pixels` (unless empty), through the device layer and with a
// cap on the memory a decode may take. A null image when the file is
// missing, is no regular file under the root, or is no picture;
// `announced`, when given, gets the size the file claims.
QImage DecodeThumbnailFile(const std::u16string& path, const QSize& pixels,
                           QSize* announced = nullptr);
// DecodeThumbnailFile into the record's image, for a box of `pixels` (the
// box it is shown in, in device pixels). False, and the record's image as
// it was, when nothing could be decoded.
bool LoadThumbnail(ProductRecord& record, const std::u16string& path, const QSize& pixels);

// Word-wrapped text in `box`: only lines that fit whole are drawn, and the
// last one ends in an ellipsis when the text goes on. Returns the lines drawn.
int DrawBoxText(QPainter& painter, const QRect& box, const QString& text);

// How many decodes LoadThumbnail has attempted in this process (tests and
// benchmarks check the decode-once rule with it).
long ThumbnailDecodeAttempts();

}  // namespace quobble
