// The installed-applications inventory: `snap list` joined with the
// "kavix.json" that the store's installer leaves in each snap's folder, and
// the merge of the update marks into "installeds.json".
#include "inventory.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <future>
#include <iostream>
#include <map>
#include <optional>

#include "fsutil.h"
#include "installed_list.h"
#include "json_util.h"
#include "paths.h"
#include "process.h"
#include "protocol.h"
#include "utils.h"

namespace {

const char* const INVENTORY_WHERE = "int ServiceController::getListInstalled()";

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

// The mount points of this process's mount namespace ("/proc/self/mountinfo",
// fifth field, with the kernel's octal escapes undone).
std::vector<std::string> mountPoints() {
  std::vector<std::string> points;
  std::FILE* file = std::fopen("/proc/self/mountinfo", "re");
  if (file == nullptr) return points;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, file) != nullptr) {
    std::vector<std::string> fields;
    stringtok(buf, " ", fields);
    if (fields.size() < 5) continue;
    const std::string& raw = fields[4];
    std::string point;
    for (size_t i = 0; i < raw.size(); ++i) {
      const bool escaped = raw[i] == '\\' && i + 3 < raw.size() &&
                           raw.substr(i + 1, 3).find_first_not_of("01234567") == std::string::npos;
      if (escaped) {
        point += static_cast<char>(((raw[i + 1] - '0') << 6) | ((raw[i + 2] - '0') << 3) |
                                   (raw[i + 3] - '0'));
        i += 3;
      } else {
        point += raw[i];
      }
    }
    points.push_back(point);
  }
  std::fclose(file);
  return points;
}

// A folder of the snap root that the store installed into and that snapd has
// since emptied: it holds nothing but a "kavix.json" (a plain file with the
// store's metadata) and is no mount point. Such a folder is removed so that
// the application no longer counts as installed. Everything else in the snap
// root is snapd's: "bin" (its command links, recreated by the next install),
// folders without the store's metadata, folders that still hold a revision
// or a "current" link, and mount points are never touched.
void removeLeftOverFolders(const std::string& snap_root) {
  std::vector<std::string> snaps;
  if (!listFolder(snap_root, snaps)) return;
  struct stat root_st;
  if (lstat(snap_root.c_str(), &root_st) != 0) return;
  std::optional<std::vector<std::string>> mounts;
  for (const std::string& name : snaps) {
    if (name == "bin" || !nelt::isSafeFileName(name)) continue;
    const std::string path = snap_root + name;
    struct stat st;
    // Links and files in the snap root are the platform's business.
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (st.st_dev != root_st.st_dev) continue;  // another file system is mounted here
    std::vector<std::string> inside;
    if (!listFolder(path + "/", inside)) {
      perror("Unable to read directory");
      continue;
    }
    if (inside.size() != 1 || inside[0] != "kavix.json") continue;
    struct stat meta_st;
    const std::string meta_path = path + "/kavix.json";
    if (lstat(meta_path.c_str(), &meta_st) != 0 || !S_ISREG(meta_st.st_mode)) continue;
    if (!InstalledInventory::readKavixMeta(meta_path)) continue;
    // A bind mount of the same file system keeps the device number.
    if (!mounts) mounts = mountPoints();
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) continue;
    if (std::find(mounts->begin(), mounts->end(), std::string(resolved)) != mounts->end()) continue;
    remove_directory(path.c_str());
  }
}

// `snap list` with its standard error kept for the log: snapd writes its
// errors and notes ("No snaps are installed yet") there.
nelt::ProcessResult listSnaps() { return nelt::runProgram({"snap", "list"}, true, true); }

}  // namespace

std::string InstalledInventory::normaliseVersion(const std::string& version) {
  std::string text = version;
  if (!text.empty() && text[0] == 'v') text.erase(0, 1);
  std::vector<std::string> pieces;
  stringtok(text, ".", pieces);
  if (pieces.empty()) return version;
  static const char* const LETTERS = "qwertyuiopasdfghjklzxcvbnm";
  std::string out;
  for (const std::string& piece : pieces) {
    if (piece.find_first_of(LETTERS) != std::string::npos) break;
    if (!out.empty()) out += '.';
    out += piece;
  }
  return out;
}

std::optional<KavixMeta> InstalledInventory::readKavixJson(const std::string& path) {
  // Flushed with the request's other log lines, not once per snap.
  std::cout << path << '\n';
  return readKavixMeta(path);
}

std::optional<KavixMeta> InstalledInventory::readKavixMeta(const std::string& path) {
  struct stat st;
  // Only a plain file is read: a fifo or device there would hang the service.
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const std::string text = nelt::readJoinedLines(path);
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) return std::nullopt;
  KavixMeta meta;
  if (!nelt::getString(doc, "name", meta.name) ||
      !nelt::getString(doc, "long-name", meta.long_name) ||
      !nelt::getString(doc, "slug", meta.slug) || !nelt::getString(doc, "version", meta.version))
    return std::nullopt;
  meta.version = normaliseVersion(meta.version);
  return meta;
}

int InstalledInventory::getListInstalled() {
  std::vector<nelt::InstalledEntry> entries;
  if (buildInstalledList(entries) < 0) return -1;
  return writeInstalledList(installedListText(entries)) == 0 ? static_cast<int>(entries.size())
                                                             : -1;
}

int InstalledInventory::writeInstalledList(const std::string& text) {
  if (nelt::writeFileAtomic(files.getPath(DataFiles::fileName(INSTALLED_OBJ)), text) != 0) {
    debugE(-1, "fopen installeds.json", INVENTORY_WHERE);
    return -1;
  }
  return 0;
}

