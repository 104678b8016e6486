#include "nelt_cli.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app_facts.h"
#include "display_text.h"
#include "fsutil.h"
#include "installed_list.h"
#include "json_util.h"
#include "kavix_api.h"
#include "kavix_model.h"
#include "model_log.h"
#include "paths.h"
#include "store_globals.h"

using nelt::window::setCurrentInstall;

namespace nelt {

namespace {

// A script must never hang on a stuck service; the longest honest exchange is
// the installed list, whose update check asks the store for every application.
constexpr auto RECEIVE_TIMEOUT = std::chrono::seconds(180);
// The end of a job is seen within this time; the progress line changes
// only when the percentage does, so checking often costs little.
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(2);

const char* USAGE =
    "Usage: nelt [--json] [--verbose] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  list                       installed applications from the store\n"
    "  updates                    installed applications with a newer version\n"
    "  search TEXT...             search the catalog\n"
    "  info SLUG                  details of one application\n"
    "  login NAME                 sign in (password from the terminal, or one line of\n"
    "                             standard input when it is not a terminal)\n"
    "  logout                     sign out\n"
    "  install SLUG [--version V] download and install an application\n"
    "  update SLUG                install the newer version of an installed application\n"
    "  update --all               update every application that has a newer version,\n"
    "                             with one authorisation\n"
    "  remove SLUG                remove an installed application\n"
    "  launch SLUG                start an installed application\n"
    "\n"
    "Options:\n"
    "  --json       machine-readable output (list, updates, search, info, install,\n"
    "               update)\n"
    "  --verbose    show the service client's and the engine's messages on stderr\n"
    "  -h, --help   show this help\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 wrong usage, 3 not signed in,\n"
    "4 store service not reachable.\n";

struct Options {
  bool json = false;
  bool verbose = false;
  std::string command;
  std::vector<std::string> args;
  std::string version;
  bool all = false;  // update --all
};

// Text that goes to a terminal goes through displayText: names, versions and
// descriptions come from the store and may carry escape sequences, and a
// reason may quote them. --json output relies on JSON escaping instead.
std::string shown(const std::string& text) { return displayText(text); }

int fail(int status, const std::string& reason) {
  std::fprintf(stderr, "nelt: %s\n", shown(reason).c_str());
  return status;
}

void printJson(const rapidjson::Value& value) { std::printf("%s\n", toCompactJson(value).c_str()); }

std::string str(const rapidjson::Value& obj, const char* key) {
  std::string out;
  getString(obj, key, out);
  return out;
}

// The list of a catalog or installed reply: its "data" array, or the reply
// itself when it is an array.
const rapidjson::Value* listOf(const rapidjson::Value& doc) {
  if (doc.IsArray()) return &doc;
  return getArray(doc, "data");
}

class Session {
 public:
  Session() = default;

  int connect() {
    const std::string path = portFilePath();
    int port = 0;
    if (!readPortFile(path, port))
      return fail(CLI_NO_SERVICE,
                  "cannot read the service port from " + path + " (is the store service running?)");
    api_ = std::make_unique<KavixAPI>(port, true);
    api_->setPortFile(path);
    api_->setReceiveTimeout(RECEIVE_TIMEOUT);
    // The command line identifies itself like the window but is no window: it
    // never takes part in the open-window exchange, so it neither signs the
    // account out nor disturbs a running store window.
    if (api_->init() != 1) {
      // Someone other than the service holds the port: nothing was sent.
      if (!api_->serviceRefusal().empty())
        return fail(CLI_NO_SERVICE,
                    "not talking to port " + std::to_string(port) + ": " + api_->serviceRefusal());
      return fail(CLI_NO_SERVICE,
                  "cannot connect to the store service on port " + std::to_string(port));
    }
    return CLI_OK;
  }

  KavixAPI& api() { return *api_; }

  // A request that got no reply: a service that went away (its connection
  // closed or reset, as during a restart) is not reachable; anything else
  // failed with `reason`.
  int failedExchange(const std::string& reason) {
    if (api_->connectionLost())
      return fail(CLI_NO_SERVICE, "the store service is not reachable (the connection was lost)");
    return fail(CLI_FAILED, reason);
  }

