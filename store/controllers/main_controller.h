// Top controller of the store window: wires the catalog and account
// controllers to the window, switches the pages when a menu button is
// pressed, highlights the button of the page shown, runs searches, and acts on
// the requests that later starts of the store hand over through the service
// (show the home page, or open an application).
#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <string>

#include "app_controller.h"
#include "single_instance.h"
#include "user_controller.h"

class KavixAPI;
class MainWindow;
class ServiceDownView;
class QTimer;
class Ui_MainWindow;

class MainController : public QObject {
  Q_OBJECT
 public:
  MainController();
  ~MainController() override;
  MainController(const MainController&) = delete;
  MainController& operator=(const MainController&) = delete;

  void setOBJECT(MainWindow* main_win, KavixAPI* api_i);
  void control();
  // Opens the detail page of `app`.
  void openapp(const std::string& app);
  // Shows the updates page with a fresh list, also when it is already shown
  // (a later start or the update notification asks for what is new).
  void showUpdates();
  void setHighlightButton();

  // How often the service is asked for requests of later starts; set before
  // `control`.
  void setOpenWindowInterval(std::chrono::milliseconds interval);

  MainWindow* main_window = nullptr;
  UserController user_controller;
  AppController app_controller;
  Ui_MainWindow* ui = nullptr;
  KavixAPI* api = nullptr;
  // 0 home, 1 installed, 2 updates, 3 account, 4 list, 5 settings; 65535 a
  // page of the app controller's own.
  int index_page_menu = 65535;

 public slots:
  void onHomeView();
  void onUpdateView();
  void onInstalledView();
  void onAccountView();
  void onAppDetailView();
  void onListAppsView();
  void onSettingView();
  void onCheckOpenWindow();
  void onSearch();
  // Tries to reach the service again now (the retry button, and every few
  // seconds while it is away).
  void onRetryService();

 signals:
  // A word from a later start was acted on ("@HOME", "@UPDATES" or an
  // application).
  void openWindowHandled(const QString& word);
  // The service went away (the "service not running" sheet shows), and it
  // is back (connections renewed, this window registered, pages refilled).
  void serviceLost();
  void serviceBack();

 private:
  struct MenuPage {
    int index;  // of index_page_menu
    QWidget* page;
    void (AppController::*refresh)();  // may be null
    bool remember;                     // as the page the back button returns to
    bool clear_search;
  };
  void _showMenuPage(const MenuPage& shown);
  void _applyOpenWindowWord(const std::string& word);
  void _bringToFront();
  // Called when a request failed or the open-window question got no answer:
  // when the main connection is gone too, the window shows the service as
  // down and starts reconnecting.
  void _checkService();
  void _refillPages();

 public:
  // While shown, the service is not running; null before `control`.
  ServiceDownView* service_down = nullptr;
  // How often a lost service is tried again.
  static constexpr int RECONNECT_MS = 2000;

 private:
  QTimer* service_timer = nullptr;

  // The poll asks no new question until the word in hand has been acted
  // on (opening a page may take several turns of the event loop).
  OpenWindowPoll open_window;
};
