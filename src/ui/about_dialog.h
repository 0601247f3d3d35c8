#pragma once
#include <QDialog>
#include <QPixmap>

class QLabel;
class QPushButton;

namespace quobble {

// "About quobble": icon, version, a notice line and a banner under a title
// strip, sized to the screen it covers. Ends with 1 (OK) or 2 (Cancel).
class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kBannerWidth = 283;
  static constexpr int kBannerHeight = 57;

  explicit AboutDialog(QWidget* owner);

  // (dpi + 2) × 24 ÷ 96: 24 pixels at 96 dpi.
  int StripHeight() const { return stripHeight_; }
  QLabel* IconLabel() const { return icon_; }
  QLabel* VersionLabel() const { return version_; }
  QLabel* NoticeLabel() const { return notice_; }
  QLabel* BannerLabel() const { return banner_; }
  QPushButton* OkButton() const { return ok_; }

  // The application's artwork, drawn at run time.
  static QPixmap AppIcon(int size);
  static QPixmap Banner();

  void accept() override { done(1); }
  void reject() override { done(2); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int dpiX_;
  int dpiY_;
  int stripHeight_;
  QLabel* icon_ = nullptr;
  QLabel* version_ = nullptr;
  QLabel* notice_ = nullptr;
  QLabel* banner_ = nullptr;
  QPushButton* ok_ = nullptr;
};

}  // namespace quobble
