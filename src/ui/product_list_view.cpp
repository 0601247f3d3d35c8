#include "ui/product_list_view.h"

#include <QPainter>

#include "ui/row_drawing.h"

namespace quobble {

int ProductRowModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : count_;
}

QVariant ProductRowModel::data(const QModelIndex&, int) const {
  return {};
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

ProductRowDelegate::ProductRowDelegate(ProductList& list, MessageSink& messages, int rowWidth,
                                       QObject* parent)
    : QStyledItemDelegate(parent), list_(list), messages_(messages), rowWidth_(rowWidth) {}

void ProductRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
  DrawItemRequest request;
  request.controlType = kListViewControl;
  request.itemIndex = index.row();
  request.left = option.rect.left();
  request.top = option.rect.top();
  request.right = option.rect.left() + option.rect.width();
  request.bottom = option.rect.top() + option.rect.height();
  request.selected = option.state.testFlag(QStyle::State_Selected);
  request.painter = painter;
  request.background = option.palette.color(QPalette::Base);
  request.highlight = option.palette.color(QPalette::Highlight);
  painter->setFont(option.font);
  DrawRow(request, list_, messages_);
}

QSize ProductRowDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  return QSize(rowWidth_, ProductList::kRowHeight);
}

}  // namespace quobble
