// The one builder of the list pages: the search results, the applications of
// a section, the installed applications and those with an update all show
// wide tiles (`FrameItemV`) built here from the service's replies.
//
// A list of any length shows its first screen at once: its first
// FIRST_TILES tiles (a screen of them: a tile costs a few milliseconds,
// mostly its style sheets) are built with the page. The rest of a list of up
// to WHOLE_LIST entries follows MORE_TILES at a time on the next turns of
// the event loop, so the page is whole a moment later; a longer list builds
// MORE_TILES more whenever it is scrolled near its end.
// `ListAppsView::apps` holds the tiles built so far.
#pragma once

#include <rapidjson/fwd.h>

#include <QObject>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "installed_list.h"

class CatalogState;
class FrameItemV;
class ListAppsView;
class QLabel;
class ServiceClient;

// What a tile's press and buttons do; run in `context`'s thread.
struct TileActions {
  QObject* context = nullptr;
  std::function<void()> detail, install, launch, remove, update;
};

class ListPageBuilder {
 public:
  static constexpr int WHOLE_LIST = 30;
  static constexpr int FIRST_TILES = 6;
  static constexpr int MORE_TILES = 6;

  explicit ListPageBuilder(TileActions actions) : actions(std::move(actions)) {}

  // Takes every tile off `page`. `detach` also takes them out of the widget
  // tree at once; they are deleted on the next turn of the event loop (a
  // tile may be the sender of the signal being handled).
  static void clear(ListAppsView* page, bool detach);

  // One tile per installed application whose detail the store still
  // serves: Launch and Remove on the installed page, Update on the updates
  // page; the ones shown are noted in `catalog`. `shown` counts them.
  // RUN_AGAIN when the store revoked the token on the way. The details of
  // the applications past the first tiles built are asked for when their
  // tiles are built; until then they count as shown and are noted in
  // `catalog` under their own slug.
  int fillInstalled(ServiceClient* api, ListAppsView* page,
                    const std::vector<nelt::InfoAppInstalled>& records, bool update_page,
                    int& shown, CatalogState& catalog);

  // One tile per entry of a search or section list reply (`count` entries
  // of the array `data`), with the buttons that fit whether the application
  // is in `installeds`. The short description of a search entry sits in its
  // "data_version".
  void fillResults(ListAppsView* page, const rapidjson::Value& data, int count,
                   bool desc_in_version, const std::vector<nelt::InfoAppInstalled>& installeds);

  // The search results page for the words `text` (runs of spaces taken as
  // one; nothing searches everything): its title, or why nothing is listed.
  // RUN_AGAIN when the store revoked the token.
  int fillSearch(ServiceClient* api, ListAppsView* page, QString text,
                 const std::vector<nelt::InfoAppInstalled>& installeds);

  // The applications of section `id`, titled with its `name`. A list that
  // cannot be read runs `refused` first, told whether the store (or the
  // service) could not be reached; the page then says so. RUN_AGAIN when the
  // store revoked the token.
  int fillSection(ServiceClient* api, ListAppsView* page, int id, const std::string& name,
                  const std::vector<nelt::InfoAppInstalled>& installeds,
                  const std::function<void(bool unreachable)>& refused);

  // "Everything is up to date" on the updates `page` while it lists
  // nothing; `label` is made the first time it is needed.
  static void showUpToDate(ListAppsView* page, QLabel*& label, bool on);

  // Tiles of `page` not built yet (0 once the list is complete).
  static int waitingTiles(const ListAppsView* page);

 private:
  struct TileSpec;
  class Backlog;
  static FrameItemV* addTile(ListAppsView* page, const TileSpec& spec, const TileActions& actions);
  // Reads the detail of an installed application into `spec`: SHOWN,
  // NOT_SHOWN, or RUN_AGAIN as for fillInstalled.
  enum { SHOWN = -1, NOT_SHOWN = -2 };
  static int installedSpec(ServiceClient* api, const nelt::InfoAppInstalled& record,
                           bool update_page, TileSpec& spec);

  TileActions actions;
};
