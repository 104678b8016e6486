#include "app_controller.h"

#include <rapidjson/document.h>

#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <limits>

#include "account_view.h"
#include "app_detail_view.h"
#include "frame_item_h.h"
#include "frame_item_v.h"
#include "home_view.h"
#include "icon_path.h"
#include "kavix_api.h"
#include "kavix_model.h"
#include "list_apps_view.h"
#include "main_window.h"
#include "section_frame.h"
#include "store_globals.h"
#include "twidget.h"
#include "ui_app_detail_view.h"
#include "ui_home_view.h"
#include "ui_list_apps_view.h"
#include "ui_main_window.h"
#include "user_controller.h"

using nelt::window::KAVIX_APP_CURRENT;
using nelt::window::KAVIX_SECTION_CURRENT;
using nelt::window::setCurrentInstall;

using rapidjson::Value;

namespace {

constexpr int MAX_HOME_TILES = 8;
constexpr int MAX_SCREENSHOTS = 4;
constexpr int NO_MENU_PAGE = 65535;
const char* const MENU_STYLE = "background-color: %1; color: %2";

// Members are read only when they have the expected type: a reply of another
// shape leaves the field as if the member were missing.
const Value* member(const Value& obj, const char* key) {
  if (!obj.IsObject()) return nullptr;
  auto it = obj.FindMember(key);
  return it == obj.MemberEnd() ? nullptr : &it->value;
}

bool getStr(const Value& obj, const char* key, std::string& out) {
  const Value* v = member(obj, key);
  if (v == nullptr || !v->IsString()) return false;
  out.assign(v->GetString(), v->GetStringLength());
  return true;
}

QString qstr(const std::string& s) { return QString::fromStdString(s); }

bool getInt(const Value& obj, const char* key, int& out) {
  const Value* v = member(obj, key);
  if (v == nullptr || !v->IsInt()) return false;
  out = v->GetInt();
  return true;
}

// Number of usable entries of a list reply: "total" bounded by the size of
// the "data" array. False when the reply does not have that shape.
bool listShape(const Value& doc, const Value*& data, int& count) {
  data = nullptr;
  count = 0;
  int total = 0;
  if (!getInt(doc, "total", total) || total < 0) return false;
  const Value* d = member(doc, "data");
  if (d == nullptr || !d->IsArray()) return false;
  data = d;
  count = std::min<long long>(total, d->Size());
  return true;
}

// The icon reference of an entry ("images" → "icon").
bool iconOf(const Value& entry, QString& icon) {
  const Value* images = member(entry, "images");
  std::string ref;
  if (images == nullptr || !getStr(*images, "icon", ref)) return false;
  icon = qstr(ref);
  return true;
}

// A decimal section number: digits only, within int.
bool parseSectionId(const std::string& text, int& id) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  id = std::stoi(text);
  return true;
}

void trace(int line, const char* what, const char* name) {
  std::printf("%d %s%s\n", line, what, name);
  std::fflush(stdout);
}

}  // namespace

AppController::AppController() : model(new KavixModel), lb_newversion(new TLabel) {
  name_app_installing_current = "";
  // The label joins the detail page and may go with the window first.
  connect(lb_newversion, &QObject::destroyed, this, [this] { lb_newversion = nullptr; });
}

AppController::~AppController() {
  // The engine call of a remove or launch may still run; it uses the engine.
  if (engine_thread.joinable()) engine_thread.join();
  delete lb_newversion;
  delete model;
}

void AppController::setOBJECT(Ui_MainWindow* ui_main, KavixAPI* api_i, int* pages) {
  ui = ui_main;
  ui_detail = ui->pageDetail->ui;
  ui_home = ui->pageAll->ui;
  ui_listapp = ui->pageListApps->ui;
  ui_listinstalled = ui->pageInstalled->ui;
  ui_listupdate = ui->pageUpdates->ui;
  api = api_i;
  model->api = api_i;
  id_pages = pages;
}

void AppController::control() {
  timer_refresh = new QTimer(this);
  connect(timer_refresh, &QTimer::timeout, this, &AppController::switchRefreshFlag);
  timer_install = new QTimer(this);
  connect(timer_install, &QTimer::timeout, this, &AppController::onInstallTimer);

  connect(ui_detail->buttonLaunch, &QPushButton::clicked, this, &AppController::onLaunchDetail);
  connect(ui_detail->buttonInstall, &QPushButton::clicked, this, &AppController::onInstallDetail);
  connect(ui_detail->buttonRemove, &QPushButton::clicked, this, &AppController::onRemoveDetail);
  connect(ui_detail->buttonUpdate, &QPushButton::clicked, this, &AppController::onUpdateDetail);
  connect(ui_detail->buttonBack, &QPushButton::clicked, this, &AppController::onPrevPage);

  timer_refresh->start(100000);

  refreshInstalledListView();
  refreshUpdateListView();

  size_frame_detail = ui_detail->scrollArea->height();
  lb_newversion->setAlignment(Qt::AlignCenter);
  lb_newversion->setMinimumWidth(ui_detail->nameapp->width());
  lb_newversion->setStyleSheet("color: #28c904");
  lb_newversion->setTextFormat(Qt::PlainText);
  lb_newversion->setText("");
  ui_detail->verticalLayoutName->addWidget(lb_newversion);

  ui_home->horizontalLayout_2->setAlignment(Qt::AlignCenter);
}

