#include "list_apps_view.h"

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
  if (textLength(text) > LONG_TITLE) {
    ui->label->setFixedHeight(default_height_name + LONG_TITLE_EXTRA);
    ui->scrollAreaListApp->setFixedHeight(default_height_list - LONG_TITLE_EXTRA);
  } else {
    ui->label->setFixedHeight(default_height_name);
    ui->scrollAreaListApp->setFixedHeight(default_height_list);
  }
  ui->label->setText(text);
}
