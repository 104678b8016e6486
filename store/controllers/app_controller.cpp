#include "app_controller.h"

#include <rapidjson/document.h>

#include <QApplication>
#include <QDebug>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QTimer>
#include <cstdio>

#include "home_view.h"
#include "icon_path.h"
#include "list_apps_view.h"
#include "main_window.h"
#include "off_thread.h"
#include "reply_fields.h"
#include "service_client.h"
#include "store_globals.h"
#include "ui_app_detail_view.h"
#include "ui_home_view.h"
#include "ui_list_apps_view.h"
#include "ui_main_window.h"
#include "user_controller.h"
#include "window_clock.h"

using namespace nelt::window;  // the reply readers and the window globals

using rapidjson::Value;

namespace {

constexpr int NO_MENU_PAGE = 65535;
constexpr int NOTICE_MS = 2000;  // how long a notice stays
const char* const MENU_STYLE = "background-color: %1; color: %2";

// A decimal section number: digits only, within int.
bool parseSectionId(const std::string& text, int& id) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  id = std::stoi(text);
  return true;
}

}  // namespace

AppController::AppController()
    : install(
          detail,
          InstallFlow::Hooks{
              &name_app_detail_current,
              [this](const std::string& slug, bool shown) { _installDone(slug, shown); },
              [this](const std::string& slug, bool same_page) { _removeDone(slug, same_page); }}),
      update_all(UpdateAllFlow::Hooks{[this] { return catalog.shownUpdates(); },
                                      [this] { return !install.installingName().empty(); },
                                      [this] { ui->pages->setCurrentWidget(ui->pageAccount); },
                                      [this] {
                                        refreshInstalledListView();
                                        refreshUpdateListView();
                                      }}),
      lists(_tileActions()) {
  connect(&install, &InstallFlow::removeFinished, this, &AppController::removeFinished);
  connect(&install, &InstallFlow::launchFinished, this, &AppController::launchFinished);
  connect(this, &AppController::updatesRefreshed, this,
          [this] { update_all.updatesShown(static_cast<int>(catalog.shownUpdates().size())); });
}

AppController::~AppController() {
  // The worker's replies are posted to this object; once it has ended none
  // is on its way, and those still queued go with the object.
  if (start_worker.joinable()) start_worker.join();
}

TileActions AppController::_tileActions() {
  TileActions actions;
  actions.context = this;
  actions.detail = [this] { onAppDetailView(); };
  actions.install = [this] { onInstall(); };
  actions.launch = [this] { onLaunch(); };
  actions.remove = [this] { onRemove(); };
  actions.update = [this] { onUpdate(); };
  return actions;
}

void AppController::setOBJECT(Ui_MainWindow* ui_main, ServiceClient* api_i, int* pages) {
  ui = ui_main;
  api = api_i;
  detail.setObjects(ui, &styleDefaultButton);
  install.setObjects(ui, api_i);
  id_pages = pages;
}

void AppController::control() {
  timer_refresh = new QTimer(this);
  connect(timer_refresh, &QTimer::timeout, this, &AppController::switchRefreshFlag);
  install.setup();
  update_all.setup(ui->pageUpdates, install.model);

  Ui_AppDetailView* ui_detail = ui->pageDetail->ui;
  connect(ui_detail->buttonLaunch, &QPushButton::clicked, this, &AppController::onLaunchDetail);
  connect(ui_detail->buttonInstall, &QPushButton::clicked, this, &AppController::onInstallDetail);
  connect(ui_detail->buttonRemove, &QPushButton::clicked, this, &AppController::onRemoveDetail);
  connect(ui_detail->buttonUpdate, &QPushButton::clicked, this, &AppController::onUpdateDetail);
  connect(ui_detail->buttonBack, &QPushButton::clicked, this, &AppController::onPrevPage);
  // Escape, Alt+Left and Backspace go back from the detail page, as its
  // back button does.
  for (const QKeySequence& keys :
       {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::ALT + Qt::Key_Left),
        QKeySequence(Qt::Key_Backspace)}) {
    auto* back =
        new QShortcut(keys, ui->pageDetail, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(back, &QShortcut::activated, this, &AppController::onPrevPage);
  }

  timer_refresh->start(100000);

  detail.setup();
  ui->pageAll->ui->horizontalLayout_2->setAlignment(Qt::AlignCenter);
}

