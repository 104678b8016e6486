#include "frame_item_h.h"

#include <QVBoxLayout>

#include "drop_shadow.h"
#include "image_fetch.h"

FrameItemH::FrameItemH(QWidget* parent) : AppTile(parent) {
  setObjectName("FrameItemH");
  lb_name = new TLabel();
  lb_icon = new TLabel();
  layout = new QVBoxLayout();
  lb_name->setObjectName("lb_name");
  lb_icon->setObjectName("lb_icon");

  setStyleSheet("background-color: #ffffff; border-radius: 10px;");
  lb_icon->setStyleSheet("background-color: grey");
  lb_icon->setAlignment(Qt::AlignCenter);
  lb_icon->setAutoFillBackground(true);
  lb_name->setTextFormat(Qt::PlainText);
  lb_name->setText("None");
  lb_name->setAlignment(Qt::AlignCenter);
  lb_name->setWordWrap(true);
  lb_name->setStyleSheet(QString("color: %1; font-size: %2pt;").arg("#000000").arg(10));

  layout->addWidget(lb_icon);
  layout->addWidget(lb_name);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setAlignment(Qt::AlignTop);
  setLayout(layout);

  lb_icon->setAttribute(Qt::WA_TransparentForMouseEvents);
  lb_name->setAttribute(Qt::WA_TransparentForMouseEvents);

  shadows::cast(this, QColor("#cfcfcf"), 10, QPoint(5, 5));
}

void FrameItemH::setID(int value) { id = value; }

void FrameItemH::setName(QString name, QString slug) {
  lb_name->setText(shortenText(displayText(name), NAME_LIMIT));
  name_app = slug.toStdString();
  setAccessibleName(displayText(name));
}

void FrameItemH::setSize(int w, int h) {
  setFixedSize(w, h);
  lb_icon->setFixedSize(w, w);
  lb_name->setFixedSize(w, h / 6 + 20);
}

void FrameItemH::setIcon(QString icon) {
  // The icon sits inside the grey square with a margin.
  icon_wanted = icon;
  if (takeLocalPath(icon)) {
    lb_icon->setPixmap(scaledPixmap(loadImageFile(icon), lb_icon->size() - QSize(15, 15)));
    return;
  }
  const QString asked = icon_wanted;
  ImageFetch::fetch(ImageFetch::storeAddress("icon", icon), this,
                    [this, asked](int result, const QByteArray& bytes) {
                      // On failure the grey square stays.
                      if (result != ImageFetch::FETCH_OK || asked != icon_wanted) return;
                      QPixmap pix = scaledPixmap(QPixmap::fromImage(decodeImage(bytes)),
                                                 lb_icon->size() - QSize(15, 15));
                      if (!pix.isNull()) {
                        lb_icon->setAttribute(Qt::WA_TranslucentBackground);
                        lb_icon->clear();
                        lb_icon->setPixmap(pix);
                        // The icon's clear parts may show through the corners.
                        shadows::refresh(this);
                      }
                    });
}