// ------------------------------------------------------------ shared parts

// A page build runs at most once at a time. A request that arrives while the
// page is being built (an image download waits in a nested event loop, so
// timers and clicks are served meanwhile) is remembered and served once the
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

void AppController::_setMenuStyle(const QString& style) {
  ui->buttonAll->setStyleSheet(style);
  ui->buttonInstalled->setStyleSheet(style);
  ui->buttonUpdates->setStyleSheet(style);
  ui->buttonAccount->setStyleSheet(style);
  ui->buttonSetting->setStyleSheet(style);
}

void AppController::_notify(const QString& text) {
  QLabel* label = ui->lbNotify;
  QTimer::singleShot(0, label, [label, text] {
    label->setText(displayText(text));
    label->show();
    QTimer::singleShot(2000, label, [label] { label->hide(); });
  });
}

void AppController::_clearListPage(ListAppsView* page, bool detach) {
  QVBoxLayout* layout = page->ui->verticalLayout;
  for (FrameItemV* tile : page->apps) {
    if (tile == nullptr) continue;
    layout->removeWidget(tile);
    tile->close();
    if (detach) tile->setParent(nullptr);
    // Later: the tile may be the sender of the signal being handled.
    tile->deleteLater();
  }
  // Anything else left in the list goes too.
  while (QLayoutItem* item = layout->takeAt(0)) {
    if (QWidget* w = item->widget()) {
      w->close();
      w->deleteLater();
    }
    delete item;
  }
  page->apps.clear();
  page->num_apps = 0;
}

void AppController::_clearSections() {
  QVBoxLayout* layout = ui_home->verticalLayoutSections_2;
  for (SectionFrame* strip : sections) {
    layout->removeWidget(strip);
    strip->close();
    strip->deleteLater();
  }
  sections.clear();
  num_secs = 0;
}