// ------------------------------------------------------------ shared parts

// A page build runs at most once at a time. A request that arrives while the
// page is being built (timers and clicks may be served meanwhile) is
// remembered and served once the
// build ends, instead of tearing the page down under the running build.
// False when the request was only remembered.
bool AppController::_runBuild(bool& busy, bool& pending, int (AppController::*build)()) {
  if (busy) {
    pending = true;
    return false;
  }
  busy = true;
  bool signed_out_once = false;
  do {
    pending = false;
    if ((this->*build)() == RUN_AGAIN && _retryAfterSignOut(signed_out_once)) pending = true;
  } while (pending);
  busy = false;
  return true;
}

bool AppController::_retryAfterSignOut(bool& signed_out_once) {
  if (signed_out_once) return false;
  signed_out_once = true;
  return user_controller_callback != nullptr && user_controller_callback->logout() == 0;
}

void AppController::_setMenuStyle(const QString& style) { detail.setMenuStyle(style); }

void AppController::_notify(const QString& text) {
  QLabel* label = ui->lbNotify;
  QTimer::singleShot(0, label, [label, text] {
    label->setText(text);
    label->show();
    WindowClock::current().after(NOTICE_MS, label, [label] { label->hide(); });
  });
}

int AppController::_loadInstalled(std::vector<InfoAppInstalled>& installeds, int& status) {
  installeds.clear();
  KavixReply reply;
  // The service lists the snaps first: tens of milliseconds with many.
  if (api == nullptr || waitOffThread([&] { return api->getListInstalleds(&reply); }) != 0)
    return 1;
  status = reply.status;
  if (reply.status != nelt::REPLY_OK) return -1;
  // A reply that is no installed list shows as an empty one.
  nelt::readInstalledList(reply.doc, installeds);
  return 0;
}

void AppController::_showListPage() {
  if (id_pages != nullptr) *id_pages = NO_MENU_PAGE;
  ui->buttonAll->setStyleSheet(styleDefaultButton);
  page_prev = ui->pageListApps;
  ui->pages->setCurrentWidget(ui->pageListApps);
}

// --------------------------------------------------------------- home page

void AppController::switchRefreshFlag() { flag_refresh = !flag_refresh; }

void AppController::refreshHomeView() {
  page_prev = ui->pageAll;
  if (!flag_refresh) return;
  if (!_runBuild(building_home, pending_home, &AppController::_refreshHomeView)) return;
  flag_refresh = false;
  emit homeRefreshed();
}

int AppController::_refreshHomeView() {
  ++home_generation;
  ui->pageAll->setBannerLocal(iconPath("./icon/banner_default.png"));
  strips.clear(ui->pageAll->ui);
  return strips.build(
      api, ui->pageAll->ui, this, [this] { onSectionDetailView(); }, [this] { onAppDetailView(); });
}

// ------------------------------------------------ installed and updates pages

void AppController::refreshInstalledListView() {
  if (_runBuild(building_installed, pending_installed, &AppController::_refreshInstalledListView))
    emit installedRefreshed();
}

void AppController::refreshUpdateListView() {
  if (_runBuild(building_updates, pending_updates, &AppController::_refreshUpdateListView))
    emit updatesRefreshed();
}

int AppController::_refreshInstalledListView() { return _refreshInstalledPage(false); }

int AppController::_refreshUpdateListView() { return _refreshInstalledPage(true); }

