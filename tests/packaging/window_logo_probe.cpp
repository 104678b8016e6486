// Builds the store's main window, renders it offscreen and tells whether the
// logo is drawn where the window puts it. The package test copies this
// program into an extracted package's bin folder and starts it from an
// unrelated working folder, so the window's image lookup has to find the
// installed images the way the installed NeltStore does.
//
//   nelt-window-logo-probe LOGO.png [RENDER.png]
// Exit status 0: the logo is shown; 1: it is not; 2: wrong usage.
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>

#include "icon_path.h"
#include "main_window.h"
#include "ui_main_window.h"

namespace {

// Mean absolute difference per colour channel of two images of one size,
// both composed over white as the label's background is.
double meanDifference(const QImage& a, const QImage& b) {
  double sum = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) {
      const QColor ca = a.pixelColor(x, y), cb = b.pixelColor(x, y);
      sum += std::abs(ca.red() - cb.red()) + std::abs(ca.green() - cb.green()) +
             std::abs(ca.blue() - cb.blue());
    }
  return sum / (3.0 * a.width() * a.height());
}

QImage overWhite(const QImage& image) {
  QImage out(image.size(), QImage::Format_RGB32);
  out.fill(Qt::white);
  QPainter(&out).drawImage(0, 0, image);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: nelt-window-logo-probe LOGO.png [RENDER.png]\n");
    return 2;
  }
  const QImage logo(QString::fromLocal8Bit(argv[1]));
  if (logo.isNull()) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }

  MainWindow window;
  window.resize(1000, 800);
  window.show();
  const QImage render = window.grab().toImage();
  if (argc > 2) render.save(QString::fromLocal8Bit(argv[2]));

  QLabel* label = window.ui->labelIcon;
  const QRect area(label->mapTo(&window, QPoint(0, 0)), label->size());
  const QImage shown = render.copy(area).convertToFormat(QImage::Format_RGB32);
  const QImage expected =
      overWhite(logo.convertToFormat(QImage::Format_ARGB32)
                    .scaled(area.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  QImage blank(area.size(), QImage::Format_RGB32);
  blank.fill(Qt::white);

  const double to_logo = meanDifference(shown, expected);
  const double to_blank = meanDifference(shown, blank);
  std::printf(
      "image folder: %s\nlogo area %dx%d at %d,%d: difference to the logo %.1f, to a blank "
      "label %.1f\n",
      qPrintable(iconDir()), area.width(), area.height(), area.x(), area.y(), to_logo, to_blank);
  // Scaling may differ in detail; the logo is shown when the area is far
  // closer to it than to an empty label.
  return to_logo < 20.0 && to_logo * 3 < to_blank ? 0 : 1;
}