  KavixModel& engine() {
    if (!engine_) {
      engine_ = std::make_unique<KavixModel>();
      engine_->api = api_.get();
    }
    return *engine_;
  }

  // The installed list, or a failure status with its reason printed.
  int installed(KavixReply& reply, std::vector<InstalledEntry>& entries) {
    if (api_->getListInstalleds(&reply) < 0)
      return failedExchange("the store service did not answer");
    if (reply.status != 200 || !readInstalledList(reply.doc, entries))
      return fail(CLI_FAILED,
                  "cannot read the installed list (status " + std::to_string(reply.status) + ")");
    return CLI_OK;
  }

 private:
  std::unique_ptr<KavixAPI> api_;
  std::unique_ptr<KavixModel> engine_;
};

void printInstalledTable(const std::vector<InstalledEntry>& entries, bool only_updates) {
  size_t width = 4;
  for (const InstalledEntry& e : entries) width = std::max(width, shown(e.slug).size());
  std::printf("%-*s  %-12s  %s\n", static_cast<int>(width), "SLUG", "VERSION",
              only_updates ? "NEW VERSION" : "UPDATE");
  for (const InstalledEntry& e : entries) {
    if (only_updates && e.update != 1) continue;
    const std::string extra = e.update == 1 ? shown(e.ver_new) : std::string("-");
    std::printf("%-*s  %-12s  %s\n", static_cast<int>(width), shown(e.slug).c_str(),
                shown(e.ver_cur).c_str(), extra.c_str());
  }
}

int cmdList(Session& s, const Options& o, bool only_updates) {
  if (!o.args.empty()) return fail(CLI_USAGE, "'" + o.command + "' takes no arguments");
  KavixReply reply;
  std::vector<InstalledEntry> entries;
  if (int rc = s.installed(reply, entries); rc != CLI_OK) return rc;
  if (o.json) {
    // The entries go out as the service sent them.
    rapidjson::SizeType n = 0;
    const rapidjson::Value& data = *installedListData(reply.doc, n);
    rapidjson::Document out;
    out.SetObject();
    rapidjson::Value list(rapidjson::kArrayType);
    for (rapidjson::SizeType i = 0; i < n; ++i) {
      if (only_updates && entries[i].update != 1) continue;
      list.PushBack(rapidjson::Value(data[i], out.GetAllocator()), out.GetAllocator());
    }
    const int total = static_cast<int>(list.Size());
    out.AddMember("total", total, out.GetAllocator());
    out.AddMember("data", list, out.GetAllocator());
    printJson(out);
    return CLI_OK;
  }
  size_t count = 0;
  for (const InstalledEntry& e : entries)
    if (!only_updates || e.update == 1) ++count;
  if (count == 0) {
    std::printf("%s\n", only_updates ? "All installed applications are up to date."
                                     : "No applications from the store are installed.");
    return CLI_OK;
  }
  printInstalledTable(entries, only_updates);
  return CLI_OK;
}

int cmdSearch(Session& s, const Options& o) {
  if (o.args.empty()) return fail(CLI_USAGE, "usage: nelt search TEXT...");
  std::string text;
  for (const auto& a : o.args) {
    if (!text.empty()) text += ' ';
    text += a;
  }
  KavixReply reply;
  if (s.api().searchAll(text, &reply) < 0) return s.failedExchange("the search could not be sent");
  if (reply.status != 200)
    return fail(CLI_FAILED, "the search failed (status " + std::to_string(reply.status) + ")");
  if (o.json) {
    printJson(reply.doc);
    return CLI_OK;
  }
  const rapidjson::Value* data = listOf(reply.doc);
  if (data == nullptr || data->Empty()) {
    std::printf("No applications found.\n");
    return CLI_OK;
  }
  for (const auto& app : data->GetArray()) {
    std::string summary = str(app, "shortDescription");
    if (const rapidjson::Value* v = getObject(app, "data_version"))
      if (summary.empty()) summary = str(*v, "shortDescription");
    summary = shown(summary);
    std::printf("%s  %s  %s%s%s\n", shown(str(app, "slug")).c_str(),
                shown(str(app, "currentVersion")).c_str(), shown(str(app, "name")).c_str(),
                summary.empty() ? "" : " - ", summary.c_str());
  }
  return CLI_OK;
}

int cmdInfo(Session& s, const Options& o) {
  if (o.args.size() != 1) return fail(CLI_USAGE, "usage: nelt info SLUG");
  const std::string& slug = o.args[0];
  if (!isValidSlug(slug)) return fail(CLI_USAGE, "'" + slug + "' is not an application slug");
  KavixReply reply;
  if (s.api().getDetailApp(slug, &reply) < 0)
    return s.failedExchange("the request could not be sent");
  if (reply.status != 200 || !reply.doc.IsObject())
    return fail(CLI_FAILED,
                "no details for " + slug + " (status " + std::to_string(reply.status) + ")");
  if (o.json) {
    printJson(reply.doc);
    return CLI_OK;
  }
  const rapidjson::Value& d = reply.doc;
  std::printf("name:        %s\n", shown(str(d, "name")).c_str());
  std::printf("slug:        %s\n", slug.c_str());
  std::printf("version:     %s\n", shown(str(d, "currentVersion")).c_str());
  const std::string summary = shown(str(d, "shortDescription"));
  if (!summary.empty()) std::printf("summary:     %s\n", summary.c_str());
  // The facts before install, each only when the store gives it.
  const AppFacts facts = readAppFacts(d);
  if (facts.has_size)
    std::printf("size:        %s (%llu bytes)\n", humanSize(facts.size_bytes, '.').c_str(),
                static_cast<unsigned long long>(facts.size_bytes));
  if (!facts.developer.empty()) std::printf("developer:   %s\n", shown(facts.developer).c_str());
  if (!facts.license.empty()) std::printf("license:     %s\n", shown(facts.license).c_str());
  if (facts.has_updated)
    std::printf("updated:     %04d-%02d-%02d\n", facts.year, facts.month, facts.day);
  const auto rank = d.FindMember("rankAvg");
  if (rank != d.MemberEnd() && rank->value.IsNumber()) {
    std::printf("rating:      %.1f", rank->value.GetDouble());
    if (facts.has_rank_count)
      std::printf(" (%lld %s)", static_cast<long long>(facts.rank_count),
                  facts.rank_count == 1 ? "rating" : "ratings");
    std::printf("\n");
  } else if (facts.has_rank_count) {
    std::printf("ratings:     %lld\n", static_cast<long long>(facts.rank_count));
  }
  // Every line of the description indented like its first.
  std::string description;
  for (char c : displayText(str(d, "longDescription"), true)) {
    description += c;
    if (c == '\n') description += "  ";
  }
  if (!description.empty()) std::printf("description:\n  %s\n", description.c_str());
  return CLI_OK;
}

// One line of standard input, or a password typed without echo.
bool readPassword(std::string& password) {
  password.clear();
  const bool tty = isatty(STDIN_FILENO) == 1;
  struct termios saved {};
  if (tty) {
    std::fprintf(stderr, "Password: ");
    std::fflush(stderr);
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return false;
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, password));
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return ok || !password.empty();
}

// The service takes the sign-in argument as sent up to its line end and
// splits it at the first "&": a password may hold spaces and "&", an account
// name neither. Neither may hold a line end or another control character.
bool sendableCredential(const std::string& text, bool password) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return false;
    if (!password && (c == ' ' || c == '&')) return false;
  }
  return true;
}

