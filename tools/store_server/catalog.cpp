#include "catalog.h"

#include <rapidjson/error/en.h>

#include <set>

#include "fsutil.h"
#include "json_util.h"
#include "text_match.h"

namespace nelt::store_server {

namespace {

// Parses DIR/name into `doc`. A missing file leaves `present` false and is
// not an error.
bool readCatalogFile(const std::string& dir, const char* name, rapidjson::Document& doc,
                     bool& present, std::string& error) {
  const std::string path = dir + "/" + name;
  present = nelt::fileExists(path);
  if (!present) return true;
  std::string text;
  if (!nelt::readWholeFile(path, text)) {
    error = path + ": cannot be read";
    return false;
  }
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError()) {
    error = path + ": not JSON (" + rapidjson::GetParseError_En(doc.GetParseError()) +
            " at offset " + std::to_string(doc.GetErrorOffset()) + ")";
    return false;
  }
  return true;
}

// The array of `key` in an object, or the document itself when it is an
// array.
const rapidjson::Value* listOf(const rapidjson::Document& doc, const char* key) {
  if (doc.IsArray()) return &doc;
  return nelt::getArray(doc, key);
}

bool optionalString(const rapidjson::Value& obj, const char* key) {
  auto it = obj.FindMember(key);
  return it == obj.MemberEnd() || it->value.IsString();
}

// The members the window reads must have the types it expects: a catalog
// that breaks them is refused at start rather than served.
bool checkImages(const rapidjson::Value& app, std::string& why) {
  auto it = app.FindMember("images");
  if (it == app.MemberEnd()) return true;
  const rapidjson::Value& images = it->value;
  if (!images.IsObject()) {
    why = "\"images\" is not an object";
    return false;
  }
  auto icon = images.FindMember("icon");
  if (icon != images.MemberEnd()) {
    if (!icon->value.IsString() || !nelt::isSafeFileName(icon->value.GetString())) {
      why = "\"images\".\"icon\" is not a plain file name";
      return false;
    }
  }
  auto shots = images.FindMember("screenshot");
  if (shots != images.MemberEnd()) {
    if (!shots->value.IsArray()) {
      why = "\"images\".\"screenshot\" is not an array";
      return false;
    }
    for (const auto& s : shots->value.GetArray()) {
      if (!s.IsString() || !nelt::isSafeFileName(s.GetString())) {
        why = "a screenshot is not a plain file name";
        return false;
      }
    }
  }
  return true;
}

}  // namespace

bool StoreCatalog::load(const std::string& dir, std::string& error) {
  dir_ = dir;
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
  if (!nelt::isDirectory(dir_)) {
    error = dir_ + ": not a folder";
    return false;
  }
  return loadApps(error) && loadSections(error) && loadAccounts(error) && loadKeys(error);
}

bool StoreCatalog::loadApps(std::string& error) {
  rapidjson::Document doc;
  bool present = false;
  if (!readCatalogFile(dir_, "apps.json", doc, present, error)) return false;
  if (!present) return true;
  const rapidjson::Value* list = listOf(doc, "apps");
  if (list == nullptr) {
    error = dir_ + "/apps.json: no \"apps\" array";
    return false;
  }
  std::set<int> ids;
  std::set<std::string> slugs;
  for (rapidjson::SizeType i = 0; i < list->Size(); ++i) {
    const rapidjson::Value& v = (*list)[i];
    const std::string where = dir_ + "/apps.json: entry " + std::to_string(i) + ": ";
    auto app = std::make_unique<AppRecord>();
    if (!v.IsObject() || !nelt::getInt(v, "id", app->id) ||
        !nelt::getString(v, "slug", app->slug) || !nelt::getString(v, "name", app->name)) {
      error = where + "needs an integer \"id\" and strings \"slug\" and \"name\"";
      return false;
    }
    if (!nelt::isValidSlug(app->slug)) {
      error = where + "slug \"" + app->slug + "\" is not a valid slug";
      return false;
    }
    std::string why;
    for (const char* key : {"shortDescription", "longDescription", "currentVersion"}) {
      if (!optionalString(v, key)) {
        error = where + "\"" + key + "\" is not a string";
        return false;
      }
    }
    auto rank = v.FindMember("rankAvg");
    auto size = v.FindMember("size");
    if ((rank != v.MemberEnd() && !rank->value.IsNumber()) ||
        (size != v.MemberEnd() && !size->value.IsNumber())) {
      error = where + "\"rankAvg\" and \"size\" must be numbers";
      return false;
    }
    if (!checkImages(v, why)) {
      error = where + why;
      return false;
    }
    if (!ids.insert(app->id).second || !slugs.insert(app->slug).second) {
      error = where + "repeats an id or a slug";
      return false;
    }
    nelt::getString(v, "shortDescription", app->short_description);
    nelt::getString(v, "currentVersion", app->current_version);
    app->record.CopyFrom(v, app->record.GetAllocator());
    app->record.RemoveMember("key");
    app->record.RemoveMember("password");
    apps_.push_back(std::move(app));
  }
  return true;
}

