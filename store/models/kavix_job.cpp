// The install job on the engine's worker: the lock, the work folder, the
// checks before anything privileged, and the one helper run.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "fsutil.h"
#include "json_util.h"
#include "kavix_model.h"
#include "kavix_package.h"
#include "model_log.h"
#include "paths.h"
#include "privileged_helper.h"
#include "process.h"
#include "snap_state.h"
#include "store_globals.h"
#include "stream_unpack.h"
#include "work_area.h"

using nelt::window::setCurrentInstall;

namespace {

// How long a job waits while another process of the same user installs the
// same application; NELT_INSTALL_WAIT_SECONDS (a plain number) replaces it.
constexpr std::chrono::seconds INSTALL_WAIT_LIMIT{600};

std::chrono::seconds installWaitLimit() {
  const char* env = std::getenv("NELT_INSTALL_WAIT_SECONDS");
  if (env == nullptr || *env < '0' || *env > '9') return INSTALL_WAIT_LIMIT;
  char* end = nullptr;
  const unsigned long v = std::strtoul(env, &end, 10);
  if (*end != '\0' || v > 86400) return INSTALL_WAIT_LIMIT;
  return std::chrono::seconds(static_cast<long>(v));
}

// pkexec's own exit statuses: the user dismissed the dialog (126) or was not
// authorised, or the program could not be run (127).
bool pkexecRefused(const nelt::ProcessResult& r) { return !r.started || r.exit_code == 126; }

}  // namespace

void KavixModel::_t_install() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    // Idle: sleep until a job is queued or the engine stops.
    cv.wait(lock, [this] { return f_install_run || !loop_install; });
    if (!f_install_run) break;
    lock.unlock();
    job_error.clear();
    job_version.clear();
    int result = batch_queued ? _run_batch_() : _run_job_();
    const bool cancelled = result == -2;
    if (cancelled) {
      job_error = "cancelled";
      result = -1;
    }
    if (result != 1 && job_error.empty()) job_error = "the install failed";
    // The window's log gets the reason in the same words as `nelt`.
    // (A batch logs each application's failure itself.)
    if (result != 1 && !batch_queued)
      nelt::debugLog("Install of " + slug + " failed: " + job_error);
    lock.lock();
    {
      std::lock_guard<std::mutex> per_lock(mutex_per);
      ret_install = result;
      last_cancelled = cancelled;
      cancel_possible = false;
      job_running = false;
      last_error = result == 1 ? std::string() : job_error;
      installed_version = result == 1 ? job_version : std::string();
    }
    f_install_run = false;
    batch_queued = false;
    setCurrentInstall("");
    cv.notify_all();
  }
}

int KavixModel::_fail_(const std::string& reason) {
  if (job_error.empty()) job_error = reason;
  return -1;
}

int KavixModel::_run_job_() {
  nelt::SlugLock slug_lock;
  CheckedPackage pkg;
  int result = _prepare_job_(slug_lock, pkg);
  // A cancel asked for before the privileged step wins; after it, none is
  // taken (the helper's own undo rules apply).
  if (result == 0) result = _enter_privileged_() ? _install_checked_(pkg) : -2;
  if (!dir_save.empty()) nelt::removeTree(dir_save);
  return result;
}

int KavixModel::_prepare_job_(nelt::SlugLock& slug_lock, CheckedPackage& pkg) {
  // One user's installs of one application never overlap, in this process
  // or another of theirs: each would replace the other's files half way.
  // Other users' installs meet in the privileged helper.
  std::string why;
  const std::string waiting = "waiting for another install of " + slug;
  const auto limit = installWaitLimit();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // Waiting ends early when this engine stops (the window closes), when the
  // job is cancelled, and after the limit.
  const auto keep_waiting = [this, deadline] {
    if (_cancelled_()) return false;
    std::lock_guard<std::mutex> lock(mutex);
    return loop_install && std::chrono::steady_clock::now() < deadline;
  };
  const auto on_wait = [this, &waiting] {
    nelt::consoleLog(waiting);
    std::lock_guard<std::mutex> lock(mutex_per);
    status_text = waiting;
  };
  const bool locked = slug_lock.acquire(slug, why, keep_waiting, on_wait);
  {
    std::lock_guard<std::mutex> lock(mutex_per);
    status_text.clear();
  }
  if (_cancelled_()) return -2;
  if (!locked && std::chrono::steady_clock::now() >= deadline)
    return _fail_("gave up waiting: another install of " + slug + " did not end within " +
                  std::to_string(limit.count()) + " s");
  if (!locked) return _fail_("cannot take the install lock: " + why);
  return _prepare_(pkg);
}

