// The download of a package: one HTTPS transfer into a partial file of this
// user's own, resumed with a range request when an earlier attempt left a
// clean prefix of it, and cancelled from the window at any moment.
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
#include <vector>

#include "fsutil.h"
#include "kavix_model.h"
#include "kavix_package.h"
#include "model_log.h"
#include "paths.h"
#include "stream_unpack.h"
#include "transfer.h"
#include "work_area.h"

// The state of one transfer, shared with libcurl's callbacks.
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
  // Follows the partial file as it is written; null when nothing does.
  nelt::StreamUnpack* stream = nullptr;
};

namespace {

// A download that cannot connect within this time, or that moves less than
// LOW_SPEED_BYTES per second for LOW_SPEED_SECONDS, has failed.
constexpr long CONNECT_TIMEOUT_SEC = 15;
constexpr long LOW_SPEED_BYTES = 1024;
constexpr long LOW_SPEED_SECONDS = 30;

constexpr long DOWNLOAD_BUFFER_BYTES = 512L * 1024;

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

}  // namespace

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
    // What the stream read of the old partial file is worth nothing now.
    if (sink.stream != nullptr) sink.stream->discard();
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
  // The unpack beside the download reads the file: it may have what is on
  // disk, and no byte more. One flush per piece of up to 512 KB.
  if (sink->stream != nullptr && !sink->write_failed) {
    if (std::fflush(sink->file) == 0)
      sink->stream->advance(sink->offset + sink->received);
    else
      sink->stream->discard();
  }
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
// The partial file's place and the limits of one download.
struct DownloadPlan {
  std::string folder;
  std::string prefix;
  std::string part;  // empty: a fresh partial file is started
  uint64_t have = 0;
  uint64_t expected = 0;
  uint64_t max_bytes = 0;
  std::string agent;
};

// How one transfer left the partial file.
struct TransferEnd {
  long status = 0;
  bool written = false;
  bool sized = false;
  bool closed = false;
  uint64_t on_disk = 0;
};

namespace {

// Opens the partial file for appending. The folder is this user's own and
// private: the file is theirs, and never a link planted in its place.
FILE* openPartialFile(const std::string& part, std::string& error) {
  const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  FILE* file = fd >= 0 ? fdopen(fd, "ab") : nullptr;
  if (file == nullptr) {
    error = "download failed: cannot create " + part + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
  }
  return file;
}

// Releases the transfer and closes the partial file, noting whether every
// byte reached it.
TransferEnd endTransfer(CURL* curl, struct curl_slist* headers, FILE* file,
                        const DownloadSink& sink) {
  TransferEnd end;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &end.status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  end.written = std::fflush(file) == 0 && !std::ferror(file) && !sink.write_failed;
  struct stat st;
  end.sized = fstat(fileno(file), &st) == 0;
  end.closed = std::fclose(file) == 0;
  end.on_disk = end.sized ? static_cast<uint64_t>(st.st_size) : 0;
  return end;
}

}  // namespace

int KavixModel::_download_() {
  DownloadPlan plan;
  if (!_plan_download_(plan)) return -1;
  // At most two transfers: a resume, and a fresh start when the server's
  // range does not fit the partial file.
  int result = -1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    result = _download_once_(plan, attempt == 0);
    // A download that starts over replaces the file the stream follows.
    if (result != 0 && stream_unpack != nullptr) stream_unpack->discard();
    if (result != 1) break;
  }
  if (stream_unpack != nullptr) {
    if (result == 0)
      stream_unpack->finish();
    else
      stream_unpack->discard();
  }
  return result == 1 ? -1 : result;
}

bool KavixModel::_plan_download_(DownloadPlan& plan) {
  // On the worker: waits for the identity only if it is still being read.
  getSysInfo();
  SysInfo identity;
  {
    std::lock_guard<std::mutex> lock(mutex_sys);
    identity = sys_info;
  }
  std::string why;
  if (!nelt::partialFolder(plan.folder, why)) {
    job_error = "download failed: " + why;
    return false;
  }
  nelt::removeOldPartials(plan.folder, PARTIAL_MAX_AGE_SEC);
  plan.prefix = partialPrefix(slug, ver_app);
  if (!findPartial(plan.folder, plan.prefix, plan.part, plan.have, plan.expected)) {
    plan.part.clear();
    plan.have = plan.expected = 0;
  }
  const nelt::UnpackLimits limits = nelt::unpackLimitsFromEnv();
  plan.max_bytes = limits.max_total_bytes > UINT64_MAX - PACKAGE_HEADER_SLACK
                       ? UINT64_MAX
                       : limits.max_total_bytes + PACKAGE_HEADER_SLACK;
  plan.agent =
      nelt::identityText(identity, "NativeStore") + ", Status:" + std::to_string(id_status_install);
  return true;
}

