// Update detection: which installed store applications have a newer version
// in the store, written into the installed list as "new-version" and
// "update". Used under the dispatcher's work lock (the request-handling
// thread and the start-up thread); the version queries themselves may run
// outside it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "version_queries.h"

class Repository;
class ServiceAPI;
struct Infoupdate_installed_app;
namespace nelt {
struct InstalledEntry;
}

class UpdateDetection {
 public:
  explicit UpdateDetection(Repository& repo) : repo(repo) {}
  UpdateDetection(const UpdateDetection&) = delete;
  UpdateDetection& operator=(const UpdateDetection&) = delete;

  // Rebuilds the installed list with update marks. 0 when at least one
  // application got an update record, -1 otherwise. `stored`, when given,
  // receives the text written to the file (left alone when nothing was
  // written).
  int loadListInfoUpdate(const ServiceAPI& api, std::optional<std::string>* stored = nullptr);
  // The store channel's requests as the version queries send them (a copy,
  // so another thread can use it while the client goes on).
  static VersionQuerySetup setupFor(const ServiceAPI& api);
  // `previous` is the list stored before, read only for applications whose
  // query fails. Applications in `asked` are not asked again; the others
  // are, before `deadline` (by default the transfer limit from now).
  std::vector<Infoupdate_installed_app> queryMarks(
      const std::vector<nelt::InstalledEntry>& inventory, const std::string& previous,
      const VersionQuerySetup& setup, const std::vector<VersionQuery>& asked = {},
      std::chrono::steady_clock::time_point deadline = {});
  // Stores `inventory` with the marks of `updates`: 0 when there was a mark,
  // -1 when the list went in unmarked.
  int writeMarkedList(const std::string& inventory,
                      const std::vector<Infoupdate_installed_app>& updates);
  // Counts the installed lists loadListInfoUpdate stored; the start-up list
  // is not stored over a newer one.
  uint64_t generation() const { return inventory_generation; }

 private:
  // Version queries of one update detection in flight at once (enough for
  // most lists to go out in one or a few rounds; the connections are closed
  // when the detection ends), and how far past one query's time limit the
  // whole detection may run.
  static constexpr int VERSION_QUERIES_IN_FLIGHT = 64;
  static constexpr long DETECTION_SLACK_SECONDS = 0;

  Repository& repo;
  VersionCache version_cache;
  uint64_t inventory_generation = 0;

  // Fills `queries` from the answers kept for reuse and asks the store for
  // the rest, keeping the new answers.
  void askVersions(std::vector<VersionQuery>& queries, const VersionQuerySetup& setup,
                   std::chrono::steady_clock::time_point deadline);
  static std::chrono::steady_clock::time_point detectionDeadline(const VersionQuerySetup& setup);
};
