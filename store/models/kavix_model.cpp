#include "kavix_model.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <system_error>
#include <vector>

#include "fsutil.h"
#include "installed_list.h"
#include "json_util.h"
#include "kavix_package.h"
#include "model_log.h"
#include "paths.h"
#include "privileged_helper.h"
#include "process.h"
#include "store_globals.h"
#include "transfer.h"
#include "work_area.h"

using nelt::window::setCurrentInstall;
using nelt::window::URL_HOST;

namespace {

// Public-address lookup used for the client identity of the download. Tests
// and closed networks point NELT_IP_LOOKUP_URL elsewhere; an empty value turns
// the lookup off.
constexpr long IP_LOOKUP_TIMEOUT_SEC = 5;

// A download that cannot connect within this time, or that moves less than
// LOW_SPEED_BYTES per second for LOW_SPEED_SECONDS, has failed.
constexpr long CONNECT_TIMEOUT_SEC = 15;
constexpr long LOW_SPEED_BYTES = 1024;
constexpr long LOW_SPEED_SECONDS = 30;

constexpr long DOWNLOAD_BUFFER_BYTES = 512L * 1024;

std::once_flag curl_once;

std::string ipLookupUrl() {
  const char* env = std::getenv("NELT_IP_LOOKUP_URL");
  return env != nullptr ? std::string(env) : std::string(nelt::DEFAULT_IP_LOOKUP_URL);
}

// A snap's command as `snap info` lists it ("hello", "hello.tool").
bool isValidCommandName(const std::string& cmd) {
  if (cmd.empty() || cmd.size() > 256 || cmd.front() == '-' || cmd.front() == '.') return false;
  for (char c : cmd) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_';
    if (!ok) return false;
  }
  return true;
}

struct DownloadSink {
  FILE* file = nullptr;
  KavixModel* model = nullptr;
  CURL* curl = nullptr;
  double* downloaded = nullptr;
  std::mutex* guard = nullptr;
  uint64_t max_bytes = 0;
  uint64_t received = 0;
  // Bytes already in the file when the transfer started (a resume), and the
  // whole package's size they belong to.
  uint64_t offset = 0;
  uint64_t expected = 0;
  // What the answer's head said, judged when its first data arrives.
  std::string content_range;
  bool judged = false;
  long status = 0;
  bool resumed = false;     // 206 with the range asked for
  bool restarted = false;   // a range was asked, the whole package came
  bool bad_range = false;   // 206 or 416 that does not fit the partial file
  bool http_error = false;  // not a 2xx answer: its body is no package
  uint64_t total = 0;       // the whole package's size, when known
  bool write_failed = false;
};

// "bytes FIRST-LAST/TOTAL" of a Content-Range header; false when it is not
// exactly that.
bool parseContentRange(const std::string& value, uint64_t& first, uint64_t& last, uint64_t& total) {
  unsigned long long a = 0, b = 0, c = 0;
  int used = 0;
  if (std::sscanf(value.c_str(), "bytes %llu-%llu/%llu%n", &a, &b, &c, &used) != 3) return false;
  for (size_t i = static_cast<size_t>(used); i < value.size(); ++i)
    if (value[i] != ' ' && value[i] != '\t' && value[i] != '\r' && value[i] != '\n') return false;
  first = a;
  last = b;
  total = c;
  return first <= last && last < total;
}

// Partial downloads nobody resumed within this time are removed.
constexpr long PARTIAL_MAX_AGE_SEC = 3L * 24 * 3600;

// A package is its archive and a header of a few kilobytes; a download that
// grows beyond what may be unpacked plus that header is cut off.
constexpr uint64_t PACKAGE_HEADER_SLACK = uint64_t{1} << 20;

std::shared_future<SysInfo> processIdentity();

}  // namespace

KavixModel::KavixModel() {
  std::call_once(curl_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  processIdentity();
  for (int i = 0; i < 4; ++i) file_signature[i] = nelt::kavix::SIGNATURE[i];
  info.SetObject();
  // Only root works there; everybody else gets private folders per job.
  if (geteuid() == 0) nelt::makeDirs(nelt::kavixWorkRoot(), 0775);
  if (!_start_worker_()) nelt::debugLog("Run thread_install");
}

KavixModel::~KavixModel() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    loop_install = false;
  }
  cv.notify_all();
  if (thread_install.joinable()) thread_install.join();
}

