#include "app_detail_view.h"

#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <cmath>

#include "app_facts_view.h"
#include "icon_path.h"
#include "image_fetch.h"
#include "styles.h"
#include "ui_app_detail_view.h"

namespace {

const QStringList SHOT_FORMATS = {"png", "jpeg", "jpg"};

}  // namespace

// ----------------------------------------------------------------- thumbnail

TWallpapperWidget::TWallpapperWidget(TLabel* parent) : TLabel(parent) {
  setObjectName("TWallpapperWidget");
  setStyleSheet("border: 2px solid white");
  // A styled frame takes its width from the border of the style sheet, so
  // the picture is scaled into the inside of the border. Without it the
  // label has no frame width and a widget-sized picture hides the border
  // (and with it the green mark of the thumbnail shown large).
  setFrameShape(QFrame::StyledPanel);
  setScaledContents(true);
}

void TWallpapperWidget::setSize(int w, int h) {
  setFixedSize(w, h);
  setMinimumHeight(h);
  setMaximumHeight(h);
}

void TWallpapperWidget::setWallpaper(QString shot) {
  shot_wanted = shot;
  if (takeLocalPath(shot)) {
    pix = loadImageFile(shot, SHOT_FORMATS);
    QPixmap scaled = scaledPixmap(pix, size());
    if (!scaled.isNull()) {
      clear();
      setPixmap(scaled);
    }
    return;
  }
  const QString asked = shot_wanted;
  ImageFetch::fetch(ImageFetch::storeAddress("screenshot", shot), this,
                    [this, asked](int result, const QByteArray& bytes) {
                      // On failure nothing changes.
                      if (result != ImageFetch::FETCH_OK || asked != shot_wanted) return;
                      pix = QPixmap::fromImage(decodeImage(bytes));
                      QPixmap scaled = scaledPixmap(pix, size());
                      if (!scaled.isNull()) {
                        // Neither zero contents margins nor a translucent
                        // background here: the style sheet keeps its border
                        // in the margins, and a translucent label paints no
                        // border at all, so the frame marking the shown
                        // thumbnail would never appear.
                        clear();
                        setPixmap(scaled);
                      }
                      emit wallpaperArrived();
                    });
}

QPixmap* TWallpapperWidget::getWallpaper() {
  event = false;
  return &pix;
}

void TWallpapperWidget::onGetPixmap() {}

void TWallpapperWidget::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  event = true;
  emit clickLeft();
}

// --------------------------------------------------------------- detail page

void AppDetailView::showReason(const QString& text) {
  label_reason->setText(text);
  label_reason->setAccessibleName(text);
  if (label_reason->isHidden()) {
    QRect area = ui->scrollArea->geometry();
    area.setTop(area.top() + REASON_HEIGHT);
    ui->scrollArea->setGeometry(area);
  }
  label_reason->show();
  label_reason->raise();
}

void AppDetailView::hideReason() {
  if (label_reason->isHidden()) return;
  label_reason->hide();
  label_reason->clear();
  QRect area = ui->scrollArea->geometry();
  area.setTop(area.top() - REASON_HEIGHT);
  ui->scrollArea->setGeometry(area);
}

const char* const AppDetailView::STYLE_GREEN =
    "background-color: #52C41A;\ncolor: #ffffff;\nborder-radius: 5px;\n";
const char* const AppDetailView::STYLE_RED =
    "background-color: #D51535;\ncolor: #ffffff;\nborder-radius: 5px;";
const char* const AppDetailView::STYLE_ORANGE =
    "color: rgb(255, 255, 255);\nbackground-color: rgb(252, 175, 62);\nborder-radius: 5px;\n";

AppDetailView::AppDetailView(QWidget* parent) : QWidget(parent), ui(new Ui_AppDetailView) {
  ui->setupUi(this);

  ui->description->setAttribute(Qt::WA_TranslucentBackground);
  ui->description->setWordWrap(true);
  ui->nameapp->setWordWrap(true);

  if (ui->verticalLayout_4->indexOf(ui->frameall) < 0)
    ui->verticalLayout_4->addWidget(ui->frameall);
  ui->frameall->setStyleSheet("border: none");
  ui->scrollArea->setWidgetResizable(true);
  ui->scrollAreaWallpapers->setWidgetResizable(true);
  ui->horizontalLayout_2->setSpacing(10);
  ui->verticalLayoutDesc->setAlignment(Qt::AlignTop);
  ui->verticalLayoutName->setAlignment(Qt::AlignTop);

  ui->label_url->setTextFormat(Qt::RichText);
  ui->label_url->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                         Qt::LinksAccessibleByKeyboard);
  ui->label_url->setOpenExternalLinks(true);
  ui->label_url->hide();

  ui->buttonInstall->setDefaultStyle(STYLE_GREEN);
  ui->buttonLaunch->setDefaultStyle(STYLE_GREEN);
  ui->buttonRemove->setDefaultStyle(STYLE_RED);
  ui->buttonUpdate->setDefaultStyle(STYLE_ORANGE);

  ui->buttonBack->setIcon(QIcon(iconPath("./icon/back.svg")));
  ui->buttonBack->setIconSize(QSize(30, 30));
  ui->buttonBack->setToolTip(QString::fromUtf8("Quay lại"));
  ui->buttonBack->setAccessibleName(QString::fromUtf8("Quay lại"));
  ui->icon->setAccessibleName(QString::fromUtf8("Biểu tượng ứng dụng"));
  ui->progressBar->setAccessibleName(QString::fromUtf8("Tiến độ cài đặt"));

  // Why the last action failed, in a line of its own under the action bar;
  // the scroll area makes room for it while it shows.
  label_reason = new QLabel(this);
  label_reason->setObjectName("label_reason");
  label_reason->setTextFormat(Qt::PlainText);
  label_reason->setWordWrap(true);
  label_reason->setGeometry(0, ui->frame->height(), ui->frame->width(), REASON_HEIGHT);
  label_reason->setStyleSheet(
      "color: #cf1322; background-color: #fff1f0; padding-left: 12px; "
      "border-bottom: 1px solid #ffa39e;");
  label_reason->hide();

  facts = new AppFactsView(ui->layoutWidget);
  ui->verticalLayoutName->insertWidget(ui->verticalLayoutName->indexOf(ui->version) + 1, facts);
  rate_count = new QLabel(ui->frameall);
  rate_count->setObjectName("rate_count");
  rate_count->setTextFormat(Qt::PlainText);
  rate_count->setStyleSheet("color: rgb(85, 87, 83); background: transparent;");
  rate_count->setGeometry(460, 14, 200, 25);
  rate_count->hide();

  ui->rate->setPixmap(QPixmap(iconPath("icon/rating.png")));
  ui->rate->setFixedWidth(100);
  ui->rate_number->setText("0.0");

  ui->scrollArea->setStyleSheet(SCROLL_STYLE_LIST);

  // The action bar's grey background would otherwise reach the bar's groove
  // and leave an empty bar with only its percentage visible.
  ui->progressBar->setStyleSheet(PROGRESS_STYLE);
}

