// Cancelling an install and resuming a broken download, end to end: the real
// KavixService, the local store server (its switches cut, hold or serve
// whole what the engine downloads), real zip packages with real squashfs
// snaps, and the snap/pkexec stand-ins, all below one temporary NELT_ROOT.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "snap_state.h"
#include "store_globals.h"
#include "test_support.h"
#include "work_area.h"

using nelt::window::URL_HOST;

extern char** environ;

// Runs the engine's download step alone, so a test can compare what it
// leaves with the package on the store's shelf.
class KavixModelTestPeer {
 public:
  static int download(KavixModel& m, const std::string& slug, const std::string& version,
                      const std::string& token, const std::string& path) {
    m.slug = slug;
    m.ver_app = version;
    m.link_download = URL_HOST + "/api/v1/apps/downloadBinary/" + slug + "?version=" + version;
    m.header_download = "Authorization: Bearer " + token;
    m.path_save = path;
    m.job_error.clear();
    return m._download_();
  }
  static std::string jobError(const KavixModel& m) { return m.job_error; }
};

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;
using Peer = KavixModelTestPeer;

constexpr const char* SLUG = "hello-nelt";
constexpr const char* KEY = "Hello-Nelt#2024";

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return names;
}

// Size of the first partial download in `dir`, 0 when there is none.
uint64_t partialBytes(const std::string& dir) {
  for (const std::string& n : namesIn(dir)) {
    struct stat st;
    if (lstat((dir + "/" + n).c_str(), &st) == 0) return static_cast<uint64_t>(st.st_size);
  }
  return 0;
}

// The download requests in the store's request log, oldest first, with the
// Range header each carried ("" when none).
std::vector<std::string> downloadRanges(const std::string& log) {
  std::vector<std::string> ranges;
  rapidjson::Document doc;
  doc.Parse(log.c_str());
  if (!doc.IsArray()) return ranges;
  for (const auto& r : doc.GetArray()) {
    std::string path;
    if (!nelt::getString(r, "decoded_path", path) ||
        path.rfind("/api/v1/apps/downloadBinary/", 0) != 0)
      continue;
    std::string range;
    const auto h = r.FindMember("headers");
    if (h != r.MemberEnd() && h->value.IsObject()) nelt::getString(h->value, "Range", range);
    ranges.push_back(range);
  }
  return ranges;
}

class CancelAndResume : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("NELT_PKEXEC_REFUSE");
    quietEngine();
    setenv("XDG_CACHE_HOME", work.sub("cache").c_str(), 1);
    // Two versions of hello-nelt large enough to be caught mid-transfer,
    // under the store's key for hello-nelt.
    shelf = work.sub("packages");
    nelt::makeDirs(shelf + "/" + SLUG);
    for (const std::string version : {"1.2.0", "1.3.0"}) {
      const std::string dir = work.sub("build-" + version);
      nelt::makeDirs(dir);
      const std::string snap = makeSnap(dir, SLUG, version, 3u << 20);
      ASSERT_FALSE(snap.empty());
      const std::string file = nelt::lastPathComponent(snap);
      const std::string zip = libzipArchive(
          dir, {{file, readFile(snap)}, {"kavix.json", kavixJson(SLUG, "Hello", version)}}, KEY);
      ASSERT_TRUE(writeKavix(shelf + "/" + SLUG + "/" + version + ".kavix", SLUG,
                             "{\"name\":\"hello-nelt\",\"snap\":\"" + file + "\"}", zip));
    }
    ASSERT_TRUE(store.start(work.path(), "", {"--packages", shelf}));
    ASSERT_TRUE(startServiceOn(store, service));
    api = serviceClient(service, true);
    ASSERT_TRUE(api != nullptr);
    std::string why;
    ASSERT_TRUE(nelt::partialFolder(partials, why)) << why;
  }

  void TearDown() override { unsetenv("XDG_CACHE_HOME"); }

  int finish(KavixModel& engine) {
    int s = 0;
    eventually(
        [&] {
          s = engine.getStateInstall();
          return s == 200 || s == 101 || s < 0;
        },
        60s);
    return s;
  }

  // No job folder of hello-nelt is left, in root's work root or the cache.
  bool noJobFolder() {
    if (nelt::isDirectory(nelt::kavixWorkRoot() + SLUG)) return false;
    for (const std::string& n : namesIn(work.sub("cache") + "/nelt/kavix"))
      if (n.rfind(std::string(SLUG) + ".", 0) == 0) return false;
    return true;
  }

  // The lock of hello-nelt is free: another process takes it at once.
  static bool lockIsFree() {
    nelt::SlugLock lock;
    std::string why;
    return lock.acquire(SLUG, why, [] { return false; });
  }

  TempDir work;
  StoreServer store;
  ServiceHarness service;
  std::unique_ptr<KavixAPI> api;
  std::string shelf;
  std::string partials;
};