int InstalledInventory::buildInstalledList(
    std::vector<nelt::InstalledEntry>& entries,
    const std::function<void(const std::vector<std::string>&)>& while_listing) {
  entries.clear();
  const std::string snap_root = nelt::snapRoot();

  // Without a snap folder no store application can be installed: the list is
  // simply empty and `snap list` is not asked.
  if (nelt::isDirectory(snap_root)) {
    removeLeftOverFolders(snap_root);

    // The metadata in the snap folders, read while `snap list` runs and
    // used for the snaps it lists.
    std::map<std::string, std::optional<KavixMeta>> on_disk;
    std::future<nelt::ProcessResult> running;
    if (while_listing) {
      running = std::async(std::launch::async, listSnaps);
      std::vector<std::string> names, slugs;
      listFolder(snap_root, names);
      for (const std::string& name : names) {
        if (!nelt::isSafeFileName(name)) continue;
        std::optional<KavixMeta> meta = readKavixMeta(snap_root + name + "/kavix.json");
        if (meta && !meta->slug.empty()) slugs.push_back(meta->slug);
        on_disk.emplace(name, std::move(meta));
      }
      while_listing(slugs);
    }
    nelt::ProcessResult listing = running.valid() ? running.get() : listSnaps();
    if (!listing.started) {
      debugE(-1, "popen snap list", INVENTORY_WHERE);
      return -1;
    }
    // A listing that failed (snapd unreachable, an authorisation file it
    // cannot read) lists nothing, which is not "nothing installed": the
    // last inventory and its update marks stay until a listing succeeds.
    if (listing.exit_code != 0 || listing.out.compare(0, 6, "error:") == 0) {
      std::string why = listing.err.empty() ? listing.out : listing.err;
      why = why.substr(0, why.find('\n'));
      debugE(-1, "snap list failed (status " + std::to_string(listing.exit_code) + "): " + why,
             INVENTORY_WHERE);
      entries.clear();
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
      const std::string path = snap_root + word + "/kavix.json";
      std::optional<KavixMeta> meta;
      auto known = on_disk.find(word);
      if (known == on_disk.end()) {
        meta = readKavixJson(path);
      } else {
        std::cout << path << '\n';
        meta = known->second;
      }
      if (!meta) continue;
      nelt::InstalledEntry entry;
      entry.name = std::move(meta->long_name);
      entry.slug = std::move(meta->slug);
      entry.name_snap = word;
      entry.ver_cur = std::move(meta->version);
      entry.ver_new = "null";
      entry.has_new_version = true;
      entries.push_back(std::move(entry));
    }
  }
  list_slug_installed.clear();
  for (const nelt::InstalledEntry& entry : entries) list_slug_installed.push_back(entry.slug);
  return static_cast<int>(entries.size());
}

std::string InstalledInventory::installedListText(
    const std::vector<nelt::InstalledEntry>& entries) {
  std::string text = "{\n\t\"data\":[\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    const nelt::InstalledEntry& entry = entries[i];
    text += "\t{\n";
    text += "\t\t\"name\":\"" + nelt::jsonEscape(entry.name) + "\",\n";
    text += "\t\t\"slug\":\"" + nelt::jsonEscape(entry.slug) + "\",\n";
    text += "\t\t\"name_snap\":\"" + nelt::jsonEscape(entry.name_snap) + "\",\n";
    text += "\t\t\"version\":\"" + nelt::jsonEscape(entry.ver_cur) + "\",\n";
    text += "\t\t\"new-version\":\"null\",\n";
    text += "\t\t\"update\":0\n";
    text += (i + 1 == entries.size()) ? "\t}\n" : "\t},\n";
  }
  text += "\t],\n";
  text += "\t\"total\":" + std::to_string(entries.size()) + "\n";
  text += "}\n";
  return text;
}

std::string InstalledInventory::markedListText(const std::vector<nelt::InstalledEntry>& entries,
                                               const std::vector<Infoupdate_installed_app>& list) {
  // The same document the stored text parses into, built directly.
  rapidjson::Document doc;
  doc.SetObject();
  auto& alloc = doc.GetAllocator();
  auto str = [&alloc](const std::string& s) {
    return rapidjson::Value(s.c_str(), static_cast<rapidjson::SizeType>(s.size()), alloc);
  };
  rapidjson::Value data(rapidjson::kArrayType);
  for (const nelt::InstalledEntry& entry : entries) {
    std::string ver_new = "null";
    int update = 0;
    for (const Infoupdate_installed_app& record : list) {
      if (record.slug != entry.slug) continue;
      ver_new = record.ver_new;
      update = record.is_update ? 1 : 0;
    }
    rapidjson::Value item(rapidjson::kObjectType);
    item.AddMember("name", str(entry.name), alloc);
    item.AddMember("slug", str(entry.slug), alloc);
    item.AddMember("name_snap", str(entry.name_snap), alloc);
    item.AddMember("version", str(entry.ver_cur), alloc);
    item.AddMember("new-version", str(ver_new), alloc);
    item.AddMember("update", update, alloc);
    data.PushBack(item, alloc);
  }
  doc.AddMember("data", data, alloc);
  doc.AddMember("total", static_cast<int>(entries.size()), alloc);
  return nelt::toCompactJson(doc);
}

void InstalledInventory::updateInstalledList(std::vector<Infoupdate_installed_app> list) {
  const std::string text = files.readData(INSTALLED_OBJ);
  const std::string marked = markInstalledList(text, list);
  if (!marked.empty()) files.writeData(INSTALLED_OBJ, marked);
}

std::string InstalledInventory::markInstalledList(
    const std::string& text, const std::vector<Infoupdate_installed_app>& list) {
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
