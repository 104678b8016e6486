// End to end: the real KavixService, the local store server with the sample
// catalog and its packages, and the snap/pkexec stand-ins, all below one
// temporary NELT_ROOT; driven through the engine in-process and through the
// `nelt` command line.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "engine_stack.h"
#include "fsutil.h"
#include "json_util.h"
#include "kavix_model.h"
#include "kavix_package.h"
#include "model_log.h"
#include "package_builder.h"
#include "paths.h"
#include "service_harness.h"
#include "store_globals.h"
#include "test_support.h"

using nelt::window::currentInstall;
using nelt::window::setCurrentInstall;
using nelt::window::URL_HOST;

extern char** environ;

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

struct CliResult {
  int status = -1;
  std::string out, err;
};

// Another user to run `nelt` as: a child switched to `uid` with `home`.
struct User {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

// Starts `nelt` with `input` on its standard input (not a terminal); output
// goes to `prefix`.out and `prefix`.err.
pid_t startNelt(const std::vector<std::string>& args, const std::string& prefix,
                const std::string& input = "", const User* as = nullptr) {
  writeFile(prefix + ".in", input);
  std::vector<std::string> argv = {binDir() + "/nelt"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (as != nullptr && (entry.rfind("HOME=", 0) == 0 || entry.rfind("XDG_CACHE_HOME=", 0) == 0))
      continue;
    env.push_back(entry);
  }
  if (as != nullptr) env.push_back("HOME=" + as->home);
  std::vector<char*> cargv, cenv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  for (auto& e : env) cenv.push_back(e.data());
  cenv.push_back(nullptr);
  const int in = open((prefix + ".in").c_str(), O_RDONLY | O_CLOEXEC);
  const int out = open((prefix + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open((prefix + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(125);
    if (as != nullptr &&
        (setgroups(0, nullptr) != 0 || setgid(as->gid) != 0 || setuid(as->uid) != 0))
      _exit(125);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  close(in);
  close(out);
  close(err);
  return pid;
}

CliResult finishNelt(pid_t pid, const std::string& prefix) {
  CliResult r;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid)
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = readFile(prefix + ".out");
  r.err = readFile(prefix + ".err");
  return r;
}

// Runs `nelt` with `input` on its standard input (not a terminal).
CliResult nelt_(const std::vector<std::string>& args, const std::string& dir,
                const std::string& input = "", const User* as = nullptr) {
  const std::string prefix = dir + "/cli";
  return finishNelt(startNelt(args, prefix, input, as), prefix);
}

// The entry of `slug` in an installed list, or nullptr.
const rapidjson::Value* entryOf(const rapidjson::Value& doc, const std::string& slug) {
  const rapidjson::Value* data = nelt::getArray(doc, "data");
  if (data == nullptr) return nullptr;
  for (const auto& e : data->GetArray()) {
    std::string s;
    if (nelt::getString(e, "slug", s) && s == slug) return &e;
  }
  return nullptr;
}

std::string member(const rapidjson::Value* v, const char* key) {
  std::string out;
  if (v != nullptr) nelt::getString(*v, key, out);
  return out;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("NELT_PKEXEC_REFUSE");
    quietEngine();
    // The store hands out the sample packages plus one made here without
    // its "kavix.json" (ghi-chu 9.9.9, under the store's key for ghi-chu).
    const std::string shelf = work.sub("packages");
    for (const std::string rel :
         {"hello-nelt/1.2.0", "hello-nelt/1.3.0", "ghi-chu/2.0.1", "may-tinh/1.0.0"}) {
      nelt::makeDirs(shelf + "/" + rel.substr(0, rel.find('/')));
      writeFile(shelf + "/" + rel + ".kavix",
                readFile(std::string(NELT_SAMPLE_PACKAGES) + "/" + rel + ".kavix"));
    }
    const std::string snap = makeSnap(work.path(), "ghi-chu", "9.9.9", 8192);
    ASSERT_FALSE(snap.empty());
    const std::string payload = libzipArchive(
        work.path(), {{nelt::lastPathComponent(snap), readFile(snap)}}, "ghi chu $HOME & 'x'");
    ASSERT_TRUE(writeKavix(
        shelf + "/ghi-chu/9.9.9.kavix", "ghi-chu",
        "{\"name\":\"ghi-chu\",\"snap\":\"" + nelt::lastPathComponent(snap) + "\"}", payload));

    // Packages that reach for another application's snap: the ghi-chu
    // header around a hello-nelt snap, and a hello-nelt package holding a
    // genuine ghi-chu snap (each under its slug's key).
    const std::string hello = makeSnap(work.path(), "hello-nelt", "6.6.6", 4096);
    const std::string ghi = makeSnap(work.path(), "ghi-chu", "6.6.6", 4096);
    ASSERT_FALSE(hello.empty() || ghi.empty());
    const auto foreign = [&](const std::string& slug, const std::string& snap_path,
                             const std::string& key) {
      const std::string file = nelt::lastPathComponent(snap_path);
      const std::string zip = libzipArchive(
          work.path(),
          {{file, readFile(snap_path)}, {"kavix.json", kavixJson("ghi-chu", "Ghi chu", "6.6.6")}},
          key);
      return writeKavix(shelf + "/" + slug + "/6.6.6.kavix", slug,
                        "{\"name\":\"ghi-chu\",\"snap\":\"" + file + "\"}", zip);
    };
    ASSERT_TRUE(foreign("ghi-chu", hello, "ghi chu $HOME & 'x'"));
    ASSERT_TRUE(foreign("hello-nelt", ghi, "Hello-Nelt#2024"));

    ASSERT_TRUE(store.start(work.path(), "", {"--packages", shelf}));
    ASSERT_TRUE(startServiceOn(store, service));
  }

  void TearDown() override { unsetenv("NELT_PKEXEC_REFUSE"); }

  std::unique_ptr<KavixAPI> connect() {
    auto api = std::make_unique<KavixAPI>(service.port(), true);
    EXPECT_EQ(api->init(), 1);
    EXPECT_EQ(URL_HOST, store.baseUrl());
    return api;
  }

  std::vector<int> follow(KavixModel& engine) {
    std::vector<int> seen;
    eventually(
        [&] {
          const int s = engine.getStateInstall();
          if (seen.empty() || seen.back() != s) seen.push_back(s);
          return s == 200 || s == 101 || s < 0;
        },
        60s);
    return seen;
  }

  KavixReply installed(KavixAPI& api) {
    KavixReply reply;
    EXPECT_EQ(api.getListInstalleds(&reply), 0);
    EXPECT_EQ(reply.status, 200);
    return reply;
  }

  TempDir work;
  StoreServer store;
  ServiceHarness service;
};

TEST_F(EndToEnd, InstallUpdateLaunchAndRemoveThroughTheEngine) {
  auto api = connect();
  KavixModel engine;
  engine.getSysInfo();  // settled before the test changes the environment
  engine.api = api.get();

  EXPECT_EQ(engine.install("hello-nelt", "1.2.0", 0), 9998) << "nobody is signed in";
  KavixReply login;
  ASSERT_EQ(api->loginAcc("demo", "demo123", &login), 0);
  ASSERT_EQ(login.status, 200);

  // The store answers slowly, so the download is seen before it completes.
  ASSERT_TRUE(store.setMode("{\"latency_ms\":300}"));
  setCurrentInstall("hello-nelt");
  ASSERT_EQ(engine.install("hello-nelt", "1.2.0", 0), 0);
  const std::vector<int> seen = follow(engine);
  ASSERT_TRUE(store.setMode("{\"latency_ms\":0}"));
  ASSERT_GE(seen.size(), 2u);
  EXPECT_GE(seen.front(), 0);
  EXPECT_LE(seen.front(), 99);
  EXPECT_EQ(seen.back(), 200);
  EXPECT_NE(std::find(seen.begin(), seen.end(), 102), seen.end()) << "unpacking and installing";
  for (size_t i = 1; i + 1 < seen.size(); ++i)
    EXPECT_TRUE((seen[i] >= 0 && seen[i] <= 99) || seen[i] == 102) << seen[i];
  EXPECT_EQ(currentInstall(), "");

  rapidjson::Document meta;
  const std::string text = readFile(nelt::snapRoot() + "hello-nelt/kavix.json");
  meta.Parse(text.c_str());
  ASSERT_TRUE(meta.IsObject()) << text;
  EXPECT_EQ(member(&meta, "slug"), "hello-nelt");
  EXPECT_EQ(member(&meta, "version"), "1.2.0");

  KavixReply list = installed(*api);
  const rapidjson::Value* entry = entryOf(list.doc, "hello-nelt");
  ASSERT_NE(entry, nullptr) << list.text;
  EXPECT_EQ(member(entry, "name_snap"), "hello-nelt");
  EXPECT_EQ(member(entry, "version"), "1.2.0");
  EXPECT_EQ(member(entry, "new-version"), "1.3.0");

  // The update is a fresh install of the store's current version.
  ASSERT_EQ(engine.install("hello-nelt", "", 0), 0);
  EXPECT_EQ(follow(engine).back(), 200);
  list = installed(*api);
  entry = entryOf(list.doc, "hello-nelt");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(member(entry, "version"), "1.3.0");

  const std::string marker = work.sub("launched");
  setenv("NELT_LAUNCH_MARKER", marker.c_str(), 1);
  ASSERT_EQ(engine.launch("hello-nelt"), 0);
  EXPECT_TRUE(eventually([&] { return readFile(marker) == "hello-nelt hello-nelt 1.3.0\n"; }))
      << readFile(marker);
  EXPECT_TRUE(eventually([] { return !hasZombieChild(); }));
  unsetenv("NELT_LAUNCH_MARKER");

  EXPECT_EQ(engine.remove("hello-nelt"), 1);
  EXPECT_EQ(entryOf(installed(*api).doc, "hello-nelt"), nullptr);
  EXPECT_EQ(engine.remove("hello-nelt"), -1);
  EXPECT_EQ(engine.launch("hello-nelt"), -1);
}

TEST_F(EndToEnd, RefusalsAndIncompletePackagesEndAsFailed) {
  auto api = connect();
  KavixModel engine;
  engine.getSysInfo();  // settled before the test changes the environment
  engine.api = api.get();
  KavixReply login;
  ASSERT_EQ(api->loginAcc("demo", "demo123", &login), 0);

  setenv("NELT_PKEXEC_REFUSE", "1", 1);
  ASSERT_EQ(engine.install("may-tinh", "", 0), 0);
  EXPECT_EQ(follow(engine).back(), 101);
  unsetenv("NELT_PKEXEC_REFUSE");
  EXPECT_EQ(entryOf(installed(*api).doc, "may-tinh"), nullptr);

  // A package without "kavix.json" is refused before its snap is installed.
  ASSERT_EQ(engine.install("ghi-chu", "9.9.9", 0), 0);
  EXPECT_EQ(follow(engine).back(), 101);
  EXPECT_EQ(engine.lastError(), "package refused: no kavix.json beside the snap");
  EXPECT_FALSE(nelt::isDirectory(nelt::varSnapRoot() + "ghi-chu"));
  EXPECT_EQ(entryOf(installed(*api).doc, "ghi-chu"), nullptr);

  // A download the store refuses (its server failing) fails the job too.
  ASSERT_TRUE(store.setMode("{\"status500\":true}"));
  ASSERT_EQ(engine.install("ghi-chu", "2.0.1", 0), 0);
  EXPECT_EQ(follow(engine).back(), 101);
  ASSERT_TRUE(store.setMode("{\"status500\":false}"));

  // The real ghi-chu package (its key full of shell characters) installs.
  ASSERT_EQ(engine.install("ghi-chu", "2.0.1", 0), 0);
  EXPECT_EQ(follow(engine).back(), 200);
  EXPECT_NE(entryOf(installed(*api).doc, "ghi-chu"), nullptr);
}

TEST_F(EndToEnd, TheSameFlowsThroughTheCommandLine) {
  const std::string dir = work.path();
  CliResult r = nelt_({"list"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "No applications from the store are installed.\n");

  r = nelt_({"install", "hello-nelt"}, dir);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "nelt: not signed in; run 'nelt login NAME' first\n");

  r = nelt_({"login", "demo"}, dir, "wrong\n");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  r = nelt_({"login", "demo"}, dir, "demo123\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Signed in as demo\n");

  r = nelt_({"install", "hello-nelt", "--version", "1.2.0"}, dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("downloading hello-nelt: 0%\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Installed hello-nelt 1.2.0\n"), std::string::npos) << r.out;
  // snap's chatter ("Warning: /snap/bin was not found in your $PATH") is
  // logged, never part of what nelt says.
  EXPECT_EQ(r.err, "");

  r = nelt_({"--json", "list"}, dir);
  ASSERT_EQ(r.status, 0) << r.err;
  rapidjson::Document doc;
  doc.Parse(r.out.c_str());
  ASSERT_TRUE(doc.IsObject()) << r.out;
  EXPECT_EQ(member(entryOf(doc, "hello-nelt"), "version"), "1.2.0");

  r = nelt_({"updates"}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("hello-nelt"), std::string::npos);
  EXPECT_NE(r.out.find("1.3.0"), std::string::npos) << r.out;

  r = nelt_({"update", "hello-nelt"}, dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = nelt_({"update", "hello-nelt"}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "hello-nelt is up to date (1.3.0)\n");

  const std::string marker = work.sub("cli-launched");
  setenv("NELT_LAUNCH_MARKER", marker.c_str(), 1);
  r = nelt_({"launch", "hello-nelt"}, dir);
  unsetenv("NELT_LAUNCH_MARKER");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(eventually([&] { return readFile(marker) == "hello-nelt hello-nelt 1.3.0\n"; }));

  r = nelt_({"search", "hello"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("hello-nelt"), std::string::npos) << r.out;
  r = nelt_({"info", "hello-nelt"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("version:     1.3.0"), std::string::npos) << r.out;

  r = nelt_({"remove", "hello-nelt"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Removed hello-nelt\n");
  r = nelt_({"remove", "hello-nelt"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "nelt: hello-nelt is not installed\n");

  setenv("NELT_PKEXEC_REFUSE", "1", 1);
  r = nelt_({"install", "may-tinh"}, dir);
  unsetenv("NELT_PKEXEC_REFUSE");
  EXPECT_EQ(r.status, 1);
  // pkexec's own message may come first; nelt's reason is one line of its own.
  const std::string refused =
      "nelt: install of may-tinh failed: authorisation refused: the install was not authorised\n";
  ASSERT_GE(r.err.size(), refused.size());
  EXPECT_EQ(r.err.substr(r.err.size() - refused.size()), refused) << r.err;

  r = nelt_({"logout"}, dir);
  EXPECT_EQ(r.status, 0);
  r = nelt_({"install", "may-tinh"}, dir);
  EXPECT_EQ(r.status, 3);

  EXPECT_EQ(nelt_({"frobnicate"}, dir).status, 2);
  EXPECT_EQ(nelt_({"install"}, dir).status, 2);
  service.proc().terminate();
  r = nelt_({"list"}, dir);
  EXPECT_EQ(r.status, 4);
}

// The person the store is for: a desktop user without root. Everything runs
// through `nelt` in a child switched to `nobody`; the pkexec stand-in runs its
// command as that user, so the snap and runtime folders below NELT_ROOT are theirs.
TEST_F(EndToEnd, ADesktopUserInstallsUpdatesLaunchesAndRemoves) {
  const uid_t nobody = 65534;
  const std::string root = service.root();
  ASSERT_EQ(chmod(root.c_str(), 0755), 0);
  for (const std::string sub : {"snap", "var/snap", "var/lib/snapd", "run/nelt"}) {
    ASSERT_EQ(nelt::makeDirs(root + "/" + sub), 0);
    ASSERT_EQ(chown((root + "/" + sub).c_str(), nobody, nobody), 0);
  }
  // The machine's /tmp: sticky and writable by everybody.
  ASSERT_EQ(nelt::makeDirs(root + "/tmp"), 0);
  ASSERT_EQ(chmod((root + "/tmp").c_str(), 01777), 0);
  TempDir home;
  ASSERT_EQ(chown(home.path().c_str(), nobody, nobody), 0);
  ASSERT_EQ(chmod(home.path().c_str(), 0700), 0);
  const User user{nobody, nobody, home.path()};
  const std::string dir = work.path();
  // They sit at the machine: their session is the seat's active one, which
  // is what lets them use the store account.
  ASSERT_EQ(nelt::makeDirs(root + "/run/systemd/seats"), 0);
  writeFile(root + "/run/systemd/seats/seat0", "IS_SEAT0=1\nACTIVE=c1\nACTIVE_UID=65534\n");

  CliResult r = nelt_({"login", "demo"}, dir, "demo123\n", &user);
  ASSERT_EQ(r.status, 0) << r.err;
  r = nelt_({"install", "hello-nelt", "--version", "1.2.0"}, dir, "", &user);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Installed hello-nelt 1.2.0\n"), std::string::npos) << r.out;
  r = nelt_({"list"}, dir, "", &user);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("hello-nelt  1.2.0"), std::string::npos) << r.out;
  r = nelt_({"update", "hello-nelt"}, dir, "", &user);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Updated hello-nelt 1.3.0\n"), std::string::npos) << r.out;

  const std::string marker = home.sub("launched");
  setenv("NELT_LAUNCH_MARKER", marker.c_str(), 1);
  r = nelt_({"launch", "hello-nelt"}, dir, "", &user);
  unsetenv("NELT_LAUNCH_MARKER");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(eventually([&] { return readFile(marker) == "hello-nelt hello-nelt 1.3.0\n"; }));
  struct stat st;
  ASSERT_EQ(stat(marker.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody) << "the application runs as the user";

  r = nelt_({"remove", "hello-nelt"}, dir, "", &user);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(nelt::fileExists(nelt::snapRoot() + "hello-nelt/current"));

  // The jobs worked in the user's own cache, which they left empty, and
  // never in the root-only work folder.
  const std::string cache = home.sub(".cache/nelt/kavix");
  ASSERT_EQ(lstat(cache.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  DIR* d = opendir(cache.c_str());
  ASSERT_NE(d, nullptr);
  int entries = 0;
  while (dirent* e = readdir(d)) entries += e->d_name[0] == '.' ? 0 : 1;
  closedir(d);
  EXPECT_EQ(entries, 0) << "job folders are removed";
  EXPECT_FALSE(nelt::fileExists(nelt::kavixWorkRoot()));
}

// Two installs of one application at once, in two processes, as the window
// and `nelt` may start them: both succeed one after the other, each reports
// the version it installed, and what is installed is one whole version.
TEST_F(EndToEnd, ConcurrentInstallsOfOneApplicationRunOneAfterTheOther) {
  const std::string dir = work.path();
  ASSERT_EQ(nelt_({"login", "demo"}, dir, "demo123\n").status, 0);
  auto api = connect();
  const std::string snap_log = work.sub("snap.log");
  setenv("NELT_SNAP_LOG", snap_log.c_str(), 1);
  for (int run = 0; run < 20; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    writeFile(snap_log, "");
    const pid_t a = startNelt({"install", "hello-nelt", "--version", "1.2.0"}, dir + "/a");
    const pid_t b = startNelt({"install", "hello-nelt", "--version", "1.3.0"}, dir + "/b");
    const CliResult ra = finishNelt(a, dir + "/a"), rb = finishNelt(b, dir + "/b");
    EXPECT_EQ(ra.status, 0) << ra.err;
    EXPECT_EQ(rb.status, 0) << rb.err;
    EXPECT_NE(ra.out.find("Installed hello-nelt 1.2.0\n"), std::string::npos) << ra.out;
    EXPECT_NE(rb.out.find("Installed hello-nelt 1.3.0\n"), std::string::npos) << rb.out;
    EXPECT_EQ(ServiceHarness::countOf(readFile(snap_log), "install "), 2u);

    rapidjson::Document meta;
    const std::string text = readFile(nelt::snapRoot() + "hello-nelt/kavix.json");
    meta.Parse(text.c_str());
    const std::string version = member(&meta, "version");
    EXPECT_TRUE(version == "1.2.0" || version == "1.3.0") << text;
    EXPECT_EQ(nelt::snapYamlValue(readFile(nelt::snapRoot() + "hello-nelt/current/meta/snap.yaml"),
                                  "version"),
              version)
        << "the metadata belongs to the active snap";
    EXPECT_EQ(member(entryOf(installed(*api).doc, "hello-nelt"), "version"), version);
    EXPECT_FALSE(nelt::fileExists(nelt::kavixWorkRoot() + "hello-nelt"));
    if (HasFailure()) break;
  }
  unsetenv("NELT_SNAP_LOG");
}

// A package cannot take over the snap of another application, neither by
// naming it around a different snap nor by carrying it under another slug.
TEST_F(EndToEnd, APackageCannotTakeOverAnotherApplicationsSnap) {
  auto api = connect();
  KavixModel engine;
  engine.getSysInfo();  // settled before the test changes the environment
  engine.api = api.get();
  KavixReply login;
  ASSERT_EQ(api->loginAcc("demo", "demo123", &login), 0);
  ASSERT_EQ(engine.install("ghi-chu", "2.0.1", 0), 0);
  ASSERT_EQ(follow(engine).back(), 200);
  const std::string owned = readFile(nelt::snapRoot() + "ghi-chu/kavix.json");

  const std::string log = work.sub("pkexec.log");
  setenv("NELT_PKEXEC_LOG", log.c_str(), 1);
  ASSERT_EQ(engine.install("ghi-chu", "6.6.6", 0), 0);
  EXPECT_EQ(follow(engine).back(), 101);
  EXPECT_EQ(engine.lastError(),
            "package refused: the snap inside is \"hello-nelt\" but the package names \"ghi-chu\"");
  ASSERT_EQ(engine.install("hello-nelt", "6.6.6", 0), 0);
  EXPECT_EQ(follow(engine).back(), 101);
  EXPECT_EQ(engine.lastError(),
            "package refused: the snap \"ghi-chu\" belongs to the application \"ghi-chu\"");
  unsetenv("NELT_PKEXEC_LOG");
  EXPECT_EQ(readFile(log), "") << "refused before anything privileged";

  EXPECT_EQ(readFile(nelt::snapRoot() + "ghi-chu/kavix.json"), owned);
  EXPECT_FALSE(nelt::fileExists(nelt::snapRoot() + "hello-nelt"));
  EXPECT_EQ(engine.remove("hello-nelt"), -1);
  EXPECT_EQ(member(entryOf(installed(*api).doc, "ghi-chu"), "version"), "2.0.1");
}

// The store server's record of the User-Agent and Authorization headers of
// requests whose path starts with `prefix`.
struct SeenHeaders {
  std::string agent, authorization;
  bool has_authorization = false;
};
std::vector<SeenHeaders> headersOf(StoreServer& store, const std::string& prefix) {
  std::vector<SeenHeaders> out;
  rapidjson::Document doc;
  const std::string text = store.requests();
  doc.Parse(text.c_str(), text.size());
  if (!doc.IsArray()) return out;
  for (const auto& r : doc.GetArray()) {
    std::string path;
    if (!nelt::getString(r, "path", path) || path.rfind(prefix, 0) != 0) continue;
    SeenHeaders seen;
    if (const rapidjson::Value* h = nelt::getObject(r, "headers"))
      for (auto it = h->MemberBegin(); it != h->MemberEnd(); ++it) {
        const std::string name = it->name.GetString();
        if (!it->value.IsString()) continue;
        if (strcasecmp(name.c_str(), "user-agent") == 0) seen.agent = it->value.GetString();
        if (strcasecmp(name.c_str(), "authorization") == 0) {
          seen.has_authorization = true;
          seen.authorization = it->value.GetString();
        }
      }
    out.push_back(seen);
  }
  return out;
}

// Both programs build their identity and check their header values alike: an
// untidy lookup answer yields the same address in the service's requests and
// in the engine's download, and a token that either would send broken is
// refused by both.
TEST_F(EndToEnd, BothProgramsSendOneIdentityAndRefuseTheSameTokens) {
  ASSERT_TRUE(store.setMode(
      "{\"answer_path\":\"/ip\",\"answer_status\":200,\"answer_body\":\"  10.0.0.7 \\r\\n\"}"));
  ServiceHarness untidy;
  ServiceOptions options;
  options.host = store.baseUrl();
  options.ip_lookup_url = store.baseUrl() + "/ip";
  ASSERT_TRUE(untidy.start(options));
  setenv("NELT_ROOT", untidy.root().c_str(), 1);
  setenv("NELT_IP_LOOKUP_URL", (store.baseUrl() + "/ip?untidy").c_str(), 1);
  KavixAPI api(untidy.port(), true);
  ASSERT_EQ(api.init(), 1);
  KavixModel engine;
  engine.getSysInfo();  // settled before the test changes the environment
  engine.api = &api;
  KavixReply login;
  ASSERT_EQ(api.loginAcc("demo", "demo123", &login), 0);
  ASSERT_EQ(login.status, 200);
  ASSERT_EQ(engine.install("hello-nelt", "1.2.0", 0), 0);
  ASSERT_EQ(follow(engine).back(), 200);

  const std::vector<SeenHeaders> logins = headersOf(store, "/api/v1/login");
  const std::vector<SeenHeaders> downloads = headersOf(store, "/api/v1/apps/downloadBinary/");
  ASSERT_FALSE(logins.empty());
  ASSERT_EQ(downloads.size(), 1u);
  const std::string service_agent = logins.back().agent;
  const std::string engine_agent = downloads.back().agent;
  const std::string tail = ", IPAddr:10.0.0.7, User: NativeStore";
  ASSERT_NE(service_agent.find(tail + ", Status: 0"), std::string::npos) << service_agent;
  EXPECT_EQ(engine_agent, service_agent.substr(0, service_agent.size() - 3) + ":0");

  // Tokens the service does not attach to its own channel: the engine
  // refuses them as well, and nothing reaches the store with them.
  for (const char* token : {"T0k\r\nX-Injected: 1", " T0k", "T0k en", "T0k\t"}) {
    SCOPED_TRACE(token);
    const std::string reply = "{\"code\":200,\"data\":{\"token\":\"" + nelt::jsonEscape(token) +
                              "\",\"username\":\"demo\"}}";
    ASSERT_TRUE(
        store.setMode("{\"answer_path\":\"/api/v1/login\",\"answer_status\":200,"
                      "\"answer_body\":\"" +
                      nelt::jsonEscape(reply) + "\"}"));
    ASSERT_EQ(api.loginAcc("demo", "demo123", &login), 0);
    ASSERT_EQ(login.status, 200);
    ASSERT_TRUE(store.setMode("{\"answer_path\":\"\"}"));
    EXPECT_EQ(engine.install("hello-nelt", "1.3.0", 0), -4);
    EXPECT_EQ(headersOf(store, "/api/v1/apps/downloadBinary/").size(), 1u);
    // The service's next request of the store goes out anonymous.
    KavixReply detail;
    ASSERT_EQ(api.getDetailApp("hello-nelt", &detail), 0);
    const std::vector<SeenHeaders> after = headersOf(store, "/api/v1/apps/");
    ASSERT_FALSE(after.empty());
    EXPECT_FALSE(after.back().has_authorization) << after.back().authorization;
    EXPECT_EQ(after.back().agent, service_agent);
  }
  setenv("NELT_ROOT", service.root().c_str(), 1);
}

}  // namespace