bool KavixModel::_start_worker_() {
  try {
    thread_install = std::thread(&KavixModel::_t_install, this);
  } catch (const std::system_error&) {
    return false;
  }
  return thread_install.joinable();
}

namespace {

SysInfo readIdentity() {
  SysInfo fresh;
  fresh.os = nelt::headerSafe(nelt::readOsDescription());
  if (fresh.os.empty()) nelt::debugLog("Error get os");
  if (!nelt::readMacAddresses(fresh.mac_addr)) {
    nelt::debugLog("Error get Mac");
    fresh.mac_addr.clear();
  }
  fresh.mac_addr = nelt::headerSafe(fresh.mac_addr);
  fresh.ip_addr = nelt::headerSafe(nelt::fetchPublicIp(ipLookupUrl(), IP_LOOKUP_TIMEOUT_SEC));
  return fresh;
}

// The machine's identity does not change while the process runs: it is read
// once, on a thread of its own started with the first engine, so neither the
// window's thread nor an install waits for the address lookup unless a
// download needs the answer before it has come. Only a different lookup
// address (set for a test) makes it read again.
std::shared_future<SysInfo> processIdentity() {
  static std::mutex guard;
  static std::string looked_up_at;
  static std::shared_future<SysInfo> identity;
  const std::string url = ipLookupUrl();
  std::lock_guard<std::mutex> lock(guard);
  if (!identity.valid() || url != looked_up_at) {
    looked_up_at = url;
    identity = std::async(std::launch::async, readIdentity).share();
  }
  return identity;
}

}  // namespace

void KavixModel::getSysInfo() {
  const SysInfo fresh = processIdentity().get();
  std::lock_guard<std::mutex> lock(mutex_sys);
  sys_info = fresh;
}

int KavixModel::install(std::string slug_, std::string ver, int id_status) {
  auto refuse = [this](int code, const std::string& reason) {
    std::lock_guard<std::mutex> per_lock(mutex_per);
    last_error = reason;
    return code;
  };
  if (!nelt::isValidSlug(slug_)) {
    nelt::debugLog("Error slug");
    return refuse(-6, "not an application slug");
  }
  if (api == nullptr) {
    nelt::debugLog("Error get token");
    return refuse(-5, "no store service client");
  }
  std::unique_lock<std::mutex> lock(mutex);
  if (!thread_install.joinable()) {
    f_install_run = false;
    if (!_start_worker_()) {
      nelt::debugLog("Run thread_install");
      return refuse(-1, "the install worker cannot run");
    }
  }
  // One job at a time: a second install waits here until the running job has
  // ended, then queues its own.
  cv.wait(lock, [this] { return !f_install_run || !loop_install; });
  if (!loop_install) return refuse(-1, "the install worker has stopped");
  if (f_install_run) {
    nelt::debugLog("Process busy");
    return refuse(-2, "another install is running");
  }

  std::string link = URL_HOST + "/api/v1/apps/downloadBinary/" + slug_;
  if (!ver.empty()) link += "?version=" + nelt::percentEncode(ver);
  nelt::consoleLog(link);

  std::string header;
  if (const int r = _authorisation_header_(header); r != 0) return r;

  // The work folder is made by the job itself, once it holds the slug's
  // lock: another process may be installing the same application right now.
  slug = slug_;
  ver_app = ver;
  id_status_install = id_status;
  dir_save.clear();
  path_save.clear();
  header_download = header;
  link_download = link;
  name_snap.clear();
  {
    // Progress and result change together, so a poller never pairs the new
    // job's progress with the last job's result.
    std::lock_guard<std::mutex> per_lock(mutex_per);
    size_downloaded = 0;
    size_file_total = 0;
    per_download_i = 0;
    per_download = 0;
    ret_install = 0;
    last_error.clear();
    installed_version.clear();
    job_running = true;
    cancel_possible = true;
    last_cancelled = false;
    cancel_requested = false;
  }
  f_install_run = true;
  lock.unlock();
  cv.notify_all();
  return 0;
}