int AppController::_refreshInstalledPage(bool update_page) {
  (update_page ? updates_page_built : installed_page_built) = true;
  ListAppsView* page = update_page ? ui->pageUpdates : ui->pageInstalled;
  ListPageBuilder::clear(page, !update_page);
  std::vector<InfoAppInstalled> all;
  if (update_page) {
    catalog.clearUpdates();
  } else {
    catalog.clearInstalled();
  }

  int status = 0;
  const int loaded = _loadInstalled(update_page ? all : catalog.records, status);
  if (loaded > 0) return RUN_DONE;
  if (loaded < 0) return status == nelt::REPLY_TOKEN_INVALID ? RUN_AGAIN : RUN_DONE;
  std::vector<InfoAppInstalled> records;
  for (const InfoAppInstalled& r : all) {
    if (!r.slug.empty() && r.update == 1) records.push_back(r);
  }
  if (update_page) {
    catalog.num_updates = static_cast<int>(records.size());
  } else {
    catalog.num_installeds = static_cast<int>(catalog.records.size());
  }

  int shown = 0;
  // A copy: a nested refresh may read the installed list again meanwhile.
  const std::vector<InfoAppInstalled> listed = update_page ? records : catalog.records;
  if (lists.fillInstalled(api, page, listed, update_page, shown, catalog) == RUN_AGAIN)
    return RUN_AGAIN;
  const QString title = update_page ? QString("Danh sách ứng dụng cập nhật (%1)")
                                    : QString("Danh sách ứng dụng đã cài đặt (%1)");
  page->ui->label->setText(title.arg(shown));
  if (update_page) ListPageBuilder::showUpToDate(page, up_to_date, shown == 0);
  return RUN_DONE;
}

// ------------------------------------------------- search and section lists

void AppController::refreshListView() { _runList(LIST_SEARCH); }

// Search results and section lists share the list page: the request made
// last wins when one arrives while the page is being built.
void AppController::_runList(int kind) {
  pending_list = kind;
  if (building_list) return;
  building_list = true;
  bool signed_out_once = false;
  while (pending_list != LIST_NONE) {
    const int current = pending_list;
    pending_list = LIST_NONE;
    const int r = current == LIST_SEARCH ? _refreshListView() : _refreshSectionView();
    if (r == RUN_AGAIN && _retryAfterSignOut(signed_out_once) && pending_list == LIST_NONE) {
      pending_list = current;
    }
  }
  building_list = false;
  emit listRefreshed();
}

// Shows the list page emptied and reads the installed list that decides the
// tiles' buttons. False when the build ends here with `result`.
bool AppController::_startList(bool detach, std::vector<InfoAppInstalled>& installeds,
                               int& result) {
  _showListPage();
  ListPageBuilder::clear(ui->pageListApps, detach);
  int status = 0;
  if (_loadInstalled(installeds, status) >= 0) return true;
  result = status == nelt::REPLY_TOKEN_INVALID ? RUN_AGAIN : RUN_DONE;
  return false;
}

int AppController::_refreshListView() {
  ListAppsView* page = ui->pageListApps;
  std::vector<InfoAppInstalled> installeds;
  int result = RUN_DONE;
  if (!_startList(false, installeds, result)) return result;
  return lists.fillSearch(api, page, ui->textEditSearch->text(), installeds);
}

void AppController::onSectionDetailView() {
  // "name&number"; the name may itself hold "&", the number is what follows
  // the last one. Anything else is ignored.
  const std::string current = KAVIX_SECTION_CURRENT;
  const size_t amp = current.rfind('&');
  if (amp == std::string::npos) return;
  int id = 0;
  if (!parseSectionId(current.substr(amp + 1), id)) return;
  section_name = current.substr(0, amp);
  id_section_current = id;
  _runList(LIST_SECTION);
}

int AppController::_refreshSectionView() {
  ListAppsView* page = ui->pageListApps;
  std::vector<InfoAppInstalled> installeds;
  int result = RUN_DONE;
  if (!_startList(true, installeds, result)) return result;

  return lists.fillSection(api, page, id_section_current, section_name, installeds,
                           [this](bool unreachable) {
                             _notify(QString("Open sections %1 failed!").arg(id_section_current));
                             if (!unreachable) ui->pages->setCurrentWidget(ui->pageAll);
                           });
}

// ---------------------------------------------------------- tile actions

void AppController::getAppCurrent(int& id, std::string& name) {
  if (KAVIX_APP_CURRENT.empty()) return;
  const std::string current = KAVIX_APP_CURRENT;
  KAVIX_APP_CURRENT = "";
  const size_t amp = current.find('&');
  if (amp == std::string::npos) return;
  if (current.find_first_not_of('&') == std::string::npos) return;
  const std::string number = current.substr(0, amp);
  id = std::atoi(number.c_str());
  name = current.substr(amp + 1);
}

