// Updating several applications under one authorisation: every package is
// prepared by the single install's own steps first, then the privileged
// helper installs the ready ones in one run.
#include <algorithm>
#include <memory>

#include "fsutil.h"
#include "kavix_model.h"
#include "model_log.h"
#include "paths.h"
#include "privileged_helper.h"
#include "process.h"
#include "store_globals.h"
#include "work_area.h"

using nelt::window::URL_HOST;

namespace {

// Share of an application's part of the overall progress that its download
// stands for; unpacking and checking bring it to READY_SHARE, the
// privileged step to 100.
constexpr int DOWNLOAD_SHARE = 60;
constexpr int READY_SHARE = 80;

int appProgress(const KavixModel::BatchApp& app) {
  switch (app.phase) {
    case KavixModel::BatchApp::WAITING:
      return 0;
    case KavixModel::BatchApp::DOWNLOADING:
      return app.percent * DOWNLOAD_SHARE / 100;
    case KavixModel::BatchApp::CHECKING:
      return DOWNLOAD_SHARE;
    case KavixModel::BatchApp::READY:
    case KavixModel::BatchApp::INSTALLING:
      return READY_SHARE;
    case KavixModel::BatchApp::INSTALLED:
    case KavixModel::BatchApp::FAILED:
      return 100;
  }
  return 0;
}

}  // namespace

int KavixModel::installBatch(const std::vector<std::string>& slugs) {
  auto refuse = [this](int code, const std::string& reason) {
    std::lock_guard<std::mutex> per_lock(mutex_per);
    last_error = reason;
    return code;
  };
  if (slugs.empty() || slugs.size() > nelt::HELPER_MAX_BATCH)
    return refuse(-7,
                  "a batch holds 1 to " + std::to_string(nelt::HELPER_MAX_BATCH) + " applications");
  for (size_t i = 0; i < slugs.size(); ++i) {
    if (!nelt::isValidSlug(slugs[i])) return refuse(-6, "not an application slug");
    if (std::find(slugs.begin(), slugs.begin() + static_cast<long>(i), slugs[i]) !=
        slugs.begin() + static_cast<long>(i))
      return refuse(-7, slugs[i] + " is in the batch twice");
  }
  if (api == nullptr) return refuse(-5, "no store service client");
  std::unique_lock<std::mutex> lock(mutex);
  if (!thread_install.joinable()) {
    f_install_run = false;
    if (!_start_worker_()) return refuse(-1, "the install worker cannot run");
  }
  cv.wait(lock, [this] { return !f_install_run || !loop_install; });
  if (!loop_install) return refuse(-1, "the install worker has stopped");

  std::string header;
  if (const int r = _authorisation_header_(header); r != 0) return r;
  header_download = header;
  id_status_install = 0;
  ver_app.clear();
  batch_links.clear();
  std::vector<BatchApp> apps;
  for (const std::string& s : slugs) {
    // Each to the store's current version, as a single update.
    batch_links.push_back(URL_HOST + "/api/v1/apps/downloadBinary/" + s);
    BatchApp app;
    app.slug = s;
    apps.push_back(app);
  }
  {
    std::lock_guard<std::mutex> per_lock(mutex_per);
    batch_apps = apps;
    batch_current = 0;
    per_download_i = 0;
    per_download = 0;
    ret_install = 0;
    last_error.clear();
    installed_version.clear();
  }
  batch_queued = true;
  f_install_run = true;
  lock.unlock();
  cv.notify_all();
  return 0;
}

KavixModel::BatchState KavixModel::batchState() {
  BatchState state;
  {
    std::lock_guard<std::mutex> lock(mutex);
    state.running = batch_queued;
  }
  std::lock_guard<std::mutex> lock(mutex_per);
  state.apps = batch_apps;
  int sum = 0;
  for (size_t i = 0; i < state.apps.size(); ++i) {
    BatchApp& app = state.apps[i];
    // The download under way reports through the single install's percentage.
    if (app.phase == BatchApp::DOWNLOADING && i == batch_current) {
      app.percent = std::min(std::max(per_download_i, 0), 100);
      if (app.percent == 100) app.phase = BatchApp::CHECKING;
    }
    sum += appProgress(app);
  }
  state.overall = state.apps.empty() ? 0 : sum / static_cast<int>(state.apps.size());
  return state;
}

// An application of the batch that is ready for the helper. Its slug's lock
// stays held until the helper is done, as in a single install.
struct KavixModel::BatchPrepared {
  size_t index = 0;
  std::unique_ptr<nelt::SlugLock> lock;
  CheckedPackage pkg;
  std::string folder;
};

namespace {

// What the applications the helper never reached are told.
std::string notReachedReason(const nelt::ProcessResult& run) {
  if (!run.started || run.exit_code == 126)
    return run.exit_code == 126 ? "authorisation refused: the update was not authorised"
                                : "authorisation refused: pkexec could not run the helper";
  return "install failed: the helper ended with status " + std::to_string(run.exit_code) +
         " before this application";
}

}  // namespace