int KavixModel::_authorisation_header_(std::string& header) {
  auto refuse = [this](int code, const std::string& reason) {
    std::lock_guard<std::mutex> per_lock(mutex_per);
    last_error = reason;
    return code;
  };
  KavixReply reply;
  if (api->getToken(&reply) < 0) {
    nelt::debugLog("Error get token");
    return refuse(-5, "the store service did not answer the token request");
  }
  if (reply.status == 9998) return refuse(9998, "not signed in");
  if (reply.status != 200)
    return refuse(-3, "the store service refused the token request (status " +
                          std::to_string(reply.status) + ")");
  std::string token;
  if (!nelt::getString(reply.doc, "token", token) || !nelt::headerValueUsable(token))
    return refuse(-4, "the store service holds no usable account token");
  header = "Authorization: Bearer " + token;
  return 0;
}

std::string KavixModel::lastError() {
  std::lock_guard<std::mutex> lock(mutex_per);
  return last_error;
}

std::string KavixModel::installedVersion() {
  std::lock_guard<std::mutex> lock(mutex_per);
  return installed_version;
}

int KavixModel::getStateInstall() {
  int ret = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_per);
    per_download = per_download_i;
    ret = ret_install;
  }
  // A failed job is reported as failed whatever the download had reached.
  if (ret == -1) return 101;
  if (ret == 1) return 200;
  if (per_download <= 99) return per_download;
  if (per_download == 100) return 102;
  return -1;
}

void KavixModel::_set_percent_(int value) {
  std::lock_guard<std::mutex> lock(mutex_per);
  per_download_i = value;
}

size_t KavixModel::_header_data_(char* buffer, size_t size, size_t nitems, void* userdata) {
  auto* sink = static_cast<DownloadSink*>(userdata);
  const size_t n = size * nitems;
  const std::string line(buffer, n);
  if (line.compare(0, 5, "HTTP/") == 0) sink->content_range.clear();
  static const char NAME[] = "content-range:";
  if (n > sizeof NAME - 1 && strncasecmp(line.c_str(), NAME, sizeof NAME - 1) == 0) {
    size_t start = sizeof NAME - 1;
    while (start < line.size() && line[start] == ' ') ++start;
    sink->content_range = line.substr(start);
  }
  return n;
}

