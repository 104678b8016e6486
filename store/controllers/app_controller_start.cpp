// AppController's start-up reads: the home's strips and the installed list
// read on a worker thread, each reply applied on the GUI thread as it comes.
#include <rapidjson/document.h>

#include <QMetaObject>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "app_controller.h"
#include "home_view.h"
#include "icon_path.h"
#include "main_window.h"
#include "reply_fields.h"
#include "service_client.h"
#include "store_globals.h"
#include "ui_home_view.h"
#include "ui_main_window.h"

using namespace nelt::window;  // the reply readers and the window globals

using rapidjson::Value;

void AppController::startFill(bool with_home) {
  if (start_worker.joinable() || api == nullptr) return;
  ServiceClient* client = api;
  const int generation = home_generation;
  // Each reply is parsed here and handed to the GUI thread whole; the worker
  // only reads a document after handing it on (rapidjson reads are safe
  // from two threads).
  start_worker = std::thread([this, client, with_home, generation] {
    auto post = [this](std::function<void()> apply) {
      QMetaObject::invokeMethod(
          this, [this, apply = std::move(apply)]() mutable { _queueApply(std::move(apply)); },
          Qt::QueuedConnection);
    };
    if (with_home) {
      auto sections = std::make_shared<KavixReply>();
      const int r = client->getListSections(sections.get());
      post([=] { _applySections(generation, r, sections); });
      bool token_invalid = r == 0 && sections->status == nelt::REPLY_TOKEN_INVALID;
      const Value* data = nullptr;
      int count = 0;
      if (r == 0 && sections->status == nelt::REPLY_OK && listShape(sections->doc, data, count)) {
        for (int i = 0; i < count && !token_invalid; ++i) {
          int id = 0;
          getInt((*data)[static_cast<rapidjson::SizeType>(i)], "id", id);
          auto apps = std::make_shared<KavixReply>();
          const int ra = client->getListApps(id, apps.get());
          token_invalid = ra == 0 && apps->status == nelt::REPLY_TOKEN_INVALID;
          const size_t index = static_cast<size_t>(i);
          if (!token_invalid) post([=] { _applyStrip(generation, index, ra, apps); });
        }
      }
      post([=] { _homeFilled(generation, token_invalid); });
    }
    auto installed = std::make_shared<KavixReply>();
    auto records = std::make_shared<std::vector<InfoAppInstalled>>();
    const int ri = client->getListInstalleds(installed.get());
    // A reply that is no installed list reads as an empty one.
    if (ri == 0 && installed->status == nelt::REPLY_OK)
      nelt::readInstalledList(installed->doc, *records);
    post([=] { _applyInstalled(ri, installed, records); });
  });
}

void AppController::_queueApply(std::function<void()> apply, bool first) {
  if (first)
    start_applies.push_front(std::move(apply));
  else
    start_applies.push_back(std::move(apply));
  if (apply_timer == nullptr) {
    apply_timer = new QTimer(this);
    apply_timer->setSingleShot(true);
    connect(apply_timer, &QTimer::timeout, this, &AppController::_applyNext);
  }
  // Replies that arrive together are otherwise all applied in one pass of
  // the posted events, with no input, painting or timer in between.
  if (!apply_timer->isActive()) apply_timer->start(0);
}

void AppController::_applyNext() {
  if (start_applies.empty()) return;
  std::function<void()> apply = std::move(start_applies.front());
  start_applies.pop_front();
  if (!start_applies.empty()) apply_timer->start(0);
  apply();
}

void AppController::_applySections(int generation, int result,
                                   const std::shared_ptr<KavixReply>& reply, int from) {
  if (generation != home_generation) return;
  if (from < 0) {
    ui->pageAll->setBannerLocal(iconPath("./icon/banner_default.png"));
    strips.clear(ui->pageAll->ui);
    if (result != 0 || reply->status != nelt::REPLY_OK) return;
    _queueApply([=] { _applySections(generation, result, reply, 0); }, true);
    return;
  }
  // One strip a turn; all of them before the first strip's tiles.
  const int next = strips.addStripsFrom(
      reply->doc, ui->pageAll->ui, this, [this] { onSectionDetailView(); }, from, 1);
  if (next > 0) _queueApply([=] { _applySections(generation, result, reply, next); }, true);
}

void AppController::_applyStrip(int generation, size_t index, int result,
                                const std::shared_ptr<KavixReply>& reply, int from) {
  // A section whose request fails keeps an empty strip.
  if (generation != home_generation || index >= sections.size()) return;
  if (result != 0 || reply->status != nelt::REPLY_OK) return;
  // A few tiles a turn; the rest of the strip comes next, before the next
  // strip.
  const int next = strips.fillStrip(
      sections[index], reply->doc, this, [this] { onAppDetailView(); }, from,
      HomeStrips::TILES_PER_STEP);
  if (next > 0) _queueApply([=] { _applyStrip(generation, index, result, reply, next); }, true);
}

void AppController::_homeFilled(int generation, bool token_invalid) {
  if (generation != home_generation) return;
  if (token_invalid) {
    // The sign-out and the second attempt are the page build's own.
    flag_refresh = true;
    refreshHomeView();
    return;
  }
  flag_refresh = false;
  emit homeRefreshed();
}

void AppController::_applyInstalled(int result, const std::shared_ptr<KavixReply>& reply,
                                    const std::shared_ptr<std::vector<InfoAppInstalled>>& records) {
  // Without a list (or when both pages have read their own) the pages read
  // it again when opened.
  if (result != 0 || reply->status != nelt::REPLY_OK) return;
  if (!installed_page_built) {
    catalog.clearInstalled();
    catalog.records = *records;
    catalog.num_installeds = static_cast<int>(records->size());
    for (const InfoAppInstalled& record : *records)
      if (!record.slug.empty()) catalog.addInstalled(record);
  }
  if (!updates_page_built) {
    catalog.clearUpdates();
    for (const InfoAppInstalled& record : *records) {
      if (record.slug.empty() || record.update != 1) continue;
      catalog.addUpdate(record.slug);
      ++catalog.num_updates;
    }
  }
  emit catalogRead();
}
