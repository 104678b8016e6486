// The application cache: detail records of opened applications with their
// icon and screenshots, kept in "apps/" so that a detail page can be shown
// while the store server cannot be reached, and the index "apps.json".
#include "app_cache.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "fsutil.h"
#include "installed_list.h"
#include "json_util.h"
#include "service_api.h"
#include "utils.h"

namespace {

const char* const LOCAL_PREFIX = "local://";
const char* const RECORD_ENDING = ".json";
const char* const SAVE_IMAGE_WHERE = "int Repository::saveImage()";

// An image download ends within IMAGE_SECONDS; the connection must be up
// within IMAGE_CONNECT_SECONDS. Both keep a stalled server from holding every
// other request of the window for long.
constexpr long IMAGE_SECONDS = 30;
constexpr long IMAGE_CONNECT_SECONDS = 10;
constexpr size_t MAX_IMAGE_BYTES = 32u << 20;
// The images of one record are fetched while every other request of the
// window waits: all of them together get at most this long and this many
// bytes. What does not fit keeps its server name and is fetched online.
constexpr long RECORD_IMAGE_SECONDS = 20;
constexpr size_t MAX_RECORD_IMAGE_BYTES = 24u << 20;
// The detail page shows this many screenshots; only these are kept offline.
constexpr size_t MAX_CACHED_SCREENSHOTS = 4;

struct ImageFile {
  FILE* file = nullptr;
  size_t written = 0;
  size_t limit = MAX_IMAGE_BYTES;
  std::string head;  // the first bytes, to recognise the format
};

size_t _write_data_(void* ptr, size_t size, size_t nmemb, void* userp) {
  auto* target = static_cast<ImageFile*>(userp);
  const size_t n = size * nmemb;
  if (target->written + n > target->limit) return 0;
  if (target->head.size() < 64)
    target->head.append(static_cast<const char*>(ptr),
                        std::min<size_t>(n, 64 - target->head.size()));
  const size_t done = fwrite(ptr, 1, n, target->file);
  target->written += done;
  return done;
}

// True when `head` starts like an image the window can show: PNG, JPEG,
// GIF, WebP, BMP, ICO or SVG. An error page, a redirect's body or anything
// else is never stored as an image.
bool looksLikeImage(const std::string& head) {
  auto starts = [&](const char* magic, size_t len, size_t at = 0) {
    return head.size() >= at + len && head.compare(at, len, magic, len) == 0;
  };
  if (starts("\x89PNG\r\n\x1a\n", 8) || starts("\xff\xd8\xff", 3) || starts("GIF87a", 6) ||
      starts("GIF89a", 6) || starts("BM", 2) || starts("\x00\x00\x01\x00", 4))
    return true;
  if (starts("RIFF", 4) && starts("WEBP", 4, 8)) return true;
  size_t i = 0;
  if (starts("\xef\xbb\xbf", 3)) i = 3;
  while (i < head.size() && std::isspace(static_cast<unsigned char>(head[i]))) ++i;
  return head.compare(i, 5, "<?xml") == 0 || head.compare(i, 4, "<svg") == 0;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Image names come from the store server and become file names in "apps/":
// one path component, and never the name of a cached record.
bool imageNameUsable(const std::string& name) {
  return nelt::isSafeFileName(name) && name.size() <= 200 &&
         name.find(RECORD_ENDING) == std::string::npos;
}

std::vector<std::string> folderEntries(const std::string& path, bool& ok) {
  std::vector<std::string> names;
  ok = false;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* ent = readdir(dir)) {
    if (std::strcmp(ent->d_name, ".") == 0 || std::strcmp(ent->d_name, "..") == 0) continue;
    names.emplace_back(ent->d_name);
  }
  closedir(dir);
  ok = true;
  return names;
}

// The cached records in "apps/", sorted by name.
std::vector<std::string> recordFiles(const std::string& apps_dir, bool& ok) {
  std::vector<std::string> records;
  for (const std::string& name : folderEntries(apps_dir, ok)) {
    if (!endsWith(name, RECORD_ENDING) || name.size() == std::strlen(RECORD_ENDING)) continue;
    struct stat st;
    if (lstat((apps_dir + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    records.push_back(name);
  }
  std::sort(records.begin(), records.end());
  return records;
}

// Slugs listed in the text of "installeds.json" (entries below its "total").
std::vector<std::string> installedSlugsOf(const std::string& text, bool& ok) {
  std::vector<nelt::InstalledEntry> entries;
  ok = nelt::readInstalledList(text, entries);
  return nelt::installedSlugs(entries);
}

// File names in "apps/" that a cached record refers to with "local://".
void localImagesOf(const std::string& record_text, const std::string& apps_dir,
                   std::set<std::string>& names) {
  rapidjson::Document doc;
  if (!ServiceAPI::parseOutsideJson(doc, record_text)) return;
  const rapidjson::Value* images = nelt::getObject(doc, "images");
  if (images == nullptr) return;
  const std::string prefix = LOCAL_PREFIX + apps_dir;
  auto note = [&](const rapidjson::Value& ref) {
    if (!ref.IsString()) return;
    const std::string text(ref.GetString(), ref.GetStringLength());
    if (text.compare(0, prefix.size(), prefix) != 0) return;
    const std::string name = text.substr(prefix.size());
    if (nelt::isSafeFileName(name)) names.insert(name);
  };
  auto icon = images->FindMember("icon");
  if (icon != images->MemberEnd()) note(icon->value);
  const rapidjson::Value* shots = nelt::getArray(*images, "screenshot");
  if (shots != nullptr)
    for (const auto& shot : shots->GetArray()) note(shot);
}

// Downloads `url` into `apps_dir` + `name`. The bytes go to a hidden file
// first and replace the target only when a non-empty image arrived, so a
// failure never leaves an empty or half-written image behind.
CURLcode downloadImage(CURL* handle, const std::string& url, const std::string& apps_dir,
                       const std::string& name, size_t limit, size_t& received, bool& file_error) {
  received = 0;
  file_error = false;
  std::string tmp = apps_dir + "." + name + ".partXXXXXX";
  int fd = mkstemp(&tmp[0]);
  if (fd < 0) {
    file_error = true;
    return CURLE_WRITE_ERROR;
  }
  ImageFile target;
  target.limit = limit;
  target.file = fdopen(fd, "wb");
  if (target.file == nullptr) {
    close(fd);
    unlink(tmp.c_str());
    file_error = true;
    return CURLE_WRITE_ERROR;
  }
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &target);
  CURLcode rc = curl_easy_perform(handle);
  received = target.written;
  if (fclose(target.file) != 0 && rc == CURLE_OK) rc = CURLE_WRITE_ERROR;
  if (rc == CURLE_OK && target.written == 0) rc = CURLE_GOT_NOTHING;
  long http_code = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &http_code);
  // A redirect or any other answer than 2xx carries no image, whatever its body.
  if (rc == CURLE_OK && (http_code < 200 || http_code > 299)) rc = CURLE_HTTP_RETURNED_ERROR;
  if (rc == CURLE_OK && !looksLikeImage(target.head)) rc = CURLE_BAD_CONTENT_ENCODING;
  if (rc == CURLE_OK) {
    // The window reads the images as its own user.
    chmod(tmp.c_str(), 0644);
    if (rename(tmp.c_str(), (apps_dir + name).c_str()) != 0) rc = CURLE_WRITE_ERROR;
  }
  if (rc != CURLE_OK) unlink(tmp.c_str());
  return rc;
}

}  // namespace

void ApplicationCache::saveApps(std::string data) {
  rapidjson::Document doc;
  if (!ServiceAPI::parseOutsideJson(doc, data) || !doc.IsObject()) return;
  std::string slug;
  if (!nelt::getString(doc, "slug", slug)) return;
  // The slug names the record's file.
  if (!nelt::isValidSlug(slug)) {
    debugW("A detail record with an unusable slug is not cached",
           "void Repository::saveApps(std::string data)");
    return;
  }
  if (saveImage(slug, doc) < 0) return;
  if (nelt::writeFileAtomic(files.getPath("apps/") + slug + RECORD_ENDING,
                            nelt::toCompactJson(doc)) != 0)
    return;

  // The installed list is read once for the whole update of the cache.
  bool ok = false;
  const std::vector<std::string> installed = installedSlugsOf(files.readData(INSTALLED_OBJ), ok);
  if (std::find(installed.begin(), installed.end(), slug) == installed.end()) noteRecentSlug(slug);
  evictOldRecords(installed);
  refreshApps(installed);
}

int ApplicationCache::saveImage(std::string slug, rapidjson::Document& doc) {
  (void)slug;
  if (!doc.IsObject()) return -1;
  auto images_it = doc.FindMember("images");
  if (images_it == doc.MemberEnd() || !images_it->value.IsObject()) return -1;
  rapidjson::Value& images = images_it->value;

  // Every name is checked before anything is fetched: a record that cannot be
  // cached whole leaves no files behind.
  rapidjson::Value* icon = nullptr;
  auto icon_it = images.FindMember("icon");
  if (icon_it != images.MemberEnd() && !icon_it->value.IsNull()) {
    if (!icon_it->value.IsString() ||
        !imageNameUsable(std::string(icon_it->value.GetString(), icon_it->value.GetStringLength())))
      return -1;
    icon = &icon_it->value;
  }
  auto shots_it = images.FindMember("screenshot");
  // A record without a screenshot list is not cached.
  if (shots_it == images.MemberEnd() || !shots_it->value.IsArray()) return -1;
  rapidjson::Value& shots = shots_it->value;
  for (const auto& shot : shots.GetArray())
    if (!shot.IsString() || !imageNameUsable(std::string(shot.GetString(), shot.GetStringLength())))
      return -1;

  CURL* handle = curl_easy_init();
  if (handle == nullptr) return -1;
  ServiceAPI::applyTransferLimits(handle, IMAGE_SECONDS, IMAGE_CONNECT_SECONDS, ca_file);
  curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, _write_data_);

