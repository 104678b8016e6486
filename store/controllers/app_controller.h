// Controller of applications: the catalog pages (home strips, section list,
// search results, installed and updates pages, tile installs) and the detail
// page with its install, update, remove and launch sequences. It keeps the
// re-entry guards and the order of the page builds; the work is done by its
// parts: `HomeStrips`, `ListPageBuilder`, `DetailPage`, `InstallFlow`, and
// `CatalogState` for what is installed.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "catalog_state.h"
#include "detail_page.h"
#include "home_strips.h"
#include "install_flow.h"
#include "installed_list.h"
#include "list_page_builder.h"
#include "update_all_flow.h"

class KavixModel;
class QLabel;
struct KavixReply;
class ListAppsView;
class QTimer;
class SectionFrame;
class ServiceClient;
class TLabel;
class Ui_MainWindow;
class UserController;

// One installed application as the window reads it.
using InfoAppInstalled = nelt::InfoAppInstalled;

class AppController : public QObject {
  Q_OBJECT
 public:
  AppController();
  ~AppController() override;
  AppController(const AppController&) = delete;
  AppController& operator=(const AppController&) = delete;

  void setOBJECT(Ui_MainWindow* ui, ServiceClient* api, int* id_pages);
  // Timers and detail page buttons; once. The installed and updates pages
  // are built when first opened.
  void control();
  // The start-up reads, on a worker while the window is already shown: with
  // `with_home` the home's section list and each section's applications
  // (each strip fills as its reply arrives, then homeRefreshed), then the
  // installed list, which tells the detail page what is installed and what
  // has an update without building the installed and updates pages
  // (catalogRead). The GUI thread only applies the parsed replies. Once.
  void startFill(bool with_home);

  void refreshHomeView();
  void refreshListView();
  void refreshInstalledListView();
  void refreshUpdateListView();
  // Takes the application pressed last out of KAVIX_APP_CURRENT.
  void getAppCurrent(int& id, std::string& name);

  void refreshDetailView(std::string name, TYPE_APP type);
  void setStateDetailInstall(int state);

  // Estimated line count of `text` wrapped at `width` characters, as the
  // detail page sizes its name and description.
  static int estimateLines(const QString& text, int width);

  QString styleDefaultButton;
  QWidget* page_prev = nullptr;
  UserController* user_controller_callback = nullptr;
  ServiceClient* api = nullptr;
  Ui_MainWindow* ui = nullptr;
  int num_secs = 0;
  int id_section_current = 0;
  // Strips of the home page (children of the home page while shown).
  std::vector<SectionFrame*> sections;
  QTimer* timer_refresh = nullptr;
  bool flag_refresh = true;
  std::string name_app_detail_current;
  std::string version_current;
  std::string version_new;
  double size_app_current = 0;

 private:
  CatalogState catalog;
  DetailPage detail;
  InstallFlow install;
  UpdateAllFlow update_all;

 public:
  // What the installed and updates pages last read.
  const int& num_installeds = catalog.num_installeds;
  const int& num_updates = catalog.num_updates;
  // The package engine and the install progress timer.
  KavixModel* const& model = install.model;
  QTimer* const& timer_install = install.timer_install;
  TLabel* const& lb_newversion = detail.lb_newversion;
  // "Cập nhật tất cả" on the updates page.
  UpdateAllFlow& updateAll() { return update_all; }

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
  // Shows `slug`'s page again after the sign-in its install asked for, and
  // goes on with that install.
  void continueInstall(const QString& slug);

 signals:
  // A page build ended (tests and tools wait on these).
  void homeRefreshed();
  void listRefreshed();
  void installedRefreshed();
  void updatesRefreshed();
  void detailRefreshed();
  // The start-up worker's installed list was applied.
  void catalogRead();
  // An engine call of the remove or launch sequence returned.
  void removeFinished(int result);
  void launchFinished(int result);

 private:
  enum { LIST_NONE = 0, LIST_SEARCH = 1, LIST_SECTION = 2 };

  int _refreshHomeView();
  int _refreshListView();
  int _refreshSectionView();
  int _refreshInstalledListView();
  int _refreshUpdateListView();
  // The installed page, or the updates page with `update_page`.
  int _refreshInstalledPage(bool update_page);

  bool _runBuild(bool& busy, bool& pending, int (AppController::*build)());
  void _runList(int kind);
  // The sign-out of the token-invalid answer: true when the caller may run
  // its refresh once more (once per user action).
  bool _retryAfterSignOut(bool& signed_out_once);
  // Reads the installed list. 0 loaded, 1 transport failure, -1 another
  // status (in `status`).
  int _loadInstalled(std::vector<InfoAppInstalled>& installeds, int& status);
  void _showListPage();
  bool _startList(bool detach, std::vector<InfoAppInstalled>& installeds, int& result);
  void _notify(const QString& text);
  void _setMenuStyle(const QString& style);
  void _startInstall(bool update);
  void _applyPreset(const std::string& name, TYPE_APP type);
  int _fillDetail(const std::string& name, TYPE_APP type);
  void _installDone(const std::string& slug, bool shown);
  void _removeDone(const std::string& slug, bool same_page);
  TileActions _tileActions();
  void _focusPage(QWidget* page);
  // From -1: the banner and the old strips' removal first, then the strips
  // from 0 on.
  void _applySections(int generation, int result, const std::shared_ptr<KavixReply>& reply,
                      int from = -1);
  void _applyStrip(int generation, size_t index, int result,
                   const std::shared_ptr<KavixReply>& reply, int from = 0);
  void _homeFilled(int generation, bool token_invalid);
  void _applyInstalled(int result, const std::shared_ptr<KavixReply>& reply,
                       const std::shared_ptr<std::vector<InfoAppInstalled>>& records);

  int* id_pages = nullptr;
  HomeStrips strips{sections, num_secs};
  ListPageBuilder lists;
  // Re-entry guards: a page build may let the event loop turn (a long list
  // grows in batches), so a slot can run while a page is being built.
  bool building_home = false, pending_home = false;
  bool building_installed = false, pending_installed = false;
  bool building_updates = false, pending_updates = false;
  bool building_list = false;
  int pending_list = LIST_NONE;
  bool building_detail = false, pending_detail = false;
  std::string pending_detail_name;
  TYPE_APP pending_detail_type = TYPE_DEFAULT;
  std::string section_name;
  // The widget that held the focus when the detail page was opened.
  QPointer<QWidget> opened_from;
  QLabel* up_to_date = nullptr;
  // The start-up reads. `home_generation` counts home builds: strips the
  // worker read for an older build are dropped. A page built before the
  // worker's installed list arrived keeps what it read itself.
  std::thread start_worker;
  int home_generation = 0;
  bool installed_page_built = false, updates_page_built = false;
  // The worker's replies waiting on the GUI thread, applied one per turn of
  // the event loop (input, painting and timers get their turns between two
  // strips) in the order they came.
  std::deque<std::function<void()>> start_applies;
  QTimer* apply_timer = nullptr;
  void _queueApply(std::function<void()> apply, bool first = false);
  void _applyNext();
};
