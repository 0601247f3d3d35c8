#pragma once
#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <string>

#include "search/product_list.h"
#include "search/product_record.h"
#include "search/search_screen.h"

class QPainter;

namespace quobble {

// The control type a list view reports in its draw requests; rows of any
// other control are left alone.
inline constexpr int kListViewControl = 102;

// One row to draw, as the list asks for it. Right and bottom are exclusive, as
// in the rest of the row geometry.
struct DrawItemRequest {
  int controlType = kListViewControl;
  int itemIndex = 0;
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  bool selected = false;
  QPainter* painter = nullptr;
  // The context's background colour and the platform's selection colour.
  QColor background = Qt::white;
  QColor highlight = QColor(0, 120, 215);
};

// A thumbnail decoded from its cache file; the record keeps it for later
// redraws.
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

// Draws the row named by `request` from the record at its index. A missing
// record is reported through `messages` and nothing is drawn.
void DrawRow(const DrawItemRequest& request, ProductList& list, MessageSink& messages);

// Decodes the thumbnail file at the device path `path` into the record's
// image. False (and no image) when the file is missing or no picture.
bool LoadThumbnail(ProductRecord& record, const std::u16string& path);

// Stretches the record's image over `rect` (remembered in thumbRect).
bool PaintThumbnail(ProductRecord& record, QPainter& painter, const ThumbRect& rect);

// Word-wrapped text in `box`: only lines that fit whole are drawn, and the
// last one ends in an ellipsis when the text goes on. Returns the lines drawn.
int DrawBoxText(QPainter& painter, const QRect& box, const QString& text);

// How many decodes LoadThumbnail has attempted in this process (tests and
// benchmarks check the decode-once rule with it).
long ThumbnailDecodeAttempts();

}  // namespace quobble