  const std::string apps_dir = files.getPath("apps/");
  auto& alloc = doc.GetAllocator();
  bool server_answers = true;
  bool file_failure = false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(RECORD_IMAGE_SECONDS);
  size_t bytes_left = MAX_RECORD_IMAGE_BYTES;
  // A reference becomes "local://" only when its image was stored; otherwise
  // it keeps the server's name so the window can still fetch it online.
  auto fetch = [&](const char* kind, rapidjson::Value& ref) {
    if (!server_answers || file_failure || bytes_left == 0) return;
    const long ms_left = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               deadline - std::chrono::steady_clock::now())
                                               .count());
    if (ms_left <= 0) return;
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, std::min(ms_left, IMAGE_SECONDS * 1000));
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                     std::min(ms_left, IMAGE_CONNECT_SECONDS * 1000));
    const std::string name(ref.GetString(), ref.GetStringLength());
    const std::string url =
        server_base + "/api/v1/uploads/app/" + kind + "/" + nelt::percentEncode(name);
    bool file_error = false;
    size_t received = 0;
    const CURLcode rc = downloadImage(handle, url, apps_dir, name,
                                      std::min(bytes_left, MAX_IMAGE_BYTES), received, file_error);
    bytes_left -= std::min(bytes_left, received);
    if (file_error) {
      file_failure = true;
      return;
    }
    if (rc != CURLE_OK) {
      debugE(-1, curl_easy_strerror(rc), SAVE_IMAGE_WHERE);
      // A server that does not answer is not asked again for this record.
      if (rc == CURLE_OPERATION_TIMEDOUT || rc == CURLE_COULDNT_CONNECT ||
          rc == CURLE_COULDNT_RESOLVE_HOST)
        server_answers = false;
      return;
    }
    const std::string local = LOCAL_PREFIX + apps_dir + name;
    ref.SetString(local.c_str(), static_cast<rapidjson::SizeType>(local.size()), alloc);
  };

  if (icon != nullptr) fetch("icon", *icon);
  size_t shown = 0;
  for (auto& shot : shots.GetArray())
    if (shown++ < MAX_CACHED_SCREENSHOTS) fetch("screenshot", shot);
  curl_easy_cleanup(handle);
  return file_failure ? -1 : 0;
}

