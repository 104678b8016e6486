#include "list_page_builder.h"

#include <rapidjson/document.h>

#include <QDebug>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>

#include "catalog_state.h"
#include "failure_text.h"
#include "frame_item_v.h"
#include "list_apps_view.h"
#include "off_thread.h"
#include "reply_fields.h"
#include "service_client.h"
#include "ui_list_apps_view.h"

using nelt::InfoAppInstalled;
using namespace nelt::window;  // the reply readers and the window globals
using rapidjson::Value;

// Everything a tile shows; a field without its flag is left as the tile
// has it.
struct ListPageBuilder::TileSpec {
  bool has_id = false, has_name = false, has_version = false, has_desc = false;
  int id = 0;
  QString name, slug, version, desc;
  QStringList buttons;
  bool has_installed = false, has_new = false, has_icon = false;
  QString installed_version, new_version, icon;
};

// The tiles of one page still to be built, a child of the page: it goes with
// the page or with the next clear. Watches the list's scroll bar and builds
// MORE_TILES more on a later turn of the event loop whenever the list is
// scrolled within one screen of its end.
class ListPageBuilder::Backlog : public QObject {
 public:
  Backlog(ListAppsView* page, TileActions actions) : QObject(page), page(page), actions(actions) {
    setObjectName("tileBacklog");
    // A timer, not a posted call: the batch comes after the paint of what
    // is already built, never before it.
    batch_timer.setSingleShot(true);
    batch_timer.setInterval(0);
    connect(&batch_timer, &QTimer::timeout, this, [this] { more(); });
    QScrollBar* bar = page->ui->scrollAreaListApp->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this] { maybeMore(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this] { maybeMore(); });
  }

  int waiting() const { return static_cast<int>(specs.size() + records.size() - next); }

  // Either finished specs (search and section lists) or installed records
  // whose detail is read when their tile is built; one kind per backlog.
  std::vector<TileSpec> specs;
  std::vector<InfoAppInstalled> records;
  ServiceClient* api = nullptr;
  bool update_page = false;

  // A short list: the rest is built batch after batch without waiting for
  // the scroll bar.
  void drain() {
    draining = true;
    _later();
  }

 private:
  void _later() {
    if (!batch_timer.isActive()) batch_timer.start();
  }

  void maybeMore() {
    // A hidden page waits: its range comes when it is shown and laid out.
    if (batch_timer.isActive() || waiting() == 0 || !page->isVisible()) return;
    QScrollBar* bar = page->ui->scrollAreaListApp->verticalScrollBar();
    if (bar->maximum() - bar->value() > qMax(1, bar->pageStep())) return;
    _later();
  }

  void more() {
    // The controller whose actions the tiles run is gone: build nothing.
    if (context.isNull()) return;
    int built = 0;
    while (built < MORE_TILES && waiting() > 0) {
      const size_t at = next++;
      if (!specs.empty()) {
        addTile(page, specs[at], actions);
        ++built;
        continue;
      }
      TileSpec spec;
      const int r = installedSpec(api, records[at], update_page, spec);
      if (r == RUN_AGAIN) {  // the page is rebuilt after the sign-out
        next = records.size();
        break;
      }
      if (r == SHOWN) {
        addTile(page, spec, actions);
        ++built;
      }
    }
    // The next batch, if any, comes with the range the new tiles give the
    // list once it is laid out, not from the range before them.
    if (draining && waiting() > 0) _later();
  }

  ListAppsView* page;
  TileActions actions;
  QPointer<QObject> context{actions.context};
  size_t next = 0;
  QTimer batch_timer;
  bool draining = false;
};

namespace {

// The page's backlog, found by its name (it has no meta-object of its own).
QObject* backlogOf(const ListAppsView* page) {
  for (QObject* child : page->children()) {
    if (child->objectName() == QLatin1String("tileBacklog")) return child;
  }
  return nullptr;
}

}  // namespace

int ListPageBuilder::waitingTiles(const ListAppsView* page) {
  const auto* backlog = static_cast<const Backlog*>(backlogOf(page));
  return backlog == nullptr ? 0 : backlog->waiting();
}

