// Drawing product rows: one row whose thumbnail is already decoded, and the
// first paint of a 100-row page right after a search (every thumbnail
// decoded on the way). Goal: at most 1 ms per row.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <cstdlib>

#include "platform/device_fs.h"
#include "search/product_list.h"
#include "tests/support/recording_screen.h"
#include "tests/support/temp_root.h"
#include "ui/fonts.h"
#include "ui/row_drawing.h"

namespace {

using quobble::DrawItemRequest;

constexpr int kRowWidth = 448;
constexpr int kRows = 100;
const std::u16string kTitle =
    u"Aurel 무선 마우스 Wireless Mouse GZ-625 버티컬 올리브 버티컬 저소음 무료배송 당일발송 정품 "
    u"1+1 이벤트 Free Shipping Best Seller 2026 Olive 올리브";

// A 100 x 100 JPEG like the catalogue's thumbnails, at `index` in the cache.
std::u16string WriteThumbnail(const quobble::TempRoot& root, int index) {
  static const QByteArray jpeg = [] {
    QImage picture(100, 100, QImage::Format_RGB32);
    QPainter painter(&picture);
    for (int y = 0; y < 100; y += 10)
      for (int x = 0; x < 100; x += 10)
        painter.fillRect(x, y, 10, 10, QColor::fromHsv((x + y) % 360, 200, 220));
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "JPG", 85);
    return bytes;
  }();
  const std::u16string device = u"\\VOVo Vidav\\quobble\\Images\\bench\\" +
                                std::u16string(1, u'a' + index % 26) +
                                std::u16string(1, u'a' + index / 26) + u".jpg";
  quobble::CreateFolderPath(device);
  QFile file(QString::fromStdString(root.Host(device)));
  if (file.open(QIODevice::WriteOnly)) file.write(jpeg);
  return device;
}

struct Page {
  quobble::TempRoot root;
  quobble::RecordingScreen screen;
  quobble::ProductList list{screen, u"\\VOVo Vidav\\quobble\\"};
  std::vector<std::u16string> paths;

  explicit Page(int rows) {
    for (int i = 0; i < rows; ++i) paths.push_back(WriteThumbnail(root, i));
    Refill();
  }
  // A fresh page: records whose thumbnails have arrived but are not decoded.
  void Refill() {
    list.ClearRecords();
    for (size_t i = 0; i < paths.size(); ++i) {
      auto record = std::make_unique<quobble::ProductRecord>();
      record->title = kTitle;
      record->lowPrice = 12000 + static_cast<int>(i);
      record->highPrice = 1234567;
      record->SetThumbPath(paths[i]);
      list.AppendRecord(std::move(record));
    }
  }
};

void DrawOne(QPainter& painter, quobble::ProductList& list, quobble::MessageSink& sink, int index,
             int top) {
  DrawItemRequest request;
  request.itemIndex = index;
  request.top = top;
  request.right = kRowWidth;
  request.bottom = top + quobble::ProductList::kRowHeight;
  request.selected = index % 7 == 3;
  request.painter = &painter;
  quobble::DrawRow(request, list, sink);
}

void BM_PaintRowWithDecodedThumbnail(benchmark::State& state) {
  Page page(1);
  QImage target(kRowWidth, quobble::ProductList::kRowHeight, QImage::Format_ARGB32_Premultiplied);
  QPainter painter(&target);
  DrawOne(painter, page.list, page.screen, 0, 0);  // decodes
  for (auto _ : state) DrawOne(painter, page.list, page.screen, 0, 0);
  painter.end();
  if (!page.list.RecordAt(0)->image) state.SkipWithError("thumbnail not decoded");
}
BENCHMARK(BM_PaintRowWithDecodedThumbnail)->Unit(benchmark::kMicrosecond);

// The list's viewport after a search: 100 rows, each decoding its thumbnail
// the first time it is painted.
void BM_FirstPaintOf100Rows(benchmark::State& state) {
  Page page(kRows);
  QImage target(kRowWidth, quobble::ProductList::kRowHeight * kRows,
                QImage::Format_ARGB32_Premultiplied);
  for (auto _ : state) {
    state.PauseTiming();
    page.Refill();
    state.ResumeTiming();
    QPainter painter(&target);
    for (int i = 0; i < kRows; ++i)
      DrawOne(painter, page.list, page.screen, i, i * quobble::ProductList::kRowHeight);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_FirstPaintOf100Rows)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  quobble::InstallFontSubstitutions();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
