#include "main_controller.h"

#include <QDebug>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <iostream>

#include "kavix_api.h"
#include "main_window.h"
#include "setting_view.h"
#include "startup.h"
#include "store_globals.h"
#include "twidget.h"
#include "ui_main_window.h"

using nelt::window::KAVIX_APP_CURRENT;
using nelt::window::setCurrentInstall;

MainController::MainController() {
  KAVIX_APP_CURRENT.clear();
  setCurrentInstall("");
  connect(&poll_watcher, &QFutureWatcher<PollResult>::finished, this,
          &MainController::_onOpenWindowAnswer);
}

MainController::~MainController() {
  if (timer_check_open_window != nullptr) timer_check_open_window->stop();
  // The question under way uses the client; it ends within the client's
  // request time limit.
  poll_watcher.waitForFinished();
}

void MainController::setOBJECT(MainWindow* main_win, KavixAPI* api_i) {
  main_window = main_win;
  ui = main_win->ui;
  api = api_i;
  app_controller.setOBJECT(ui, api, &index_page_menu);
  user_controller.setOBJECT(ui, api);
  ui->pageSetting->setAPI(api);
  ui->lbNotify->hide();
}

void MainController::setOpenWindowInterval(std::chrono::milliseconds interval) {
  open_window_interval = interval;
  if (timer_check_open_window != nullptr)
    timer_check_open_window->setInterval(static_cast<int>(interval.count()));
}

void MainController::control() {
  setHighlightButton();
  connect(ui->buttonAll, &QPushButton::clicked, this, &MainController::onHomeView);
  connect(ui->buttonInstalled, &QPushButton::clicked, this, &MainController::onInstalledView);
  connect(ui->buttonUpdates, &QPushButton::clicked, this, &MainController::onUpdateView);
  connect(ui->buttonAccount, &QPushButton::clicked, this, &MainController::onAccountView);
  connect(ui->buttonSetting, &QPushButton::clicked, this, &MainController::onSettingView);
  connect(ui->buttonSearch, &QPushButton::clicked, this, &MainController::onSearch);
  connect(ui->textEditSearch, &QLineEdit::returnPressed, this, &MainController::onSearch);
  onHomeView();
  user_controller.control();
  app_controller.control();
  timer_check_open_window = new QTimer(this);
  connect(timer_check_open_window, &QTimer::timeout, this, &MainController::onCheckOpenWindow);
  timer_check_open_window->start(static_cast<int>(open_window_interval.count()));
  app_controller.user_controller_callback = &user_controller;
}

void MainController::openapp(const std::string& app) {
  std::cout << "APP" << app << std::endl;
  app_controller.refreshDetailView(app, TYPE_UNKNOW);
}

void MainController::setHighlightButton() {
  const QString style = QStringLiteral("background-color: %1; color: %2");
  const QString highlight = style.arg("#ffffff", "#53C41B");
  const QString normal = style.arg("#ffffff", "#404040");
  app_controller.styleDefaultButton = normal;
  QPushButton* const buttons[] = {ui->buttonAll,     ui->buttonInstalled,
                                  ui->buttonUpdates, ui->buttonAccount,
                                  nullptr,           ui->buttonSetting};
  if (index_page_menu == 4) {
    // The search results belong to none of the menu buttons.
    for (QPushButton* b : buttons)
      if (b != nullptr) b->setStyleSheet(normal);
    return;
  }
  if (index_page_menu < 0 || index_page_menu > 5) return;
  for (int i = 0; i <= 5; ++i)
    if (buttons[i] != nullptr) buttons[i]->setStyleSheet(i == index_page_menu ? highlight : normal);
}

void MainController::onHomeView() {
  if (index_page_menu == 0) return;
  index_page_menu = 0;
  setHighlightButton();
  ui->pages->setCurrentWidget(ui->pageAll);
  app_controller.refreshHomeView();
  ui->textEditSearch->clear();
}

void MainController::onInstalledView() {
  if (index_page_menu == 1) return;
  index_page_menu = 1;
  setHighlightButton();
  ui->pages->setCurrentWidget(ui->pageInstalled);
  app_controller.refreshInstalledListView();
  app_controller.page_prev = ui->pageInstalled;
  ui->textEditSearch->clear();
}

void MainController::onUpdateView() {
  if (index_page_menu == 2) return;
  index_page_menu = 2;
  setHighlightButton();
  ui->pages->setCurrentWidget(ui->pageUpdates);
  app_controller.refreshUpdateListView();
  app_controller.page_prev = ui->pageUpdates;
  ui->textEditSearch->clear();
}

void MainController::showUpdates() {
  if (index_page_menu == 2)
    app_controller.refreshUpdateListView();
  else
    onUpdateView();
}

void MainController::onAccountView() {
  index_page_menu = 3;
  setHighlightButton();
  user_controller.checkUserCurrent();
  ui->pages->setCurrentWidget(ui->pageAccount);
  ui->textEditSearch->clear();
}

void MainController::onListAppsView() {
  if (index_page_menu == 4) return;
  index_page_menu = 4;
  setHighlightButton();
  ui->pages->setCurrentWidget(ui->pageListApps);
}

void MainController::onSettingView() {
  index_page_menu = 5;
  setHighlightButton();
  ui->pages->setCurrentWidget(ui->pageSetting);
  ui->pageSetting->setPayment(user_controller.isPayment());
  std::string text;
  KavixReply reply;
  // Only a settings reply is handed on: an error reply's text is no settings
  // document.
  if (api->getSetting(text, &reply) != 0 || reply.status != 200) text = "{}";
  ui->pageSetting->setSetting(text);
  ui->textEditSearch->clear();
}

void MainController::onAppDetailView() {}

void MainController::onSearch() { app_controller.refreshListView(); }

void MainController::onCheckOpenWindow() {
  if (api == nullptr || applying_word || poll_watcher.isRunning()) return;
  KavixAPI* client = api;
  poll_watcher.setFuture(QtConcurrent::run([client]() {
    PollResult result;
    // A question that got no answer in time costs the connection; a new one
    // is opened for the next tick (the service then has forgotten this
    // window and answers with the empty word).
    if (client->reopenOpenWindow() != 0) return result;
    result.status = client->checkOpenWindow(result.word);
    // An empty word: the service no longer knows this window (its
    // connections were renewed, or it restarted). Registering again lets
    // later starts find it instead of opening a second window.
    if (result.status == 0 && result.word.empty()) client->setOpenWindow(nelt::OPEN_WINDOW_FIRST);
    return result;
  }));
}

void MainController::_onOpenWindowAnswer() {
  const PollResult result = poll_watcher.result();
  if (result.status != 0) return;
  _applyOpenWindowWord(result.word);
}

void MainController::_applyOpenWindowWord(const std::string& word) {
  if (word.empty() || word == nelt::OPEN_WINDOW_FIRST) return;
  if (!nelt::isOpenWindowWord(word)) {
    qDebug() << "Open window: ignored" << QString::fromStdString(word);
    return;
  }
  qDebug() << "Open window:" << QString::fromStdString(word);
  applying_word = true;
  if (word == nelt::OPEN_WINDOW_HOME)
    onHomeView();
  else if (word == nelt::OPEN_WINDOW_UPDATES)
    showUpdates();
  else
    openapp(word);
  applying_word = false;
  _bringToFront();
  emit openWindowHandled(QString::fromStdString(word));
}

void MainController::_bringToFront() {
  if (main_window == nullptr) return;
  main_window->setWindowState((main_window->windowState() & ~Qt::WindowMinimized) |
                              Qt::WindowActive);
  main_window->show();
  main_window->raise();
  main_window->activateWindow();
}