int AppController::_loadInstalled(std::vector<InfoAppInstalled>& installeds, int& status) {
  installeds.clear();
  KavixReply reply;
  if (api == nullptr || api->getListInstalleds(&reply) != 0) return 1;
  status = reply.status;
  if (reply.status != 200) return -1;
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

// Fills one result tile of the search or section list and offers the
// buttons that fit whether the application is installed.
void AppController::_fillResultTile(FrameItemV* tile, const Value& entry, bool desc_in_version,
                                    const std::vector<InfoAppInstalled>& installeds) {
  tile->setSize(890, 130);
  std::string slug;
  getStr(entry, "slug", slug);
  std::string text;
  int id = 0;
  if (getInt(entry, "id", id)) tile->setID(id);
  if (getStr(entry, "name", text)) tile->setName(qstr(text), qstr(slug));
  if (getStr(entry, "currentVersion", text)) tile->setVersion(qstr(text));
  const Value* desc_holder = desc_in_version ? member(entry, "data_version") : &entry;
  if (desc_holder != nullptr && getStr(*desc_holder, "shortDescription", text)) {
    tile->setDesc(qstr(text));
  }
  auto found = std::find_if(installeds.begin(), installeds.end(),
                            [&](const InfoAppInstalled& r) { return r.slug == slug; });
  if (found != installeds.end()) {
    tile->useButton("Launch");
    tile->useButton("Remove");
    tile->setVersion(qstr(found->ver_cur));
    if (found->update == 1) tile->setNewVersion(qstr(found->ver_new));
    connect(tile->bt_Launch, &QPushButton::clicked, this, &AppController::onLaunch);
    connect(tile->bt_Remove, &QPushButton::clicked, this, &AppController::onRemove);
  } else {
    tile->useButton("Install");
    connect(tile->bt_Install, &QPushButton::clicked, this, &AppController::onInstall);
  }
  connect(tile, &FrameItemV::clickLeft, this, &AppController::onAppDetailView);
  QString icon;
  // Last: the download waits in a nested event loop.
  if (iconOf(entry, icon)) tile->setIcon(icon);
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
  ui->pageAll->setBannerLocal(iconPath("./icon/banner_default.png"));
  _clearSections();

  KavixReply reply;
  if (api == nullptr || api->getListSections(&reply) != 0) return RUN_DONE;
  if (reply.status == 8001) return RUN_AGAIN;
  if (reply.status != 200) return RUN_DONE;
  const Value* data = nullptr;
  int count = 0;
  if (!listShape(reply.doc, data, count)) return RUN_DONE;
  num_secs = count;

  QVBoxLayout* layout = ui_home->verticalLayoutSections_2;
  for (int i = 0; i < count; ++i) {
    const Value& entry = (*data)[static_cast<rapidjson::SizeType>(i)];
    auto* strip = new SectionFrame();
    std::string name;
    if (getStr(entry, "name", name)) strip->init(990, 200, qstr(name));
    strip->resizeItemLayout(980, 180);
    int id = 0;
    if (getInt(entry, "id", id)) strip->setID(id);
    connect(strip->lb_more, &TCommandLinkButton::clickMore, this,
            &AppController::onSectionDetailView);
    layout->addWidget(strip);
    sections.push_back(strip);
  }

  // Copy: a strip taken off by a nested refresh must not be touched.
  std::vector<QPointer<SectionFrame>> strips(sections.begin(), sections.end());
  for (const QPointer<SectionFrame>& strip : strips) {
    if (strip.isNull()) continue;
    KavixReply apps;
    // A section whose request fails keeps an empty strip.
    if (api->getListApps(strip->getID(), &apps) != 0) continue;
    if (apps.status == 8001) return RUN_AGAIN;
    if (apps.status != 200) continue;
    const Value* list = nullptr;
    int total = 0;
    if (!listShape(apps.doc, list, total)) continue;
    const int shown = std::min(total, MAX_HOME_TILES);
    for (int j = 0; j < shown && !strip.isNull(); ++j) {
      const Value& entry = (*list)[static_cast<rapidjson::SizeType>(j)];
      auto* tile = new FrameItemH();
      tile->setSize(113, 150);
      int id = 0;
      if (getInt(entry, "id", id)) tile->setID(id);
      std::string name, slug;
      getStr(entry, "name", name);
      getStr(entry, "slug", slug);
      tile->setName(qstr(name), qstr(slug));
      connect(tile, &FrameItemH::clickLeft, this, &AppController::onAppDetailView);
      strip->apps.push_back(tile);
      strip->addItem(tile);
      QString icon;
      if (iconOf(entry, icon)) tile->setIcon(icon);
    }
  }
  return RUN_DONE;
}

// ---------------------------------------------------------- installed page

void AppController::refreshInstalledListView() {
  if (_runBuild(building_installed, pending_installed, &AppController::_refreshInstalledListView))
    emit installedRefreshed();
}

int AppController::_refreshInstalledListView() {
  ListAppsView* page = ui->pageInstalled;
  _clearListPage(page, true);
  num_installeds = 0;
  installed_records.clear();

  int status = 0;
  const int loaded = _loadInstalled(installed_records, status);
  if (loaded > 0) return RUN_DONE;
  if (loaded < 0) return status == 8001 ? RUN_AGAIN : RUN_DONE;
  num_installeds = static_cast<int>(installed_records.size());

  int shown = 0;
  if (_fillInstalledTiles(page, installed_records, false, shown) == RUN_AGAIN) return RUN_AGAIN;
  ui_listinstalled->label->setText(QString("Danh sách ứng dụng đã cài đặt (%1)").arg(shown));
  return RUN_DONE;
}

// ------------------------------------------------------------ updates page

void AppController::refreshUpdateListView() {
  if (_runBuild(building_updates, pending_updates, &AppController::_refreshUpdateListView))
    emit updatesRefreshed();
}

int AppController::_refreshUpdateListView() {
  ListAppsView* page = ui->pageUpdates;
  _clearListPage(page, false);
  num_updates = 0;

  std::vector<InfoAppInstalled> all;
  int status = 0;
  const int loaded = _loadInstalled(all, status);
  if (loaded > 0) return RUN_DONE;
  if (loaded < 0) return status == 8001 ? RUN_AGAIN : RUN_DONE;
  std::vector<InfoAppInstalled> records;
  for (const InfoAppInstalled& r : all) {
    if (!r.slug.empty() && r.update == 1) records.push_back(r);
  }
  num_updates = static_cast<int>(records.size());

  int shown = 0;
  if (_fillInstalledTiles(page, records, true, shown) == RUN_AGAIN) return RUN_AGAIN;
  ui_listupdate->label->setText(QString("Danh sách ứng dụng cập nhật (%1)").arg(shown));
  return RUN_DONE;
}

// One wide tile per installed application whose detail the store still
// serves: Launch and Remove on the installed page, Update on the updates
// page. RUN_AGAIN when the store revoked the token on the way.
int AppController::_fillInstalledTiles(ListAppsView* page,
                                       const std::vector<InfoAppInstalled>& records,
                                       bool update_page, int& shown) {
  shown = 0;
  for (const InfoAppInstalled& record : records) {
    KavixReply detail;
    if (api->getDetailApp(record.slug, &detail) != 0) continue;
    if (detail.status == 8001) return RUN_AGAIN;
    if (detail.status != 200) continue;
    auto* tile = new FrameItemV();
    tile->setSize(890, 130);
    std::string text;
    if (getStr(detail.doc, "name", text)) tile->setName(qstr(text), qstr(record.slug));
    if (getStr(detail.doc, "shortDescription", text)) tile->setDesc(qstr(text));
    if (update_page) {
      tile->useButton("Update");
    } else {
      tile->useButton("Launch");
      tile->useButton("Remove");
    }
    tile->setVersion(qstr(record.ver_cur));
    if (update_page || record.update == 1) tile->setNewVersion(qstr(record.ver_new));
    page->addItem(tile);
    page->apps.push_back(tile);
    page->num_apps = static_cast<int>(page->apps.size());
    connect(tile, &FrameItemV::clickLeft, this, &AppController::onAppDetailView);
    if (update_page) {
      connect(tile->bt_Update, &QPushButton::clicked, this, &AppController::onUpdate);
    } else {
      connect(tile->bt_Launch, &QPushButton::clicked, this, &AppController::onLaunch);
      connect(tile->bt_Remove, &QPushButton::clicked, this, &AppController::onRemove);
    }
    ++shown;
    QString icon;
    if (iconOf(detail.doc, icon)) tile->setIcon(icon);
  }
  return RUN_DONE;
}

// ---------------------------------------------------------- search results

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

int AppController::_refreshListView() {
  _showListPage();
  ListAppsView* page = ui->pageListApps;
  _clearListPage(page, false);

  std::vector<InfoAppInstalled> installeds;
  int status = 0;
  const int loaded = _loadInstalled(installeds, status);
  if (loaded < 0) return status == 8001 ? RUN_AGAIN : RUN_DONE;

  QString text = ui->textEditSearch->text();
  while (text.contains("  ")) {
    text.replace("  ", " ");
    qDebug() << text;
  }
  const std::string query = (text == " " || text.isEmpty()) ? "@null" : text.toStdString();

  KavixReply reply;
  if (api->searchAll(query, &reply) != 0) return RUN_DONE;
  if (reply.status == 8001) return RUN_AGAIN;
  const Value* data = nullptr;
  int count = 0;
  if (reply.status != 200 || !listShape(reply.doc, data, count)) {
    page->setName(QString("Không tìm thấy ứng dụng liên quan \"%1\" ").arg(text));
    return RUN_DONE;
  }
  page->setName(QString("Danh sách tìm kiếm \"%1\" (%2)").arg(text).arg(count));
  for (int j = 0; j < count; ++j) {
    auto* tile = new FrameItemV();
    page->apps.push_back(tile);
    page->num_apps = static_cast<int>(page->apps.size());
    page->addItem(tile);
    _fillResultTile(tile, (*data)[static_cast<rapidjson::SizeType>(j)], true, installeds);
  }
  return RUN_DONE;
}

// ------------------------------------------------------------ section list

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
  _showListPage();
  ListAppsView* page = ui->pageListApps;
  _clearListPage(page, true);

  std::vector<InfoAppInstalled> installeds;
  int status = 0;
  const int loaded = _loadInstalled(installeds, status);
  if (loaded < 0) return status == 8001 ? RUN_AGAIN : RUN_DONE;

  KavixReply reply;
  const int sent = api->getListApps(id_section_current, &reply);
  if (sent == 0 && reply.status == 8001) return RUN_AGAIN;
  if (sent != 0 || reply.status != 200) {
    _notify(QString("Open sections %1 failed!").arg(id_section_current));
    ui->pages->setCurrentWidget(ui->pageAll);
    return RUN_DONE;
  }
  const Value* data = nullptr;
  int count = 0;
  listShape(reply.doc, data, count);
  page->setName(QString("Danh sách ứng dụng %1 (%2)").arg(qstr(section_name)).arg(count));
  for (int j = 0; j < count; ++j) {
    auto* tile = new FrameItemV();
    page->apps.push_back(tile);
    page->num_apps = static_cast<int>(page->apps.size());
    page->addItem(tile);
    _fillResultTile(tile, (*data)[static_cast<rapidjson::SizeType>(j)], false, installeds);
  }
  return RUN_DONE;
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

void AppController::onUpdate() {
  int id = 0;
  std::string name;
  getAppCurrent(id, name);
}

void AppController::onRemove() {
  int id = 0;
  std::string name;
  getAppCurrent(id, name);
}

void AppController::onLaunch() {
  int id = 0;
  std::string name;
  getAppCurrent(id, name);
}

void AppController::onPrevPage() {
  if (page_prev != nullptr) ui->pages->setCurrentWidget(page_prev);
}

int AppController::_findAppInstalled(std::string slug) {
  std::vector<InfoAppInstalled> installeds;
  int status = 0;
  if (_loadInstalled(installeds, status) != 0) return -1;
  for (const InfoAppInstalled& r : installeds) {
    if (r.slug == slug) return 1;
  }
  return 0;
}

// Common start of an install from a tile or the detail page.
void AppController::_startInstall(bool update) {
  // One install at a time. The engine would hold this call (and the window)
  // until the running job ends; the press is refused instead, as the next
  // poll would show by disabling the button.
  if (!name_app_installing_current.empty()) {
    _enableButton(__LINE__, "buttonInstall", false);
    return;
  }
  setCurrentInstall(name_app_detail_current);
  const int r = model->install(name_app_detail_current, "", 0);
  AccountView* account = ui->pageAccount;
  if (r < 0) {
    qDebug() << "Error install" << qstr(name_app_detail_current);
    account->flag_installing = false;
    setCurrentInstall("");
    return;
  }
  if (r == 9998) {
    qDebug() << "Error non-avai login";
    account->flag_installing = true;
    ui->pages->setCurrentWidget(ui->pageAccount);
    return;
  }
  account->flag_installing = false;
  if (update) {
    _enableButton(__LINE__, "buttonLaunch", false);
    _enableButton(__LINE__, "buttonRemove", false);
    _enableButton(__LINE__, "buttonUpdate", false);
  } else {
    _enableButton(__LINE__, "buttonInstall", false);
  }
  ui_detail->progressBar->setValue(0);
  ui_detail->progressBar->show();
  ui_detail->label_state->hide();
  name_app_installing_current = name_app_detail_current;
  installing_update = update;
  per_download = 0;
  timer_install->start(1000);
}

// ------------------------------------------------------------- detail page

void AppController::_enableButton(int line, const char* name, bool on) {
  TPushButton* button = nullptr;
  const std::string which = name;
  if (which == "buttonInstall") {
    button = ui_detail->buttonInstall;
  } else if (which == "buttonLaunch") {
    button = ui_detail->buttonLaunch;
  } else if (which == "buttonRemove") {
    button = ui_detail->buttonRemove;
  } else if (which == "buttonUpdate") {
    button = ui_detail->buttonUpdate;
  }
  if (button == nullptr) return;
  button->enable(on);
  trace(line, on ? "ENABLE: " : "DISABLE: ", name);
}

void AppController::_stateLabel(const QString& text, const QString& color) {
  ++state_label_shown;
  ui_detail->label_state->setText(text);
  ui_detail->label_state->setStyleSheet(QString("color : %1").arg(color));
  ui_detail->label_state->show();
}

// A result label: painted on the next turn of the event loop, hidden two
// seconds later unless a newer text has taken the label meanwhile.
void AppController::_resultLabel(const QString& text, const QString& color) {
  QLabel* label = ui_detail->label_state;
  QTimer::singleShot(0, label, [this, label, text, color] {
    _stateLabel(text, color);
    const int shown = state_label_shown;
    QTimer::singleShot(2000, label, [this, label, shown] {
      if (shown == state_label_shown) label->hide();
    });
  });
}

void AppController::onAppDetailView() {
  ui_detail->label_url->hide();
  _setMenuStyle(QString(MENU_STYLE).arg("#efefef", "#000000"));
  int id = 0;
  std::string name;
  getAppCurrent(id, name);
  // A tile without a slug names no application.
  if (name.empty()) return;
  id_app_detail_current = id;
  name_app_detail_current = name;

  std::printf("%s\n", name.c_str());
  std::fflush(stdout);
  const FrameItemV* installed = nullptr;
  const std::vector<FrameItemV*>& tiles = ui->pageInstalled->apps;
  const size_t n_installed = std::min<size_t>(std::max(num_installeds, 0), tiles.size());
  for (size_t i = 0; i < n_installed; ++i) {
    if (tiles[i] == nullptr) continue;
    qDebug() << qstr(tiles[i]->getName());
    if (tiles[i]->getName() == name) {
      installed = tiles[i];
      break;
    }
  }
  if (installed == nullptr) {
    refreshDetailView(name, name == name_app_installing_current ? TYPE_INSTALLING : TYPE_DEFAULT);
    return;
  }
  version_current = installed->getCurVer();
  version_new = installed->getNewVer();
  const std::vector<FrameItemV*>& updates = ui->pageUpdates->apps;
  const size_t n_updates = std::min<size_t>(std::max(num_updates, 0), updates.size());
  bool has_update = false;
  for (size_t i = 0; i < n_updates; ++i) {
    if (updates[i] != nullptr && updates[i]->getName() == name) {
      has_update = true;
      break;
    }
  }
  refreshDetailView(name, has_update ? TYPE_UPDATE : TYPE_INSTALLED);
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
  emit detailRefreshed();
}

void AppController::_applyPreset(const std::string& name, TYPE_APP type) {
  switch (type) {
    case TYPE_DEFAULT:
      ui_detail->buttonLaunch->hide();
      _enableButton(__LINE__, "buttonRemove", false);
      _enableButton(__LINE__, "buttonUpdate", false);
      ui_detail->buttonInstall->show();
      _enableButton(__LINE__, "buttonInstall", true);
      ui_detail->progressBar->hide();
      ui_detail->label_state->hide();
      break;
    case TYPE_INSTALLED:
    case TYPE_UPDATE:
      ui_detail->buttonLaunch->show();
      _enableButton(__LINE__, "buttonLaunch", true);
      _enableButton(__LINE__, "buttonRemove", true);
      _enableButton(__LINE__, "buttonUpdate", type == TYPE_UPDATE);
      ui_detail->buttonInstall->hide();
      ui_detail->progressBar->hide();
      ui_detail->label_state->hide();
      break;
    case TYPE_INSTALLING:
      ui_detail->buttonLaunch->hide();
      _enableButton(__LINE__, "buttonRemove", false);
      _enableButton(__LINE__, "buttonUpdate", false);
      ui_detail->buttonInstall->show();
      _enableButton(__LINE__, "buttonInstall", false);
      ui_detail->progressBar->show();
      ui_detail->label_state->hide();
      setStateDetailInstall(per_download);
      name_app_detail_current = name;
      break;
    default:
      break;
  }
}

int AppController::_fillDetail(const std::string& name, TYPE_APP type) {
  _applyPreset(name, type);
  _cleanDetailPage();

  KavixReply reply;
  if (api == nullptr || api->getDetailApp(name, &reply) != 0) return RUN_DONE;
  if (reply.status == 8001) return RUN_AGAIN;
  if (reply.status != 200) {
    _notify(QString("Lỗi mở ứng dụng %1!").arg(qstr(name)));
    ui->pages->setCurrentWidget(ui->pageAll);
    page_prev = ui->pageListApps;
  }
  const Value& doc = reply.doc;

  std::string text;
  const QString desc =
      getStr(doc, "longDescription", text) ? displayText(qstr(text), true) : QString();
  _calculateSizeDesc(desc);
  const Value* rank = member(doc, "rankAvg");
  ui->pageDetail->setRating(rank != nullptr && rank->IsNumber() ? rank->GetDouble() : 0.0);
  if (getStr(doc, "name", text)) {
    _calculateSizeName(displayText(qstr(text)));
    ui_detail->nameapp->setText(displayText(qstr(text)));
  }
  if (type == TYPE_INSTALLED) {
    ui_detail->version->setText(displayText(qstr(version_current)));
    std::printf("Current Version3: %s\n", version_current.c_str());
    lb_newversion->setText("");
  } else if (type == TYPE_UPDATE) {
    ui_detail->version->setText(displayText(qstr(version_current)));
    std::printf("Current Version2: %s\n", version_current.c_str());
    lb_newversion->setText(QString("Có phiên bản mới\n%1").arg(displayText(qstr(version_new))));
    std::printf("New Version2: %s\n", version_new.c_str());
  } else {
    if (getStr(doc, "currentVersion", text)) {
      ui_detail->version->setText(displayText(qstr(text)));
      std::printf("Current Version1: %s\n", text.c_str());
    }
    lb_newversion->setText("");
  }
  std::fflush(stdout);
  ui_detail->description->setText(desc);
  const Value* size = member(doc, "size");
  if (size != nullptr && size->IsNumber()) size_app_current = size->GetDouble();

  const Value* images = member(doc, "images");
  if (images != nullptr) {
    QString icon;
    if (iconOf(doc, icon)) ui->pageDetail->setIcon(icon);
    const Value* shots = member(*images, "screenshot");
    if (shots != nullptr && shots->IsArray()) _showScreenshots(*shots);
  }
  return RUN_DONE;
}

void AppController::_showScreenshots(const Value& shots) {
  QStringList refs;
  for (const Value& shot : shots.GetArray()) {
    if (shot.IsString()) refs << QString::fromUtf8(shot.GetString(), shot.GetStringLength());
    // Only the first four are shown: nothing more is downloaded.
    if (refs.size() == MAX_SCREENSHOTS) break;
  }
  AppDetailView* page = ui->pageDetail;
  for (const QString& ref : refs) {
    auto* thumb = new TWallpapperWidget();
    thumb->setSize(140, 80);
    page->wallpapers.push_back(thumb);
    ui_detail->horizontalLayout_2->addWidget(thumb);
    connect(thumb, &TLabel::clickLeftUp, this, &AppController::onDisplayWallpaper);
    thumb->setWallpaper(ref);
  }
  if (!page->wallpapers.empty()) {
    TWallpapperWidget* first = page->wallpapers.front();
    page->setWallpaper(first->getWallpaper());
    first->setStyleSheet("border: 3px solid #75FF08");
  }
}

void AppController::onDisplayWallpaper() {
  AppDetailView* page = ui->pageDetail;
  for (TWallpapperWidget* thumb : page->wallpapers) {
    thumb->setStyleSheet("border: 2px solid white;");
    if (thumb->event) {
      thumb->setStyleSheet("border: 3px solid #75FF08");
      page->setWallpaper(thumb->getWallpaper());
    }
  }
}

void AppController::_cleanDetailPage() {
  AppDetailView* page = ui->pageDetail;
  for (TWallpapperWidget* thumb : page->wallpapers) {
    ui_detail->horizontalLayout_2->removeWidget(thumb);
    thumb->setParent(nullptr);
    thumb->close();
    // Later: a thumbnail can be the sender of the release being handled.
    thumb->deleteLater();
  }
  page->wallpapers.clear();
  ui_detail->horizontalLayout_2->setAlignment(Qt::AlignTop);

  _setMenuStyle(styleDefaultButton);
  ui->pages->setCurrentWidget(ui->pageDetail);

  ui_detail->nameapp->setText("");
  ui_detail->version->setText("");
  ui_detail->description->setText("");
  ui_detail->description->setFixedHeight(100);
  // A description longer than its estimate runs off the bottom, never up
  // under its heading.
  ui_detail->description->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  ui_detail->frameall->setFixedHeight(size_frame_detail);
  ui_detail->verticalLayoutDesc->setAlignment(Qt::AlignTop);
  ui_detail->scrollArea->setAlignment(Qt::AlignTop);
  ui_detail->icon->setPixmap(QPixmap());
  ui_detail->wallpaper->setPixmap(QPixmap());
}

int AppController::estimateLines(const QString& text, int width) {
  int lines = 0;
  int run = 0;
  const int n = text.size();
  for (int i = 0; i < n; ++i) {
    ++run;
    if (text[i] == '\n') {
      lines += 1;
      const int e = run / width;
      if (e > 0) lines += e - 1;
      run = 0;
    }
    if (i == n - 1) {
      lines += 1;
      const int e = run / width;
      if (e > 0) lines += e + 1;
      run = 0;
    }
  }
  return lines;
}

void AppController::_calculateSizeDesc(QString text) {
  const int h = 18 * estimateLines(text, 70);
  if (h > 100) {
    ui_detail->description->setFixedHeight(h);
    ui_detail->frameall->setFixedHeight(h + size_frame_detail - 100);
  }
}

void AppController::_calculateSizeName(QString text) {
  // 21 pixels a line suits a compact font; taller ones (Noto, DejaVu) need
  // their own line height or the last line loses its lower part.
  const int line = qMax(21, lineHeight(ui_detail->nameapp));
  const int h = line * estimateLines(text, 14);
  ui_detail->nameapp->setFixedHeight(h >= 31 ? h : 30);
}

void AppController::_setDefaultStateButtonDetail() {
  is_enbInstall = ui_detail->buttonInstall->isEnabled();
  is_enbLaunch = ui_detail->buttonLaunch->isEnabled();
  is_enbUpdate = ui_detail->buttonUpdate->isEnabled();
  is_enbRemove = ui_detail->buttonRemove->isEnabled();
}

void AppController::_getDefaultStateButtonDetail() {
  ui_detail->buttonInstall->enable(is_enbInstall);
  ui_detail->buttonLaunch->enable(is_enbLaunch);
  ui_detail->buttonUpdate->enable(is_enbUpdate);
  ui_detail->buttonRemove->enable(is_enbRemove);
}

// ------------------------------------------------------ install following

void AppController::onInstallDetail() { _startInstall(false); }

void AppController::onUpdateDetail() { _startInstall(true); }

void AppController::onInstallTimer() {
  per_download = model->getStateInstall();
  setStateDetailInstall(per_download);
  // Another install of this application by the same user holds the job.
  const std::string waiting = model->statusText();
  if (!waiting.empty() && name_app_detail_current == name_app_installing_current)
    _stateLabel(QString::fromStdString(waiting), "green");
  else if (ui_detail->label_state->text().startsWith("waiting for another install"))
    ui_detail->label_state->hide();
}

void AppController::setStateDetailInstall(int state) {
  if (name_app_detail_current != name_app_installing_current) {
    // One install at a time.
    _enableButton(__LINE__, "buttonInstall", false);
    return;
  }
  if (state < 0 || state == 101) {
    timer_install->stop();
    size_app_installing = 0;
    name_app_installing_current = "";
    const bool was_update = installing_update;
    installing_update = false;
    QTimer::singleShot(0, this, [this, was_update] {
      _enableButton(__LINE__, "buttonInstall", true);
      if (was_update) {
        // A failed update leaves the installed version: its buttons work.
        _enableButton(__LINE__, "buttonLaunch", true);
        _enableButton(__LINE__, "buttonRemove", true);
        _enableButton(__LINE__, "buttonUpdate", true);
      }
      ui_detail->progressBar->hide();
    });
    _resultLabel("Cài đặt lỗi", "red");
    return;
  }
  if (state <= 100) {
    ui_detail->progressBar->setValue(state);
    return;
  }
  if (state == 102) {
    ui_detail->progressBar->hide();
    _stateLabel("Đang cài đặt", "green");
    return;
  }
  if (state == 200) {
    timer_install->stop();
    const std::string slug = name_app_installing_current;
    size_app_installing = 0;
    name_app_installing_current = "";
    installing_update = false;
    refreshInstalledListView();
    refreshUpdateListView();
    // The version shown is the one of this application as now installed.
    for (const InfoAppInstalled& record : installed_records) {
      if (record.slug == slug) {
        version_current = record.ver_cur;
        version_new = record.ver_new;
        break;
      }
    }
    refreshDetailView(slug, TYPE_INSTALLED);
  }
}

// --------------------------------------------------------- remove, launch

// Runs a blocking engine call (a pkexec prompt can wait for minutes) off the
// GUI thread, then hands its result back to the GUI thread.
void AppController::_runEngine(std::function<int()> call, std::function<void(int)> done) {
  if (engine_thread.joinable()) engine_thread.join();
  engine_busy = true;
  engine_thread = std::thread([this, call, done] {
    const int r = call();
    QMetaObject::invokeMethod(
        this,
        [this, done, r] {
          if (engine_thread.joinable()) engine_thread.join();
          engine_busy = false;
          done(r);
        },
        Qt::QueuedConnection);
  });
}

void AppController::onRemoveDetail() {
  if (engine_busy) return;
  const std::string slug = name_app_detail_current;
  _stateLabel("Đang gỡ ứng dụng", "orange");
  _setDefaultStateButtonDetail();
  engine_busy = true;
  QTimer::singleShot(0, this, [this, slug] {
    _enableButton(__LINE__, "buttonLaunch", false);
    _enableButton(__LINE__, "buttonRemove", false);
    _enableButton(__LINE__, "buttonUpdate", false);
    QTimer::singleShot(100, this, [this, slug] {
      _runEngine([this, slug] { return model->remove(slug); },
                 [this, slug](int r) { _removeDone(slug, r); });
    });
  });
}

void AppController::_removeDone(const std::string& slug, int r) {
  const bool same_page = name_app_detail_current == slug;
  if (r < 0) {
    qDebug() << "Error remove" << qstr(slug);
    if (same_page) {
      _resultLabel("Gỡ ứng dụng lỗi", "red");
      _getDefaultStateButtonDetail();
    }
  } else {
    refreshInstalledListView();
    refreshUpdateListView();
    if (same_page) {
      ui_detail->label_url->hide();
      _setMenuStyle(QString(MENU_STYLE).arg("#efefef", "#000000"));
      refreshDetailView(slug, TYPE_DEFAULT);
      _resultLabel("Đã gỡ ứng dụng", "green");
    }
  }
  emit removeFinished(r);
}

void AppController::onLaunchDetail() {
  if (engine_busy) return;
  const std::string slug = name_app_detail_current;
  _setDefaultStateButtonDetail();
  engine_busy = true;
  QTimer::singleShot(0, this, [this, slug] {
    _enableButton(__LINE__, "buttonLaunch", false);
    _enableButton(__LINE__, "buttonRemove", false);
    _enableButton(__LINE__, "buttonUpdate", false);
    _stateLabel("Đang mở ứng dụng", "orange");
    QTimer::singleShot(100, this, [this, slug] {
      _runEngine([this, slug] { return model->launch(slug); },
                 [this, slug](int r) { _launchDone(slug, r); });
    });
  });
}

void AppController::_launchDone(const std::string& slug, int r) {
  const bool same_page = name_app_detail_current == slug;
  if (r < 0) {
    qDebug() << "Error launch" << qstr(slug);
    if (same_page) {
      _resultLabel("Mở ứng dụng lỗi", "red");
      // The buttons work as before the attempt.
      _getDefaultStateButtonDetail();
    }
  } else if (same_page) {
    _resultLabel("Mở ứng dụng thành công", "green");
    _enableButton(__LINE__, "buttonLaunch", true);
    _enableButton(__LINE__, "buttonRemove", true);
    if (is_enbUpdate) _enableButton(__LINE__, "buttonUpdate", true);
  }
  emit launchFinished(r);
}
