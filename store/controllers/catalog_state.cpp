#include "catalog_state.h"

#include <algorithm>

void CatalogState::clearInstalled() {
  shown_installed.clear();
  records.clear();
  num_installeds = 0;
}

void CatalogState::clearUpdates() {
  shown_updates.clear();
  num_updates = 0;
}

void CatalogState::addInstalled(const nelt::InfoAppInstalled& record) {
  shown_installed.push_back(
      {record.slug, record.ver_cur, record.update == 1 ? record.ver_new : std::string()});
}

void CatalogState::addUpdate(const std::string& slug) { shown_updates.push_back(slug); }

bool CatalogState::hasUpdate(const std::string& slug) const {
  return std::find(shown_updates.begin(), shown_updates.end(), slug) != shown_updates.end();
}