namespace {
// Judges the answer once its head is complete (at its first data): a 206
// must continue the partial file exactly where it ends and belong to a
// package of the size it was started for; a 200 replaces the partial file.
// false when the transfer must stop.
bool judgeAnswer(DownloadSink& sink) {
  sink.judged = true;
  curl_easy_getinfo(sink.curl, CURLINFO_RESPONSE_CODE, &sink.status);
  curl_off_t length = -1;
  curl_easy_getinfo(sink.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  if (sink.status == 206 && sink.offset > 0) {
    uint64_t first = 0, last = 0, total = 0;
    if (!parseContentRange(sink.content_range, first, last, total) || first != sink.offset ||
        total != sink.expected || last + 1 != total) {
      sink.bad_range = true;
      return false;
    }
    sink.resumed = true;
    sink.total = total;
    return true;
  }
  if (sink.status == 416 && sink.offset > 0) {
    sink.bad_range = true;
    return false;
  }
  if (sink.status < 200 || sink.status > 299 || sink.status == 206) {
    sink.http_error = true;
    return false;
  }
  if (sink.offset > 0) {
    // The server ignored the range and sends the whole package: start over.
    if (std::fflush(sink.file) != 0 || ftruncate(fileno(sink.file), 0) != 0 ||
        std::fseek(sink.file, 0, SEEK_SET) != 0) {
      sink.write_failed = true;
      return false;
    }
    sink.restarted = true;
    sink.offset = 0;
  }
  sink.total = length > 0 ? static_cast<uint64_t>(length) : 0;
  return true;
}
}  // namespace

size_t KavixModel::_write_data_(void* ptr, size_t size, size_t nmemb, void* stream) {
  auto* sink = static_cast<DownloadSink*>(stream);
  if (sink->model->_cancelled_()) return 0;  // ends the transfer at once
  if (!sink->judged && !judgeAnswer(*sink)) return 0;
  sink->received += static_cast<uint64_t>(size) * nmemb;
  if (sink->offset + sink->received > sink->max_bytes) return 0;  // ends the transfer
  const size_t written = std::fwrite(ptr, size, nmemb, sink->file) * size;
  if (written != size * nmemb) sink->write_failed = true;
  std::lock_guard<std::mutex> lock(*sink->guard);
  *sink->downloaded += static_cast<double>(written);
  return written;
}

int KavixModel::_xferinfo_(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t,
                           curl_off_t) {
  auto* sink = static_cast<DownloadSink*>(clientp);
  KavixModel* model = sink->model;
  // A cancel stops a transfer that is waiting for data too, not only one
  // that is receiving it.
  if (model->_cancelled_()) return 1;
  if (dltotal > 0) {
    // A resumed transfer counts the part already on disk.
    const double base = static_cast<double>(sink->resumed ? sink->offset : 0);
    const double whole = base + static_cast<double>(dltotal);
    double percent = std::floor(100.0 * (base + static_cast<double>(dlnow)) / whole);
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    std::lock_guard<std::mutex> lock(model->mutex_per);
    model->size_file_total = whole;
    model->per_download_i = static_cast<int>(percent);
  }
  return 0;
}

namespace {
// The one-line reason of a download that did not end with a whole 2xx answer
// on disk.
std::string downloadFailure(CURLcode res, long status, bool too_large, uint64_t max_bytes,
                            const std::string& path) {
  if (too_large || res == CURLE_FILESIZE_EXCEEDED)
    return "download failed: the package is larger than " + std::to_string(max_bytes) + " bytes";
  if (res != CURLE_OK) return std::string("download failed: ") + curl_easy_strerror(res);
  if (status < 200 || status > 299) return "download failed: HTTP status " + std::to_string(status);
  return "download failed: cannot write " + path;
}
}  // namespace

namespace {

// The partial file of one application and version: "SLUG@KEY@SIZE.part",
// KEY a digest of slug and version (versions may hold any character), SIZE
// the whole package's size, 0 while unknown (such a file is never resumed).
std::string partialPrefix(const std::string& slug, const std::string& version) {
  // FNV-1a: stable across builds, so a partial file outlives an upgrade.
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : slug + '\n' + version) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  char key[17];
  std::snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(h));
  return slug.substr(0, 100) + "@" + key + "@";
}

// The resumable partial file with `prefix` in `folder`: a regular file of
// this user, smaller than the size its name gives. Others of the prefix are
// removed. true with its path, size and whole size when there is one.
bool findPartial(const std::string& folder, const std::string& prefix, std::string& path,
                 uint64_t& have, uint64_t& expected) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> names;
  while (struct dirent* ent = readdir(dir)) {
    const std::string name = ent->d_name;
    if (name.size() > prefix.size() + 5 && name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - 5, 5, ".part") == 0)
      names.push_back(name);
  }
  closedir(dir);
  bool found = false;
  for (const std::string& name : names) {
    const std::string full = folder + "/" + name;
    const std::string size_text = name.substr(prefix.size(), name.size() - prefix.size() - 5);
    char* end = nullptr;
    const unsigned long long size = std::strtoull(size_text.c_str(), &end, 10);
    struct stat st;
    const bool usable = !found && !size_text.empty() && size_text[0] != '0' && *end == '\0' &&
                        lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                        st.st_uid == geteuid() && st.st_size > 0 &&
                        static_cast<uint64_t>(st.st_size) < size;
    if (!usable) {
      ::unlink(full.c_str());
      continue;
    }
    found = true;
    path = full;
    have = static_cast<uint64_t>(st.st_size);
    expected = size;
  }
  return found;
}

}  // namespace