int KavixModel::_prepare_(CheckedPackage& pkg) {
  std::string why;
  if (nelt::makeJobFolder(slug, dir_save, why) != 0) {
    dir_save.clear();
    return _fail_("cannot create the work folder: " + why);
  }
  path_save = dir_save + "/" + slug + ".kavix";

  nelt::consoleLog("Start download");
  // The archive's entries are unpacked while the package arrives, where it
  // allows that; the unpack after the download then only checks and moves
  // them (or unpacks the whole archive itself, see _uncompress_pkg_).
  std::unique_ptr<nelt::StreamUnpack> stream;
  if (nelt::StreamUnpack::enabled()) {
    nelt::UnpackLimits limits = nelt::unpackLimitsFromEnv();
    limits.cancel = &cancel_requested;
    const std::string job_slug = slug;
    stream = std::make_unique<nelt::StreamUnpack>(
        dir_save, path_save, slug,
        [this, job_slug](std::string& key) {
          KavixReply reply;
          return api != nullptr && api->getKey(job_slug, &reply) >= 0 &&
                 nelt::getString(reply.doc, "key", key);
        },
        limits);
  }
  stream_unpack = stream.get();
  int result = -1;
  std::string snap_path;
  if (_download_() == 0) {
    nelt::consoleLog("End download");
    if (_uncompress_pkg_(path_save, dir_save, snap_path) > 0 && !snap_path.empty() &&
        _check_unpacked_(snap_path, pkg) == 0)
      result = 0;
  }
  stream_unpack = nullptr;
  stream.reset();
  if (result != 0 && _cancelled_()) result = -2;
  if (result != 0) nelt::removeTree(dir_save);
  return result;
}

bool KavixModel::_enter_privileged_() {
  std::lock_guard<std::mutex> lock(mutex_per);
  if (_cancelled_()) return false;
  cancel_possible = false;
  return true;
}

int KavixModel::cancelInstall() {
  std::lock_guard<std::mutex> lock(mutex_per);
  if (!job_running) return -1;
  if (!cancel_possible) return -2;
  cancel_requested = true;
  cancel_possible = false;
  return 0;
}

bool KavixModel::canCancel() {
  std::lock_guard<std::mutex> lock(mutex_per);
  return job_running && cancel_possible;
}

bool KavixModel::lastCancelled() {
  std::lock_guard<std::mutex> lock(mutex_per);
  return last_cancelled;
}

