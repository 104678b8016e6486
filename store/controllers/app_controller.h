// Controller of applications: the catalog pages (home strips, section list,
// search results, installed and updates pages, tile installs) and the detail
// page with its install, update, remove and launch sequences.
#pragma once

#include <rapidjson/fwd.h>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "installed_list.h"

class FrameItemV;
class KavixAPI;
class KavixModel;
class ListAppsView;
class QTimer;
class SectionFrame;
class TLabel;
class TWallpapperWidget;
class Ui_AppDetailView;
class Ui_HomeView;
class Ui_ListAppsView;
class Ui_MainWindow;
class UserController;

// State of an application as the detail page sees it.
enum TYPE_APP {
  TYPE_NULL = 1,
  TYPE_DEFAULT = 2,    // not installed: Install
  TYPE_INSTALLED = 3,  // installed: Launch, Remove
  TYPE_UPDATE = 4,     // installed, newer version: Launch, Remove, Update
  TYPE_WAITINSTALL = 5,
  TYPE_INSTALLING = 6,  // its install runs: progress
  TYPE_UNKNOW = 7       // to be worked out from the installed and updates pages
};

// One installed application as the window reads it.
using InfoAppInstalled = nelt::InfoAppInstalled;

class AppController : public QObject {
  Q_OBJECT
 public:
  AppController();
  ~AppController() override;
  AppController(const AppController&) = delete;
  AppController& operator=(const AppController&) = delete;

  void setOBJECT(Ui_MainWindow* ui, KavixAPI* api, int* id_pages);
  // Timers, detail page buttons, first build of the installed and updates
  // pages; once.
  void control();

  void refreshHomeView();
  void refreshListView();
  void refreshInstalledListView();
  void refreshUpdateListView();
  // Takes the application pressed last out of KAVIX_APP_CURRENT.
  void getAppCurrent(int& id, std::string& name);

  void refreshDetailView(std::string name, TYPE_APP type);
  void setStateDetailInstall(int state);

  QString styleDefaultButton;
  QWidget* page_prev = nullptr;
  bool flag_logouted_section = false;
  UserController* user_controller_callback = nullptr;
  KavixAPI* api = nullptr;
  KavixModel* model;
  Ui_MainWindow* ui = nullptr;
  Ui_AppDetailView* ui_detail = nullptr;
  Ui_HomeView* ui_home = nullptr;
  Ui_ListAppsView* ui_listapp = nullptr;
  Ui_ListAppsView* ui_listinstalled = nullptr;
  Ui_ListAppsView* ui_listupdate = nullptr;
  int num_secs = 0;
  int id_section_current = 0;
  // Strips of the home page (children of the home page while shown).
  std::vector<SectionFrame*> sections;
  int num_installeds = 0;
  int num_updates = 0;
  QTimer* timer_refresh = nullptr;
  bool flag_refresh = true;
  QTimer* timer_install = nullptr;
  int per_download = 0;
  int id_app_detail_current = 0;
  std::string name_app_detail_current;
  std::string name_app_installing_current;
  std::string version_current;
  std::string version_new;
  TLabel* lb_newversion;
  double size_app_current = 0;
  double size_app_installing = 0;
  int size_frame_detail = 0;
  bool hasPayment = false;
  int* id_pages = nullptr;
  bool is_enbInstall = false;
  bool is_enbLaunch = false;
  bool is_enbRemove = false;
  bool is_enbUpdate = false;

 public slots:
  void onSectionDetailView();
  void onInstall();
  void onUpdate();
  void onRemove();
  void onLaunch();
  void onPrevPage();
  void switchRefreshFlag();

  void onAppDetailView();
  void onInstallDetail();
  void onUpdateDetail();
  void onRemoveDetail();
  void onLaunchDetail();
  void onInstallTimer();
  void onDisplayWallpaper();

 signals:
  // A page build ended (tests and tools wait on these).
  void homeRefreshed();
  void listRefreshed();
  void installedRefreshed();
  void updatesRefreshed();
  void detailRefreshed();
  // An engine call of the remove or launch sequence returned.
  void removeFinished(int result);
  void launchFinished(int result);

 private:
  friend class AppControllerTestPeer;

  enum { RUN_DONE = 0, RUN_AGAIN = 1 };  // RUN_AGAIN: the service answered 8001
  enum { LIST_NONE = 0, LIST_SEARCH = 1, LIST_SECTION = 2 };

  int _refreshHomeView();
  int _refreshListView();
  int _refreshSectionView();
  int _refreshInstalledListView();
  int _refreshUpdateListView();
  int _fillInstalledTiles(ListAppsView* page, const std::vector<InfoAppInstalled>& records,
                          bool update_page, int& shown);
  int _findAppInstalled(std::string slug);

  void _cleanDetailPage();
  void _calculateSizeDesc(QString text);
  void _calculateSizeName(QString text);
  void _setDefaultStateButtonDetail();
  void _getDefaultStateButtonDetail();

  bool _runBuild(bool& busy, bool& pending, int (AppController::*build)());
  void _runList(int kind);
  // The sign-out of the 8001 answer: true when the caller may run its
  // refresh once more (once per user action).
  bool _retryAfterSignOut(bool& signed_out_once);
  // Reads the installed list. 0 loaded, 1 transport failure, -1 another
  // status (in `status`).
  int _loadInstalled(std::vector<InfoAppInstalled>& installeds, int& status);
  void _clearListPage(ListAppsView* page, bool detach);
  void _clearSections();
  void _fillResultTile(FrameItemV* tile, const rapidjson::Value& entry, bool desc_in_version,
                       const std::vector<InfoAppInstalled>& installeds);
  void _showListPage();
  void _notify(const QString& text);
  void _setMenuStyle(const QString& style);
  void _startInstall(bool update);
  void _applyPreset(const std::string& name, TYPE_APP type);
  int _fillDetail(const std::string& name, TYPE_APP type);
  void _showScreenshots(const rapidjson::Value& shots);
  void _stateLabel(const QString& text, const QString& color);
  void _resultLabel(const QString& text, const QString& color);
  void _enableButton(int line, const char* name, bool on);
  void _runEngine(std::function<int()> call, std::function<void(int)> done);
  void _removeDone(const std::string& slug, int r);
  void _launchDone(const std::string& slug, int r);

 public:
  // Estimated line count of `text` wrapped at `width` characters, as the
  // detail page sizes its name and description.
  static int estimateLines(const QString& text, int width);

  // Installed list as last read by the installed page.
  std::vector<InfoAppInstalled> installed_records;

 private:
  // Re-entry guards: an image download waits in a nested event loop, so a
  // slot can run while a page is being built.
  bool building_home = false, pending_home = false;
  bool building_installed = false, pending_installed = false;
  bool building_updates = false, pending_updates = false;
  bool building_list = false;
  int pending_list = LIST_NONE;
  bool building_detail = false, pending_detail = false;
  std::string pending_detail_name;
  TYPE_APP pending_detail_type = TYPE_DEFAULT;
  std::string section_name;
  bool installing_update = false;
  // Counts the texts put in the detail page's state label.
  int state_label_shown = 0;
  // Remove and launch wait on the engine off the GUI thread.
  bool engine_busy = false;
  std::thread engine_thread;
};