TEST_F(CancelAndResume, CancelMidDownloadLeavesEverythingAsBefore) {
  KavixModel engine;
  engine.getSysInfo();  // settled before the test changes the environment
  engine.api = api.get();
  EXPECT_EQ(engine.cancelInstall(), -1) << "no job runs";
  ASSERT_EQ(engine.install(SLUG, "1.2.0", 0), 0);
  ASSERT_EQ(finish(engine), 200);
  const std::string meta_before = readFile(nelt::installedMetaPath(SLUG));
  ASSERT_EQ(nelt::installedSnapVersion(SLUG), "1.2.0");

  // The update's download is held at half way, then cancelled.
  ASSERT_TRUE(store.setMode("{\"pause_download_at\":50}"));
  ASSERT_EQ(engine.install(SLUG, "1.3.0", 0), 0);
  ASSERT_TRUE(eventually([&] { return partialBytes(partials) > 0; })) << "the download started";
  EXPECT_TRUE(engine.canCancel());
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_EQ(engine.cancelInstall(), 0);
  EXPECT_EQ(finish(engine), 101);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s) << "the transfer stops at once";
  EXPECT_TRUE(engine.lastCancelled());
  EXPECT_EQ(engine.lastError(), "cancelled");
  EXPECT_FALSE(engine.canCancel());
  EXPECT_EQ(engine.cancelInstall(), -1);

  // Nothing is left and nothing changed.
  EXPECT_TRUE(noJobFolder());
  EXPECT_TRUE(namesIn(partials).empty()) << "a cancelled download is discarded";
  EXPECT_TRUE(lockIsFree());
  EXPECT_EQ(nelt::installedSnapVersion(SLUG), "1.2.0");
  EXPECT_EQ(readFile(nelt::installedMetaPath(SLUG)), meta_before);

  // The next install works, from the start.
  ASSERT_TRUE(store.setMode("{\"pause_download_at\":0}"));
  ASSERT_TRUE(store.reset());
  ASSERT_EQ(engine.install(SLUG, "1.3.0", 0), 0);
  EXPECT_EQ(finish(engine), 200) << engine.lastError();
  EXPECT_FALSE(engine.lastCancelled());
  EXPECT_EQ(nelt::installedSnapVersion(SLUG), "1.3.0");
  EXPECT_EQ(downloadRanges(store.requests()), std::vector<std::string>{""});

  // Once the privileged step runs (a snap install that takes a moment), a
  // cancel is refused and the job runs to its end.
  const std::string bin = work.sub("slow-snap");
  nelt::makeDirs(bin);
  writeFile(bin + "/snap",
            "#!/bin/sh\ncase \"$1\" in install) sleep 2 ;; esac\n"
            "exec \"$NELT_STANDINS_DIR/snap\" \"$@\"\n");
  chmod((bin + "/snap").c_str(), 0755);
  const std::string path = std::getenv("PATH");
  setenv("PATH", (bin + ":" + path).c_str(), 1);
  ASSERT_EQ(engine.install(SLUG, "1.2.0", 0), 0);
  ASSERT_TRUE(eventually([&] { return engine.getStateInstall() == 102 && !engine.canCancel(); }));
  EXPECT_EQ(engine.cancelInstall(), -2);
  EXPECT_EQ(finish(engine), 200) << engine.lastError();
  setenv("PATH", path.c_str(), 1);
  EXPECT_FALSE(engine.lastCancelled());
  EXPECT_EQ(nelt::installedSnapVersion(SLUG), "1.2.0");
}

