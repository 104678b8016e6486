// The installed-applications inventory: `snap list` joined with the
// "kavix.json" that the store's installer leaves in each snap's folder, and
// the merge of the update marks into "installeds.json".
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "fsutil.h"
#include "json_util.h"
#include "paths.h"
#include "process.h"
#include "protocol.h"
#include "repository.h"
#include "utils.h"

namespace {

const char* const kInventoryWhere = "int ServiceController::getListInstalled()";

// Entries of a folder other than "." and ".."; false when it cannot be read.
bool listFolder(const std::string& path, std::vector<std::string>& names) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  while (struct dirent* ent = readdir(dir)) {
    if (std::strcmp(ent->d_name, ".") == 0 || std::strcmp(ent->d_name, "..") == 0) continue;
    names.emplace_back(ent->d_name);
  }
  closedir(dir);
  return true;
}

// A snap folder that is empty or holds nothing but "kavix.json" is what an
// uninstall leaves behind; it is removed so that the application no longer
// counts as installed.
void removeLeftOverFolders(const std::string& snap_root) {
  std::vector<std::string> snaps;
  if (!listFolder(snap_root, snaps)) return;
  for (const std::string& name : snaps) {
    const std::string path = snap_root + name;
    struct stat st;
    // Links and files in the snap root are the platform's business.
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    std::vector<std::string> inside;
    if (!listFolder(path + "/", inside)) {
      perror("Unable to read directory");
      continue;
    }
    if (inside.empty() || (inside.size() == 1 && inside[0] == "kavix.json"))
      remove_directory(path.c_str());
  }
}

struct KeptSnap {
  std::string name_snap, long_name, slug, version;
};

}  // namespace

std::string Repository::normaliseVersion(const std::string& version) {
  std::string text = version;
  if (!text.empty() && text[0] == 'v') text.erase(0, 1);
  std::vector<std::string> pieces;
  stringtok(text, ".", pieces);
  if (pieces.empty()) return version;
  static const char* const kLetters = "qwertyuiopasdfghjklzxcvbnm";
  std::string out;
  for (const std::string& piece : pieces) {
    if (piece.find_first_of(kLetters) != std::string::npos) break;
    if (!out.empty()) out += '.';
    out += piece;
  }
  return out;
}

int Repository::readKavixJson(std::string path) {
  std::cout << path << std::endl;
  struct stat st;
  // Only a plain file is read: a fifo or device there would hang the service.
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const std::string text = nelt::readJoinedLines(path);
  doc_kavix.SetObject();
  doc_kavix.Parse(text.c_str(), text.size());
  if (doc_kavix.HasParseError() || !doc_kavix.IsObject()) return -1;
  std::string value;
  for (const char* key : {"name", "long-name", "slug", "version"})
    if (!nelt::getString(doc_kavix, key, value)) return -1;
  nelt::getString(doc_kavix, "version", value);
  const std::string normalised = normaliseVersion(value);
  doc_kavix["version"].SetString(normalised.c_str(),
                                 static_cast<rapidjson::SizeType>(normalised.size()),
                                 doc_kavix.GetAllocator());
  return 0;
}

int Repository::getListInstalled() {
  std::string text;
  const int count = buildInstalledList(text);
  if (count < 0) return -1;
  return writeInstalledList(text) == 0 ? count : -1;
}

int Repository::writeInstalledList(const std::string& text) {
  if (nelt::writeFileAtomic(getPath(fileName(INSTALLED_OBJ)), text) != 0) {
    debugE(-1, "fopen installeds.json", kInventoryWhere);
    return -1;
  }
  return 0;
}