void ListPageBuilder::clear(ListAppsView* page, bool detach) {
  // Tiles not built yet are dropped with the ones shown.
  delete backlogOf(page);
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

FrameItemV* ListPageBuilder::addTile(ListAppsView* page, const TileSpec& spec,
                                     const TileActions& actions) {
  auto* tile = new FrameItemV();
  tile->setSize(890, 130);
  if (spec.has_id) tile->setID(spec.id);
  if (spec.has_name) tile->setName(spec.name, spec.slug);
  if (spec.has_version) tile->setVersion(spec.version);
  if (spec.has_desc) tile->setDesc(spec.desc);
  for (const QString& which : spec.buttons) tile->useButton(which);
  if (spec.has_installed) tile->setVersion(spec.installed_version);
  if (spec.has_new) tile->setNewVersion(spec.new_version);
  page->addItem(tile);
  tile->show();
  page->apps.push_back(tile);
  page->num_apps = static_cast<int>(page->apps.size());

  QObject* ctx = actions.context;
  auto run = [](const std::function<void()>& f) { return [f] { f(); }; };
  QObject::connect(tile, &FrameItemV::clickLeft, ctx, run(actions.detail));
  if (spec.buttons.contains("Launch"))
    QObject::connect(tile->bt_Launch, &QPushButton::clicked, ctx, run(actions.launch));
  if (spec.buttons.contains("Remove"))
    QObject::connect(tile->bt_Remove, &QPushButton::clicked, ctx, run(actions.remove));
  if (spec.buttons.contains("Update"))
    QObject::connect(tile->bt_Update, &QPushButton::clicked, ctx, run(actions.update));
  if (spec.buttons.contains("Install"))
    QObject::connect(tile->bt_Install, &QPushButton::clicked, ctx, run(actions.install));
  // The icon is shown when it arrives (at once when cached).
  if (spec.has_icon) tile->setIcon(spec.icon);
  return tile;
}

int ListPageBuilder::installedSpec(ServiceClient* api, const InfoAppInstalled& record,
                                   bool update_page, TileSpec& spec) {
  KavixReply detail;
  if (api->getDetailApp(record.slug, &detail) != 0) return NOT_SHOWN;
  if (detail.status == nelt::REPLY_TOKEN_INVALID) return RUN_AGAIN;
  if (detail.status != nelt::REPLY_OK) return NOT_SHOWN;
  std::string text;
  spec.slug = qstr(record.slug);
  if (getStr(detail.doc, "name", text)) {
    spec.has_name = true;
    spec.name = qstr(text);
  }
  spec.has_desc = getStr(detail.doc, "shortDescription", text);
  if (spec.has_desc) spec.desc = qstr(text);
  spec.buttons = update_page ? QStringList{"Update"} : QStringList{"Launch", "Remove"};
  spec.has_installed = true;
  spec.installed_version = qstr(record.ver_cur);
  spec.has_new = update_page || record.update == 1;
  spec.new_version = qstr(record.ver_new);
  spec.has_icon = iconOf(detail.doc, spec.icon);
  return SHOWN;
}

int ListPageBuilder::fillInstalled(ServiceClient* api, ListAppsView* page,
                                   const std::vector<InfoAppInstalled>& records, bool update_page,
                                   int& shown, CatalogState& catalog) {
  shown = 0;
  auto note = [&](const InfoAppInstalled& record, const std::string& named,
                  const std::string& ver_cur) {
    if (update_page) {
      catalog.addUpdate(named);
    } else {
      InfoAppInstalled as_shown = record;
      as_shown.slug = named;
      as_shown.ver_cur = ver_cur;
      catalog.addInstalled(as_shown);
    }
    ++shown;
  };
  // A short list reads every detail now (the title counts what the store
  // still serves) and builds the tiles past the first ones on the next
  // turns; a long one reads the details of the others as their tiles come.
  const bool whole = records.size() <= size_t(WHOLE_LIST);
  Backlog* backlog = nullptr;
  size_t at = 0;
  for (; at < records.size() && (whole || shown < FIRST_TILES); ++at) {
    const InfoAppInstalled& record = records[at];
    TileSpec spec;
    const int r = installedSpec(api, record, update_page, spec);
    if (r == RUN_AGAIN) {
      delete backlog;
      return RUN_AGAIN;
    }
    if (r != SHOWN) continue;
    note(record, spec.has_name ? spec.slug.toStdString() : std::string(),
         spec.installed_version.toStdString());
    if (shown <= FIRST_TILES) {
      addTile(page, spec, actions);
      continue;
    }
    if (backlog == nullptr) backlog = new Backlog(page, actions);
    backlog->specs.push_back(std::move(spec));
  }
  if (backlog != nullptr) backlog->drain();
  if (whole || at == records.size()) return RUN_DONE;
  backlog = new Backlog(page, actions);
  backlog->api = api;
  backlog->update_page = update_page;
  backlog->records.assign(records.begin() + static_cast<std::ptrdiff_t>(at), records.end());
  for (const InfoAppInstalled& record : backlog->records) note(record, record.slug, record.ver_cur);
  return RUN_DONE;
}

void ListPageBuilder::fillResults(ListAppsView* page, const Value& data, int count,
                                  bool desc_in_version,
                                  const std::vector<InfoAppInstalled>& installeds) {
  Backlog* backlog = nullptr;
  for (int j = 0; j < count; ++j) {
    const Value& entry = data[static_cast<rapidjson::SizeType>(j)];
    TileSpec spec;
    std::string slug, text;
    getStr(entry, "slug", slug);
    spec.slug = qstr(slug);
    spec.has_id = getInt(entry, "id", spec.id);
    spec.has_name = getStr(entry, "name", text);
    if (spec.has_name) spec.name = qstr(text);
    spec.has_version = getStr(entry, "currentVersion", text);
    if (spec.has_version) spec.version = qstr(text);
    const Value* desc_holder = desc_in_version ? member(entry, "data_version") : &entry;
    spec.has_desc = desc_holder != nullptr && getStr(*desc_holder, "shortDescription", text);
    if (spec.has_desc) spec.desc = qstr(text);
    auto found = std::find_if(installeds.begin(), installeds.end(),
                              [&](const InfoAppInstalled& r) { return r.slug == slug; });
    if (found != installeds.end()) {
      spec.buttons = QStringList{"Launch", "Remove"};
      spec.has_installed = true;
      spec.installed_version = qstr(found->ver_cur);
      spec.has_new = found->update == 1;
      spec.new_version = qstr(found->ver_new);
    } else {
      spec.buttons = QStringList{"Install"};
    }
    spec.has_icon = iconOf(entry, spec.icon);
    if (j < FIRST_TILES) {
      addTile(page, spec, actions);
    } else {
      if (backlog == nullptr) backlog = new Backlog(page, actions);
      backlog->specs.push_back(std::move(spec));
    }
  }
  if (backlog != nullptr && count <= WHOLE_LIST) backlog->drain();
}

int ListPageBuilder::fillSearch(ServiceClient* api, ListAppsView* page, QString text,
                                const std::vector<InfoAppInstalled>& installeds) {
  while (text.contains("  ")) {
    text.replace("  ", " ");
    qDebug() << text;
  }
  const std::string query = (text == " " || text.isEmpty()) ? "@null" : text.toStdString();

  KavixReply reply;
  if (waitOffThread([&] { return api->searchAll(query, &reply); }) != 0) {
    page->setName(QString::fromUtf8(TEXT_STORE_UNREACHABLE));
    return RUN_DONE;
  }
  if (reply.status == nelt::REPLY_TOKEN_INVALID) return RUN_AGAIN;
  // The service answers a search it could not pass on to the store (and
  // only such a one, apart from the empty search) with its failure word.
  if (reply.status == nelt::REPLY_FAILED && query != "@null") {
    page->setName(QString::fromUtf8(TEXT_STORE_UNREACHABLE));
    return RUN_DONE;
  }
  const Value* data = nullptr;
  int count = 0;
  if (reply.status != nelt::REPLY_OK || !listShape(reply.doc, data, count)) {
    page->setName(QString("Không tìm thấy ứng dụng liên quan \"%1\" ").arg(text));
    return RUN_DONE;
  }
  page->setName(QString("Danh sách tìm kiếm \"%1\" (%2)").arg(text).arg(count));
  fillResults(page, *data, count, true, installeds);
  return RUN_DONE;
}

int ListPageBuilder::fillSection(ServiceClient* api, ListAppsView* page, int id,
                                 const std::string& name,
                                 const std::vector<InfoAppInstalled>& installeds,
                                 const std::function<void(bool unreachable)>& refused) {
  KavixReply reply;
  const int sent = waitOffThread([&] { return api->getListApps(id, &reply); });
  if (sent == 0 && reply.status == nelt::REPLY_TOKEN_INVALID) return RUN_AGAIN;
  if (sent != 0 || reply.status != nelt::REPLY_OK) {
    const bool unreachable = sent != 0 || reply.status == nelt::REPLY_FAILED;
    refused(unreachable);
    if (unreachable) {
      // The store (or the service) cannot be reached: the page says so.
      page->setName(QString::fromUtf8(TEXT_STORE_UNREACHABLE));
    }
    return RUN_DONE;
  }
  const Value* data = nullptr;
  int count = 0;
  listShape(reply.doc, data, count);
  page->setName(QString("Danh sách ứng dụng %1 (%2)").arg(qstr(name)).arg(count));
  if (data != nullptr) fillResults(page, *data, count, false, installeds);
  return RUN_DONE;
}

void ListPageBuilder::showUpToDate(ListAppsView* page, QLabel*& up_to_date, bool on) {
  if (up_to_date == nullptr) {
    up_to_date = new QLabel(QString::fromUtf8(TEXT_ALL_UP_TO_DATE), page);
    up_to_date->setObjectName("label_up_to_date");
    up_to_date->setTextFormat(Qt::PlainText);
    up_to_date->setAlignment(Qt::AlignCenter);
    up_to_date->setStyleSheet("color: #52C41A; font-size: 13pt;");
    const QRect title = page->ui->label->geometry();
    up_to_date->setGeometry(title.left(), title.bottom() + 40, page->width() - 2 * title.left(),
                            40);
  }
  up_to_date->setVisible(on);
  if (on) up_to_date->raise();
}
