// The package engine of the window: installs applications from the store in
// the background (download, check, unpack, `snap install`, metadata), removes
// and launches them.
//
// One worker thread runs one install job at a time. `install` hands a job to
// it and returns; the caller then polls `getStateInstall` (the detail page
// does so once a second). `remove` and `launch` run on the caller's thread.
//
// Nothing here reaches a shell: every program runs with an argument vector,
// folders are removed in code, and every name from a package or the service is
// checked before it becomes a path or an argument.
#pragma once

#include <curl/curl.h>
#include <rapidjson/document.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kavix_api.h"
#include "sysinfo.h"

namespace nelt {
class SlugLock;
class StreamUnpack;
}  // namespace nelt
struct DownloadSink;
struct DownloadPlan;
struct TransferEnd;

class KavixModel {
 public:
  KavixModel();
  ~KavixModel();
  KavixModel(const KavixModel&) = delete;
  KavixModel& operator=(const KavixModel&) = delete;

  // Queues the install of `slug` (version `ver`, empty for the store's
  // current one; `id_status` is sent as "Status:" in the client identity).
  // A call made while a job runs waits until that job has ended, then queues.
  // 0 queued; -1 the worker cannot run; -2 busy; -3 the service refused the
  // token request; -4 no usable token; -5 the token request failed (or no
  // service client is set); -6 the slug is not a store slug; 9998 nobody is
  // signed in.
  int install(std::string slug, std::string ver, int id_status);
  // 0..99 downloading (percent), 102 unpacking and installing, 200 installed,
  // 101 failed or cancelled, -1 inconsistent progress.
  int getStateInstall();

  // Asks the running job to stop. Possible while it waits for the install
  // lock, downloads or unpacks; the transfer stops at once, the job's work
  // folder and partial download are removed and nothing installed changes.
  // The job then ends as failed with the reason "cancelled". Any thread.
  // 0 the job will stop; -1 no job runs; -2 the privileged step has started
  // (its own undo rules apply) and the job runs on to its end.
  int cancelInstall();
  // True while the running job can still be cancelled. Any thread.
  bool canCancel();
  // True when the last job ended because it was cancelled. Any thread.
  bool lastCancelled();
  // Fills `sys_info` (operating system, MAC addresses, public address) from
  // the identity read once per process, waiting for it if still being read.
  void getSysInfo();

  // Why the last install failed, as one line ("download failed: HTTP status
  // 404", "package refused: ..."); empty after a success and while a job
  // runs. Safe from any thread.
  std::string lastError();
  // The version the last successful job installed (as the store lists it),
  // read back from the installed files; empty otherwise.
  std::string installedVersion();
  // What the running job is waiting for, to show beside its progress
  // ("waiting for another install of SLUG" while another process of this
  // user installs the same application); empty otherwise. Any thread.
  std::string statusText();

  // One application of an update of several at once, as the poller sees it.
  struct BatchApp {
    enum Phase {
      WAITING,      // its turn to download has not come
      DOWNLOADING,  // `percent` of its package is here
      CHECKING,     // downloaded; being unpacked and checked
      READY,        // checked; waits for the others and the one authorisation
      INSTALLING,   // in the privileged helper's hands
      INSTALLED,    // done; `version` is what was installed
      FAILED,       // `reason` says why; `skipped` when nothing privileged ran for it
    };
    std::string slug;
    Phase phase = WAITING;
    int percent = 0;
    bool skipped = false;
    std::string reason;
    std::string version;
  };
  struct BatchState {
    std::vector<BatchApp> apps;  // in the order given to installBatch
    int overall = 0;             // 0..100 over the whole batch
    bool running = false;        // queued or under way
  };