TEST_F(CancelAndResume, CutDownloadResumesWithARangeAndMatchesAWholeOne) {
  KavixReply token_reply;
  ASSERT_EQ(api->getToken(&token_reply), 0);
  std::string token;
  ASSERT_TRUE(nelt::getString(token_reply.doc, "token", token));
  const std::string package = readFile(shelf + "/hello-nelt/1.3.0.kavix");
  const std::string half = std::to_string(package.size() * 50 / 100);
  KavixModel engine;
  engine.getSysInfo();  // settled before the test changes the environment
  engine.api = api.get();
  const std::string out = work.sub("out.kavix");

  // Cut at half way: the job fails, the half stays in the private cache.
  ASSERT_TRUE(store.setMode("{\"cut_download_at\":50}"));
  EXPECT_EQ(Peer::download(engine, SLUG, "1.3.0", token, out), -1);
  EXPECT_NE(Peer::jobError(engine).find("download failed"), std::string::npos);
  ASSERT_EQ(namesIn(partials).size(), 1u);
  EXPECT_EQ(std::to_string(partialBytes(partials)), half);
  struct stat st;
  ASSERT_EQ(lstat(partials.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u) << "nobody else can read or plant partial files";

  // The next attempt asks for the rest and yields the whole package.
  ASSERT_TRUE(store.setMode("{\"cut_download_at\":0}"));
  ASSERT_TRUE(store.reset());
  ASSERT_EQ(Peer::download(engine, SLUG, "1.3.0", token, out), 0) << Peer::jobError(engine);
  EXPECT_EQ(downloadRanges(store.requests()), std::vector<std::string>{"bytes=" + half + "-"});
  EXPECT_TRUE(readFile(out) == package) << "the resumed package differs from the store's";
  EXPECT_TRUE(namesIn(partials).empty());
  ::unlink(out.c_str());

  // A server that ignores ranges sends it whole with 200: started over.
  ASSERT_TRUE(store.setMode("{\"cut_download_at\":50}"));
  EXPECT_EQ(Peer::download(engine, SLUG, "1.3.0", token, out), -1);
  ASSERT_TRUE(store.setMode("{\"cut_download_at\":0,\"ignore_range\":true}"));
  ASSERT_TRUE(store.reset());
  ASSERT_TRUE(store.setMode("{\"ignore_range\":true}"));
  ASSERT_EQ(Peer::download(engine, SLUG, "1.3.0", token, out), 0) << Peer::jobError(engine);
  EXPECT_EQ(downloadRanges(store.requests()), std::vector<std::string>{"bytes=" + half + "-"});
  EXPECT_TRUE(readFile(out) == package);
  EXPECT_TRUE(namesIn(partials).empty());
  ::unlink(out.c_str());

  // A partial file of another size (the store's package changed) is not
  // continued: the range the server answers does not fit, so it starts over.
  ASSERT_TRUE(store.setMode("{\"cut_download_at\":50}"));
  EXPECT_EQ(Peer::download(engine, SLUG, "1.3.0", token, out), -1);
  ASSERT_TRUE(store.setMode("{\"cut_download_at\":0}"));
  const std::vector<std::string> left = namesIn(partials);
  ASSERT_EQ(left.size(), 1u);
  const std::string stale_prefix = left[0];
  ASSERT_FALSE(stale_prefix.empty());
  const std::string stale = partials + "/" + stale_prefix;
  const std::string renamed =
      stale.substr(0, stale.rfind('@') + 1) + std::to_string(package.size() + 7) + ".part";
  ASSERT_EQ(::rename(stale.c_str(), renamed.c_str()), 0);
  ASSERT_TRUE(store.reset());
  ASSERT_EQ(Peer::download(engine, SLUG, "1.3.0", token, out), 0) << Peer::jobError(engine);
  EXPECT_EQ(downloadRanges(store.requests()),
            (std::vector<std::string>{"bytes=" + half + "-", ""}));
  EXPECT_TRUE(readFile(out) == package);
  EXPECT_TRUE(namesIn(partials).empty());
}

TEST_F(CancelAndResume, AnInstallCutOffResumesAndOldPartialsGo) {
  KavixModel engine;
  engine.getSysInfo();  // settled before the test changes the environment
  engine.api = api.get();
  // A partial download nobody resumed for days is removed.
  const std::string old = partials + "/other@0123456789abcdef@100.part";
  writeFile(old, "x");
  struct timespec times[2] = {{time(nullptr) - 8 * 24 * 3600, 0},
                              {time(nullptr) - 8 * 24 * 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, old.c_str(), times, 0), 0);

  ASSERT_TRUE(store.setMode("{\"cut_download_at\":50}"));
  ASSERT_EQ(engine.install(SLUG, "1.3.0", 0), 0);
  EXPECT_EQ(finish(engine), 101);
  EXPECT_FALSE(engine.lastCancelled());
  EXPECT_NE(engine.lastError().find("download failed"), std::string::npos) << engine.lastError();
  EXPECT_FALSE(nelt::fileExists(old));
  EXPECT_EQ(namesIn(partials).size(), 1u);
  EXPECT_TRUE(noJobFolder());
  EXPECT_TRUE(lockIsFree());

  ASSERT_TRUE(store.setMode("{\"cut_download_at\":0}"));
  ASSERT_TRUE(store.reset());
  ASSERT_EQ(engine.install(SLUG, "1.3.0", 0), 0);
  EXPECT_EQ(finish(engine), 200) << engine.lastError();
  EXPECT_EQ(nelt::installedSnapVersion(SLUG), "1.3.0");
  const std::vector<std::string> ranges = downloadRanges(store.requests());
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(ranges[0].rfind("bytes=", 0), 0u);
  EXPECT_TRUE(namesIn(partials).empty());
}

TEST_F(CancelAndResume, CtrlCCancelsTheCommandLineInstall) {
  ASSERT_TRUE(store.setMode("{\"pause_download_at\":50}"));
  const std::string prefix = work.sub("cli");
  std::vector<std::string> argv = {binDir() + "/nelt", "install", SLUG};
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  const int out = open((prefix + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open((prefix + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = fork();
  if (pid == 0) {
    if (dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(125);
    execve(cargv[0], cargv.data(), environ);
    _exit(127);
  }
  close(out);
  close(err);
  ASSERT_GT(pid, 0);
  const bool started = eventually([&] { return partialBytes(partials) > 0; });
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(started) << readFile(prefix + ".err");
  ASSERT_TRUE(WIFEXITED(status)) << "the signal is handled, not fatal";
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_EQ(readFile(prefix + ".err"), "nelt: install of hello-nelt cancelled\n");
  EXPECT_TRUE(namesIn(partials).empty());
  EXPECT_TRUE(noJobFolder());
  EXPECT_TRUE(lockIsFree());
  EXPECT_FALSE(nelt::isDirectory(nelt::varSnapRoot() + SLUG));
}

}  // namespace
