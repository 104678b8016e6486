// The application cache: detail records of opened applications with their
// icon and screenshots, kept in "apps/" so that a detail page can be shown
// while the store server cannot be reached, and the index "apps.json".
// Used by the request-handling thread (and the start-up thread under the
// same lock).
#pragma once

#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "data_files.h"
#include "inventory.h"

class ApplicationCache {
 public:
  // `server_base` is the store server's base address used for image
  // downloads; `ca_file` a certificate file trusted besides the system's.
  ApplicationCache(DataFiles& files, InstalledInventory& inventory, std::string server_base,
                   std::string ca_file)
      : files(files),
        inventory_(inventory),
        server_base(std::move(server_base)),
        ca_file(std::move(ca_file)) {}

  void saveApps(std::string data);
  int saveImage(std::string slug, rapidjson::Document& doc);
  void refreshApps();
  // The same with the installed slugs already at hand.
  void refreshApps(const std::vector<std::string>& installed);
  bool hasApp(std::string slug, std::string& f_json, int& state);
  std::string readDataApp(std::string& f_json);
  void clearCache();
  // Builds the inventory, drops the cached records of applications no longer
  // installed and relists the cache: what a start needs.
  void tidyCache();
  // The same as clearCache, giving the installed slugs it went by; false
  // when there was no installed list to go by (nothing was removed then).
  bool clearCache(std::vector<std::string>& installed);

  void setServerBase(const std::string& base) { server_base = base; }
  void setCaFile(const std::string& file) { ca_file = file; }
  const std::vector<std::string>& recentSlugs() const { return list_slug; }

 private:
  DataFiles& files;
  InstalledInventory& inventory_;
  std::string server_base;
  std::string ca_file;
  // Records of applications not installed, oldest first.
  std::vector<std::string> list_slug;

  // Moves `slug` to the most recent end of `list_slug`.
  void noteRecentSlug(const std::string& slug);
  // Deletes the oldest not-installed records (with their images) until at
  // most MAX_RECENT_RECORDS remain.
  void evictOldRecords(const std::vector<std::string>& installed);
  void removeCachedRecord(const std::string& slug);

  static constexpr size_t MAX_RECENT_RECORDS = 4;
};
