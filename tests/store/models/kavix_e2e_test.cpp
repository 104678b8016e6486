// End to end: the real KavixService, the local store server with the sample
// catalog and its packages, and the snap/pkexec stand-ins, all below one
// temporary NELT_ROOT; driven through the engine in-process and through the
// `nelt` command line.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <thread>

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

extern char** environ;

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

template <typename F>
bool eventually(F condition, std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(2ms);
  }
  return condition();
}

struct CliResult {
  int status = -1;
  std::string out, err;
};

// Runs `nelt` with `input` on its standard input (not a terminal).
CliResult nelt_(const std::vector<std::string>& args, const std::string& dir,
                const std::string& input = "") {
  CliResult r;
  const std::string in = dir + "/cli.in", out = dir + "/cli.out", err = dir + "/cli.err";
  writeFile(in, input);
  std::vector<std::string> argv = {binDir() + "/nelt"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = readFile(out);
  r.err = readFile(err);
  return r;
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
    unsetenv("http_proxy");
    unsetenv("HTTP_PROXY");
    if (std::getenv("NELT_TEST_VERBOSE") == nullptr) {
      nelt::setDebugLogSink(nullptr);
      nelt::setConsoleLogSink(nullptr);
    }
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

    ASSERT_TRUE(store.start(work.path(), "", {"--packages", shelf}));
    setenv("NELT_ROOT", service.root().c_str(), 1);
    setenv("NELT_IP_LOOKUP_URL", (store.baseUrl() + "/ip").c_str(), 1);
    ServiceOptions options;
    options.host = store.baseUrl();
    options.ip_lookup_url = store.baseUrl() + "/ip";
    ASSERT_TRUE(service.start(options));
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

}  // namespace
