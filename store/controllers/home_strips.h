// The strips of the home page: one per store section, each with the first
// applications of that section as small tiles (`FrameItemH`).
#pragma once

#include <rapidjson/fwd.h>

#include <functional>
#include <vector>

class QObject;
class SectionFrame;
class ServiceClient;
class Ui_HomeView;

class HomeStrips {
 public:
  // `sections` and `num_secs` are the controller's view of the strips shown.
  HomeStrips(std::vector<SectionFrame*>& sections, int& num_secs)
      : sections(sections), num_secs(num_secs) {}

  // Takes the strips off the home page; they go on the next turn.
  void clear(Ui_HomeView* ui_home);

  // Builds the strips from the section list and each section's
  // applications, letting the event loop turn between its steps. `more`
  // runs when a strip's "more" link is pressed, `open` when a tile is
  // pressed; both in `context`. RUN_AGAIN when the store revoked the token
  // on the way.
  int build(ServiceClient* api, Ui_HomeView* ui_home, QObject* context,
            const std::function<void()>& more, const std::function<void()>& open);

  // The two halves of build() for replies read elsewhere (the start-up
  // worker): one empty strip per entry of a section list reply (false when
  // the reply is no list), and the first tiles of one strip from its
  // section's applications reply. fillStrip builds the tiles from `from`
  // on, at most `count` of them, and gives the index of the next tile to
  // build, or 0 when the strip is full.
  bool addStrips(const rapidjson::Value& doc, Ui_HomeView* ui_home, QObject* context,
                 const std::function<void()>& more);
  // addStrips in steps: the strips of entries `from` to `from + count`;
  // the index of the next one, 0 when all are there, -1 when the reply is
  // no list.
  int addStripsFrom(const rapidjson::Value& doc, Ui_HomeView* ui_home, QObject* context,
                    const std::function<void()>& more, int from, int count);
  int fillStrip(SectionFrame* strip, const rapidjson::Value& doc, QObject* context,
                const std::function<void()>& open, int from = 0, int count = MAX_HOME_TILES);

  // The tiles a strip shows at most.
  static constexpr int MAX_HOME_TILES = 8;
  // The tiles built in one step, between two turns of the event loop (a
  // tile costs some milliseconds, the first ones of a run more).
  static constexpr int TILES_PER_STEP = 4;

 private:
  std::vector<SectionFrame*>& sections;
  int& num_secs;
};