void ApplicationCache::tidyCache() {
  // One inventory serves both: the index marks what the clean-up kept.
  std::vector<std::string> installed;
  clearCache(installed);
  refreshApps(installed);
}

void ApplicationCache::refreshApps() {
  bool ok = false;
  refreshApps(installedSlugsOf(files.readData(INSTALLED_OBJ), ok));
}

void ApplicationCache::refreshApps(const std::vector<std::string>& installed) {
  const std::string apps_dir = files.getPath("apps/");
  bool listed = false;
  const std::vector<std::string> records = recordFiles(apps_dir, listed);
  if (!listed) return;

  std::vector<std::string> not_installed;
  std::string text = "{\n\t\"data\":[\n";
  for (const std::string& name : records) {
    const std::string slug = name.substr(0, name.size() - std::strlen(RECORD_ENDING));
    const bool is_installed =
        std::find(installed.begin(), installed.end(), slug) != installed.end();
    if (!is_installed) not_installed.push_back(slug);
    text += "\t{\n\t\t\"slug\":\"";
    text += nelt::jsonEscape(slug);
    text += "\",\n\t\t\"json\":\"";
    text += nelt::jsonEscape(name);
    text += "\",\n\t\t\"state\":";
    text += is_installed ? "1" : "0";
    text += "\n\t},\n";
  }
  if (!records.empty()) text.erase(text.size() - 2);
  text += "\n\t],\n\t\"total\":" + std::to_string(records.size()) + "\n}";

  // Keep `list_slug` in step with the folder: records that went away leave
  // it, records it did not know yet count as the oldest.
  std::vector<std::string> recent;
  for (const std::string& slug : not_installed)
    if (std::find(list_slug.begin(), list_slug.end(), slug) == list_slug.end())
      recent.push_back(slug);
  for (const std::string& slug : list_slug)
    if (std::find(not_installed.begin(), not_installed.end(), slug) != not_installed.end())
      recent.push_back(slug);
  list_slug.swap(recent);

  files.writeData(APP_OBJ, text);
}