void AppController::onInstall() {
  int id = 0;
  std::string name;
  getAppCurrent(id, name);
  name_app_detail_current = name;
  _startInstall(false);
}

// The tiles' Update, Remove and Launch buttons only take the pressed
// application out of KAVIX_APP_CURRENT; the detail page acts on it.
void AppController::onUpdate() {
  int id = 0;
  std::string name;
  getAppCurrent(id, name);
}

void AppController::onRemove() { onUpdate(); }

void AppController::onLaunch() { onUpdate(); }

void AppController::onPrevPage() {
  detail.clearReason();
  if (page_prev != nullptr) ui->pages->setCurrentWidget(page_prev);
  // Back on the tile the detail page was opened from, when it is still there.
  if (opened_from != nullptr && opened_from->isVisible()) {
    opened_from->setFocus(Qt::OtherFocusReason);
    return;
  }
  _focusPage(ui->pages->currentWidget());
}

// The keyboard stays on the page shown: a page switched away under the
// focused widget would leave the focus nowhere visible.
void AppController::_focusPage(QWidget* page) {
  QWidget* focused = QApplication::focusWidget();
  if (page == nullptr) return;
  if (page == ui->pageDetail) {
    // A freshly filled detail page offers its main action first.
    Ui_AppDetailView* form = ui->pageDetail->ui;
    const bool on_action = focused != nullptr && focused->isVisible() && focused->isEnabled() &&
                           focused->parentWidget() == form->frame && focused != form->buttonBack;
    if (on_action) return;
    for (QWidget* w :
         {static_cast<QWidget*>(form->buttonInstall), static_cast<QWidget*>(form->buttonLaunch),
          static_cast<QWidget*>(form->buttonUpdate), static_cast<QWidget*>(form->buttonBack)}) {
      if (w->isVisible() && w->isEnabled()) {
        w->setFocus(Qt::OtherFocusReason);
        return;
      }
    }
  }
  if (focused != nullptr && page->isAncestorOf(focused) && focused->isVisible()) return;
  // The first widget of the page that takes Tab.
  for (QWidget* w = page->nextInFocusChain(); w != page && w != nullptr;
       w = w->nextInFocusChain()) {
    if (page->isAncestorOf(w) && w->isVisible() && w->isEnabled() &&
        (w->focusPolicy() & Qt::TabFocus)) {
      w->setFocus(Qt::OtherFocusReason);
      return;
    }
  }
}

// ------------------------------------------------------------- detail page

void AppController::onAppDetailView() {
  ui->pageDetail->ui->label_url->hide();
  _setMenuStyle(QString(MENU_STYLE).arg("#efefef", "#000000"));
  int id = 0;
  std::string name;
  getAppCurrent(id, name);
  // A tile without a slug names no application.
  if (name.empty()) return;
  // The tile (or its button) the keyboard opened the page from, on one of
  // the pages the back button returns to.
  QWidget* focused = QApplication::focusWidget();
  opened_from = nullptr;
  for (QWidget* listing :
       {static_cast<QWidget*>(ui->pageAll), static_cast<QWidget*>(ui->pageListApps),
        static_cast<QWidget*>(ui->pageInstalled), static_cast<QWidget*>(ui->pageUpdates)}) {
    if (focused != nullptr && listing->isAncestorOf(focused)) opened_from = focused;
  }
  name_app_detail_current = name;

  std::printf("%s\n", name.c_str());
  std::fflush(stdout);
  const CatalogState::Installed* installed = nullptr;
  for (const CatalogState::Installed& shown : catalog.shownInstalled()) {
    qDebug() << qstr(shown.slug);
    if (shown.slug == name) {
      installed = &shown;
      break;
    }
  }
  if (installed == nullptr) {
    refreshDetailView(name, name == install.installingName() ? TYPE_INSTALLING : TYPE_DEFAULT);
    return;
  }
  version_current = installed->ver_cur;
  version_new = installed->ver_new;
  refreshDetailView(name, catalog.hasUpdate(name) ? TYPE_UPDATE : TYPE_INSTALLED);
}

