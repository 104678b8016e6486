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
#include "cli_install.h"
#include "cli_session.h"
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

namespace cli {

std::string shown(const std::string& text) { return displayText(text); }

int fail(int status, const std::string& reason) {
  std::fprintf(stderr, "nelt: %s\n", shown(reason).c_str());
  return status;
}

// Store text reaches the terminal in JSON too: no control or direction
// character in it may act on the terminal.
void printJson(const rapidjson::Value& value) {
  std::printf("%s\n", terminalSafeJson(toCompactJson(value)).c_str());
}

}  // namespace cli

using cli::fail;
using cli::Options;
using cli::printJson;
using cli::Session;
using cli::shown;

namespace {

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
      {"install", cli::cmdInstall},
      {"update", cli::cmdUpdate},
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
