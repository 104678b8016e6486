// The service's data folder: plain data files, the stored logins with their
// token and account number, and the per-account settings.
#include "data_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fsutil.h"
#include "json_util.h"
#include "utils.h"

namespace {

// The working directory, however long it is; empty when it cannot be read.
std::string currentDirectory() {
  std::string buf(1024, '\0');
  for (;;) {
    if (getcwd(&buf[0], buf.size()) != nullptr) return std::string(buf.c_str());
    if (errno != ERANGE || buf.size() > (1u << 20)) return std::string();
    buf.resize(buf.size() * 2);
  }
}

// Settings files are named after the account number; nothing else may become
// part of their path.
bool accountNumberUsable(const std::string& user) {
  // An account whose number cannot be read has none: an empty name would be
  // one shared "users/.json" for every such account.
  if (user.empty() || user == "-") return false;
  for (size_t i = 0; i < user.size(); ++i) {
    const char c = user[i];
    if (!(c >= '0' && c <= '9') && !(c == '-' && i == 0)) return false;
  }
  return user.size() <= 32;
}

std::string settingsPath(const std::string& folder, const std::string& user) {
  return folder + "users/" + user + ".json";
}

// True when `name` ends with `marker` followed by the six letters or digits
// that mkstemp puts in place of "XXXXXX".
bool endsWithTempSuffix(const std::string& name, const char* marker) {
  const size_t len = std::strlen(marker) + 6;
  if (name.size() <= len || name.compare(name.size() - len, len - 6, marker) != 0) return false;
  for (size_t i = name.size() - 6; i < name.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

// Removes the temporary files that a write interrupted by a crash leaves in
// `folder`: "NAME.tmpXXXXXX" of the data files and, in "apps/", the hidden
// ".NAME.partXXXXXX" of image downloads. Only regular files go.
void removeStaleTemporaries(const std::string& folder, bool images) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> stale;
  while (struct dirent* ent = readdir(dir)) {
    const std::string name = ent->d_name;
    if (endsWithTempSuffix(name, ".tmp") ||
        (images && name[0] == '.' && endsWithTempSuffix(name, ".part")))
      stale.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : stale) {
    const std::string path = folder + name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(path.c_str());
  }
}

}  // namespace

DataFiles::DataFiles(std::string folder) {
  if (!folder.empty() && folder[0] == '/') {
    data_folder = folder;
  } else {
    if (folder.compare(0, 2, "./") == 0) folder.erase(0, 2);
    data_folder = currentDirectory() + "/" + folder;
  }
  if (data_folder.empty() || data_folder.back() != '/') data_folder += '/';

  nelt::makeDirs(data_folder, 0775);
  nelt::makeDir(data_folder + "apps", 0775);
  nelt::makeDir(data_folder + "users", 0775);
  // Nothing else writes in the data folder while the service starts.
  removeStaleTemporaries(data_folder, false);
  removeStaleTemporaries(data_folder + "users/", false);
  removeStaleTemporaries(data_folder + "apps/", true);
}

DataFiles::~DataFiles() {
  for (std::fstream* f : {&fuser, &fdev})
    if (f->is_open()) f->close();
}

const char* DataFiles::fileName(ObjType type) {
  switch (type) {
    case USER_OBJ:
      return "user.json";
    case DEV_OBJ:
      return "dev.json";
    case APP_OBJ:
      return "apps.json";
    case SECTION_OBJ:
      return "sections.json";
    case INSTALLED_OBJ:
      return "installeds.json";
    default:
      return nullptr;
  }
}

std::string DataFiles::getPath(std::string file) {
  if (file.compare(0, 2, "./") == 0) file.erase(0, 2);
  return data_folder + file;
}

int DataFiles::writeData(ObjType type, std::string data) {
  const char* name = fileName(type);
  if (name == nullptr) return -1;
  // The logins hold account tokens: readable by the service only.
  const unsigned mode = (type == USER_OBJ || type == DEV_OBJ) ? 0600 : 0644;
  if (nelt::writeFileAtomic(getPath(name), data, mode) == 0) return 0;
  debugE(-1, std::string("Cannot write ") + name,
         "void Repository::writeData(ObjType type, std::string data)");
  return -1;
}

std::string DataFiles::readData(ObjType type) {
  const char* name = fileName(type);
  if (name == nullptr) return std::string();
  return nelt::readJoinedLines(getPath(name));
}

// Reads a stored login ("user.json" or "dev.json") through its stream. The
// stream is opened for reading and writing so that a missing file is not
// created.
std::string DataFiles::readLogin(ObjType type) {
  std::fstream* stream = nullptr;
  if (type == USER_OBJ)
    stream = &fuser;
  else if (type == DEV_OBJ)
    stream = &fdev;
  else
    return std::string();
  std::string text, line;
  stream->open(getPath(fileName(type)), std::ios::in | std::ios::out | std::ios::binary);
  if (!stream->is_open()) return text;
  while (std::getline(*stream, line)) text += line;
  stream->close();
  stream->clear();
  return text;
}

std::string DataFiles::readToken(ObjType type) {
  const std::string text = readLogin(type);
  if (text.empty()) return std::string();
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  std::string token;
  if (doc.HasParseError() || !nelt::getString(doc, "token", token)) return std::string();
  return token;
}

void DataFiles::removeToken(ObjType type) {
  if (type != USER_OBJ && type != DEV_OBJ) return;
  unlink(getPath(fileName(type)).c_str());
}

std::string DataFiles::getIDUserName(ObjType type) {
  const std::string text = readLogin(type);
  if (text.empty()) return std::string();
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError()) return std::string();
  const rapidjson::Value* user = nelt::getObject(doc, "user");
  if (user == nullptr) return std::string();
  auto it = user->FindMember("id");
  if (it == user->MemberEnd() || !it->value.IsInt64()) return std::string();
  return std::to_string(it->value.GetInt64());
}

int DataFiles::saveSetting(std::string user, std::string setting) {
  if (!accountNumberUsable(user)) return -1;
  // Only a settings object is stored; anything else would replace good
  // settings with text the window cannot read.
  rapidjson::Document doc;
  doc.Parse(setting.c_str(), setting.size());
  if (doc.HasParseError() || !doc.IsObject()) return -1;
  // Settings belong to the account: readable by the service only, like the logins.
  return nelt::writeFileAtomic(settingsPath(data_folder, user), setting, 0600) == 0 ? 0 : -1;
}

std::string DataFiles::getSetting(std::string user) {
  if (!accountNumberUsable(user)) return getFormSettingNull();
  std::string text = nelt::readJoinedLines(settingsPath(data_folder, user));
  if (text.empty()) return getFormSettingNull();
  return text;
}

std::string DataFiles::getFormSettingNull() {
  std::string text = "{";
  text += "\"id\": -1";
  text += ",";
  text += "\"setting\":{";
  text += "\"autoUpdate\": 0";
  text += "}}";
  return text;
}