bool StoreCatalog::loadSections(std::string& error) {
  rapidjson::Document doc;
  bool present = false;
  if (!readCatalogFile(dir_, "sections.json", doc, present, error)) return false;
  if (!present) return true;
  const rapidjson::Value* list = listOf(doc, "sections");
  if (list == nullptr) {
    error = dir_ + "/sections.json: no \"sections\" array";
    return false;
  }
  std::set<int> ids;
  for (rapidjson::SizeType i = 0; i < list->Size(); ++i) {
    const rapidjson::Value& v = (*list)[i];
    const std::string where = dir_ + "/sections.json: entry " + std::to_string(i) + ": ";
    Section sec;
    const rapidjson::Value* apps = nelt::getArray(v, "apps");
    if (!nelt::getInt(v, "id", sec.id) || !nelt::getString(v, "name", sec.name) ||
        apps == nullptr) {
      error = where + "needs an integer \"id\", a string \"name\" and an array \"apps\"";
      return false;
    }
    // The window carries a pressed section as name "&" number.
    if (sec.name.find('&') != std::string::npos) {
      error = where + "a section name must not contain \"&\"";
      return false;
    }
    if (!ids.insert(sec.id).second) {
      error = where + "repeats a section id";
      return false;
    }
    for (const auto& s : apps->GetArray()) {
      const AppRecord* app = s.IsString() ? appBySlug(s.GetString()) : nullptr;
      if (app == nullptr) {
        error = where + "lists an application that apps.json does not have";
        return false;
      }
      sec.apps.push_back(app);
    }
    sections_.push_back(std::move(sec));
  }
  return true;
}

bool StoreCatalog::loadAccounts(std::string& error) {
  rapidjson::Document doc;
  bool present = false;
  if (!readCatalogFile(dir_, "accounts.json", doc, present, error)) return false;
  if (!present) return true;
  const rapidjson::Value* list = listOf(doc, "accounts");
  if (list == nullptr) {
    error = dir_ + "/accounts.json: no \"accounts\" array";
    return false;
  }
  for (rapidjson::SizeType i = 0; i < list->Size(); ++i) {
    const rapidjson::Value& v = (*list)[i];
    Account acc;
    if (!nelt::getInt(v, "id", acc.id) || !nelt::getString(v, "username", acc.username) ||
        !nelt::getString(v, "password", acc.password)) {
      error = dir_ + "/accounts.json: entry " + std::to_string(i) +
              ": needs an integer \"id\" and strings \"username\" and \"password\"";
      return false;
    }
    if (!nelt::getString(v, "name", acc.name)) acc.name = acc.username;
    nelt::getInt(v, "isPayment", acc.is_payment);
    auto avatar = v.FindMember("avatar");
    acc.has_avatar = avatar != v.MemberEnd() && avatar->value.IsBool() && avatar->value.GetBool();
    accounts_.push_back(std::move(acc));
  }
  return true;
}

bool StoreCatalog::loadKeys(std::string& error) {
  rapidjson::Document doc;
  bool present = false;
  if (!readCatalogFile(dir_, "keys.json", doc, present, error)) return false;
  if (!present) return true;
  if (!doc.IsObject()) {
    error = dir_ + "/keys.json: not an object of slug to password";
    return false;
  }
  for (const auto& m : doc.GetObject()) {
    if (!m.value.IsString()) {
      error = dir_ + "/keys.json: the key of \"" + m.name.GetString() + "\" is not a string";
      return false;
    }
    keys_[m.name.GetString()] = std::string(m.value.GetString(), m.value.GetStringLength());
  }
  return true;
}

const Section* StoreCatalog::section(int id) const {
  for (const auto& s : sections_) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

const AppRecord* StoreCatalog::appById(int id) const {
  for (const auto& a : apps_) {
    if (a->id == id) return a.get();
  }
  return nullptr;
}

const AppRecord* StoreCatalog::appBySlug(const std::string& slug) const {
  for (const auto& a : apps_) {
    if (a->slug == slug) return a.get();
  }
  return nullptr;
}

std::vector<const AppRecord*> StoreCatalog::search(const std::string& text) const {
  std::vector<const AppRecord*> out;
  for (const auto& a : apps_) {
    if (text.empty() || textContains(a->name, text) || textContains(a->slug, text) ||
        textContains(a->short_description, text)) {
      out.push_back(a.get());
    }
  }
  return out;
}

const Account* StoreCatalog::account(const std::string& username,
                                     const std::string& password) const {
  for (const auto& acc : accounts_) {
    if (acc.username == username) return acc.password == password ? &acc : nullptr;
  }
  return nullptr;
}

bool StoreCatalog::packageKey(const std::string& slug, std::string& key) const {
  auto it = keys_.find(slug);
  if (it == keys_.end()) return false;
  key = it->second;
  return true;
}

}  // namespace nelt::store_server
