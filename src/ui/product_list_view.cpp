#include "ui/product_list_view.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "ui/qt_text.h"
#include "ui/row_drawing.h"

namespace quobble {

namespace {

// Failed files remembered at most; a longer run starts the memory afresh.
constexpr size_t kMaxRememberedFailures = 4096;

// The file's size, or -1 when it cannot be opened.
int64_t FileMark(const std::u16string& path) {
  DeviceFile file;
  if (!file.OpenForRead(path)) return -1;
  return file.Size();
}

QString PriceText(const char16_t* label, int32_t price) {
  return ToQString(label) + ToQString(FormatThousands(price));
}

}  // namespace

QString AccessibleRowText(const QString& title, int32_t lowPrice, int32_t highPrice) {
  return QStringLiteral("%1, lowest %2 won, highest %3 won")
      .arg(title, ToQString(FormatThousands(lowPrice)), ToQString(FormatThousands(highPrice)));
}

ProductRowModel::ProductRowModel(ProductList& list, QObject* parent)
    : QAbstractListModel(parent), list_(list) {}

int ProductRowModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : count_;
}

QVariant ProductRowModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() < 0) return {};
  ProductRecord* record = list_.RecordAt(static_cast<size_t>(index.row()));
  if (!record) return {};
  switch (role) {
    case Qt::DisplayRole:
      return ToQString(record->title);
    case Qt::AccessibleTextRole:
      return AccessibleRowText(ToQString(record->title), record->lowPrice, record->highPrice);
    case Qt::DecorationRole: {
      QImage thumbnail = Thumbnail(*record);
      return thumbnail.isNull() ? QVariant() : QVariant(thumbnail);
    }
    case LowPriceTextRole:
      return PriceText(u"Low : ", record->lowPrice);
    case HighPriceTextRole:
      return PriceText(u"High : ", record->highPrice);
    default:
      return {};
  }
}

QImage ProductRowModel::Thumbnail(ProductRecord& record) const {
  const std::u16string path = record.ThumbPath();
  if (path.empty()) return {};
  const QSize pixels(static_cast<int>(std::lround(thumbBox_.width() * pixelRatio_)),
                     static_cast<int>(std::lround(thumbBox_.height() * pixelRatio_)));
  auto* held = dynamic_cast<DecodedThumbnail*>(record.image.get());
  // Decoded once for its box; only a new box (a resize, another screen)
  // decodes it again.
  if (held && (held->image.size() == pixels || pixels.isEmpty())) return held->image;
  if (FailedBefore(path)) return held ? held->image : QImage();
  if (!LoadThumbnail(record, path, pixels)) {
    RememberFailure(path);
    return held ? held->image : QImage();
  }
  QImage& decoded = static_cast<DecodedThumbnail*>(record.image.get())->image;
  decoded.setDevicePixelRatio(pixelRatio_);
  return decoded;
}

bool ProductRowModel::FailedBefore(const std::u16string& path) const {
  const auto found = failed_.find(path);
  if (found == failed_.end()) return false;
  if (FileMark(path) == found->second) return true;
  failed_.erase(found);
  return false;
}

void ProductRowModel::RememberFailure(const std::u16string& path) const {
  if (failed_.size() >= kMaxRememberedFailures) failed_.clear();
  failed_[path] = FileMark(path);
}

bool ProductRowModel::InsertRow(int index) {
  if (index < 0 || index > count_) return false;
  beginInsertRows(QModelIndex(), index, index);
  ++count_;
  endInsertRows();
  return true;
}

void ProductRowModel::SetRowCount(int count) {
  beginResetModel();
  count_ = std::max(0, count);
  endResetModel();
}

void ProductRowModel::SetThumbnailBox(const QSize& box, qreal pixelRatio) {
  if (box == thumbBox_ && pixelRatio == pixelRatio_) return;
  thumbBox_ = box;
  pixelRatio_ = pixelRatio;
  ThumbnailsArrived();
}

void ProductRowModel::ThumbnailsArrived() {
  if (count_ > 0) emit dataChanged(index(0), index(count_ - 1), {Qt::DecorationRole});
}

ProductRowDelegate::ProductRowDelegate(MessageSink& messages, int rowWidth, QObject* parent)
    : QStyledItemDelegate(parent), messages_(messages), rowWidth_(rowWidth) {}

void ProductRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
  const QVariant title = index.data(Qt::DisplayRole);
  if (!title.isValid()) {
    messages_.ShowMessage(u"상품 데이터가 잘못 되었습니다.", u"에러");
    return;
  }
  RowContent content;
  content.title = title.toString();
  content.lowPrice = index.data(ProductRowModel::LowPriceTextRole).toString();
  content.highPrice = index.data(ProductRowModel::HighPriceTextRole).toString();
  content.thumbnail = index.data(Qt::DecorationRole).value<QImage>();
  const bool selected = option.state.testFlag(QStyle::State_Selected);
  painter->setFont(option.font);
  DrawRow(*painter, option.rect, content, ChooseRowColours(option.palette, selected),
          option.state.testFlag(QStyle::State_HasFocus));
}

QSize ProductRowDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  return QSize(rowWidth_, ProductList::kRowHeight);
}

}  // namespace quobble
