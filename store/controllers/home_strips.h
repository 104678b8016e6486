// The strips of the home page: one per store section, each with the first
// applications of that section as small tiles (`FrameItemH`).
#pragma once

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
  // applications. `more` runs when a strip's "more" link is pressed, `open`
  // when a tile is pressed; both in `context`. RUN_AGAIN when the store
  // revoked the token on the way.
  int build(ServiceClient* api, Ui_HomeView* ui_home, QObject* context,
            const std::function<void()>& more, const std::function<void()>& open);

 private:
  std::vector<SectionFrame*>& sections;
  int& num_secs;
};