int KavixModel::_download_once_(DownloadPlan& plan, bool first) {
  if (plan.part.empty()) {
    plan.part = plan.folder + "/" + plan.prefix + "0.part";
    ::unlink(plan.part.c_str());
    plan.have = plan.expected = 0;
  }
  FILE* file = openPartialFile(plan.part, job_error);
  if (file == nullptr) {
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
  sink.max_bytes = plan.max_bytes;
  sink.offset = plan.have;
  sink.expected = plan.expected;
  // The first transfer of a job starts the unpack beside it, on what the
  // partial file already holds; a second one (starting over) never does.
  if (stream_unpack != nullptr && first) {
    stream_unpack->begin(plan.part, plan.have);
    if (stream_unpack->begun()) sink.stream = stream_unpack;
  }

  struct curl_slist* headers = curl_slist_append(nullptr, header_download.c_str());
  // CURLOPT_RANGE, not RESUME_FROM: libcurl would fail a 200 answer to a
  // resume, and a whole package is as good as the rest of one.
  const std::string range = std::to_string(plan.have) + "-";
  _set_up_download_(curl, sink, headers, plan, range);

  res_download = curl_easy_perform(curl);
  const TransferEnd end = endTransfer(curl, headers, file, sink);
  return _judge_download_(plan, sink, end, first);
}

void KavixModel::_set_up_download_(CURL* curl, DownloadSink& sink, struct curl_slist* headers,
                                   const DownloadPlan& plan, const std::string& range) {
  curl_easy_setopt(curl, CURLOPT_USERAGENT, plan.agent.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_URL, link_download.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &KavixModel::_write_data_);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &KavixModel::_header_data_);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &KavixModel::_xferinfo_);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &sink);
  if (plan.have > 0) curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
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
  if (plan.have == 0 && plan.max_bytes < static_cast<uint64_t>(INT64_MAX))
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(plan.max_bytes));
}

int KavixModel::_judge_download_(DownloadPlan& plan, const DownloadSink& sink,
                                 const TransferEnd& end, bool first) {
  std::string& part = plan.part;
  if (_cancelled_()) {
    // The user's own cancel discards the download.
    ::unlink(part.c_str());
    job_error = "cancelled";
    return -1;
  }
  if (sink.bad_range && first) {
    nelt::consoleLog("The server's range does not fit the partial download; starting over");
    ::unlink(part.c_str());
    part.clear();
    return 1;
  }
  // The partial file is named after the whole size once it is known, so a
  // later attempt (or another process, after this one was killed) can
  // resume it.
  if (sink.total > 0 && plan.expected != sink.total) {
    const std::string named =
        plan.folder + "/" + plan.prefix + std::to_string(sink.total) + ".part";
    if (::rename(part.c_str(), named.c_str()) == 0) {
      part = named;
      plan.expected = sink.total;
    }
  }
  // An error page is not a package: only a 2xx answer that arrived whole
  // and reached the disk counts.
  const bool ok = res_download == CURLE_OK && end.status >= 200 && end.status <= 299 &&
                  !sink.http_error && !sink.bad_range && end.written && end.closed && end.sized &&
                  (sink.total == 0 || end.on_disk == sink.total) && (plan.have == 0 || sink.judged);
  if (ok) {
    if (sink.resumed)
      nelt::consoleLog("Resumed download at " + std::to_string(plan.have) + " bytes");
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
  job_error = downloadFailure(res_download, end.status, too_large, sink.max_bytes, part);
  if (sink.http_error || sink.bad_range) {
    job_error = "download failed: HTTP status " + std::to_string(end.status);
    // The partial file was not touched; an empty new one goes.
    if (plan.have == 0) ::unlink(part.c_str());
  } else if (too_large || !end.written || !end.closed || plan.expected == 0 ||
             end.on_disk >= plan.expected) {
    // Only a clean prefix of a package of known size is worth keeping.
    ::unlink(part.c_str());
  }
  nelt::debugLog("Error download");
  return -1;
}
