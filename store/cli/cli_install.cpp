// The commands that run install jobs: one application's install or update
// with its progress line, and the update of every application in one batch.
#include "cli_install.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "installed_list.h"
#include "json_util.h"
#include "kavix_model.h"
#include "store_globals.h"

using nelt::window::setCurrentInstall;

namespace nelt {
namespace cli {

namespace {

// The end of a job is seen within this time; the progress line changes
// only when the percentage does, so checking often costs little.
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(2);

// Set by SIGINT and SIGTERM while an install runs; the install loop turns it
// into a cancel of the job.
volatile sig_atomic_t stop_signal = 0;

void onStopSignal(int sig) { stop_signal = sig; }

// SIGINT and SIGTERM ask the running install to stop instead of killing the
// process, for as long as this object lives: a killed process would leave
// its work folder behind. The previous handlers come back afterwards.
class StopSignals {
 public:
  StopSignals() {
    stop_signal = 0;
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &old_int_);
    sigaction(SIGTERM, &sa, &old_term_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

// Hands the job to the engine; CLI_OK when it runs.
int startInstall(Session& s, const std::string& slug, const std::string& version,
                 const char* verb) {
  KavixModel& engine = s.engine();
  setCurrentInstall(slug);
  const int r = engine.install(slug, version, 0);
  if (r == 9998) {
    setCurrentInstall("");
    return fail(CLI_SIGNED_OUT, "not signed in; run 'nelt login NAME' first");
  }
  if (r != 0) {
    setCurrentInstall("");
    const std::string reason =
        std::string("cannot ") + verb + " " + slug + ": " + engine.lastError();
    return r == -5 ? s.failedExchange(reason) : fail(CLI_FAILED, reason);
  }
  return CLI_OK;
}

// Shows the job's progress until it ends, turning a stop signal into a
// cancel; the job's last state.
int followInstall(KavixModel& engine, const Options& o, const std::string& slug, const char* verb,
                  bool tty) {
  int last = -2;
  int state = 0;
  std::string shown_status;
  bool cancel_asked = false;
  for (;;) {
    if (stop_signal != 0 && !cancel_asked) {
      cancel_asked = true;
      // Past the download and unpack the helper's own undo rules apply: the
      // job runs to its end.
      if (engine.cancelInstall() == -2)
        std::fprintf(stderr, "%snelt: cannot cancel now: the %s has reached its privileged step\n",
                     tty ? "\n" : "", verb);
    }
    state = engine.getStateInstall();
    if (const std::string status = engine.statusText(); status != shown_status && !o.json) {
      // Said once, on a line of its own, while another install holds the job.
      if (!status.empty()) std::printf("%s%s\n", tty ? "\r" : "", status.c_str());
      std::fflush(stdout);
      shown_status = status;
    }
    if (state == 200 || state == 101 || state < 0) break;
    if (state != last && !o.json) {
      if (tty) {
        const int pct = state > 100 ? 100 : state;
        const int filled = pct * 30 / 100;
        std::printf("\r[%s%s] %3d%% %s", std::string(filled, '#').c_str(),
                    std::string(30 - filled, ' ').c_str(), pct,
                    state == 102 ? "installing   " : "downloading");
      } else if (state == 102) {
        std::printf("installing %s\n", slug.c_str());
      } else if (last < 0 || state / 10 != last / 10) {
        std::printf("downloading %s: %d%%\n", slug.c_str(), state);
      }
      std::fflush(stdout);
      last = state;
    }
    std::this_thread::sleep_for(POLL_INTERVAL);
  }
  return state;
}

// Tells the job's outcome; the exit status.
int reportInstall(KavixModel& engine, const Options& o, const std::string& slug, const char* verb,
                  int state) {
  const bool ok = state == 200;
  const bool cancelled = !ok && engine.lastCancelled();
  // The version read back from the installed files, not the one asked for:
  // another install of the same application may have run just before.
  const std::string version_now = ok ? engine.installedVersion() : std::string();
  std::string reason = ok ? std::string() : engine.lastError();
  if (!ok && reason.empty()) reason = "the install ended in an unknown state";
  if (o.json) {
    rapidjson::Document out;
    out.SetObject();
    auto& a = out.GetAllocator();
    out.AddMember("slug", rapidjson::Value(slug.c_str(), a), a);
    out.AddMember("result",
                  rapidjson::StringRef(ok          ? "installed"
                                       : cancelled ? "cancelled"
                                                   : "failed"),
                  a);
    if (ok) out.AddMember("version", rapidjson::Value(version_now.c_str(), a), a);
    if (!ok) out.AddMember("error", rapidjson::Value(reason.c_str(), a), a);
    printJson(out);
  }
  // Nothing changed on the system: the work folder and partial download are
  // gone and the installed version is the one from before.
  if (cancelled) return fail(CLI_CANCELLED, std::string(verb) + " of " + slug + " cancelled");
  if (!ok) return fail(CLI_FAILED, std::string(verb) + " of " + slug + " failed: " + reason);
  if (!o.json)
    std::printf("%s %s%s%s\n", std::string(verb) == "update" ? "Updated" : "Installed",
                slug.c_str(), version_now.empty() ? "" : " ", shown(version_now).c_str());
  return CLI_OK;
}

// Runs one install job to its end, showing its progress. `verb` names the
// operation in messages ("install", "update").
int runInstall(Session& s, const Options& o, const std::string& slug, const std::string& version,
               const char* verb) {
  if (const int rc = startInstall(s, slug, version, verb); rc != CLI_OK) return rc;
  KavixModel& engine = s.engine();
  const bool tty = !o.json && isatty(STDOUT_FILENO) == 1;
  const StopSignals stop_signals;
  const int state = followInstall(engine, o, slug, verb, tty);
  if (tty) {
    if (state == 200) std::printf("\r[%s] 100%% installed  ", std::string(30, '#').c_str());
    std::printf("\n");
  }
  return reportInstall(engine, o, slug, verb, state);
}

// The installed applications with a newer version, each once.
std::vector<std::string> slugsToUpdate(const std::vector<InstalledEntry>& entries) {
  std::vector<std::string> slugs;
  for (const InstalledEntry& e : entries)
    if (e.update == 1 && isValidSlug(e.slug) &&
        std::find(slugs.begin(), slugs.end(), e.slug) == slugs.end())
      slugs.push_back(e.slug);
  return slugs;
}

// The lines of one poll of the batch. Everything before the authorisation
// first (downloads, checks, skips), then the prompt, then the results: a
// skip is always said before it.
void showBatchSteps(const KavixModel::BatchState& state, const std::vector<std::string>& slugs,
                    std::vector<KavixModel::BatchApp>& shown_apps, std::vector<int>& shown_percent,
                    bool& said_installing) {
  using Phase = KavixModel::BatchApp::Phase;
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < state.apps.size() && i < slugs.size(); ++i) {
      const KavixModel::BatchApp& app = state.apps[i];
      const std::string& name = slugs[i];
      const bool before_prompt =
          app.phase <= Phase::READY || (app.phase == Phase::FAILED && app.skipped);
      if (before_prompt != (pass == 0)) continue;
      if (app.phase != Phase::WAITING && shown_apps[i].phase == Phase::WAITING)
        std::printf("downloading %s\n", name.c_str());
      if (app.phase == Phase::DOWNLOADING && app.percent / 10 != shown_percent[i] / 10) {
        std::printf("downloading %s: %d%% (all: %d%%)\n", name.c_str(), app.percent, state.overall);
        shown_percent[i] = app.percent;
      }
      if (app.phase != shown_apps[i].phase) {
        if (app.phase == Phase::CHECKING) std::printf("checking %s\n", name.c_str());
        if (pass == 1 && !said_installing) {
          std::printf("installing the checked applications (one authorisation)\n");
          said_installing = true;
        }
        if (app.phase == Phase::INSTALLED)
          std::printf("Updated %s %s\n", name.c_str(), shown(app.version).c_str());
        if (app.phase == Phase::FAILED)
          std::printf("%s %s: %s\n", app.skipped ? "skipped" : "failed", name.c_str(),
                      shown(app.reason).c_str());
      }
      shown_apps[i] = app;
    }
  }
}

// Tells the batch's outcome; the exit status.
int reportBatch(const Options& o, const KavixModel::BatchState& state) {
  using Phase = KavixModel::BatchApp::Phase;
  size_t updated = 0;
  std::string failed_names;
  for (const KavixModel::BatchApp& app : state.apps) {
    if (app.phase == Phase::INSTALLED) {
      ++updated;
    } else {
      failed_names += (failed_names.empty() ? "" : ", ") + app.slug;
    }
  }
  if (o.json) {
    rapidjson::Document out;
    out.SetObject();
    auto& a = out.GetAllocator();
    rapidjson::Value list(rapidjson::kArrayType);
    for (const KavixModel::BatchApp& app : state.apps) {
      rapidjson::Value item(rapidjson::kObjectType);
      const bool ok = app.phase == Phase::INSTALLED;
      item.AddMember("slug", rapidjson::Value(app.slug.c_str(), a), a);
      item.AddMember("result", rapidjson::StringRef(ok ? "updated" : "failed"), a);
      if (ok) item.AddMember("version", rapidjson::Value(app.version.c_str(), a), a);
      if (!ok) item.AddMember("error", rapidjson::Value(app.reason.c_str(), a), a);
      if (!ok) item.AddMember("skipped", app.skipped, a);
      list.PushBack(item, a);
    }
    out.AddMember("result",
                  rapidjson::StringRef(updated == state.apps.size() ? "updated" : "failed"), a);
    out.AddMember("apps", list, a);
    printJson(out);
  } else {
    std::printf("Updated %zu of %zu applications%s%s\n", updated, state.apps.size(),
                failed_names.empty() ? "" : "; failed: ", failed_names.c_str());
  }
  return updated == state.apps.size() ? CLI_OK : CLI_FAILED;
}

// Updates every installed application with a newer version in one batch:
// one line per step of each application, then a summary; 1 when any failed.
int runUpdateAll(Session& s, const Options& o) {
  KavixReply reply;
  std::vector<InstalledEntry> entries;
  if (int rc = s.installed(reply, entries); rc != CLI_OK) return rc;
  const std::vector<std::string> slugs = slugsToUpdate(entries);
  if (slugs.empty()) {
    if (o.json)
      std::printf("{\"result\":\"up-to-date\",\"apps\":[]}\n");
    else
      std::printf("All installed applications are up to date.\n");
    return CLI_OK;
  }
  KavixModel& engine = s.engine();
  const int r = engine.installBatch(slugs);
  if (r == 9998) return fail(CLI_SIGNED_OUT, "not signed in; run 'nelt login NAME' first");
  if (r != 0) {
    const std::string reason = "cannot update: " + engine.lastError();
    return r == -5 ? s.failedExchange(reason) : fail(CLI_FAILED, reason);
  }
  if (!o.json) std::printf("Updating %zu applications\n", slugs.size());
  std::vector<KavixModel::BatchApp> shown_apps(slugs.size());
  std::vector<int> shown_percent(slugs.size(), -1);
  bool said_installing = false;
  KavixModel::BatchState state;
  for (;;) {
    state = engine.batchState();
    if (!o.json) showBatchSteps(state, slugs, shown_apps, shown_percent, said_installing);
    std::fflush(stdout);
    if (!state.running) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return reportBatch(o, state);
}

}  // namespace

int cmdInstall(Session& s, const Options& o) {
  if (o.args.size() != 1) return fail(CLI_USAGE, "usage: nelt install SLUG [--version V]");
  if (!isValidSlug(o.args[0]))
    return fail(CLI_USAGE, "'" + o.args[0] + "' is not an application slug");
  return runInstall(s, o, o.args[0], o.version, "install");
}

int cmdUpdate(Session& s, const Options& o) {
  if (o.all) {
    if (!o.args.empty()) return fail(CLI_USAGE, "usage: nelt update --all");
    return runUpdateAll(s, o);
  }
  if (o.args.size() != 1) return fail(CLI_USAGE, "usage: nelt update SLUG | nelt update --all");
  const std::string& slug = o.args[0];
  if (!isValidSlug(slug)) return fail(CLI_USAGE, "'" + slug + "' is not an application slug");
  KavixReply reply;
  std::vector<InstalledEntry> entries;
  if (int rc = s.installed(reply, entries); rc != CLI_OK) return rc;
  const InstalledEntry* entry = findInstalled(entries, slug);
  if (entry == nullptr) return fail(CLI_FAILED, slug + " is not installed");
  if (entry->update != 1) {
    if (o.json) {
      rapidjson::Document out;
      out.SetObject();
      out.AddMember("slug", rapidjson::Value(slug.c_str(), out.GetAllocator()), out.GetAllocator());
      out.AddMember("result", "up-to-date", out.GetAllocator());
      printJson(out);
    } else {
      std::printf("%s is up to date (%s)\n", slug.c_str(), shown(entry->ver_cur).c_str());
    }
    return CLI_OK;
  }
  // An update is a fresh install of the store's current version.
  return runInstall(s, o, slug, "", "update");
}

}  // namespace cli
}  // namespace nelt