int Repository::buildInstalledList(std::string& text) {
  list_slug_installed.clear();
  const std::string snap_root = nelt::snapRoot();

  std::vector<KeptSnap> kept;
  // Without a snap folder no store application can be installed: the list is
  // simply empty and `snap list` is not asked.
  if (nelt::isDirectory(snap_root)) {
    removeLeftOverFolders(snap_root);

    nelt::ProcessResult listing = nelt::runProgram({"snap", "list"});
    if (!listing.started) {
      debugE(-1, "popen snap list", kInventoryWhere);
      return -1;
    }
    size_t start = 0;
    while (start < listing.out.size()) {
      size_t end = listing.out.find('\n', start);
      if (end == std::string::npos) end = listing.out.size();
      const std::string line = listing.out.substr(start, end - start);
      start = end + 1;
      // The header line's first word names no snap and is skipped like any
      // snap without a "kavix.json".
      const std::string word = line.substr(0, line.find(' '));
      if (!nelt::isSafeFileName(word)) continue;
      if (readKavixJson(snap_root + word + "/kavix.json") != 0) continue;
      KeptSnap snap;
      snap.name_snap = word;
      nelt::getString(doc_kavix, "long-name", snap.long_name);
      nelt::getString(doc_kavix, "slug", snap.slug);
      nelt::getString(doc_kavix, "version", snap.version);
      kept.push_back(std::move(snap));
    }
  }

  text = "{\n\t\"data\":[\n";
  for (size_t i = 0; i < kept.size(); ++i) {
    const KeptSnap& snap = kept[i];
    list_slug_installed.push_back(snap.slug);
    text += "\t{\n";
    text += "\t\t\"name\":\"" + nelt::jsonEscape(snap.long_name) + "\",\n";
    text += "\t\t\"slug\":\"" + nelt::jsonEscape(snap.slug) + "\",\n";
    text += "\t\t\"name_snap\":\"" + nelt::jsonEscape(snap.name_snap) + "\",\n";
    text += "\t\t\"version\":\"" + nelt::jsonEscape(snap.version) + "\",\n";
    text += "\t\t\"new-version\":\"null\",\n";
    text += "\t\t\"update\":0\n";
    text += (i + 1 == kept.size()) ? "\t}\n" : "\t},\n";
  }
  text += "\t],\n";
  text += "\t\"total\":" + std::to_string(kept.size()) + "\n";
  text += "}\n";
  return static_cast<int>(kept.size());
}

void Repository::updateInstalledList(std::vector<Infoupdate_installed_app> list) {
  const std::string text = readData(INSTALLED_OBJ);
  const std::string marked = markInstalledList(text, list);
  if (!marked.empty()) writeData(INSTALLED_OBJ, marked);
}

std::string Repository::markInstalledList(const std::string& text,
                                          const std::vector<Infoupdate_installed_app>& list) {
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) return std::string();
  int total = 0;
  auto data_it = doc.FindMember("data");
  if (!nelt::getInt(doc, "total", total) || data_it == doc.MemberEnd() || !data_it->value.IsArray())
    return std::string();
  rapidjson::Value& data = data_it->value;
  auto& alloc = doc.GetAllocator();
  const rapidjson::SizeType count =
      std::min(data.Size(), static_cast<rapidjson::SizeType>(std::max(total, 0)));

  for (const Infoupdate_installed_app& record : list) {
    for (rapidjson::SizeType i = 0; i < count; ++i) {
      rapidjson::Value& entry = data[i];
      std::string slug;
      if (!nelt::getString(entry, "slug", slug) || slug != record.slug) continue;
      rapidjson::Value version(record.ver_new.c_str(),
                               static_cast<rapidjson::SizeType>(record.ver_new.size()), alloc);
      auto it = entry.FindMember("new-version");
      if (it != entry.MemberEnd())
        it->value = version;
      else
        entry.AddMember("new-version", version, alloc);
      it = entry.FindMember("update");
      if (it != entry.MemberEnd())
        it->value.SetInt(record.is_update ? 1 : 0);
      else
        entry.AddMember("update", record.is_update ? 1 : 0, alloc);
    }
  }
  return nelt::toCompactJson(doc);
}