  // Queues the update of every application in `slugs` (each to the store's
  // current version) as one job: every package is downloaded, checked and
  // unpacked first, one after the other, each in the user's own work folder;
  // an application whose package fails is skipped with its reason; then the
  // privileged helper installs the rest in ONE pkexec run (one
  // authorisation), each exactly as a single install would, and each is
  // judged from the installed files afterwards. A failure of one never stops
  // or undoes another. Results as `install`, and -7 for an empty or too long
  // list or a slug given twice. Follow it with `batchState`.
  int installBatch(const std::vector<std::string>& slugs);
  // The batch queued last, its applications' phases and the overall
  // progress. Any thread.
  BatchState batchState();

  // 1 when `slug` is no longer installed afterwards, -1 otherwise.
  int remove(std::string slug);
  // 0 when the application's first command was started, -1 otherwise.
  int launch(std::string slug);

  // The window's service client; not owned. Set by the owner before use.
  KavixAPI* api = nullptr;

 private:
  friend class KavixModelTestPeer;

  // What the checks before the privileged steps found out, for those steps.
  struct CheckedPackage {
    std::string slug;          // the application
    std::string snap_name;     // the snap it installs
    std::string snap_path;     // the unpacked snap file
    std::string meta_path;     // its kavix.json, with the slug added
    std::string meta_text;     // what meta_path holds
    std::string snap_version;  // "version" of the snap's own snap.yaml
    std::string version;       // "version" of kavix.json
    bool was_installed = false;
    std::string previous_version;  // the snap's version before this job
    bool had_meta = false;         // the snap had a kavix.json before
    std::string previous_meta;     // what it held
  };

  void _t_install();
  // Runs the queued job; returns 1 installed, -1 failed (reason in job_error),
  // -2 cancelled.
  int _run_job_();
  // The unprivileged part of one application's install, run with the slug's
  // lock held: a fresh work folder (dir_save), download (resumed from a
  // partial file when one fits), package checks, unpack and the checks of
  // the unpacked snap. 0 with `pkg` ready for the privileged step; -1 failed
  // (job_error); -2 cancelled. On failure the work folder is already gone;
  // on success the caller removes it after the privileged step.
  int _prepare_(CheckedPackage& pkg);
  // Ends the cancellable part of the job: false when a cancel came first.
  bool _enter_privileged_();
  bool _cancelled_() const { return cancel_requested.load(); }
  // Downloads the package to path_save through this user's partial file of
  // it (see partialFolder): resumed with a range request when one is there,
  // kept when the transfer breaks off, discarded when cancelled. 0 whole;
  // -1 failed (job_error).
  // The steps of the current job (`slug`, `link_download`) before anything
  // privileged: the slug's lock, the work folder (`dir_save`), the download,
  // the unpack and the checks. 0 when `pkg` is ready to install, -1 with
  // the reason in job_error. The caller removes `dir_save` (when set) and
  // keeps `lock` until the privileged step is over.
  int _prepare_job_(nelt::SlugLock& lock, CheckedPackage& pkg);
  // Runs the queued batch; 1 when every application was installed.
  int _run_batch_();
  // An application of the batch that is ready for the helper.
  struct BatchPrepared;
  // Prepares every application of the batch (`count` of them), keeping the
  // ready ones and the work folders to remove; the number that failed.
  size_t _prepare_batch_(size_t count, std::vector<BatchPrepared>& ready,
                         std::vector<std::string>& folders);
  // Runs the helper once for the ready applications and judges each one's
  // outcome; the number that failed.
  size_t _install_prepared_(const std::vector<BatchPrepared>& ready);
  void _set_batch_phase_(size_t i, BatchApp::Phase phase, const std::string& reason = "",
                         const std::string& version = "");
  // The token request of `install` and `installBatch`: 0 with the header
  // line, else the result code for the caller (reason in last_error).
  int _authorisation_header_(std::string& header);
  // The download into `path_save`, resuming a partial file when it can.
  // 0 done, -1 with the reason in job_error.
  int _download_();
  // The partial file, the size limit and the client identity; false with the
  // reason in job_error.
  bool _plan_download_(DownloadPlan& plan);
  // One transfer: 0 done, -1 failed, 1 when the partial file was dropped and
  // a fresh transfer follows.
  int _download_once_(DownloadPlan& plan, bool first);
  void _set_up_download_(CURL* curl, DownloadSink& sink, struct curl_slist* headers,
                         const DownloadPlan& plan, const std::string& range);
  int _judge_download_(DownloadPlan& plan, const DownloadSink& sink, const TransferEnd& end,
                       bool first);
  // Everything that can be checked before anything privileged runs.
  int _check_unpacked_(const std::string& snap_path, CheckedPackage& pkg);
  // Runs the privileged helper once for the whole install (snap, metadata,
  // undo on failure) and judges the outcome from the file system.
  int _install_checked_(const CheckedPackage& pkg);
  // After the helper said it installed `pkg`: what is active and the
  // installed kavix.json must be the package's. 1, or -1 with the reason.
  int _verify_installed_(const CheckedPackage& pkg);
  int _fail_(const std::string& reason);
  int _read_info_package_(const std::string& app, std::string& oinfo);
  int _uncompress_pkg_(const std::string& path_kavix, const std::string& path,
                       std::string& path_snap);
  // Snap name of an installed slug from the service's installed list.
  // 1 found, 0 not installed, -1 the list could not be had.
  int _find_snap_name_(const std::string& slug, std::string& name);
  bool _start_worker_();

