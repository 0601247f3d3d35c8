#include "ui/row_drawing.h"

#include <QBuffer>
#include <QFontMetrics>
#include <QImageReader>
#include <QPainter>
#include <QTextLayout>
#include <atomic>
#include <vector>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "ui/qt_text.h"

namespace quobble {

namespace {

const QColor kTitleColor(0, 0, 0);
const QColor kLowPriceColor(0, 0, 230);
const QColor kHighPriceColor(230, 0, 0);
const QColor kDividerColor(210, 210, 210);

// A thumbnail is shown in a box of about 120 pixels; a server announcing a
// giant picture would otherwise make us allocate whatever it claims.
constexpr int kMaxDecodedSide = 2048;
// Larger files are never cached (the download refuses them).
constexpr size_t kMaxThumbnailBytes = 16u << 20;

std::atomic<long> decodeAttempts{0};

QRect BoxFromEdges(int left, int top, int right, int bottom) {
  return QRect(left, top, right - left, bottom - top);
}

}  // namespace

RowLayout ComputeRowLayout(int left, int top, int right, int bottom) {
  RowLayout layout;
  const int thumbRight = right / 4;
  layout.thumbnail = BoxFromEdges(left, top + 1, thumbRight, bottom - 1);
  const int textLeft = thumbRight + 5;
  const int textRight = right - 30;
  layout.title = BoxFromEdges(textLeft, top + 3, textRight, top + 63);
  layout.lowPrice = BoxFromEdges(textLeft, top + 61, textRight, top + 123);
  layout.highPrice = BoxFromEdges(textLeft, top + 89, textRight, top + 143);
  layout.dividerY = bottom - 1;
  return layout;
}

int DrawBoxText(QPainter& painter, const QRect& box, const QString& text) {
  const QFontMetrics metrics(painter.font(), painter.device());
  // Whole pixels per line, so the number of lines that fit is exact.
  const int lineHeight = metrics.height();
  if (box.width() <= 0 || lineHeight <= 0 || box.height() < lineHeight) return 0;
  const int maxLines = box.height() / lineHeight;

  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QString(QChar::LineSeparator));
  shown.replace(QChar('\n'), QChar::LineSeparator);
  shown.replace(QChar('\r'), QChar::LineSeparator);

  QTextLayout layout(shown, painter.font(), painter.device());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  int lines = 0;
  bool truncated = false;
  while (true) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    if (lines == maxLines) {
      truncated = true;
      break;
    }
    line.setLineWidth(box.width());
    line.setPosition(QPointF(0, lines * lineHeight));
    ++lines;
  }
  layout.endLayout();

  painter.save();
  painter.setClipRect(box, Qt::IntersectClip);
  const int drawnWhole = truncated ? lines - 1 : lines;
  for (int i = 0; i < drawnWhole; ++i) layout.lineAt(i).draw(&painter, box.topLeft());
  if (truncated && lines > 0) {
    // The last line that fits takes the rest of the text, cut short with an
    // ellipsis.
    QString rest = shown.mid(layout.lineAt(lines - 1).textStart());
    rest.replace(QChar::LineSeparator, QChar(' '));
    const QString elided = metrics.elidedText(rest, Qt::ElideRight, box.width());
    painter.drawText(QPoint(box.left(), box.top() + (lines - 1) * lineHeight + metrics.ascent()),
                     elided);
  }
  painter.restore();
  return lines;
}

bool LoadThumbnail(ProductRecord& record, const std::u16string& path) {
  decodeAttempts.fetch_add(1, std::memory_order_relaxed);
  // Through the device layer, which refuses anything but a regular file under
  // the root (a FIFO planted in the cache would otherwise hang the paint).
  std::string bytes;
  if (!ReadDeviceFile(path, kMaxThumbnailBytes, bytes)) return false;
  QByteArray data = QByteArray::fromStdString(bytes);
  QBuffer buffer(&data);
  QImageReader reader(&buffer);
  // Cache names come from addresses and need not end in the right suffix.
  reader.setDecideFormatFromContent(true);
  const QSize announced = reader.size();
  if (announced.isValid() &&
      (announced.width() > kMaxDecodedSide || announced.height() > kMaxDecodedSide)) {
    reader.setScaledSize(announced.scaled(kMaxDecodedSide, kMaxDecodedSide, Qt::KeepAspectRatio));
  }
  QImage decoded;
  if (!reader.read(&decoded) || decoded.isNull()) return false;
  // The raster engine blits this format without converting it on every draw.
  decoded = decoded.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  record.imageInfo.width = decoded.width();
  record.imageInfo.height = decoded.height();
  record.image = std::make_unique<DecodedThumbnail>(std::move(decoded));
  return true;
}

bool PaintThumbnail(ProductRecord& record, QPainter& painter, const ThumbRect& rect) {
  if (!record.image) return false;
  record.thumbRect = rect;
  const auto* thumbnail = dynamic_cast<const DecodedThumbnail*>(record.image.get());
  if (!thumbnail || thumbnail->image.isNull()) return false;
  painter.drawImage(BoxFromEdges(rect.left, rect.top, rect.right, rect.bottom), thumbnail->image);
  return true;
}

void DrawRow(const DrawItemRequest& request, ProductList& list, MessageSink& messages) {
  ProductRecord* record =
      request.itemIndex < 0 ? nullptr : list.RecordAt(static_cast<size_t>(request.itemIndex));
  if (!record) {
    messages.ShowMessage(u"상품 데이터가 잘못 되었습니다.", u"에러");
    return;
  }
  if (request.controlType != kListViewControl || !request.painter) return;

  QPainter& painter = *request.painter;
  painter.save();
  // Text boxes reach below the row; the next row must not show them.
  const int clipLeft = std::min(0, request.left);
  painter.setClipRect(
      BoxFromEdges(clipLeft, request.top, std::max(request.right, 0), request.bottom),
      Qt::IntersectClip);
  const QRect row = BoxFromEdges(request.left, request.top, request.right, request.bottom);
  painter.fillRect(row, request.selected ? request.highlight : request.background);

  const RowLayout layout =
      ComputeRowLayout(request.left, request.top, request.right, request.bottom);
  const std::u16string thumbPath = record->ThumbPath();
  if (!thumbPath.empty()) {
    if (!record->image) LoadThumbnail(*record, thumbPath);
    if (record->image && record->imageInfo.width != 0) {
      const QRect& box = layout.thumbnail;
      PaintThumbnail(
          *record, painter,
          ThumbRect{box.left(), box.top(), box.left() + box.width(), box.top() + box.height()});
    }
  }

  painter.setPen(kTitleColor);
  DrawBoxText(painter, layout.title, ToQString(record->title));
  painter.setPen(kLowPriceColor);
  DrawBoxText(painter, layout.lowPrice,
              QStringLiteral("Low : ") + ToQString(FormatThousands(record->lowPrice)));
  painter.setPen(kHighPriceColor);
  DrawBoxText(painter, layout.highPrice,
              QStringLiteral("High : ") + ToQString(FormatThousands(record->highPrice)));

  painter.setPen(QPen(kDividerColor, 1));
  if (request.right > 0) painter.drawLine(0, layout.dividerY, request.right - 1, layout.dividerY);
  painter.restore();
}

long ThumbnailDecodeAttempts() {
  return decodeAttempts.load(std::memory_order_relaxed);
}

}  // namespace quobble
