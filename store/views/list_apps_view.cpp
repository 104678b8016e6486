#include "list_apps_view.h"

#include <QScrollBar>

#include "twidget.h"
#include "ui_list_apps_view.h"

namespace {

const char* const SCROLL_STYLE =
    "QScrollBar:vertical {border: 2px inset #cfcfcf;border-radius: 5px; background: #f2f2f2; "
    "width: 12px; }QScrollBar::handle:vertical {background: #cfcfcf; border-radius: 3px; "
    "min-height: 10px; }QScrollBar::add-line:vertical {background: #ffffff;height: "
    "0px;subcontrol-position: bottom;subcontrol-origin: margin;}QScrollBar::sub-line:vertical "
    "{background: #cfcfcf; height: 0px;subcontrol-position: top;subcontrol-origin: margin;}";

}  // namespace

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
  ui->scrollAreaListApp->verticalScrollBar()->setStyleSheet(SCROLL_STYLE);
  ui->verticalLayout->setAlignment(Qt::AlignTop | Qt::AlignCenter);
  default_height_name = ui->label->height();
  default_height_list = ui->scrollAreaListApp->height();
}

ListAppsView::~ListAppsView() { delete ui; }

void ListAppsView::addItem(QWidget* widget) { ui->verticalLayout->addWidget(widget, 0); }

void ListAppsView::setName(QString text) {
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
