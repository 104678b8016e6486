#include "main_window.h"

#include <QIcon>
#include <QPixmap>
#include <QScrollArea>
#include <QScrollBar>

#include "icon_path.h"
#include "keyboard.h"
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

  // Names a screen reader announces; the icon-only buttons also say what
  // they do when pointed at.
  ui->buttonAccount->setToolTip(QString::fromUtf8("Tài khoản"));
  ui->buttonAccount->setAccessibleName(QString::fromUtf8("Tài khoản"));
  ui->buttonSetting->setToolTip(QString::fromUtf8("Cài đặt"));
  ui->buttonSetting->setAccessibleName(QString::fromUtf8("Cài đặt"));
  ui->textEditSearch->setAccessibleName(QString::fromUtf8("Tìm ứng dụng"));
  ui->buttonSearch->setAccessibleName(QString::fromUtf8("Tìm kiếm"));
  ui->labelIcon->setAccessibleName(QString::fromUtf8("NELT Store"));
  ui->lbNotify->setAccessibleName(QString::fromUtf8("Thông báo"));

  // Tab follows the menu as it reads, left to right, then the search.
  QPushButton* const menu[] = {ui->buttonAll, ui->buttonInstalled, ui->buttonUpdates,
                               ui->buttonAccount, ui->buttonSetting};
  for (QPushButton* button : menu) {
    button->setFocusPolicy(Qt::StrongFocus);
    clickOnEnter(button);
  }
  clickOnEnter(ui->buttonSearch);
  QWidget::setTabOrder(ui->buttonAll, ui->buttonInstalled);
  QWidget::setTabOrder(ui->buttonInstalled, ui->buttonUpdates);
  QWidget::setTabOrder(ui->buttonUpdates, ui->buttonAccount);
  QWidget::setTabOrder(ui->buttonAccount, ui->buttonSetting);
  QWidget::setTabOrder(ui->buttonSetting, ui->textEditSearch);
  QWidget::setTabOrder(ui->textEditSearch, ui->buttonSearch);
  QWidget::setTabOrder(ui->buttonSearch, ui->pages);
  focus_ring = FocusRing::follow(this);
}

void MainWindow::fitScreen(const QRect& available) {
  const QSize laid_out = size();
  if (available.isEmpty() ||
      (available.width() >= laid_out.width() && available.height() >= laid_out.height()))
    return;
  // The laid-out content keeps its size inside a scroll area that takes the
  // window's place.
  QWidget* content = takeCentralWidget();
  content->setFixedSize(laid_out);
  auto* area = new QScrollArea(this);
  area->setObjectName("windowScrollArea");
  area->setFrameShape(QFrame::NoFrame);
  area->setWidgetResizable(false);
  // It scrolls for the widgets inside it; the keyboard goes to those.
  area->setFocusPolicy(Qt::NoFocus);
  area->setWidget(content);
  setCentralWidget(area);
  // Room for the vertical scroll bar beside the content, so that no
  // horizontal one is needed where the screen is wide enough.
  const QSize most = laid_out + QSize(area->verticalScrollBar()->sizeHint().width(), 0);
  setMinimumSize(QSize(320, 240));
  setMaximumSize(most);
  resize(qMin(most.width(), available.width()), qMin(most.height(), available.height()));
  move(available.topLeft());
}
