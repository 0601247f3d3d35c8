#include "ui/about_dialog.h"

#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

namespace quobble {

namespace {

// Dialog units of an 8-point dialog font at 96 dpi: 4 across make 6 pixels,
// 8 down make 13.
QRect DialogUnits(int x, int y, int width, int height) {
  return QRect(x * 3 / 2, y * 13 / 8, width * 3 / 2, height * 13 / 8);
}

QFont DialogFont() {
  QFont font;
  font.setPointSize(8);
  return font;
}

}  // namespace

QPixmap AboutDialog::AppIcon(int size) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  // A price tag with a magnifying glass over it.
  QPainterPath tag;
  tag.moveTo(3, 9);
  tag.lineTo(12, 3);
  tag.lineTo(27, 3);
  tag.lineTo(27, 17);
  tag.lineTo(12, 17);
  tag.closeSubpath();
  painter.setPen(QPen(QColor(0, 0, 128), 1.5));
  painter.setBrush(QColor(255, 204, 0));
  painter.drawPath(tag);
  painter.setBrush(Qt::white);
  painter.drawEllipse(QPointF(9, 10), 2, 2);
  painter.setPen(QPen(QColor(0, 0, 128), 3));
  painter.setBrush(QColor(200, 230, 255));
  painter.drawEllipse(QPointF(18, 18), 7, 7);
  painter.setPen(QPen(QColor(128, 0, 0), 4, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(23, 23), QPointF(29, 29));
  painter.end();
  return size == 32 ? pixmap
                    : pixmap.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QPixmap AboutDialog::Banner() {
  QPixmap pixmap(kBannerWidth, kBannerHeight);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, kBannerWidth, kBannerHeight);
  sky.setColorAt(0, QColor(0, 60, 140));
  sky.setColorAt(1, QColor(0, 150, 200));
  painter.fillRect(pixmap.rect(), sky);
  painter.drawPixmap(10, (kBannerHeight - 32) / 2, AppIcon(32));
  QFont word;
  word.setPixelSize(30);
  word.setBold(true);
  painter.setFont(word);
  painter.setPen(Qt::white);
  painter.drawText(QRect(52, 0, kBannerWidth - 60, 38), Qt::AlignLeft | Qt::AlignBottom,
                   QStringLiteral("quobble"));
  QFont tagline;
  tagline.setPixelSize(11);
  painter.setFont(tagline);
  painter.setPen(QColor(255, 230, 140));
  painter.drawText(QRect(54, 38, kBannerWidth - 60, 16), Qt::AlignLeft | Qt::AlignTop,
                   QStringLiteral("products and prices, at a glance"));
  painter.end();
  return pixmap;
}

AboutDialog::AboutDialog(QWidget* owner)
    : QDialog(owner),
      dpiX_(logicalDpiX()),
      dpiY_(logicalDpiY()),
      stripHeight_((dpiY_ + 2) * 24 / 96) {
  setWindowTitle(QStringLiteral("About quobble"));
  setModal(true);
  setFont(DialogFont());
  // The device shows it over the whole screen: here, over the frame.
  QWidget* frame = owner ? owner->window() : nullptr;
  const QSize size = frame ? frame->size() : QSize(480, 640);
  setFixedSize(size);
  if (frame) move(frame->pos());

  const QPoint down(0, stripHeight_);
  icon_ = new QLabel(this);
  icon_->setPixmap(AppIcon(32));
  icon_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  icon_->setGeometry(DialogUnits(11, 17, 20, 20).translated(down));

  version_ = new QLabel(this);
  version_->setTextFormat(Qt::PlainText);
  version_->setText(QStringLiteral("quobble v1.0"));
  version_->setGeometry(DialogUnits(38, 10, 70, 8).translated(down));

  notice_ = new QLabel(this);
  notice_->setTextFormat(Qt::PlainText);
  notice_->setText(QStringLiteral("Look up prices."));
  notice_->setGeometry(DialogUnits(38, 25, 70, 8).translated(down));

  banner_ = new QLabel(this);
  banner_->setPixmap(Banner());
  banner_->setGeometry(
      QRect(DialogUnits(12, 52, 0, 0).topLeft() + down, QSize(kBannerWidth, kBannerHeight)));

  // The shell's OK button in the title bar.
  ok_ = new QPushButton(QStringLiteral("ok"), this);
  ok_->setGeometry(size.width() - 44, 1, 40, std::max(stripHeight_ - 2, 1));
  ok_->setAutoDefault(false);
  connect(ok_, &QPushButton::clicked, this, &AboutDialog::accept);
}

void AboutDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const int width = this->width();
  painter.fillRect(QRect(0, 0, width, stripHeight_), palette().color(QPalette::Light));
  QFont bold = font();
  bold.setBold(true);
  painter.setFont(bold);
  painter.setPen(palette().color(QPalette::Highlight));
  const int textLeft = (dpiX_ + 6) * 8 / 96;
  painter.drawText(QRect(textLeft, 0, std::max(0, width - textLeft), stripHeight_),
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, windowTitle().left(47));
  painter.setPen(QPen(Qt::black, 1));
  painter.drawLine(0, stripHeight_, width - 1, stripHeight_);
  if ((dpiY_ + 48) / 96 >= 2) painter.drawLine(0, stripHeight_ - 1, width - 1, stripHeight_ - 1);
}

}  // namespace quobble