AppDetailView::~AppDetailView() { delete ui; }

void AppDetailView::setIcon(QString icon) {
  QSize target = ui->icon->size();
  icon_wanted = icon;
  if (takeLocalPath(icon)) {
    ui->icon->setPixmap(scaledPixmap(loadImageFile(icon, SHOT_FORMATS), target));
    return;
  }
  const QString asked = icon_wanted;
  ImageFetch::fetch(ImageFetch::storeAddress("icon", icon), this,
                    [this, asked, target](int result, const QByteArray& bytes) {
                      // On failure the label keeps what it showed.
                      if (result != ImageFetch::FETCH_OK || asked != icon_wanted) return;
                      QPixmap pix = scaledPixmap(QPixmap::fromImage(decodeImage(bytes)), target);
                      if (!pix.isNull()) {
                        ui->icon->setContentsMargins(0, 0, 0, 0);
                        ui->icon->setAttribute(Qt::WA_TranslucentBackground);
                        ui->icon->clear();
                        ui->icon->setPixmap(pix);
                      }
                    });
}

void AppDetailView::setWallpaper(QPixmap* pix) {
  ui->wallpaper->setPixmap(pix ? scaledPixmap(*pix, ui->wallpaper->size()) : QPixmap());
}

void AppDetailView::setRatingCount(long long count) {
  if (count < 0) {
    rate_count->clear();
    rate_count->hide();
    return;
  }
  rate_count->setText(
      QString("(%1 lượt đánh giá)").arg(QLocale(QLocale::Vietnamese).toString(count)));
  rate_count->show();
}

void AppDetailView::setRating(double r) {
  // NaN compares false everywhere: treat it as no rating.
  if (!(r >= 0.0)) r = 0.0;
  if (r > 5.0) r = 5.0;

  // The number's colour runs from grey (no stars) to gold (five stars).
  const int full[3] = {235, 193, 0};
  const int empty[3] = {107, 107, 107};
  int rgb[3];
  for (int i = 0; i < 3; ++i) {
    rgb[i] = static_cast<int>((full[i] * r + empty[i] * (5.0 - r)) / 5.0);
  }
  ui->rate_number->setStyleSheet(
      QString("color: rgb(%1, %2, %3)").arg(rgb[0]).arg(rgb[1]).arg(rgb[2]));
  ui->rate_number->setText(QString("%1").arg(r));
  ui->rate_number->setGeometry(410, 14, 50, 25);

  const int w = ui->rate->width();
  const int h = ui->rate->height();
  QPixmap stars = scaledPixmap(loadImageFile(iconPath("icon/rating.png")), QSize(w, h));
  QPixmap stars_full = scaledPixmap(loadImageFile(iconPath("icon/rating-full.png")), QSize(w, h));
  // The star pictures hold the screen's pixels (two per unit on a screen
  // scaled by two); the cut below is in units.
  const qreal ratio = stars_full.isNull() ? 1.0 : stars_full.devicePixelRatio();
  // Width of the gold part. A zero width draws no gold at all (an empty copy
  // rectangle would mean "everything" to QPixmap::copy, so none is made).
  const int cut = static_cast<int>(w * r / 5.0);

  QImage result(qRound(qMax(w, 1) * ratio), qRound(qMax(h, 1) * ratio),
                QImage::Format_ARGB32_Premultiplied);
  result.setDevicePixelRatio(ratio);
  result.fill(Qt::transparent);
  {
    QPainter painter(&result);
    if (!stars.isNull()) painter.drawPixmap(0, 0, stars);
    if (!stars_full.isNull() && cut > 0)
      painter.drawPixmap(QRectF(0, 0, cut, h), stars_full, QRectF(0, 0, cut * ratio, h * ratio));
  }
  ui->rate->setPixmap(QPixmap::fromImage(result));
}