int KavixModel::_download_() {
  // On the worker: waits for the identity only if it is still being read.
  getSysInfo();
  SysInfo identity;
  {
    std::lock_guard<std::mutex> lock(mutex_sys);
    identity = sys_info;
  }
  std::string folder, why;
  if (!nelt::partialFolder(folder, why)) {
    job_error = "download failed: " + why;
    return -1;
  }
  nelt::removeOldPartials(folder, PARTIAL_MAX_AGE_SEC);
  const std::string prefix = partialPrefix(slug, ver_app);
  std::string part;
  uint64_t have = 0, expected = 0;
  if (!findPartial(folder, prefix, part, have, expected)) {
    part.clear();
    have = expected = 0;
  }
  const nelt::UnpackLimits limits = nelt::unpackLimitsFromEnv();
  const uint64_t max_bytes = limits.max_total_bytes > UINT64_MAX - PACKAGE_HEADER_SLACK
                                 ? UINT64_MAX
                                 : limits.max_total_bytes + PACKAGE_HEADER_SLACK;
  const std::string agent =
      nelt::identityText(identity, "NativeStore") + ", Status:" + std::to_string(id_status_install);

  // At most two transfers: a resume, and a fresh start when the server's
  // range does not fit the partial file.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (part.empty()) {
      part = folder + "/" + prefix + "0.part";
      ::unlink(part.c_str());
      have = expected = 0;
    }
    // The folder is this user's own and private: the file is theirs, and
    // never a link planted in its place.
    const int fd =
        ::open(part.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    FILE* file = fd >= 0 ? fdopen(fd, "ab") : nullptr;
    if (file == nullptr) {
      job_error = "download failed: cannot create " + part + ": " + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      nelt::debugLog("Error download");
      return -1;
    }
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
      std::fclose(file);
      nelt::debugLog("Error download");
      job_error = "download failed: no transfer handle";
      return -1;
    }
    DownloadSink sink;
    sink.file = file;
    sink.model = this;
    sink.curl = curl;
    sink.downloaded = &size_downloaded;
    sink.guard = &mutex_per;
    sink.max_bytes = max_bytes;
    sink.offset = have;
    sink.expected = expected;

    struct curl_slist* headers = curl_slist_append(nullptr, header_download.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_URL, link_download.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &KavixModel::_write_data_);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &KavixModel::_header_data_);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &KavixModel::_xferinfo_);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &sink);
    // CURLOPT_RANGE, not RESUME_FROM: libcurl would fail a 200 answer to a
    // resume, and a whole package is as good as the rest of one.
    const std::string range = std::to_string(have) + "-";
    if (have > 0) curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
    // A package of any size has no total time limit; a stalled one ends by
    // the low-speed limit instead.
    nelt::TransferLimits transfer;
    transfer.connect_seconds = CONNECT_TIMEOUT_SEC;
    transfer.low_speed_bytes = LOW_SPEED_BYTES;
    transfer.low_speed_seconds = LOW_SPEED_SECONDS;
    // libcurl's 16 KB default means a callback and a write per 16 KB; larger
    // pieces cut the CPU time of a big download by a third.
    transfer.buffer_bytes = DOWNLOAD_BUFFER_BYTES;
    nelt::setUpTransfer(curl, transfer);
    if (have == 0 && max_bytes < static_cast<uint64_t>(INT64_MAX))
      curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(max_bytes));

    res_download = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    const bool written = std::fflush(file) == 0 && !std::ferror(file) && !sink.write_failed;
    struct stat st;
    const bool sized = fstat(fileno(file), &st) == 0;
    const bool closed = std::fclose(file) == 0;
    const uint64_t on_disk = sized ? static_cast<uint64_t>(st.st_size) : 0;

    if (_cancelled_()) {
      // The user's own cancel discards the download.
      ::unlink(part.c_str());
      job_error = "cancelled";
      return -1;
    }
    if (sink.bad_range && attempt == 0) {
      nelt::consoleLog("The server's range does not fit the partial download; starting over");
      ::unlink(part.c_str());
      part.clear();
      continue;
    }
    // The partial file is named after the whole size once it is known, so a
    // later attempt (or another process, after this one was killed) can
    // resume it.
    if (sink.total > 0 && expected != sink.total) {
      const std::string named = folder + "/" + prefix + std::to_string(sink.total) + ".part";
      if (::rename(part.c_str(), named.c_str()) == 0) {
        part = named;
        expected = sink.total;
      }
    }
    // An error page is not a package: only a 2xx answer that arrived whole
    // and reached the disk counts.
    const bool ok = res_download == CURLE_OK && status >= 200 && status <= 299 &&
                    !sink.http_error && !sink.bad_range && written && closed && sized &&
                    (sink.total == 0 || on_disk == sink.total) && (have == 0 || sink.judged);
    if (ok) {
      if (sink.resumed) nelt::consoleLog("Resumed download at " + std::to_string(have) + " bytes");
      if (::rename(part.c_str(), path_save.c_str()) != 0) {
        job_error = "download failed: cannot move " + part + ": " + std::strerror(errno);
        ::unlink(part.c_str());
        return -1;
      }
      _set_percent_(100);
      return 0;
    }
    const bool too_large =
        sink.offset + sink.received > sink.max_bytes || res_download == CURLE_FILESIZE_EXCEEDED;
    job_error = downloadFailure(res_download, status, too_large, sink.max_bytes, part);
    if (sink.http_error || sink.bad_range) {
      job_error = "download failed: HTTP status " + std::to_string(status);
      // The partial file was not touched; an empty new one goes.
      if (have == 0) ::unlink(part.c_str());
    } else if (too_large || !written || !closed || expected == 0 || on_disk >= expected) {
      // Only a clean prefix of a package of known size is worth keeping.
      ::unlink(part.c_str());
    }
    nelt::debugLog("Error download");
    return -1;
  }
  return -1;
}

