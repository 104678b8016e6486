#include "setting_view.h"

#include <QGraphicsDropShadowEffect>

#include "ui_setting_view.h"

SettingView::SettingView(QWidget* parent) : QWidget(parent), ui(new Ui_SettingView) {
  ui->setupUi(this);
  ui->verticalLayout->setAlignment(Qt::AlignTop);
  auto* shadow = new QGraphicsDropShadowEffect(ui->framesetting1);
  shadow->setColor(QColor("#cfcfcf"));
  shadow->setBlurRadius(10);
  shadow->setOffset(5, 5);
  ui->framesetting1->setGraphicsEffect(shadow);
  ui->framesetting1->setStyleSheet("background-color: #ffffff");
}

SettingView::~SettingView() { delete ui; }
