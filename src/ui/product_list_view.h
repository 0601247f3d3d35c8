#pragma once
#include <QAbstractListModel>
#include <QSize>
#include <QStyledItemDelegate>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "search/product_list.h"
#include "search/search_screen.h"

namespace quobble {

// The product list's model: one row per announced row, each answering from
// its ProductRecord. Rows without a record (the list announced more than the
// page holds) answer nothing.
class ProductRowModel : public QAbstractListModel {
  Q_OBJECT

 public:
  enum Role {
    LowPriceTextRole = Qt::UserRole + 1,  // "Low : 12,000"
    HighPriceTextRole,                    // "High : 13,500"
  };

  ProductRowModel(ProductList& list, QObject* parent);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  // DisplayRole: the title; AccessibleTextRole: the row in one sentence;
  // DecorationRole: the thumbnail as a QImage, once its file is in and
  // decodes; the two price lines by their roles.
  QVariant data(const QModelIndex& index, int role) const override;

  // Announces one row at `index`; refused (false) outside 0..rowCount.
  bool InsertRow(int index);
  void SetRowCount(int count);

  // Thumbnails are decoded for a box of `box` pixels on a screen of this
  // pixel ratio; a change decodes the rows again as they are drawn.
  void SetThumbnailBox(const QSize& box, qreal pixelRatio);
  // Thumbnail files may have arrived: the views ask again.
  void ThumbnailsArrived();

 private:
  QImage Thumbnail(ProductRecord& record) const;
  // A file that failed to decode is not tried again while it stays as it
  // was (its size is its mark: cache files arrive whole, by a rename).
  bool FailedBefore(const std::u16string& path) const;
  void RememberFailure(const std::u16string& path) const;

  ProductList& list_;
  int count_ = 0;
  QSize thumbBox_;
  qreal pixelRatio_ = 1.0;
  mutable std::unordered_map<std::u16string, int64_t> failed_;
};

// The sentence a screen reader says for a row.
QString AccessibleRowText(const QString& title, int32_t lowPrice, int32_t highPrice);

// Draws each row from what its index says; every row is
// ProductList::kRowHeight high and as wide as SetRowWidth says.
class ProductRowDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  // A row the model has no record for is reported to `messages`.
  ProductRowDelegate(MessageSink& messages, int rowWidth, QObject* parent);

  void SetRowWidth(int width) { rowWidth_ = width; }
  int RowWidth() const { return rowWidth_; }

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  MessageSink& messages_;
  int rowWidth_;
};

}  // namespace quobble
