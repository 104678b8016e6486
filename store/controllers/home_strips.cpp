#include "home_strips.h"

#include <rapidjson/document.h>

#include <QPointer>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>
#include <string>

#include "frame_item_h.h"
#include "off_thread.h"
#include "reply_fields.h"
#include "section_frame.h"
#include "service_client.h"
#include "ui_home_view.h"

using namespace nelt::window;  // the reply readers and the window globals
using rapidjson::Value;

void HomeStrips::clear(Ui_HomeView* ui_home) {
  QVBoxLayout* layout = ui_home->verticalLayoutSections_2;
  for (SectionFrame* strip : sections) {
    layout->removeWidget(strip);
    strip->close();
    strip->deleteLater();
  }
  sections.clear();
  num_secs = 0;
}

bool HomeStrips::addStrips(const Value& doc, Ui_HomeView* ui_home, QObject* context,
                           const std::function<void()>& more) {
  return addStripsFrom(doc, ui_home, context, more, 0, std::numeric_limits<int>::max()) >= 0;
}

int HomeStrips::addStripsFrom(const Value& doc, Ui_HomeView* ui_home, QObject* context,
                              const std::function<void()>& more, int from, int count) {
  const Value* data = nullptr;
  int total = 0;
  if (!listShape(doc, data, total)) return -1;
  num_secs = total;
  const int end = from + std::min(total - from, std::max(1, count));

  QVBoxLayout* layout = ui_home->verticalLayoutSections_2;
  for (int i = from; i < end; ++i) {
    const Value& entry = (*data)[static_cast<rapidjson::SizeType>(i)];
    auto* strip = new SectionFrame();
    std::string name;
    if (getStr(entry, "name", name)) strip->init(990, 200, qstr(name));
    strip->resizeItemLayout(980, 180);
    int id = 0;
    if (getInt(entry, "id", id)) strip->setID(id);
    QObject::connect(strip->lb_more, &TCommandLinkButton::clickMore, context, [more] { more(); });
    layout->addWidget(strip);
    // Strips may come after the page was shown: shown at once, not when the
    // layout gets round to it.
    strip->show();
    sections.push_back(strip);
  }
  return end < total ? end : 0;
}

int HomeStrips::fillStrip(SectionFrame* strip, const Value& doc, QObject* context,
                          const std::function<void()>& open, int from, int count) {
  const Value* list = nullptr;
  int total = 0;
  if (!listShape(doc, list, total)) return 0;
  const int shown = std::min(total, MAX_HOME_TILES);
  const int end = std::min(shown, from + std::max(1, count));
  QPointer<SectionFrame> alive(strip);
  for (int j = from; j < end && !alive.isNull(); ++j) {
    const Value& entry = (*list)[static_cast<rapidjson::SizeType>(j)];
    auto* tile = new FrameItemH();
    tile->setSize(113, 150);
    int id = 0;
    if (getInt(entry, "id", id)) tile->setID(id);
    std::string name, slug;
    getStr(entry, "name", name);
    getStr(entry, "slug", slug);
    tile->setName(qstr(name), qstr(slug));
    QObject::connect(tile, &FrameItemH::clickLeft, context, [open] { open(); });
    strip->apps.push_back(tile);
    strip->addItem(tile);
    tile->show();
    QString icon;
    if (iconOf(entry, icon)) tile->setIcon(icon);
  }
  return end < shown && !alive.isNull() ? end : 0;
}

int HomeStrips::build(ServiceClient* api, Ui_HomeView* ui_home, QObject* context,
                      const std::function<void()>& more, const std::function<void()>& open) {
  // The exchanges run off the GUI thread (a section's reply may list
  // thousands of applications, parsed there), and the tiles are built a few
  // at a time with the event loop's turn in between: the window keeps
  // painting while the home is built again (the service is back after a
  // restart, or the store revoked the token).
  KavixReply reply;
  if (api == nullptr || waitOffThread([&] { return api->getListSections(&reply); }) != 0)
    return RUN_DONE;
  if (reply.status == nelt::REPLY_TOKEN_INVALID) return RUN_AGAIN;
  if (reply.status != nelt::REPLY_OK) return RUN_DONE;
  if (!addStrips(reply.doc, ui_home, context, more)) return RUN_DONE;

  // Copy: a strip taken off by a nested refresh must not be touched.
  std::vector<QPointer<SectionFrame>> strips(sections.begin(), sections.end());
  for (const QPointer<SectionFrame>& strip : strips) {
    if (strip.isNull()) continue;
    const int id = strip->getID();
    KavixReply apps;
    // A section whose request fails keeps an empty strip.
    if (waitOffThread([&] { return api->getListApps(id, &apps); }) != 0) continue;
    if (apps.status == nelt::REPLY_TOKEN_INVALID) return RUN_AGAIN;
    if (apps.status != nelt::REPLY_OK) continue;
    for (int from = 0; !strip.isNull();) {
      from = fillStrip(strip, apps.doc, context, open, from, TILES_PER_STEP);
      if (from == 0) break;
      turnEventLoop();
    }
  }
  return RUN_DONE;
}
