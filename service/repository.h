// The service's JSON files in its data folder: logins and tokens, the section
// list, per-account settings, the installed-applications inventory and the
// application cache with its images. Used by the request-handling thread only.
#pragma once

#include <rapidjson/document.h>

#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "installed_list.h"

enum ObjType {
  USER_OBJ = 0,
  DEV_OBJ = 1,
  APP_OBJ = 2,
  SECTION_OBJ = 3,
  INSTALLED_OBJ = 4,
  ALL_OBJ = 5,
};

struct Infoupdate_installed_app {
  std::string slug;
  std::string ver_new;
  std::string ver_cur;
  bool is_update = false;
};

// The members of a snap's "kavix.json" that the inventory uses.
struct KavixMeta {
  std::string name;
  std::string long_name;
  std::string slug;
  std::string version;
};

class Repository {
 public:
  // With `tidy` the inventory is built and the application cache brought in
  // step with it right away (tidyCache); the service leaves that until its
  // port is open.
  explicit Repository(std::string folder, bool tidy = true);
  ~Repository();
  Repository(const Repository&) = delete;
  Repository& operator=(const Repository&) = delete;

  // Data files, tokens and settings.
  std::string getPath(std::string file);
  // 0 when the file was replaced, -1 when it could not be written.
  int writeData(ObjType type, std::string data);
  std::string readData(ObjType type);
  std::string readToken(ObjType type);
  void removeToken(ObjType type);
  std::string getIDUserName(ObjType type);
  // 0 when stored; -1 (nothing changed) when `setting` is not a JSON object,
  // the account number is not a number or the file cannot be written.
  int saveSetting(std::string user, std::string setting);
  std::string getSetting(std::string user);
  std::string getFormSettingNull();

  // Installed-applications inventory: `snap list` joined with the kavix.json
  // files. getListInstalled builds and stores it (the number of applications,
  // or -1). buildInstalledList only builds the entries (`snap list` runs
  // once; -1 when it cannot run), so the update marks can be added before
  // the list is stored once with writeInstalledList: as installedListText
  // when no application got a mark, else as markedListText.
  int getListInstalled();
  // `while_listing`, when given, is called while `snap list` runs with the
  // slugs of the metadata found in the snap folders (some may not be
  // listed), so that work on them can overlap the listing.
  int buildInstalledList(
      std::vector<nelt::InstalledEntry>& entries,
      const std::function<void(const std::vector<std::string>&)>& while_listing = {});
  int writeInstalledList(const std::string& text);
  static std::string installedListText(const std::vector<nelt::InstalledEntry>& entries);
  static std::string markedListText(const std::vector<nelt::InstalledEntry>& entries,
                                    const std::vector<Infoupdate_installed_app>& list);
  // The metadata a "kavix.json" holds, its version normalised; nothing when
  // the file is missing, is not JSON or lacks one of the four keys.
  static std::optional<KavixMeta> readKavixJson(const std::string& path);
  // The same without writing the path to the log.
  static std::optional<KavixMeta> readKavixMeta(const std::string& path);
  void updateInstalledList(std::vector<Infoupdate_installed_app> list);
  // `text` with the update marks of `list` set on the matching entries, as
  // compact JSON; empty when `text` is not an inventory.
  static std::string markInstalledList(const std::string& text,
                                       const std::vector<Infoupdate_installed_app>& list);
  // The version text as the inventory lists it: a leading "v" dropped, empty
  // components dropped, components from the first one holding a lower-case
  // letter on dropped.
  static std::string normaliseVersion(const std::string& version);

  // Application cache and images. `server_base` is the store server's base
  // address used for image downloads.
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
  // The same, giving the installed slugs it went by; false when there was no
  // installed list to go by (nothing was removed then).
  bool clearCache(std::vector<std::string>& installed);

  void setServerBase(const std::string& base) { server_base = base; }
  void setCaFile(const std::string& file) { ca_file = file; }
  const std::string& dataFolder() const { return data_folder; }
  const std::vector<std::string>& installedSlugs() const { return list_slug_installed; }
  const std::vector<std::string>& recentSlugs() const { return list_slug; }

 private:
  std::fstream fuser;
  std::fstream fdev;
  std::fstream fapps;
  std::fstream fsections;
  std::fstream finstalleds;
  std::vector<std::string> list_slug_installed;
  std::vector<std::string> list_slug;
  std::string data_folder;
  std::string server_base;
  std::string ca_file;

  static const char* fileName(ObjType type);
  std::string readLogin(ObjType type);
  // Moves `slug` to the most recent end of `list_slug`.
  void noteRecentSlug(const std::string& slug);
  // Deletes the oldest not-installed records (with their images) until at
  // most MAX_RECENT_RECORDS remain.
  void evictOldRecords(const std::vector<std::string>& installed);
  void removeCachedRecord(const std::string& slug);

  static constexpr size_t MAX_RECENT_RECORDS = 4;
};
