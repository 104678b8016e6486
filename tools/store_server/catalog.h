// The catalog folder the local store server answers from: applications,
// sections, accounts and package keys, loaded once at start and read-only
// afterwards, so request threads share it without a lock.
#pragma once

#include <rapidjson/document.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nelt::store_server {

struct AppRecord {
  int id = 0;
  std::string slug;
  std::string name;
  std::string short_description;
  std::string current_version;
  // The public record as the catalog gives it. Members that could carry a
  // package password ("key", "password") are removed at load time.
  rapidjson::Document record;
};

struct Section {
  int id = 0;
  std::string name;
  std::vector<const AppRecord*> apps;
};

struct Account {
  int id = 0;
  std::string username;
  std::string password;
  std::string name;
  int is_payment = 0;
  bool has_avatar = false;
};

class StoreCatalog {
 public:
  // Loads DIR/apps.json, DIR/sections.json, DIR/accounts.json and
  // DIR/keys.json. A missing file counts as empty; a file that is present but
  // unreadable, not JSON or of the wrong shape fails the load with a reason.
  bool load(const std::string& dir, std::string& error);

  const std::string& dir() const { return dir_; }
  std::string imagesDir() const { return dir_ + "/images"; }
  const std::vector<Section>& sections() const { return sections_; }
  const Section* section(int id) const;
  const AppRecord* appById(int id) const;
  const AppRecord* appBySlug(const std::string& slug) const;
  // Applications whose name, slug or short description contains `text`
  // (see textContains), in catalog order; every application for "".
  std::vector<const AppRecord*> search(const std::string& text) const;
  // The account with these credentials, or null.
  const Account* account(const std::string& username, const std::string& password) const;
  // The password of a slug's packages; false when the catalog has none.
  bool packageKey(const std::string& slug, std::string& key) const;

 private:
  bool loadApps(std::string& error);
  bool loadSections(std::string& error);
  bool loadAccounts(std::string& error);
  bool loadKeys(std::string& error);

  std::string dir_;
  std::vector<std::unique_ptr<AppRecord>> apps_;
  std::vector<Section> sections_;
  std::vector<Account> accounts_;
  std::map<std::string, std::string> keys_;
};

}  // namespace nelt::store_server
