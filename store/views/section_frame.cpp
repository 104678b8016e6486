#include "section_frame.h"

#include <QFont>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollArea>
#include <QVBoxLayout>

#include "drop_shadow.h"
#include "frame_item_h.h"
#include "icon_path.h"
#include "keyboard.h"

using nelt::window::KAVIX_SECTION_CURRENT;

TCommandLinkButton::TCommandLinkButton(QWidget* parent) : QCommandLinkButton(parent) {}

void TCommandLinkButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  KAVIX_SECTION_CURRENT = name.toStdString() + "&" + std::to_string(id_section);
  emit clickMore();
}

void TCommandLinkButton::keyPressEvent(QKeyEvent* event) {
  if (!isActivateKey(event)) {
    QCommandLinkButton::keyPressEvent(event);
    return;
  }
  KAVIX_SECTION_CURRENT = name.toStdString() + "&" + std::to_string(id_section);
  emit clickMore();
}

SectionFrame::SectionFrame(QWidget* parent) : TFrame(nullptr) {
  setParent(parent);
  setObjectName("SectionFrame");
  layout_all = new QVBoxLayout();
  layout_apps = new QHBoxLayout();
  layout_name = new QHBoxLayout();
  frame_name = new TFrame();
  scroll_area = new QScrollArea();
  lb_name = new TLabel();
  lb_more = new TCommandLinkButton();
  lb_null = new TLabel();
  frame_name->setObjectName("frame_name");
  scroll_area->setObjectName("scroll_area");
  lb_name->setObjectName("lb_name");
  lb_more->setObjectName("lb_more");
  lb_null->setObjectName("lb_null");

  shadows::cast(this, QColor("#cfcfcf"), 10, QPoint(0, 5));

  lb_name->setStyleSheet(QString("color: %1; font-size: %2pt;").arg("#000000").arg(15));
  lb_more->setStyleSheet(QString("color: %1; font-size: %2pt;").arg("#000000").arg(10));
  lb_name->setTextFormat(Qt::PlainText);
  lb_more->setText("Tất cả");
  lb_more->setIcon(QIcon(iconPath("./icon/all.svg")));
  lb_more->setIconSize(QSize(20, 20));
  QFont link_font = lb_more->font();
  link_font.setUnderline(true);
  lb_more->setFont(link_font);

  layout_name->setSpacing(0);
  layout_name->addWidget(lb_name);
  layout_name->addWidget(lb_null);
  layout_name->addWidget(lb_more);
  frame_name->setLayout(layout_name);

  auto* apps_box = new QWidget();
  apps_box->setObjectName("apps_box");
  apps_box->setLayout(layout_apps);
  scroll_area->setWidget(apps_box);
  scroll_area->setWidgetResizable(true);
  scroll_area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_area->setStyleSheet("border: none; ");

  layout_all->setContentsMargins(0, 0, 0, 0);
  layout_all->setSpacing(0);
  layout_all->addWidget(frame_name);
  layout_all->addWidget(scroll_area);
  setLayout(layout_all);
}

void SectionFrame::init(int w, int h, QString name) {
  init_width = w;
  init_height = h;
  setFixedSize(qMax(0, w - 10), qMax(0, h));
  setContentsMargins(0, 0, 0, 0);

  frame_name->setFixedWidth(qMax(0, w - 30));
  frame_name->setStyleSheet("background-color: #f2f2f2; border-radius: 10px;");
  scroll_area->setStyleSheet(QString("background-color: %1").arg("#ffffff"));

  layout_apps->setContentsMargins(6, 0, 6, 0);
  layout_apps->setSpacing(6);
  layout_apps->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  layout_name->setContentsMargins(6, 0, 6, 10);
  layout_name->setSpacing(30);
  layout_name->setAlignment(Qt::AlignTop);
  layout_all->setAlignment(Qt::AlignTop);

  int more_width = 15 * textLength(lb_more->text());
  lb_more->setMinimumWidth(more_width);
  lb_more->setMaximumWidth(more_width);

  setName(name);

  frame_name->setFixedHeight(qMax(0, h / 4 - 20));
  lb_name->setFixedHeight(qMax(0, h / 8 + 10));
  lb_more->setFixedHeight(qMax(0, h / 8 + 10));
  lb_null->setFixedHeight(qMax(0, h / 8 - 20));
  // The title is taller than the grey band that clips it; centring its text
  // in the band's part keeps the descenders visible.
  const int below_band = qMax(0, lb_name->maximumHeight() - frame_name->maximumHeight());
  lb_name->setContentsMargins(0, 0, 0, below_band);
  // The spacer takes what the title and the link leave; never less than
  // nothing.
  lb_null->setFixedWidth(qMax(0, w - 15 * textLength(lb_name->text()) - lb_more->width() - 30));

  scroll_area->setFixedSize(qMax(0, w), qMax(0, h - frame_name->height()));

  lb_more->setStyleSheet("color: #52C41A; font-weight: bold;font-size: 15px;");
  lb_name->setStyleSheet("color: #404040; font-weight: bold; font-size: 20px; padding: 0px 10px");

  lb_more->name = name;
}

void SectionFrame::setName(QString name) {
  lb_name->setText(shortenText(displayText(name), NAME_LIMIT));
  lb_more->name = name;
  lb_more->setAccessibleName(QString::fromUtf8("Tất cả ứng dụng mục %1").arg(displayText(name)));
}

void SectionFrame::setID(int value) {
  id = value;
  lb_more->id_section = value;
}

QString SectionFrame::getName() const { return lb_name->text(); }

void SectionFrame::addItem(QWidget* item) { layout_apps->addWidget(item); }

void SectionFrame::resizeItemLayout(int w, int h) { scroll_area->setMaximumSize(w, h); }