int cmdLogin(Session& s, const Options& o) {
  if (o.args.size() != 1) return fail(CLI_USAGE, "usage: nelt login NAME");
  const std::string& name = o.args[0];
  std::string password;
  if (!readPassword(password)) return fail(CLI_USAGE, "no password given");
  if (name.empty() || name.size() > 256 || password.empty() || password.size() > 256)
    return fail(CLI_USAGE, "the account name and the password must be 1 to 256 bytes long");
  if (!sendableCredential(name, false))
    return fail(CLI_USAGE, "account names with spaces or '&' cannot be sent");
  if (!sendableCredential(password, true))
    return fail(CLI_USAGE, "passwords with control characters cannot be sent");
  KavixReply reply;
  if (s.api().loginAcc(name, password, &reply) < 0)
    return s.failedExchange("the sign-in request could not be sent");
  if (reply.status != 200)
    return fail(CLI_FAILED, "sign-in refused (status " + std::to_string(reply.status) + ")");
  std::printf("Signed in as %s\n", name.c_str());
  return CLI_OK;
}

int cmdLogout(Session& s, const Options& o) {
  if (!o.args.empty()) return fail(CLI_USAGE, "'logout' takes no arguments");
  KavixReply reply;
  if (s.api().logoutAcc(&reply) < 0) return s.failedExchange("the sign-out failed");
  if (reply.status != 200) return fail(CLI_FAILED, "the sign-out failed");
  std::printf("Signed out\n");
  return CLI_OK;
}

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

