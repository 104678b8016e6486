#include "list_apps_view.h"

#include <QEvent>
#include <QScrollBar>

#include "styles.h"
#include "twidget.h"
#include "ui_list_apps_view.h"

ListAppsView::ListAppsView(QWidget* parent) : QWidget(parent), ui(new Ui_ListAppsView) {
  ui->setupUi(this);
  ui->label->setWordWrap(true);
  ui->scrollAreaListApp->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  ui->scrollAreaListApp->setStyleSheet("border: none");
  ui->scrollAreaListApp->setStyleSheet("border: none; ");
  if (ui->scrollAreaWidgetContents->layout() != ui->verticalLayout) {
    ui->scrollAreaWidgetContents->setLayout(ui->verticalLayout);
  }
  ui->label->setStyleSheet("font-weight: bold; color: #404040");
  ui->scrollAreaListApp->verticalScrollBar()->setStyleSheet(SCROLL_STYLE_LIST);
  ui->verticalLayout->setAlignment(Qt::AlignTop | Qt::AlignCenter);
  default_height_name = ui->label->height();
  default_height_list = ui->scrollAreaListApp->height();
}

ListAppsView::~ListAppsView() { delete ui; }

void ListAppsView::addItem(QWidget* widget) { ui->verticalLayout->addWidget(widget, 0); }

void ListAppsView::setName(QString text) {
  text = displayText(text);
  // The list gives up exactly the title's extra line, however often a long
  // title is set, and gets it back with a short one.
  long_title = textLength(text) > LONG_TITLE;
  ui->label->setFixedHeight(default_height_name + (long_title ? LONG_TITLE_EXTRA : 0));
  fitList();
  ui->label->setText(text);
}

void ListAppsView::setHeader(QWidget* widget) {
  header = widget;
  ui->verticalLayout_2->insertWidget(ui->verticalLayout_2->indexOf(ui->label) + 1, header);
  header->installEventFilter(this);
  fitList();
}

void ListAppsView::fitList() {
  int height = default_height_list - (long_title ? LONG_TITLE_EXTRA : 0);
  if (header != nullptr && !header->isHidden()) height -= header->maximumHeight();
  ui->scrollAreaListApp->setMinimumHeight(0);
  ui->scrollAreaListApp->setFixedHeight(height);
}

bool ListAppsView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == header &&
      (event->type() == QEvent::Resize || event->type() == QEvent::Show ||
       event->type() == QEvent::Hide || event->type() == QEvent::LayoutRequest))
    fitList();
  return QWidget::eventFilter(watched, event);
}
