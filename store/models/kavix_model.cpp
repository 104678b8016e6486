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
#include "stream_unpack.h"
#include "transfer.h"
#include "work_area.h"

using nelt::window::setCurrentInstall;
using nelt::window::URL_HOST;

namespace {

// Public-address lookup used for the client identity of the download. Tests
// and closed networks point NELT_IP_LOOKUP_URL elsewhere; an empty value turns
// the lookup off.
constexpr long IP_LOOKUP_TIMEOUT_SEC = 5;

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

  std::string password;
  // The unpack beside the download asked for the key already when it got
  // one; otherwise it is asked for here, as always.
  if (stream_unpack == nullptr || !stream_unpack->key(password)) {
    KavixReply reply;
    if (api == nullptr || api->getKey(slug, &reply) < 0) {
      nelt::debugLog("Error get pass");
      return _fail_("no package key: the store service did not answer");
    }
    if (!nelt::getString(reply.doc, "key", password))
      return _fail_("no package key: the store service gave none (status " +
                    std::to_string(reply.status) + ")");
  }

  path_snap = path + "/" + snap_rel;
  std::string error;
  // The archive is read where it lies in the package, after the header: no
  // copy of it is written.
  nelt::UnpackLimits limits = nelt::unpackLimitsFromEnv();
  limits.cancel = &cancel_requested;
  // Entries streamed during the download are moved into place when the
  // complete archive confirms them; otherwise the archive is unpacked here
  // whole, with the results and messages of an unpack without streaming.
  std::string stream_why;
  unpack_streamed = stream_unpack != nullptr && path == dir_save &&
                    stream_unpack->adopt(path_kavix, header_size, stream_why) == 0;
  if (stream_unpack != nullptr && !unpack_streamed && !stream_why.empty())
    nelt::debugLog(
        "Unpacking the whole archive: the entries unpacked beside the download were "
        "not used (" +
        stream_why + ")");
  const int unpacked = unpack_streamed ? 0
                                       : nelt::extractArchiveAt(path_kavix, header_size, password,
                                                                path, limits, error);
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
