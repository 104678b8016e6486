#include "home_view.h"

#include <QRadioButton>
#include <QScrollBar>

#include "image_fetch.h"
#include "styles.h"
#include "ui_home_view.h"

HomeView::HomeView(QWidget* parent) : QWidget(parent), ui(new Ui_HomeView) {
  ui->setupUi(this);
  ui->scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  if (ui->scrollAreaWidgetContents_2->layout() != ui->verticalLayoutSections_2) {
    ui->scrollAreaWidgetContents_2->setLayout(ui->verticalLayoutSections_2);
  }
  ui->verticalLayoutSections_2->setAlignment(Qt::AlignTop);
  ui->verticalLayoutSections_2->setSpacing(10);
  ui->scrollArea->setStyleSheet(SCROLL_STYLE_HOME);
  ui->scrollArea->setFixedWidth(980);
  QRadioButton* const banners[] = {ui->banner1_3, ui->banner2_3, ui->banner3_3, ui->banner4_3,
                                   ui->banner5_3};
  int number = 0;
  for (QRadioButton* banner : banners)
    banner->setAccessibleName(QString::fromUtf8("Ảnh bìa %1").arg(++number));
  ui->bannerView->setAccessibleName(QString::fromUtf8("Ảnh bìa"));
}

HomeView::~HomeView() { delete ui; }

void HomeView::setBanner(QString url) {
  banner_wanted = url;
  ImageFetch::fetch(url, this, [this, url](int result, const QByteArray& bytes) {
    if (result != ImageFetch::FETCH_OK || url != banner_wanted) return;
    QPixmap pix = QPixmap::fromImage(decodeImage(bytes));
    if (pix.isNull()) return;
    QPixmap scaled = pix.scaled(ui->bannerView->size(), Qt::KeepAspectRatioByExpanding,
                                Qt::SmoothTransformation);
    if (scaled.isNull()) return;
    ui->bannerView->clear();
    ui->bannerView->setPixmap(scaled);
  });
}

void HomeView::setBannerLocal(QString path) {
  banner_wanted.clear();
  ui->bannerView->setPixmap(scaledPixmap(loadImageFile(path), ui->bannerView->size()));
}
