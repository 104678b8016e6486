// Update detection: which installed store applications have a newer version
// in the store. Runs once after the service starts listening (on its own
// thread) and for every installed-list request; the version queries of one
// run go out together.
#include <rapidjson/document.h>

#include <map>

#include "json_util.h"
#include "repository.h"
#include "service_api.h"
#include "service_controller.h"
#include "utils.h"

namespace {

// The marks an earlier list gave each application, for the applications
// whose query fails this time.
struct Mark {
  std::string ver_new;
  bool is_update = false;
};

std::map<std::string, Mark> previousMarks(const std::string& text) {
  std::map<std::string, Mark> marks;
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) return marks;
  const rapidjson::Value* data = nelt::getArray(doc, "data");
  if (data == nullptr) return marks;
  for (const auto& entry : data->GetArray()) {
    std::string slug;
    Mark mark;
    if (!nelt::getString(entry, "slug", slug) || slug.empty()) continue;
    if (!nelt::getString(entry, "new-version", mark.ver_new) || mark.ver_new == "null") continue;
    int update = 0;
    nelt::getInt(entry, "update", update);
    mark.is_update = update == 1;
    marks[slug] = mark;
  }
  return marks;
}

}  // namespace

VersionQuerySetup ServiceController::_versionQuerySetup() const {
  VersionQuerySetup setup;
  setup.base_url = api->serverHost();
  setup.header_lines = api->storeHeaderLines();
  setup.ca_file = CA_FILE;
  setup.transfer_seconds = ServiceAPI::kStoreTransferSeconds;
  setup.connect_seconds = ServiceAPI::kStoreConnectSeconds;
  setup.parallel = kVersionQueriesInFlight;
  return setup;
}

std::vector<Infoupdate_installed_app> ServiceController::_queryMarks(
    const std::string& inventory, const std::string& previous, const VersionQuerySetup& setup) {
  std::vector<Infoupdate_installed_app> updates;
  rapidjson::Document doc;
  doc.Parse(inventory.c_str(), inventory.size());
  if (doc.HasParseError() || !doc.IsObject()) return updates;
  int total = 0;
  const rapidjson::Value* data = nelt::getArray(doc, "data");
  if (!nelt::getInt(doc, "total", total) || data == nullptr) return updates;

  std::vector<VersionQuery> queries;
  std::vector<std::string> current;
  for (rapidjson::SizeType i = 0; static_cast<int>(i) < total && i < data->Size(); ++i) {
    const rapidjson::Value& entry = (*data)[i];
    VersionQuery q;
    if (!nelt::getString(entry, "slug", q.slug) || q.slug.empty()) continue;
    std::string version;
    nelt::getString(entry, "version", version);
    queries.push_back(q);
    current.push_back(version);
  }
  if (queries.empty()) return updates;

  // Answers younger than the reuse interval stand; only the others are asked.
  version_cache.fill(queries, std::chrono::seconds(VERSION_REUSE_SECONDS));
  std::vector<bool> cached(queries.size());
  for (size_t i = 0; i < queries.size(); ++i) cached[i] = queries[i].answered;
  queryVersions(queries, setup,
                std::chrono::steady_clock::now() +
                    std::chrono::seconds(setup.transfer_seconds + kDetectionSlackSeconds));
  std::vector<VersionQuery> fresh;
  for (size_t i = 0; i < queries.size(); ++i)
    if (queries[i].answered && !cached[i]) fresh.push_back(queries[i]);
  version_cache.store(fresh);

  std::map<std::string, Mark> before;
  bool before_read = false;
  for (size_t i = 0; i < queries.size(); ++i) {
    Infoupdate_installed_app record;
    record.slug = queries[i].slug;
    record.ver_cur = current[i];
    if (queries[i].answered) {
      record.ver_new = queries[i].version;
      record.is_update = compareVersion(record.ver_cur, record.ver_new) == 2;
    } else {
      // No answer this time: the application keeps the mark it had.
      if (!before_read) {
        before = previousMarks(previous);
        before_read = true;
      }
      auto it = before.find(record.slug);
      if (it == before.end()) continue;
      record.ver_new = it->second.ver_new;
      record.is_update = it->second.is_update;
    }
    updates.push_back(record);
  }
  return updates;
}

int ServiceController::loadListInfoUpdate() {
  const std::string previous = repo->readData(INSTALLED_OBJ);
  std::string inventory;
  if (repo->buildInstalledList(inventory) < 0) return -1;
  ++inventory_generation;
  const std::vector<Infoupdate_installed_app> updates =
      _queryMarks(inventory, previous, _versionQuerySetup());
  return _writeMarkedList(inventory, updates);
}

int ServiceController::_writeMarkedList(const std::string& inventory,
                                        const std::vector<Infoupdate_installed_app>& updates) {
  // One write per list: the marks go into the text before it is stored.
  if (updates.empty()) {
    repo->writeInstalledList(inventory);
    return -1;
  }
  repo->writeInstalledList(Repository::markInstalledList(inventory, updates));
  return 0;
}