int KavixModel::_check_unpacked_(const std::string& snap_path, CheckedPackage& pkg) {
  pkg.slug = slug;
  pkg.snap_name = name_snap;
  pkg.snap_path = snap_path;
  // The snap must be the one the header names: the installer judges its
  // success, and later removals, by that name.
  std::string yaml_name, why;
  if (!nelt::readSnapMeta(snap_path, yaml_name, pkg.snap_version, why))
    return _fail_("package refused: " + why);
  if (yaml_name != name_snap)
    return _fail_("package refused: the snap inside is \"" + yaml_name +
                  "\" but the package names \"" + name_snap + "\"");

  const size_t slash = snap_path.rfind('/');
  pkg.meta_path = snap_path.substr(0, slash + 1) + "kavix.json";
  std::string text;
  struct stat st;
  if (lstat(pkg.meta_path.c_str(), &st) != 0)
    return _fail_("package refused: no kavix.json beside the snap");
  if (!S_ISREG(st.st_mode)) return _fail_("package refused: kavix.json is not a file");
  if (!nelt::readSmallFile(pkg.meta_path, text, nelt::KAVIX_MAX_META_BYTES))
    return _fail_("package refused: kavix.json cannot be read or is too large");
  text = nelt::readJoinedLines(pkg.meta_path);
  rapidjson::Document doc;
  // The service lists an application only when the metadata passes; the
  // privileged helper checks it the same way again.
  if (!nelt::checkKavixMeta(text, doc, why)) return _fail_("package refused: " + why);
  nelt::getString(doc, "version", pkg.version);

  // A snap the store installed for another application stays that
  // application's: its metadata (and a later removal) must not change hands.
  const nelt::SnapState before = nelt::readSnapState(name_snap);
  const std::string owner = nelt::foreignOwner(before, slug);
  if (!owner.empty())
    return _fail_("package refused: the snap \"" + name_snap + "\" belongs to the application \"" +
                  owner + "\"");
  pkg.was_installed = before.installed;
  pkg.had_meta = before.has_meta;
  pkg.previous_meta = before.meta;
  pkg.previous_version = before.version;

  // The service lists the application under this slug: it is the slug that
  // was installed (and that the package header was checked against), not a
  // value the package may bring along.
  rapidjson::Value value(slug.c_str(), static_cast<rapidjson::SizeType>(slug.size()),
                         doc.GetAllocator());
  auto it = doc.FindMember("slug");
  if (it != doc.MemberEnd()) {
    it->value = value;
  } else {
    doc.AddMember("slug", value, doc.GetAllocator());
  }
  pkg.meta_text = nelt::toCompactJson(doc);
  if (nelt::writeFileAtomic(pkg.meta_path, pkg.meta_text, 0644) != 0)
    return _fail_("metadata not installed: cannot write " + pkg.meta_path);
  return 0;
}

int KavixModel::_install_checked_(const CheckedPackage& pkg) {
  // One authorisation for the whole job: the helper installs the snap, places
  // the metadata and undoes the install itself when a later step fails.
  const nelt::ProcessResult run = nelt::runProgram(
      {"pkexec", nelt::privilegedHelperPath(), "install", slug, pkg.snap_path, pkg.meta_path}, true,
      true);
  nelt::logChatter(run.err);
  if (pkexecRefused(run)) {
    nelt::debugLog("Error install snap " + name_snap);
    return _fail_(run.exit_code == 126 ? "authorisation refused: the install was not authorised"
                                       : "authorisation refused: pkexec could not run the helper");
  }
  if (run.exit_code != 0) {
    nelt::debugLog("Error install snap " + name_snap);
    const std::string reason = nelt::helperReason(run.out);
    return _fail_(reason.empty() ? "install failed: the helper exited with status " +
                                       std::to_string(run.exit_code)
                                 : reason);
  }
  return _verify_installed_(pkg);
}

int KavixModel::_verify_installed_(const CheckedPackage& pkg) {
  // The snap counts as installed when its data folder exists and its active
  // revision is the snap just unpacked: an update of an installed snap
  // already has the folder, so the folder alone proves nothing.
  if (!nelt::isDirectory(nelt::varSnapRoot() + pkg.snap_name) ||
      nelt::installedSnapVersion(pkg.snap_name) != pkg.snap_version) {
    nelt::debugLog("Error install snap " + pkg.snap_name);
    return _fail_("snap install failed: the active snap is not the one in the package");
  }
  const std::string dest = nelt::installedMetaPath(pkg.snap_name);
  std::string written;
  if (!nelt::readSmallFile(dest, written, nelt::KAVIX_MAX_META_BYTES) || written != pkg.meta_text) {
    nelt::debugLog("Error copy " + dest);
    return _fail_("metadata not installed: " + dest + " does not hold the package's kavix.json");
  }
  job_version = pkg.version;
  return 1;
}

std::string KavixModel::statusText() {
  std::lock_guard<std::mutex> lock(mutex_per);
  return status_text;
}
