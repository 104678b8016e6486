// The installed-applications inventory: `snap list` joined with the
// "kavix.json" that the store's installer leaves in each snap's folder,
// stored as "installeds.json", and the update marks merged into it. Used by
// the request-handling thread (and the start-up thread under the same lock).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "data_files.h"
#include "installed_list.h"

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

class InstalledInventory {
 public:
  explicit InstalledInventory(DataFiles& files) : files(files) {}

  // getListInstalled builds and stores the list (the number of
  // applications, or -1). buildInstalledList only builds the entries
  // (`snap list` runs once; -1 when it cannot run), so the update marks can
  // be added before the list is stored once with writeInstalledList: as
  // installedListText when no application got a mark, else as
  // markedListText.
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

  // The slugs of the last list built.
  const std::vector<std::string>& installedSlugs() const { return list_slug_installed; }

 private:
  DataFiles& files;
  std::vector<std::string> list_slug_installed;
};