void KavixModel::_set_batch_phase_(size_t i, BatchApp::Phase phase, const std::string& reason,
                                   const std::string& version) {
  std::lock_guard<std::mutex> lock(mutex_per);
  if (i >= batch_apps.size()) return;
  batch_apps[i].phase = phase;
  if (phase == BatchApp::FAILED) batch_apps[i].reason = reason;
  if (phase == BatchApp::INSTALLED) batch_apps[i].version = version;
}

int KavixModel::_run_batch_() {
  // Everything that can be checked is checked for every application before
  // the one authorisation.
  std::vector<BatchPrepared> ready;
  std::vector<std::string> folders;
  size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_per);
    count = batch_apps.size();
  }
  size_t failed = _prepare_batch_(count, ready, folders);
  if (!ready.empty()) failed += _install_prepared_(ready);
  for (const std::string& folder : folders) nelt::removeTree(folder);
  job_error = failed == 0
                  ? std::string()
                  : std::to_string(failed) + " of " + std::to_string(count) + " updates failed";
  return failed == 0 ? 1 : -1;
}

size_t KavixModel::_prepare_batch_(size_t count, std::vector<BatchPrepared>& ready,
                                   std::vector<std::string>& folders) {
  size_t failed = 0;
  for (size_t i = 0; i < count; ++i) {
    {
      std::lock_guard<std::mutex> lock(mutex_per);
      slug = batch_apps[i].slug;
      batch_current = i;
      batch_apps[i].phase = BatchApp::DOWNLOADING;
      size_downloaded = 0;
      size_file_total = 0;
      per_download_i = 0;
    }
    link_download = batch_links[i];
    dir_save.clear();
    path_save.clear();
    name_snap.clear();
    job_error.clear();
    BatchPrepared p;
    p.index = i;
    p.lock = std::make_unique<nelt::SlugLock>();
    const int prepared = _prepare_job_(*p.lock, p.pkg);
    if (!dir_save.empty()) folders.push_back(dir_save);
    if (prepared != 0) {
      // Nothing privileged runs for it; its files go at once.
      if (!dir_save.empty()) nelt::removeTree(dir_save);
      if (job_error.empty()) job_error = "the package could not be prepared";
      nelt::debugLog("Install of " + slug + " failed: " + job_error);
      {
        std::lock_guard<std::mutex> lock(mutex_per);
        batch_apps[i].skipped = true;
      }
      _set_batch_phase_(i, BatchApp::FAILED, job_error);
      ++failed;
      continue;
    }
    _set_batch_phase_(i, BatchApp::READY);
    ready.push_back(std::move(p));
  }
  return failed;
}

size_t KavixModel::_install_prepared_(const std::vector<BatchPrepared>& ready) {
  std::vector<std::string> argv = {"pkexec", nelt::privilegedHelperPath(), "install-batch"};
  for (const BatchPrepared& p : ready) {
    argv.insert(argv.end(), {p.pkg.slug, p.pkg.snap_path, p.pkg.meta_path});
    _set_batch_phase_(p.index, BatchApp::INSTALLING);
  }
  // Each application's line arrives as the helper finishes it, so the
  // poller sees the results one by one.
  std::vector<int> codes;
  std::vector<std::string> reasons;
  std::vector<bool> judged(ready.size(), false);
  const auto judge = [&](size_t k) {
    if (judged[k] || codes[k] < 0) return;
    judged[k] = true;
    const BatchPrepared& p = ready[k];
    job_error.clear();
    job_version.clear();
    if (codes[k] == 0 && _verify_installed_(p.pkg) == 1) {
      _set_batch_phase_(p.index, BatchApp::INSTALLED, "", job_version);
      return;
    }
    std::string reason = codes[k] == 0 ? job_error : reasons[k];
    if (reason.empty())
      reason = "install failed: the helper ended with status " + std::to_string(codes[k]);
    nelt::debugLog("Install of " + p.pkg.slug + " failed: " + reason);
    _set_batch_phase_(p.index, BatchApp::FAILED, reason);
  };
  const nelt::ProcessResult run = nelt::runProgramFollowing(
      argv,
      [&](const std::string& out) {
        nelt::readBatchResults(out, ready.size(), codes, reasons);
        for (size_t k = 0; k < ready.size(); ++k) judge(k);
      },
      true);
  nelt::logChatter(run.err);
  nelt::readBatchResults(run.out, ready.size(), codes, reasons);
  const std::string missing = notReachedReason(run);
  for (size_t k = 0; k < ready.size(); ++k) {
    if (codes[k] < 0 && !judged[k]) {
      // The helper never reached it (refused authorisation, or it died).
      judged[k] = true;
      nelt::debugLog("Install of " + ready[k].pkg.slug + " failed: " + missing);
      _set_batch_phase_(ready[k].index, BatchApp::FAILED, missing);
      continue;
    }
    judge(k);
  }
  size_t failed = 0;
  std::lock_guard<std::mutex> lock(mutex_per);
  for (const BatchPrepared& p : ready)
    if (batch_apps[p.index].phase != BatchApp::INSTALLED) ++failed;
  return failed;
}
