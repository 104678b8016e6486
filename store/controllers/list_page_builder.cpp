#include "list_page_builder.h"

#include <rapidjson/document.h>

#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>
#include <algorithm>

#include "catalog_state.h"
#include "frame_item_v.h"
#include "list_apps_view.h"
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

void ListPageBuilder::clear(ListAppsView* page, bool detach) {
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

FrameItemV* ListPageBuilder::addTile(ListAppsView* page, const TileSpec& spec) {
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
  // Last: the download waits in a nested event loop.
  if (spec.has_icon) tile->setIcon(spec.icon);
  return tile;
}

int ListPageBuilder::fillInstalled(ServiceClient* api, ListAppsView* page,
                                   const std::vector<InfoAppInstalled>& records, bool update_page,
                                   int& shown, CatalogState& catalog) {
  shown = 0;
  for (const InfoAppInstalled& record : records) {
    KavixReply detail;
    if (api->getDetailApp(record.slug, &detail) != 0) continue;
    if (detail.status == nelt::REPLY_TOKEN_INVALID) return RUN_AGAIN;
    if (detail.status != nelt::REPLY_OK) continue;
    TileSpec spec;
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
    // Noted before the icon download, which lets other slots run.
    const std::string named = spec.has_name ? spec.slug.toStdString() : std::string();
    if (update_page) {
      catalog.addUpdate(named);
    } else {
      InfoAppInstalled as_shown = record;
      as_shown.slug = named;
      as_shown.ver_cur = spec.installed_version.toStdString();
      catalog.addInstalled(as_shown);
    }
    ++shown;
    addTile(page, spec);
  }
  return RUN_DONE;
}

void ListPageBuilder::fillResults(ListAppsView* page, const Value& data, int count,
                                  bool desc_in_version,
                                  const std::vector<InfoAppInstalled>& installeds) {
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
    addTile(page, spec);
  }
}
