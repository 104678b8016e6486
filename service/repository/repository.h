// The service's JSON files in its data folder, one face for the handlers:
// logins and tokens, the section list and per-account settings (DataFiles),
// the installed-applications inventory (InstalledInventory) and the application
// cache with its images (ApplicationCache). Repository owns the three and passes
// each call on. Used by the request-handling thread only.
#pragma once

#include <rapidjson/document.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app_cache.h"
#include "data_files.h"
#include "installed_list.h"
#include "inventory.h"

class Repository {
 public:
  // With `tidy` the inventory is built and the application cache brought in
  // step with it right away (tidyCache); the service leaves that until its
  // port is open.
  explicit Repository(std::string folder, bool tidy = true);
  Repository(const Repository&) = delete;
  Repository& operator=(const Repository&) = delete;

  // Data files, tokens and settings.
  std::string getPath(std::string file) { return files.getPath(std::move(file)); }
  // 0 when the file was replaced, -1 when it could not be written.
  int writeData(ObjType type, std::string data) { return files.writeData(type, std::move(data)); }
  std::string readData(ObjType type) { return files.readData(type); }
  std::string readToken(ObjType type) { return files.readToken(type); }
  void removeToken(ObjType type) { files.removeToken(type); }
  std::string getIDUserName(ObjType type) { return files.getIDUserName(type); }
  // 0 when stored; -1 (nothing changed) when `setting` is not a JSON object,
  // the account number is not a number or the file cannot be written.
  int saveSetting(std::string user, std::string setting) {
    return files.saveSetting(std::move(user), std::move(setting));
  }
  std::string getSetting(std::string user) { return files.getSetting(std::move(user)); }
  std::string getFormSettingNull() { return files.getFormSettingNull(); }

  // Installed-applications inventory (see InstalledInventory).
  int getListInstalled() { return inventory.getListInstalled(); }
  int buildInstalledList(
      std::vector<nelt::InstalledEntry>& entries,
      const std::function<void(const std::vector<std::string>&)>& while_listing = {}) {
    return inventory.buildInstalledList(entries, while_listing);
  }
  int writeInstalledList(const std::string& text) { return inventory.writeInstalledList(text); }
  static std::string installedListText(const std::vector<nelt::InstalledEntry>& entries) {
    return InstalledInventory::installedListText(entries);
  }
  static std::string markedListText(const std::vector<nelt::InstalledEntry>& entries,
                                    const std::vector<Infoupdate_installed_app>& list) {
    return InstalledInventory::markedListText(entries, list);
  }
  static std::optional<KavixMeta> readKavixJson(const std::string& path) {
    return InstalledInventory::readKavixJson(path);
  }
  static std::optional<KavixMeta> readKavixMeta(const std::string& path) {
    return InstalledInventory::readKavixMeta(path);
  }
  void updateInstalledList(std::vector<Infoupdate_installed_app> list) {
    inventory.updateInstalledList(std::move(list));
  }
  static std::string markInstalledList(const std::string& text,
                                       const std::vector<Infoupdate_installed_app>& list) {
    return InstalledInventory::markInstalledList(text, list);
  }
  static std::string normaliseVersion(const std::string& version) {
    return InstalledInventory::normaliseVersion(version);
  }

  // Application cache and images (see ApplicationCache).
  void saveApps(std::string data) { cache.saveApps(std::move(data)); }
  int saveImage(std::string slug, rapidjson::Document& doc) {
    return cache.saveImage(std::move(slug), doc);
  }
  void refreshApps() { cache.refreshApps(); }
  void refreshApps(const std::vector<std::string>& installed) { cache.refreshApps(installed); }
  bool hasApp(std::string slug, std::string& f_json, int& state) {
    return cache.hasApp(std::move(slug), f_json, state);
  }
  std::string readDataApp(std::string& f_json) { return cache.readDataApp(f_json); }
  void clearCache() { cache.clearCache(); }
  void tidyCache() { cache.tidyCache(); }
  bool clearCache(std::vector<std::string>& installed) { return cache.clearCache(installed); }

  void setServerBase(const std::string& base) { cache.setServerBase(base); }
  void setCaFile(const std::string& file) { cache.setCaFile(file); }
  const std::string& dataFolder() const { return files.dataFolder(); }
  const std::vector<std::string>& installedSlugs() const { return inventory.installedSlugs(); }
  const std::vector<std::string>& recentSlugs() const { return cache.recentSlugs(); }

 private:
  DataFiles files;
  InstalledInventory inventory;
  ApplicationCache cache;
};
