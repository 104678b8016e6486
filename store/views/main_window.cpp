#include "main_window.h"

#include <QIcon>
#include <QPixmap>

#include "icon_path.h"
#include "ui_main_window.h"

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui_MainWindow) {
  ui->setupUi(this);
  init();
}

MainWindow::~MainWindow() { delete ui; }

void MainWindow::init() {
  // Neutral look until the menu controller applies its highlight.
  QString style = QString("background-color: %1; color: %2;").arg("#efefef", "#000000");
  ui->buttonInstalled->setStyleSheet(style);
  ui->buttonAll->setStyleSheet(style);
  ui->buttonUpdates->setStyleSheet(style);
  ui->buttonAccount->setStyleSheet(style);
  ui->buttonSetting->setStyleSheet(style);

  ui->buttonSetting->setIcon(QIcon(iconPath("./icon/setting.svg")));
  ui->buttonSetting->setIconSize(QSize(25, 25));
  ui->buttonAccount->setIcon(QIcon(iconPath("./icon/account.svg")));
  ui->buttonAccount->setIconSize(QSize(25, 25));
  ui->labelIcon->setPixmap(QPixmap(iconPath("./icon/logo.png")));
}