int KavixModel::_read_info_package_(const std::string& app, std::string& oinfo) {
  return nelt::readPackageHeader(app, file_signature, slug, oinfo);
}

int KavixModel::_uncompress_pkg_(const std::string& path_kavix, const std::string& path,
                                 std::string& path_snap) {
  job_error.clear();
  const std::string file_name = nelt::lastPathComponent(path_kavix);
  if (file_name.size() < 6 || file_name.compare(file_name.size() - 6, 6, ".kavix") != 0) {
    nelt::debugLog("Error file type");
    return _fail_("package refused: not a .kavix file");
  }
  std::string info_text;
  const int header_size = _read_info_package_(path_kavix, info_text);
  if (header_size <= 0)
    return _fail_("package refused: its header is damaged or names another application");
  info.SetObject();
  rapidjson::Document parsed;
  parsed.Parse(info_text.c_str(), info_text.size());
  if (parsed.HasParseError() || !parsed.IsObject())
    return _fail_("package refused: its info document is not a JSON object");
  info.Swap(parsed);

  std::string name, snap_rel;
  if (!nelt::getString(info, "name", name))
    return _fail_("package refused: its info document names no snap");
  if (!nelt::isValidSnapName(name)) {
    nelt::debugLog("Error snap name");
    return _fail_("package refused: \"" + name + "\" is not a snap name");
  }
  if (!nelt::getString(info, "snap", snap_rel))
    return _fail_("package refused: its info document names no snap file");
  if (!nelt::isSafeRelativePath(snap_rel)) {
    nelt::debugLog("Error snap path");
    return _fail_("package refused: the snap file lies outside the package");
  }
  nelt::makeDirs(path, 0775);
  name_snap = name;

  KavixReply reply;
  if (api == nullptr || api->getKey(slug, &reply) < 0) {
    nelt::debugLog("Error get pass");
    return _fail_("no package key: the store service did not answer");
  }
  std::string password;
  if (!nelt::getString(reply.doc, "key", password))
    return _fail_("no package key: the store service gave none (status " +
                  std::to_string(reply.status) + ")");

  path_snap = path + "/" + snap_rel;
  std::string error;
  // The archive is read where it lies in the package, after the header: no
  // copy of it is written.
  nelt::UnpackLimits limits = nelt::unpackLimitsFromEnv();
  limits.cancel = &cancel_requested;
  const int unpacked =
      nelt::extractArchiveAt(path_kavix, header_size, password, path, limits, error);
  if (unpacked != 0) {
    nelt::debugLog("Error unpack: " + error);
    return _fail_((unpacked == -2 ? "package refused: " : "unpack failed: ") + error);
  }
  struct stat st;
  if (lstat(path_snap.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return _fail_("package refused: the snap file " + snap_rel + " is not in the package");
  return 1;
}

namespace {
// Asks the service for the installed list; false when the request failed or
// the answer is not an installed list.
bool fetchInstalled(KavixAPI& api, std::vector<nelt::InstalledEntry>& entries) {
  KavixReply reply;
  if (api.getListInstalleds(&reply) < 0 || reply.status != 200) return false;
  return nelt::readInstalledList(reply.doc, entries);
}
}  // namespace

int KavixModel::_find_snap_name_(const std::string& wanted, std::string& name) {
  if (api == nullptr) return -1;
  std::vector<nelt::InstalledEntry> entries;
  if (!fetchInstalled(*api, entries)) return -1;
  // The first entry of the application that names its snap.
  for (const nelt::InstalledEntry& entry : entries) {
    if (entry.slug != wanted || entry.name_snap.empty()) continue;
    name = entry.name_snap;
    return 1;
  }
  return 0;
}

int KavixModel::remove(std::string slug_) {
  if (!nelt::isValidSlug(slug_)) return -1;
  std::string name;
  if (_find_snap_name_(slug_, name) != 1) return -1;
  if (!nelt::isValidSnapName(name)) {
    nelt::debugLog("Error snap name");
    return -1;
  }
  // The helper removes only a snap the store installed for this very
  // application (its kavix.json names the slug).
  nelt::logChatter(
      nelt::runProgram({"pkexec", nelt::privilegedHelperPath(), "remove", slug_, name}, true, true)
          .err);
  // Success is judged from a fresh list: the user may have refused the
  // authorisation, or the removal may have failed.
  std::vector<nelt::InstalledEntry> entries;
  if (!fetchInstalled(*api, entries)) return -1;
  return nelt::findInstalled(entries, slug_) != nullptr ? -1 : 1;
}

int KavixModel::launch(std::string slug_) {
  if (!nelt::isValidSlug(slug_)) return -1;
  std::string name;
  // Only an installed application is launched, never the one launched before.
  if (_find_snap_name_(slug_, name) != 1 || !nelt::isValidSnapName(name)) return -1;
  snap_name = name;
  const nelt::ProcessResult info_run = nelt::runProgram({"snap", "info", snap_name}, true, true);
  nelt::logChatter(info_run.err);
  if (!info_run.started) {
    nelt::debugLog("Error run snap info " + snap_name);
    return -1;
  }
  // The command list: "commands:" alone on its line, then one "  - NAME" line
  // per command. snapd sorts them by app name ("- ordr.abc" before "- ordr"),
  // so the first one is not the snap's main app: the command named like the
  // snap is launched when it is listed, else the first one.
  bool in_commands = false;
  std::string command;
  size_t start = 0;
  const std::string& out = info_run.out;
  while (start < out.size() && command != snap_name) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    if (!in_commands) {
      in_commands = line == "commands:";
      continue;
    }
    if (!line.empty() && line[0] != ' ' && line[0] != '\t') break;  // next section
    std::vector<std::string> pieces;
    stringtok(line, " ", pieces);
    if (pieces.size() < 2 || pieces[0] != "-" || !isValidCommandName(pieces[1])) continue;
    if (command.empty() || pieces[1] == snap_name) command = pieces[1];
  }
  if (command.empty()) return -1;
  cmd_launch = "snap run " + command;
  nelt::consoleLog(cmd_launch);
  // Started directly and reaped in the background: no shell, no fork of this
  // threaded process, no zombie.
  if (nelt::spawnDetached({"snap", "run", command}) < 0) {
    nelt::debugLog("Error run " + cmd_launch);
    return -1;
  }
  return 0;
}
