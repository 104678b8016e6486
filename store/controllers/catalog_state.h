// Which applications are installed and which have an update, in one place.
// The installed and updates pages fill it as they show their tiles; the
// detail page and the tiles of the other pages ask it instead of looking at
// other pages' widgets.
#pragma once

#include <string>
#include <vector>

#include "installed_list.h"

class CatalogState {
 public:
  // An installed application as its tile on the installed page shows it:
  // `ver_new` is empty unless the installed list marks an update.
  struct Installed {
    std::string slug;
    std::string ver_cur;
    std::string ver_new;
  };

  void clearInstalled();
  void clearUpdates();
  void addInstalled(const nelt::InfoAppInstalled& record);
  void addUpdate(const std::string& slug);

  // The installed page's applications in the order shown.
  const std::vector<Installed>& shownInstalled() const { return shown_installed; }
  bool hasUpdate(const std::string& slug) const;
  // The updates page's applications in the order shown.
  const std::vector<std::string>& shownUpdates() const { return shown_updates; }

  // The installed list as last read by the installed page.
  std::vector<nelt::InfoAppInstalled> records;
  // Sizes of the installed list and of its part with updates, as last read.
  int num_installeds = 0;
  int num_updates = 0;

 private:
  std::vector<Installed> shown_installed;
  std::vector<std::string> shown_updates;
};
