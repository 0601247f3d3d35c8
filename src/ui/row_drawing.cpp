#include "ui/row_drawing.h"

#include <QBuffer>
#include <QFontMetrics>
#include <QImageReader>
#include <QPainter>
#include <QPalette>
#include <QTextLayout>
#include <algorithm>
#include <atomic>
#include <cmath>

#include "platform/device_fs.h"

namespace quobble {

namespace {

const QColor kTitleColor(0, 0, 0);
const QColor kDividerColor(210, 210, 210);
// What the guidelines ask of body text against its background.
constexpr double kReadableRatio = 4.5;

// Larger files are never cached (the download refuses them).
constexpr size_t kMaxThumbnailBytes = 16u << 20;
// A thumbnail file may claim any picture size; whatever it claims, no
// decode holds more than this many megabytes on its way to the box size.
constexpr int kDecodeMegabytes = 64;

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

namespace {

// The relative luminance of a colour in the sRGB space.
double Luminance(const QColor& colour) {
  const auto linear = [](double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
         0.0722 * linear(colour.blueF());
}

QColor Mix(const QColor& from, const QColor& to, double share) {
  const auto channel = [share](int a, int b) {
    return static_cast<int>(std::lround(a + (b - a) * share));
  };
  return QColor(channel(from.red(), to.red()), channel(from.green(), to.green()),
                channel(from.blue(), to.blue()));
}

}  // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
  const double la = Luminance(a);
  const double lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ReadableShade(const QColor& wanted, const QColor& background, double ratio) {
  if (ContrastRatio(wanted, background) >= ratio) return wanted;
  // Toward the end that stands further from the background; every
  // background reads at 4.5:1 or more against black or against white.
  const QColor end = ContrastRatio(Qt::white, background) >= ContrastRatio(Qt::black, background)
                         ? QColor(Qt::white)
                         : QColor(Qt::black);
  constexpr int kSteps = 64;
  for (int step = 1; step < kSteps; ++step) {
    const QColor shade = Mix(wanted, end, static_cast<double>(step) / kSteps);
    if (ContrastRatio(shade, background) >= ratio) return shade;
  }
  return end;
}

const QColor kLowPriceColor(0, 0, 230);
const QColor kHighPriceColor(230, 0, 0);

RowColours ChooseRowColours(const QPalette& palette, bool selected) {
  RowColours colours;
  colours.background = palette.color(selected ? QPalette::Highlight : QPalette::Base);
  // The palette's own text colour for the background is the next best
  // title, before a shade of black.
  const QColor paletteText = palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
  colours.title = kTitleColor;
  if (ContrastRatio(kTitleColor, colours.background) < kReadableRatio)
    colours.title = ReadableShade(paletteText, colours.background);
  colours.lowPrice = ReadableShade(kLowPriceColor, colours.background);
  colours.highPrice = ReadableShade(kHighPriceColor, colours.background);
  return colours;
}

QImage DecodeThumbnailFile(const std::u16string& path, const QSize& pixels, QSize* announced) {
  // Through the device layer, which refuses anything but a regular file under
  // the root (a FIFO planted in the cache would otherwise hang the paint).
  std::string bytes;
  if (!ReadDeviceFile(path, kMaxThumbnailBytes, bytes)) return {};
  QByteArray data = QByteArray::fromStdString(bytes);
  QBuffer buffer(&data);
  QImageReader reader(&buffer);
  // Cache names come from addresses and need not end in the right suffix.
  reader.setDecideFormatFromContent(true);
  reader.setAllocationLimit(kDecodeMegabytes);
  if (announced != nullptr) *announced = reader.size();
  // Decoded straight to the box it is shown in (stretched, as it is drawn),
  // so a page keeps no more pixels than it shows.
  if (!pixels.isEmpty()) reader.setScaledSize(pixels);
  QImage decoded;
  if (!reader.read(&decoded) || decoded.isNull()) return {};
  // The raster engine blits this format without converting it on every draw.
  return decoded.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

bool LoadThumbnail(ProductRecord& record, const std::u16string& path, const QSize& pixels) {
  decodeAttempts.fetch_add(1, std::memory_order_relaxed);
  QSize announced;
  QImage decoded = DecodeThumbnailFile(path, pixels, &announced);
  if (decoded.isNull()) return false;
  const QSize picture = announced.isValid() ? announced : decoded.size();
  record.imageInfo.width = picture.width();
  record.imageInfo.height = picture.height();
  record.image = std::make_unique<DecodedThumbnail>(std::move(decoded));
  return true;
}

void PaintThumbnail(QPainter& painter, const QImage& thumbnail, const QRect& box) {
  if (thumbnail.isNull() || box.isEmpty()) return;
  // A thumbnail decoded for this box at the screen's pixel ratio covers it
  // pixel for pixel; any other is scaled.
  painter.drawImage(QRectF(box), thumbnail, QRectF(thumbnail.rect()));
}

void DrawRow(QPainter& painter, const QRect& row, const RowContent& content,
             const RowColours& colours, bool focused) {
  painter.save();
  // Text boxes reach below the row; the next row must not show them.
  painter.setClipRect(row, Qt::IntersectClip);
  painter.fillRect(row, colours.background);

  const RowLayout layout =
      ComputeRowLayout(row.left(), row.top(), row.left() + row.width(), row.top() + row.height());
  PaintThumbnail(painter, content.thumbnail, layout.thumbnail);

  painter.setPen(colours.title);
  DrawBoxText(painter, layout.title, content.title);
  painter.setPen(colours.lowPrice);
  DrawBoxText(painter, layout.lowPrice, content.lowPrice);
  painter.setPen(colours.highPrice);
  DrawBoxText(painter, layout.highPrice, content.highPrice);

  painter.setPen(QPen(kDividerColor, 1));
  const int right = row.left() + row.width();
  if (right > 0) painter.drawLine(0, layout.dividerY, right - 1, layout.dividerY);

  if (focused) {
    // Dashed in the title's colour, which reads against this background.
    QPen pen(colours.title, 2, Qt::DashLine);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(row).adjusted(1, 1, -1, -2));
  }
  painter.restore();
}

long ThumbnailDecodeAttempts() {
  return decodeAttempts.load(std::memory_order_relaxed);
}

}  // namespace quobble
