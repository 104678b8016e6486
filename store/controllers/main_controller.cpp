#include "main_controller.h"

#include <QApplication>
#include <QDebug>
#include <QKeySequence>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QTimer>
#include <iostream>

#include "kavix_api.h"
#include "main_window.h"
#include "service_down_view.h"
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
  connect(&open_window, &OpenWindowPoll::wordArrived, this, &MainController::_applyOpenWindowWord);
}

MainController::~MainController() {
  // The question under way uses the client.
  open_window.stop();
}

void MainController::setOBJECT(MainWindow* main_win, KavixAPI* api_i) {
  main_window = main_win;
  ui = main_win->ui;
  api = api_i;
  open_window.setClient(api_i);
  app_controller.setOBJECT(ui, api, &index_page_menu);
  user_controller.setOBJECT(ui, api);
  ui->pageSetting->setAPI(api);
  ui->lbNotify->hide();
}

void MainController::setOpenWindowInterval(std::chrono::milliseconds interval) {
  open_window.setInterval(interval);
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
  // Ctrl+F reaches the search field from anywhere in the window.
  auto* find = new QShortcut(QKeySequence::Find, main_window);
  connect(find, &QShortcut::activated, this, [this] {
    ui->textEditSearch->setFocus(Qt::ShortcutFocusReason);
    ui->textEditSearch->selectAll();
  });
  connect(&user_controller, &UserController::signedInForInstall, &app_controller,
          &AppController::continueInstall);
  // A service that stops or restarts: seen by the open-window question
  // (asked every second) and by any request that lost its connection.
  service_down = new ServiceDownView(ui->pages);
  connect(service_down->button_retry, &QPushButton::clicked, this, &MainController::onRetryService);
  connect(&open_window, &OpenWindowPoll::unanswered, this, &MainController::_checkService);
  service_timer = new QTimer(this);
  connect(service_timer, &QTimer::timeout, this, [this] {
    if (service_down->isVisible() || (api != nullptr && api->connectionLost())) onRetryService();
  });
  service_timer->start(RECONNECT_MS);
  // The menu tells how many updates wait.
  const auto show_update_count = [this] {
    const int count = app_controller.num_updates;
    ui->buttonUpdates->setText(count > 0 ? QString::fromUtf8("CẬP NHẬT (%1)").arg(count)
                                         : QString::fromUtf8("CẬP NHẬT"));
    ui->buttonUpdates->setAccessibleName(
        count > 0 ? QString::fromUtf8("Cập nhật, %1 ứng dụng có phiên bản mới").arg(count)
                  : QString::fromUtf8("Cập nhật"));
  };
  connect(&app_controller, &AppController::updatesRefreshed, this, show_update_count);
  // The installed list read at start knows the count before the page exists.
  connect(&app_controller, &AppController::catalogRead, this, show_update_count);
  // The home page is shown empty; its strips fill from the start-up reads
  // once the event loop runs.
  app_controller.flag_refresh = false;
  onHomeView();
  user_controller.control();
  app_controller.control();
  open_window.start();
  app_controller.user_controller_callback = &user_controller;
  app_controller.startFill(true);
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

// The menu pages that show one of the app controller's pages: a press on
// the page already shown does nothing.
void MainController::_showMenuPage(const MenuPage& shown) {
  if (index_page_menu == shown.index) return;
  index_page_menu = shown.index;
  setHighlightButton();
  ui->pages->setCurrentWidget(shown.page);
  if (shown.refresh != nullptr) (app_controller.*shown.refresh)();
  if (shown.remember) app_controller.page_prev = shown.page;
  if (shown.clear_search) ui->textEditSearch->clear();
}

void MainController::onHomeView() {
  _showMenuPage({0, ui->pageAll, &AppController::refreshHomeView, false, true});
}

void MainController::onInstalledView() {
  _showMenuPage({1, ui->pageInstalled, &AppController::refreshInstalledListView, true, true});
}

void MainController::onUpdateView() {
  // Pressed again on its own page: the list may be stale, read it anew.
  if (index_page_menu == 2) {
    app_controller.refreshUpdateListView();
    return;
  }
  _showMenuPage({2, ui->pageUpdates, &AppController::refreshUpdateListView, true, true});
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
  _showMenuPage({4, ui->pageListApps, nullptr, false, false});
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
  if (api->getSetting(text, &reply) != 0 || reply.status != nelt::REPLY_OK) text = "{}";
  ui->pageSetting->setSetting(text);
  ui->textEditSearch->clear();
}

void MainController::onAppDetailView() {}

void MainController::onSearch() { app_controller.refreshListView(); }

void MainController::onCheckOpenWindow() { open_window.check(); }

void MainController::_applyOpenWindowWord(const std::string& word) {
  // An empty word: the service has forgotten this window, as a restarted
  // one does; the main connection may be gone with it.
  if (word.empty()) {
    _checkService();
    return;
  }
  if (word == nelt::OPEN_WINDOW_FIRST) return;
  if (!nelt::isOpenWindowWord(word)) {
    qDebug() << "Open window: ignored" << QString::fromStdString(word);
    return;
  }
  qDebug() << "Open window:" << QString::fromStdString(word);
  open_window.hold(true);
  if (word == nelt::OPEN_WINDOW_HOME)
    onHomeView();
  else if (word == nelt::OPEN_WINDOW_UPDATES)
    showUpdates();
  else
    openapp(word);
  open_window.hold(false);
  _bringToFront();
  emit openWindowHandled(QString::fromStdString(word));
}

void MainController::_checkService() {
  if (api == nullptr || !service_down->isHidden()) return;
  // The open-window connection failed; the main one may still work (a reply
  // that came too late). A request that reads nothing tells.
  KavixReply reply;
  if (!api->connectionLost() && api->getAccCurrent(&reply) == 0) return;
  onRetryService();
}

void MainController::onRetryService() {
  if (api == nullptr) return;
  // The open-window question runs off the event loop on the same client:
  // it waits while both connections are renewed.
  open_window.stop();
  const bool was_down = !service_down->isHidden();
  // Opens both connections again, reading the port file first: a restarted
  // service may listen on another port.
  if (api->init() != 1) {
    if (!was_down) {
      qDebug() << "Service lost; reconnecting every" << RECONNECT_MS << "ms";
      service_down->setGeometry(ui->pages->rect());
      service_down->raise();
      service_down->show();
      service_down->button_retry->setFocus(Qt::OtherFocusReason);
      emit serviceLost();
    }
    return;
  }
  // A restarted service knows neither this window nor its sign-in: register
  // the window again so later starts find it, and fill the pages anew.
  api->setOpenWindow(nelt::OPEN_WINDOW_FIRST);
  service_down->hide();
  open_window.resume();
  _refillPages();
  emit serviceBack();
}

void MainController::_refillPages() {
  user_controller.checkUserCurrent();
  app_controller.refreshInstalledListView();
  app_controller.refreshUpdateListView();
  QWidget* shown = ui->pages->currentWidget();
  if (shown == ui->pageAll) {
    app_controller.flag_refresh = true;
    app_controller.refreshHomeView();
  } else if (shown == ui->pageListApps && !ui->textEditSearch->text().isEmpty()) {
    app_controller.refreshListView();
  } else {
    // The home page is built again when next shown.
    app_controller.flag_refresh = true;
  }
  // The retry button held the focus; the menu takes it back.
  QWidget* focused = QApplication::focusWidget();
  if (focused == nullptr || !focused->isVisible()) ui->buttonAll->setFocus(Qt::OtherFocusReason);
}

void MainController::_bringToFront() {
  if (main_window == nullptr) return;
  main_window->setWindowState((main_window->windowState() & ~Qt::WindowMinimized) |
                              Qt::WindowActive);
  main_window->show();
  main_window->raise();
  main_window->activateWindow();
}