void AppController::refreshDetailView(std::string name, TYPE_APP type) {
  if (id_pages != nullptr) *id_pages = NO_MENU_PAGE;
  if (type == TYPE_UNKNOW) {
    KAVIX_APP_CURRENT = "null&" + name;
    onAppDetailView();
    return;
  }
  // Filling the page downloads the icon and screenshots in nested event
  // loops; a request made meanwhile (a click, the end of an install) is
  // served when the fill ends, the latest one winning.
  pending_detail_name = name;
  pending_detail_type = type;
  pending_detail = true;
  if (building_detail) return;
  building_detail = true;
  bool signed_out_once = false;
  while (pending_detail) {
    pending_detail = false;
    const std::string current = pending_detail_name;
    const TYPE_APP current_type = pending_detail_type;
    if (_fillDetail(current, current_type) == RUN_AGAIN && _retryAfterSignOut(signed_out_once) &&
        !pending_detail) {
      pending_detail = true;
      pending_detail_name = current;
      pending_detail_type = current_type;
    }
  }
  building_detail = false;
  if (ui->pages->currentWidget() == ui->pageDetail) _focusPage(ui->pageDetail);
  emit detailRefreshed();
}

void AppController::_applyPreset(const std::string& name, TYPE_APP type) {
  detail.applyPreset(type);
  if (type == TYPE_INSTALLING) {
    setStateDetailInstall(install.per_download);
    name_app_detail_current = name;
  }
}

int AppController::_fillDetail(const std::string& name, TYPE_APP type) {
  _applyPreset(name, type);
  detail.clearReason();
  detail.clear();
  return detail.fill(api, name, type, version_current, version_new, size_app_current, [&] {
    _notify(QString("Lỗi mở ứng dụng %1!").arg(qstr(name)));
    ui->pages->setCurrentWidget(ui->pageAll);
    page_prev = ui->pageListApps;
  });
}

void AppController::onDisplayWallpaper() { detail.showPressedScreenshot(); }

int AppController::estimateLines(const QString& text, int width) {
  return DetailPage::estimateLines(text, width);
}

// ------------------------------------------------------ install following

void AppController::onInstallDetail() {
  detail.clearReason();
  _startInstall(false);
}

void AppController::onUpdateDetail() {
  detail.clearReason();
  _startInstall(true);
}

void AppController::_startInstall(bool update) { install.start(update); }

void AppController::continueInstall(const QString& slug) {
  const std::string name = slug.toStdString();
  // The person sees that the sign-in worked on the page they come back to.
  _notify(QString::fromUtf8("Đăng nhập thành công"));
  refreshDetailView(name, TYPE_UNKNOW);
  if (name_app_detail_current != name || !install.installingName().empty()) return;
  if (ui->pageDetail->ui->buttonInstall->isHidden()) return;  // installed meanwhile
  _startInstall(false);
}

void AppController::onInstallTimer() { install.poll(); }

void AppController::setStateDetailInstall(int state) { install.showState(state); }

void AppController::_installDone(const std::string& slug, bool shown) {
  refreshInstalledListView();
  refreshUpdateListView();
  // Another page is on screen: it stays; the lists above now know the
  // application as installed for when its page is opened.
  if (!shown) return;
  // The version shown is the one of this application as now installed.
  for (const InfoAppInstalled& record : catalog.records) {
    if (record.slug == slug) {
      version_current = record.ver_cur;
      version_new = record.ver_new;
      break;
    }
  }
  refreshDetailView(slug, TYPE_INSTALLED);
}

// --------------------------------------------------------- remove, launch

void AppController::onRemoveDetail() {
  detail.clearReason();
  install.remove();
}

void AppController::_removeDone(const std::string& slug, bool same_page) {
  refreshInstalledListView();
  refreshUpdateListView();
  if (same_page) {
    ui->pageDetail->ui->label_url->hide();
    _setMenuStyle(QString(MENU_STYLE).arg("#efefef", "#000000"));
    refreshDetailView(slug, TYPE_DEFAULT);
  }
}

void AppController::onLaunchDetail() {
  detail.clearReason();
  install.launch();
}
