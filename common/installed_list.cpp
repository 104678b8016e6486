#include "installed_list.h"

#include <algorithm>

#include "json_util.h"

namespace nelt {

const rapidjson::Value* installedListData(const rapidjson::Value& doc, rapidjson::SizeType& count) {
  count = 0;
  int total = 0;
  const rapidjson::Value* data = getArray(doc, "data");
  if (!getInt(doc, "total", total) || data == nullptr) return nullptr;
  if (total > 0) count = std::min(static_cast<rapidjson::SizeType>(total), data->Size());
  return data;
}

bool readInstalledList(const rapidjson::Value& doc, std::vector<InstalledEntry>& entries) {
  entries.clear();
  rapidjson::SizeType count = 0;
  const rapidjson::Value* data = installedListData(doc, count);
  if (data == nullptr) return false;
  entries.reserve(count);
  for (rapidjson::SizeType i = 0; i < count; ++i) {
    const rapidjson::Value& item = (*data)[i];
    InstalledEntry entry;
    getString(item, "name", entry.name);
    getString(item, "slug", entry.slug);
    getString(item, "name_snap", entry.name_snap);
    getString(item, "version", entry.ver_cur);
    entry.has_new_version = getString(item, "new-version", entry.ver_new);
    getInt(item, "update", entry.update);
    entries.push_back(std::move(entry));
  }
  return true;
}

bool readInstalledList(const std::string& text, std::vector<InstalledEntry>& entries) {
  entries.clear();
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError()) return false;
  return readInstalledList(doc, entries);
}

bool readInstalledList(const rapidjson::Value& doc, std::vector<InfoAppInstalled>& entries) {
  std::vector<InstalledEntry> full;
  const bool ok = readInstalledList(doc, full);
  entries.assign(full.begin(), full.end());
  return ok;
}

std::vector<std::string> installedSlugs(const std::vector<InstalledEntry>& entries) {
  std::vector<std::string> slugs;
  for (const InstalledEntry& entry : entries)
    if (!entry.slug.empty()) slugs.push_back(entry.slug);
  return slugs;
}

const InstalledEntry* findInstalled(const std::vector<InstalledEntry>& entries,
                                    const std::string& slug) {
  for (const InstalledEntry& entry : entries)
    if (entry.slug == slug) return &entry;
  return nullptr;
}

}  // namespace nelt
