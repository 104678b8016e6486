// The installed-applications list ("installeds.json", and the reply to the
// installed-list and updates requests) read in one place for the service,
// the package engine, `nelt` and the window. The document comes from a file
// or a socket, so every member is type-checked and the entry count is
// bounded by both "total" and the length of "data".
#pragma once

#include <rapidjson/document.h>

#include <string>
#include <vector>

namespace nelt {

// One installed application as the window reads it. Members the entry lacks
// (or holds with another type) keep their defaults.
struct InfoAppInstalled {
  std::string slug;
  std::string ver_cur;  // "version"
  std::string ver_new;  // "new-version"
  int update = 0;
};

// One entry with everything the list holds about it.
struct InstalledEntry : InfoAppInstalled {
  std::string name;       // "name", the display name
  std::string name_snap;  // "name_snap", the snap's name
  bool has_new_version = false;
};

// The "data" entries of an installed list below its "total" (a negative
// total counts as none): `count` of them, or nullptr when `doc` is not an
// object with an integer "total" and an array "data".
const rapidjson::Value* installedListData(const rapidjson::Value& doc, rapidjson::SizeType& count);

// The entries of an installed list, in list order; false (and `entries`
// empty) when the document is not an installed list.
bool readInstalledList(const rapidjson::Value& doc, std::vector<InstalledEntry>& entries);
bool readInstalledList(const std::string& text, std::vector<InstalledEntry>& entries);
bool readInstalledList(const rapidjson::Value& doc, std::vector<InfoAppInstalled>& entries);

// The non-empty slugs of the entries, in list order.
std::vector<std::string> installedSlugs(const std::vector<InstalledEntry>& entries);

// The entry with `slug`, or nullptr.
const InstalledEntry* findInstalled(const std::vector<InstalledEntry>& entries,
                                    const std::string& slug);

}  // namespace nelt
