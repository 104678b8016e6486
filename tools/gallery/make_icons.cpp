// Draws the window's bitmap images (store/icon/*.png), and with --scale 2 the
// same drawings at twice the pixels ("NAME@2x.png") for screens scaled by
// two. Run once when an image changes and commit the result:
//   nelt-make-icons store/icon && nelt-make-icons store/icon --scale 2
#include <QApplication>
#include <QDir>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const QColor GREEN(0x52, 0xC4, 0x1A);
const QColor DARK_GREEN(0x38, 0x8E, 0x0F);
const QColor GOLD(235, 193, 0);
const QColor STAR_GREY(0xc4, 0xc4, 0xc4);

// Pixels per drawing unit: the drawings below are in the 1x image's pixels.
int SCALE = 1;

QImage canvas(int w, int h) {
  QImage img(w * SCALE, h * SCALE, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  return img;
}

QPainterPath star(QPointF centre, double outer, double inner) {
  QPainterPath path;
  for (int i = 0; i < 10; ++i) {
    double radius = (i % 2 == 0) ? outer : inner;
    double angle = -M_PI / 2 + i * M_PI / 5;
    QPointF p(centre.x() + radius * std::cos(angle), centre.y() + radius * std::sin(angle));
    if (i == 0) {
      path.moveTo(p);
    } else {
      path.lineTo(p);
    }
  }
  path.closeSubpath();
  return path;
}

// Five stars in a 170 x 34 strip: each star fills one 34 x 34 cell.
QImage stars(const QColor& fill, const QColor& edge) {
  QImage img = canvas(170, 34);
  QPainter p(&img);
  p.scale(SCALE, SCALE);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(edge, 1.5));
  p.setBrush(fill);
  for (int i = 0; i < 5; ++i) p.drawPath(star(QPointF(17 + 34 * i, 18), 15.5, 6.5));
  return img;
}

// A shopping bag with a leaf: the store's mark.
void drawBag(QPainter& p, const QRectF& box, const QColor& body, const QColor& mark) {
  const double w = box.width(), h = box.height();
  QRectF bag(box.left() + w * 0.14, box.top() + h * 0.30, w * 0.72, h * 0.62);
  p.setPen(QPen(body, w * 0.07, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(bag.left() + w * 0.18, box.top() + h * 0.10, w * 0.36, h * 0.40), 0, 180 * 16);
  p.setPen(Qt::NoPen);
  p.setBrush(body);
  p.drawRoundedRect(bag, w * 0.08, w * 0.08);
  // "N" in the middle of the bag.
  p.setPen(QPen(mark, w * 0.08, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  QPointF a(bag.left() + bag.width() * 0.30, bag.bottom() - bag.height() * 0.22);
  QPointF b(bag.left() + bag.width() * 0.30, bag.top() + bag.height() * 0.25);
  QPointF c(bag.right() - bag.width() * 0.30, bag.bottom() - bag.height() * 0.22);
  QPointF d(bag.right() - bag.width() * 0.30, bag.top() + bag.height() * 0.25);
  p.drawPolyline(QVector<QPointF>{a, b, c, d});
}

QImage appIcon() {
  QImage img = canvas(128, 128);
  QPainter p(&img);
  p.scale(SCALE, SCALE);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(GREEN);
  p.drawRoundedRect(QRectF(4, 4, 120, 120), 26, 26);
  drawBag(p, QRectF(14, 12, 100, 100), Qt::white, GREEN);
  return img;
}

QImage logo() {
  QImage img = canvas(282, 58);
  QPainter p(&img);
  p.scale(SCALE, SCALE);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  drawBag(p, QRectF(2, 2, 54, 54), GREEN, Qt::white);
  QFont font("DejaVu Sans");
  font.setPixelSize(38);
  font.setBold(true);
  p.setFont(font);
  p.setPen(GREEN);
  p.drawText(QRectF(62, 0, 120, 58), Qt::AlignVCenter | Qt::AlignLeft, "NELT");
  font.setBold(false);
  p.setFont(font);
  p.setPen(QColor(0x40, 0x40, 0x40));
  p.drawText(QRectF(172, 0, 110, 58), Qt::AlignVCenter | Qt::AlignLeft, "Store");
  return img;
}

QImage banner() {
  QImage img(1000 * SCALE, 210 * SCALE, QImage::Format_RGB32);
  img.fill(GREEN);
  QPainter p(&img);
  p.scale(SCALE, SCALE);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  // A few flat hills and circles; flat colours keep the file small.
  p.setBrush(DARK_GREEN);
  p.drawEllipse(QPointF(860, 260), 260, 170);
  p.setBrush(QColor(0x6C, 0xD3, 0x3A));
  p.drawEllipse(QPointF(640, 300), 240, 150);
  p.setBrush(QColor(255, 255, 255, 40));
  p.drawEllipse(QPointF(90, 30), 80, 80);
  p.drawEllipse(QPointF(960, 40), 40, 40);
  drawBag(p, QRectF(760, 35, 130, 130), Qt::white, DARK_GREEN);
  QFont font("DejaVu Sans");
  font.setPixelSize(52);
  font.setBold(true);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRectF(60, 40, 640, 70), Qt::AlignLeft | Qt::AlignVCenter, "NELT Store");
  font.setPixelSize(24);
  font.setBold(false);
  p.setFont(font);
  p.drawText(QRectF(62, 112, 640, 40), Qt::AlignLeft | Qt::AlignVCenter,
             QString::fromUtf8("Kho ứng dụng cho máy tính của bạn"));
  return img;
}

QImage userIcon() {
  QImage img = canvas(180, 180);
  QPainter p(&img);
  p.scale(SCALE, SCALE);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xe8, 0xe8, 0xe8));
  p.drawEllipse(QRectF(2, 2, 176, 176));
  QPainterPath clip;
  clip.addEllipse(QRectF(2, 2, 176, 176));
  p.setClipPath(clip);
  p.setBrush(QColor(0x9e, 0x9e, 0x9e));
  p.drawEllipse(QPointF(90, 70), 34, 34);
  p.drawEllipse(QPointF(90, 178), 64, 62);
  return img;
}

bool save(const QImage& img, const QString& dir, QString name) {
  if (SCALE != 1) name.replace(".png", QString("@%1x.png").arg(SCALE));
  QString path = dir + "/" + name;
  if (!img.save(path, "PNG", 9)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc == 4 && std::strcmp(argv[2], "--scale") == 0) SCALE = std::atoi(argv[3]);
  if ((argc != 2 && argc != 4) || SCALE < 1 || SCALE > 4) {
    std::fprintf(stderr, "usage: %s OUTDIR [--scale 2]\n", argv[0]);
    return 2;
  }
  QString dir = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(dir);
  bool ok = save(stars(STAR_GREY, QColor(0xa0, 0xa0, 0xa0)), dir, "rating.png") &&
            save(stars(GOLD, QColor(0xc9, 0xa4, 0x00)), dir, "rating-full.png") &&
            save(appIcon(), dir, "icon-nelt-store.png") && save(logo(), dir, "logo.png") &&
            save(banner(), dir, "banner_default.png") && save(userIcon(), dir, "icon-user.png");
  return ok ? 0 : 1;
}