// Runs one install job to its end, showing its progress. `verb` names the
// operation in messages ("install", "update").
int runInstall(Session& s, const Options& o, const std::string& slug, const std::string& version,
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
  const bool tty = !o.json && isatty(STDOUT_FILENO) == 1;
  int last = -2;
  int state = 0;
  std::string shown_status;
  const StopSignals stop_signals;
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
  if (tty) {
    if (state == 200) std::printf("\r[%s] 100%% installed  ", std::string(30, '#').c_str());
    std::printf("\n");
  }
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

int cmdInstall(Session& s, const Options& o) {
  if (o.args.size() != 1) return fail(CLI_USAGE, "usage: nelt install SLUG [--version V]");
  if (!isValidSlug(o.args[0]))
    return fail(CLI_USAGE, "'" + o.args[0] + "' is not an application slug");
  return runInstall(s, o, o.args[0], o.version, "install");
}

// Updates every installed application with a newer version in one batch:
// one line per step of each application, then a summary; 1 when any failed.
int runUpdateAll(Session& s, const Options& o) {
  KavixReply reply;
  std::vector<InstalledEntry> entries;
  if (int rc = s.installed(reply, entries); rc != CLI_OK) return rc;
  std::vector<std::string> slugs;
  for (const InstalledEntry& e : entries)
    if (e.update == 1 && isValidSlug(e.slug) &&
        std::find(slugs.begin(), slugs.end(), e.slug) == slugs.end())
      slugs.push_back(e.slug);
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
  using Phase = KavixModel::BatchApp::Phase;
  std::vector<KavixModel::BatchApp> shown_apps(slugs.size());
  std::vector<int> shown_percent(slugs.size(), -1);
  bool said_installing = false;
  KavixModel::BatchState state;
  for (;;) {
    state = engine.batchState();
    // Everything before the authorisation first (downloads, checks, skips),
    // then the prompt, then the results: a skip is always said before it.
    for (int pass = 0; pass < 2 && !o.json; ++pass) {
      for (size_t i = 0; i < state.apps.size() && i < slugs.size(); ++i) {
        const KavixModel::BatchApp& app = state.apps[i];
        const std::string& name = slugs[i];
        const bool before_prompt =
            app.phase <= Phase::READY || (app.phase == Phase::FAILED && app.skipped);
        if (before_prompt != (pass == 0)) continue;
        if (app.phase != Phase::WAITING && shown_apps[i].phase == Phase::WAITING)
          std::printf("downloading %s\n", name.c_str());
        if (app.phase == Phase::DOWNLOADING && app.percent / 10 != shown_percent[i] / 10) {
          std::printf("downloading %s: %d%% (all: %d%%)\n", name.c_str(), app.percent,
                      state.overall);
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
    std::fflush(stdout);
    if (!state.running) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
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

int cmdRemove(Session& s, const Options& o) {
  if (o.args.size() != 1) return fail(CLI_USAGE, "usage: nelt remove SLUG");
  const std::string& slug = o.args[0];
  if (!isValidSlug(slug)) return fail(CLI_USAGE, "'" + slug + "' is not an application slug");
  KavixReply reply;
  std::vector<InstalledEntry> entries;
  if (int rc = s.installed(reply, entries); rc != CLI_OK) return rc;
  if (findInstalled(entries, slug) == nullptr) return fail(CLI_FAILED, slug + " is not installed");
  if (s.engine().remove(slug) != 1) return fail(CLI_FAILED, "could not remove " + slug);
  std::printf("Removed %s\n", slug.c_str());
  return CLI_OK;
}

int cmdLaunch(Session& s, const Options& o) {
  if (o.args.size() != 1) return fail(CLI_USAGE, "usage: nelt launch SLUG");
  const std::string& slug = o.args[0];
  if (!isValidSlug(slug)) return fail(CLI_USAGE, "'" + slug + "' is not an application slug");
  // The application runs on its own after nelt has returned: it must not hold
  // the caller's output open (a script reading nelt's output would wait for
  // the application to end), so it gets /dev/null instead.
  std::fflush(stdout);
  std::fflush(stderr);
  const int saved_out = dup(STDOUT_FILENO), saved_err = dup(STDERR_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    close(null_fd);
  }
  const int launched = s.engine().launch(slug);
  if (saved_out >= 0) dup2(saved_out, STDOUT_FILENO);
  if (saved_err >= 0) dup2(saved_err, STDERR_FILENO);
  if (saved_out >= 0) close(saved_out);
  if (saved_err >= 0) close(saved_err);
  if (launched != 0)
    return fail(CLI_FAILED, "cannot launch " + slug + " (not installed, or it has no command)");
  std::printf("Launched %s\n", slug.c_str());
  return CLI_OK;
}

int parseOptions(int argc, char** argv, Options& o, bool& help) {
  help = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--json") {
      o.json = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--help" || a == "-h") {
      help = true;
    } else if (a == "--all") {
      o.all = true;
    } else if (a == "--version") {
      if (i + 1 >= argc) return fail(CLI_USAGE, "--version needs a value");
      o.version = argv[++i];
    } else if (a.rfind("--version=", 0) == 0) {
      o.version = a.substr(10);
    } else if (a == "--") {
      for (++i; i < argc; ++i) {
        if (o.command.empty())
          o.command = argv[i];
        else
          o.args.emplace_back(argv[i]);
      }
    } else if (a.size() > 1 && a[0] == '-') {
      return fail(CLI_USAGE, "unknown option " + a + " (see nelt --help)");
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.args.push_back(a);
    }
  }
  return CLI_OK;
}

}  // namespace

int runCli(int argc, char** argv) {
  Options o;
  bool help = false;
  if (int rc = parseOptions(argc, argv, o, help); rc != CLI_OK) return rc;
  if (help) {
    std::fputs(USAGE, stdout);
    return CLI_OK;
  }
  if (o.command.empty()) {
    std::fputs(USAGE, stderr);
    return CLI_USAGE;
  }
  if (!o.version.empty() && o.command != "install")
    return fail(CLI_USAGE, "--version goes with 'install' only");
  if (o.all && o.command != "update") return fail(CLI_USAGE, "--all goes with 'update' only");

  // Standard output carries results; the engine's traces go to stderr only
  // when asked for.
  if (o.verbose) {
    auto toErr = [](const std::string& m) {
      std::fputs(displayText(m, true).c_str(), stderr);
      if (m.empty() || m.back() != '\n') std::fputc('\n', stderr);
    };
    setDebugLogSink(toErr);
    setConsoleLogSink(toErr);
  } else {
    setDebugLogSink(nullptr);
    setConsoleLogSink(nullptr);
  }

  using Handler = int (*)(Session&, const Options&);
  struct Command {
    const char* name;
    Handler run;
  };
  static const Command commands[] = {
      {"list", [](Session& s, const Options& o) { return cmdList(s, o, false); }},
      {"updates", [](Session& s, const Options& o) { return cmdList(s, o, true); }},
      {"search", cmdSearch},
      {"info", cmdInfo},
      {"login", cmdLogin},
      {"logout", cmdLogout},
      {"install", cmdInstall},
      {"update", cmdUpdate},
      {"remove", cmdRemove},
      {"launch", cmdLaunch},
  };
  for (const auto& c : commands) {
    if (o.command != c.name) continue;
    Session session;
    if (int rc = session.connect(); rc != CLI_OK) return rc;
    return c.run(session, o);
  }
  return fail(CLI_USAGE, "unknown command '" + o.command + "' (see nelt --help)");
}

}  // namespace nelt
