// Update detection: which installed store applications have a newer version
// in the store. Runs once after the service starts listening (on its own
// thread) and for every installed-list request; the version queries of one
// run go out together.
#include "update_detection.h"

#include <map>
#include <set>

#include "installed_list.h"
#include "repository.h"
#include "service_api.h"
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
  std::vector<nelt::InstalledEntry> entries;
  nelt::readInstalledList(text, entries);
  for (const nelt::InstalledEntry& entry : entries) {
    if (entry.slug.empty() || !entry.has_new_version || entry.ver_new == "null") continue;
    Mark mark;
    mark.ver_new = entry.ver_new;
    mark.is_update = entry.update == 1;
    marks[entry.slug] = mark;
  }
  return marks;
}

}  // namespace

VersionQuerySetup UpdateDetection::setupFor(const ServiceAPI& api) {
  VersionQuerySetup setup;
  setup.base_url = api.serverHost();
  setup.header_lines = api.storeHeaderLines();
  setup.ca_file = CA_FILE;
  setup.transfer_seconds = ServiceAPI::STORE_TRANSFER_SECONDS;
  setup.connect_seconds = ServiceAPI::STORE_CONNECT_SECONDS;
  setup.parallel = VERSION_QUERIES_IN_FLIGHT;
  return setup;
}

std::chrono::steady_clock::time_point UpdateDetection::detectionDeadline(
    const VersionQuerySetup& setup) {
  return std::chrono::steady_clock::now() +
         std::chrono::seconds(setup.transfer_seconds + DETECTION_SLACK_SECONDS);
}

void UpdateDetection::askVersions(std::vector<VersionQuery>& queries,
                                  const VersionQuerySetup& setup,
                                  std::chrono::steady_clock::time_point deadline) {
  // Answers younger than the reuse interval stand; only the others are asked.
  version_cache.fill(queries, std::chrono::seconds(VERSION_REUSE_SECONDS));
  std::vector<bool> cached(queries.size());
  for (size_t i = 0; i < queries.size(); ++i) cached[i] = queries[i].answered;
  queryVersions(queries, setup, deadline);
  std::vector<VersionQuery> fresh;
  for (size_t i = 0; i < queries.size(); ++i)
    if (queries[i].answered && !cached[i]) fresh.push_back(queries[i]);
  version_cache.store(fresh);
}

std::vector<Infoupdate_installed_app> UpdateDetection::queryMarks(
    const std::vector<nelt::InstalledEntry>& inventory, const std::string& previous,
    const VersionQuerySetup& setup, const std::vector<VersionQuery>& asked,
    std::chrono::steady_clock::time_point deadline) {
  std::vector<Infoupdate_installed_app> updates;
  std::map<std::string, const VersionQuery*> asked_by_slug;
  for (const VersionQuery& q : asked) asked_by_slug.emplace(q.slug, &q);
  std::vector<VersionQuery> queries, left;
  std::vector<size_t> left_at;
  std::vector<std::string> current;
  for (const nelt::InstalledEntry& entry : inventory) {
    if (entry.slug.empty()) continue;
    auto it = asked_by_slug.find(entry.slug);
    if (it != asked_by_slug.end()) {
      queries.push_back(*it->second);
    } else {
      VersionQuery q;
      q.slug = entry.slug;
      left_at.push_back(queries.size());
      left.push_back(q);
      queries.push_back(q);
    }
    current.push_back(entry.ver_cur);
  }
  if (queries.empty()) return updates;

  // Applications not asked about yet (all of them, unless asked while the
  // inventory was built).
  if (!left.empty()) {
    askVersions(
        left, setup,
        deadline == std::chrono::steady_clock::time_point{} ? detectionDeadline(setup) : deadline);
    for (size_t i = 0; i < left.size(); ++i) queries[left_at[i]] = left[i];
  }

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

int UpdateDetection::loadListInfoUpdate(const ServiceAPI& api, std::optional<std::string>* stored) {
  const std::string previous = repo.readData(INSTALLED_OBJ);
  const VersionQuerySetup setup = setupFor(api);
  const auto deadline = detectionDeadline(setup);
  // The store is asked about the applications whose metadata is on disk
  // while `snap list` runs; the listing then decides which answers count.
  std::vector<VersionQuery> asked;
  std::vector<nelt::InstalledEntry> inventory;
  const int built = repo.buildInstalledList(inventory, [&](const std::vector<std::string>& slugs) {
    std::set<std::string> seen;
    for (const std::string& slug : slugs) {
      if (!seen.insert(slug).second) continue;
      VersionQuery q;
      q.slug = slug;
      asked.push_back(q);
    }
    askVersions(asked, setup, deadline);
  });
  if (built < 0) return -1;
  ++inventory_generation;
  const std::vector<Infoupdate_installed_app> updates =
      queryMarks(inventory, previous, setup, asked, deadline);
  // One write per list: the marks go into the text before it is stored.
  const std::string text = updates.empty() ? Repository::installedListText(inventory)
                                           : Repository::markedListText(inventory, updates);
  if (repo.writeInstalledList(text) == 0 && stored != nullptr) *stored = text;
  return updates.empty() ? -1 : 0;
}

int UpdateDetection::writeMarkedList(const std::string& inventory,
                                     const std::vector<Infoupdate_installed_app>& updates) {
  if (updates.empty()) {
    repo.writeInstalledList(inventory);
    return -1;
  }
  repo.writeInstalledList(Repository::markInstalledList(inventory, updates));
  return 0;
}
