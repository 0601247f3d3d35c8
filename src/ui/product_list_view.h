#pragma once
#include <QAbstractListModel>
#include <QStyledItemDelegate>
#include <functional>

#include "search/product_list.h"
#include "search/search_screen.h"

namespace quobble {

// The virtual list's model: it knows how many rows there are and nothing
// else; every row is drawn from its ProductRecord.
class ProductRowModel : public QAbstractListModel {
  Q_OBJECT

 public:
  using QAbstractListModel::QAbstractListModel;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;

  // Announces one row at `index`; refused (false) outside 0..rowCount.
  bool InsertRow(int index);
  void SetRowCount(int count);

 private:
  int count_ = 0;
};

// Draws each row with DrawRow; every row is kRowHeight high and
// `rowWidth` wide.
class ProductRowDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  ProductRowDelegate(ProductList& list, MessageSink& messages, int rowWidth, QObject* parent);

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  ProductList& list_;
  MessageSink& messages_;
  int rowWidth_;
};

}  // namespace quobble