  static size_t _header_data_(char* buffer, size_t size, size_t nitems, void* userdata);
  static size_t _write_data_(void* ptr, size_t size, size_t nmemb, void* stream);
  static int _xferinfo_(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                        curl_off_t ulnow);
  void _set_percent_(int value);

  // Job fields: written by `install` under `mutex` while no job runs, read by
  // the worker while its job runs.
  rapidjson::Document info;
  unsigned char file_signature[4];
  std::string slug;
  std::string name_snap;
  std::string ver_app;
  std::string path_save;
  std::string dir_save;
  std::string header_download;
  std::string link_download;
  int id_status_install = 0;
  CURLcode res_download = CURLE_OK;
  // The unpack that follows the running job's download, when there is one
  // (the worker's own; see StreamUnpack). unpack_streamed: the last unpack
  // took its entries from it.
  nelt::StreamUnpack* stream_unpack = nullptr;
  bool unpack_streamed = false;
  // Reason of the running job's failure (the worker's own).
  std::string job_error;
  std::string job_version;

  // Used by `launch` on the caller's thread.
  std::string snap_name;
  std::string cmd_launch;

  // Last progress value read by getStateInstall (its caller's thread only).
  int per_download = 0;

  // Guarded by `mutex`.
  bool f_install_run = false;
  bool loop_install = true;
  std::thread thread_install;
  std::mutex mutex;
  std::condition_variable cv;

  // Progress and result of the current job; guarded by mutex_per.
  std::mutex mutex_per;
  int per_download_i = 0;
  // Result of the last job: 0 running or not started, 1 installed, -1 failed.
  int ret_install = 0;
  double size_file_total = 0;
  double size_downloaded = 0;
  std::string last_error;
  std::string installed_version;
  std::string status_text;
  // A job is queued or running; it may still be cancelled (false from the
  // privileged step on, and once a cancel was asked for).
  bool job_running = false;
  bool cancel_possible = false;
  bool last_cancelled = false;

  // Set by cancelInstall, cleared when a job is queued; read by the worker's
  // transfer and unpack loops.
  std::atomic<bool> cancel_requested{false};
  // The batch: its applications (slug and download address) are set by
  // installBatch while no job runs; their phases by the worker.
  std::vector<BatchApp> batch_apps;
  std::vector<std::string> batch_links;
  bool batch_queued = false;  // the queued job is the batch (guarded by mutex)
  size_t batch_current = 0;   // the application downloading now

  // Guarded by mutex_sys: filled from the process's identity by the worker
  // when a download starts.
  std::mutex mutex_sys;
  SysInfo sys_info;
};