void ApplicationCache::noteRecentSlug(const std::string& slug) {
  list_slug.erase(std::remove(list_slug.begin(), list_slug.end(), slug), list_slug.end());
  list_slug.push_back(slug);
}

void ApplicationCache::evictOldRecords(const std::vector<std::string>& installed) {
  if (list_slug.size() <= MAX_RECENT_RECORDS) return;
  // An application installed since the last index rebuild keeps its record.
  while (list_slug.size() > MAX_RECENT_RECORDS) {
    const std::string oldest = list_slug.front();
    list_slug.erase(list_slug.begin());
    if (std::find(installed.begin(), installed.end(), oldest) == installed.end())
      removeCachedRecord(oldest);
  }
}

void ApplicationCache::removeCachedRecord(const std::string& slug) {
  if (!nelt::isValidSlug(slug)) return;
  const std::string apps_dir = files.getPath("apps/");
  const std::string record = slug + RECORD_ENDING;
  std::set<std::string> images;
  localImagesOf(nelt::readJoinedLines(apps_dir + record), apps_dir, images);
  // Images that another record also shows stay.
  bool listed = false;
  for (const std::string& other : recordFiles(apps_dir, listed)) {
    if (other == record) continue;
    std::set<std::string> used;
    localImagesOf(nelt::readJoinedLines(apps_dir + other), apps_dir, used);
    for (const std::string& name : used) images.erase(name);
  }
  unlink((apps_dir + record).c_str());
  for (const std::string& name : images) unlink((apps_dir + name).c_str());
}

bool ApplicationCache::hasApp(std::string slug, std::string& f_json, int& state) {
  const std::string text = files.readData(APP_OBJ);
  if (text.empty()) return false;
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError()) return false;
  int total = 0;
  const rapidjson::Value* data = nelt::getArray(doc, "data");
  if (!nelt::getInt(doc, "total", total) || data == nullptr) return false;
  for (rapidjson::SizeType i = 0; i < data->Size() && static_cast<int>(i) < total; ++i) {
    const rapidjson::Value& entry = (*data)[i];
    std::string entry_slug, json;
    if (!nelt::getString(entry, "slug", entry_slug) || entry_slug != slug) continue;
    if (!nelt::getString(entry, "json", json) || !nelt::isSafeFileName(json)) return false;
    int entry_state = 0;
    nelt::getInt(entry, "state", entry_state);
    f_json = files.getPath("apps/") + json;
    state = entry_state;
    return true;
  }
  return false;
}

std::string ApplicationCache::readDataApp(std::string& f_json) {
  return nelt::readJoinedLines(f_json);
}

void ApplicationCache::clearCache() {
  std::vector<std::string> installed;
  clearCache(installed);
}

bool ApplicationCache::clearCache(std::vector<std::string>& installed) {
  // The list just stored is used as built; the file is read only when it
  // could not be rebuilt and keeps what it held.
  std::vector<nelt::InstalledEntry> inventory;
  bool ok = inventory_.buildInstalledList(inventory) >= 0 &&
            inventory_.writeInstalledList(InstalledInventory::installedListText(inventory)) == 0;
  if (!ok) ok = nelt::readInstalledList(files.readData(INSTALLED_OBJ), inventory);
  installed = nelt::installedSlugs(inventory);
  if (!ok) return false;

  const std::string apps_dir = files.getPath("apps/");
  bool listed = false;
  const std::vector<std::string> entries = folderEntries(apps_dir, listed);
  if (!listed) return true;

  std::set<std::string> keep;
  for (const std::string& name : entries)
    for (const std::string& slug : installed)
      if (name.find(slug) != std::string::npos) keep.insert(name);
  // The images a kept record shows stay with it, whatever their names.
  for (const std::string& name : std::set<std::string>(keep))
    if (endsWith(name, RECORD_ENDING))
      localImagesOf(nelt::readJoinedLines(apps_dir + name), apps_dir, keep);

  for (const std::string& name : entries) {
    if (keep.count(name) != 0) continue;
    const std::string path = apps_dir + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    // A folder goes only when it is empty, as with remove().
    if (S_ISDIR(st.st_mode))
      rmdir(path.c_str());
    else
      unlink(path.c_str());
  }
  list_slug.clear();
  return true;
}
