// Installs whose unpack runs beside the download, end to end: the real
// KavixService, the local store server (held, cut and range-ignoring
// downloads), real packages (libzip AES and traditional, Info-ZIP) with real
// squashfs snaps, and the snap/pkexec stand-ins, below one NELT_ROOT. What an
// install leaves and reports must be what the unpack after the download
// gives (NELT_UNPACK_STREAM=0), whatever the package or the transfer does.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
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
#include "test_support.h"
#include "work_area.h"

class KavixModelTestPeer {
 public:
  static bool streamed(const KavixModel& m) { return m.unpack_streamed; }
};

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;
using Peer = KavixModelTestPeer;

constexpr const char* SLUG = "hello-nelt";
constexpr const char* KEY = "Hello-Nelt#2024";

// Every path below `dir` (folders too), relative to it.
void listTree(const std::string& dir, const std::string& rel, std::vector<std::string>& out) {
  DIR* d = opendir((dir + "/" + rel).c_str());
  if (d == nullptr) return;
  while (struct dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    const std::string path = rel.empty() ? n : rel + "/" + n;
    out.push_back(path);
    struct stat st;
    if (lstat((dir + "/" + path).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      listTree(dir, path, out);
  }
  closedir(d);
}

enum class Packer { LibzipAes, LibzipTraditional, InfoZip };

class StreamInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("NELT_UNPACK_STREAM");
    quietEngine();
    setenv("XDG_CACHE_HOME", work.sub("cache").c_str(), 1);
    shelf = work.sub("packages");
    nelt::makeDirs(shelf + "/" + SLUG);
    ASSERT_TRUE(store.start(work.path(), "", {"--packages", shelf}));
    ASSERT_TRUE(startServiceOn(store, service));
    api = serviceClient(service, true);
    ASSERT_TRUE(api != nullptr);
  }

  void TearDown() override {
    unsetenv("XDG_CACHE_HOME");
    unsetenv("NELT_UNPACK_STREAM");
  }

  // Puts `version` of hello-nelt on the shelf, packed by `packer` with
  // `key`; `mangle` may change the zip bytes. The snap comes first in the
  // archive and is large enough to be caught half way.
  void shelve(const std::string& version, Packer packer, const std::string& key = KEY,
              const std::function<std::string(std::string)>& mangle = nullptr) {
    const std::string dir = work.sub("build-" + version);
    nelt::makeDirs(dir);
    const std::string snap = makeSnap(dir, SLUG, version, 3u << 20);
    ASSERT_FALSE(snap.empty());
    const std::string file = nelt::lastPathComponent(snap);
    const std::vector<ZipEntry> entries = {{file, readFile(snap)},
                                           {"kavix.json", kavixJson(SLUG, "Hello", version)}};
    std::string zip = packer == Packer::InfoZip
                          ? infoZipArchive(dir, entries, key)
                          : libzipArchive(dir, entries, key, packer == Packer::LibzipAes);
    ASSERT_FALSE(zip.empty());
    if (mangle) zip = mangle(zip);
    ASSERT_TRUE(writeKavix(shelf + "/" + SLUG + "/" + version + ".kavix", SLUG,
                           "{\"name\":\"hello-nelt\",\"snap\":\"" + file + "\"}", zip));
  }

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

  // Everything below the two places a job folder of hello-nelt may be.
  std::vector<std::string> jobFiles() {
    std::vector<std::string> out;
    listTree(nelt::kavixWorkRoot(), "", out);
    listTree(work.sub("cache") + "/nelt/kavix", "", out);
    std::vector<std::string> mine;
    for (const std::string& p : out)
      if (p.rfind(SLUG, 0) == 0) mine.push_back(p);
    return mine;
  }
  // The size of the largest file in a staging folder of a job, -1 when
  // there is no staging folder.
  long long stagedBytes() {
    long long best = -1;
    for (const std::string& p : jobFiles()) {
      if (p.find("/.unpack-") == std::string::npos) continue;
      best = std::max(best, 0LL);
      for (const std::string& root : {nelt::kavixWorkRoot(), work.sub("cache") + "/nelt/kavix"}) {
        struct stat st;
        if (lstat((root + "/" + p).c_str(), &st) == 0 && S_ISREG(st.st_mode))
          best = std::max(best, static_cast<long long>(st.st_size));
      }
    }
    return best;
  }

  // Installs `version` and gives the outcome as "STATE REASON".
  std::string install(KavixModel& engine, const std::string& version) {
    if (engine.install(SLUG, version, 0) != 0) return "not queued";
    const int state = finish(engine);
    return std::to_string(state) + " " + engine.lastError();
  }

  TempDir work;
  StoreServer store;
  ServiceHarness service;
  std::unique_ptr<KavixAPI> api;
  std::string shelf;
};

TEST_F(StreamInstall, EntriesAreUnpackedWhileThePackageArrives) {
  KavixModel engine;
  engine.getSysInfo();  // settled before the test changes the environment
  engine.api = api.get();
  int n = 0;
  for (Packer packer : {Packer::LibzipAes, Packer::LibzipTraditional, Packer::InfoZip}) {
    SCOPED_TRACE(n);
    const std::string version = "1." + std::to_string(n++) + ".0";
    shelve(version, packer);
    // Held at half way, the snap is already being written into staging.
    ASSERT_TRUE(store.setMode("{\"pause_download_at\":50}"));
    ASSERT_EQ(engine.install(SLUG, version, 0), 0);
    EXPECT_TRUE(eventually([&] { return stagedBytes() > (1 << 20); }))
        << "nothing was unpacked during the download";
    EXPECT_LT(engine.getStateInstall(), 100);
    ASSERT_TRUE(store.setMode("{\"pause_download_at\":0}"));
    EXPECT_EQ(finish(engine), 200) << engine.lastError();
    EXPECT_TRUE(Peer::streamed(engine));
    EXPECT_EQ(nelt::installedSnapVersion(SLUG), version);
    EXPECT_TRUE(jobFiles().empty());
  }
  // Switched off, the same install unpacks after the download.
  setenv("NELT_UNPACK_STREAM", "0", 1);
  EXPECT_EQ(install(engine, "1.0.0"), "200 ");
  EXPECT_FALSE(Peer::streamed(engine));
  EXPECT_EQ(nelt::installedSnapVersion(SLUG), "1.0.0");
}

TEST_F(StreamInstall, RefusedOrLyingPackagesEndAsWithoutStreaming) {
  // Set before the engine reads the machine identity on a thread of its own
  // (which starts programs, so reads the environment).
  setenv("NELT_UNPACK_STREAM", "0", 1);
  KavixModel engine;
  engine.getSysInfo();  // settled before the test changes the environment
  engine.api = api.get();
  // A package locked with another key than the store's.
  shelve("2.0.0", Packer::LibzipAes, "not the store's key");
  shelve("2.1.0", Packer::InfoZip, "not the store's key");
  // The snap's local header names another file than the central directory.
  shelve("2.2.0", Packer::LibzipAes, KEY, [](std::string zip) {
    const size_t at = zip.find("hello-nelt_");
    if (at != std::string::npos) zip[at] = 'j';
    return zip;
  });
  // A kavix.json only the central directory lists (its record repeated
  // under another name of the same length).
  shelve("2.3.0", Packer::LibzipAes, KEY, [](std::string zip) {
    const size_t cd = zip.find("PK\x01\x02");
    const size_t second = zip.find("PK\x01\x02", cd + 4);
    const size_t end = zip.find("PK\x05\x06");
    std::string extra = zip.substr(second, end - second);
    const size_t name = extra.find("kavix.json");
    if (name != std::string::npos) extra.replace(name, 10, "kavix.jsom");
    zip = zip.substr(0, end) + extra + zip.substr(end);
    const size_t e = zip.find("PK\x05\x06");
    zip.replace(e + 8, 2, le16(3));
    zip.replace(e + 10, 2, le16(3));
    zip.replace(e + 12, 4, le32(static_cast<uint32_t>(end - cd + extra.size())));
    return zip;
  });
  for (const std::string version : {"2.0.0", "2.1.0", "2.2.0", "2.3.0"}) {
    SCOPED_TRACE(version);
    setenv("NELT_UNPACK_STREAM", "0", 1);
    const std::string without = install(engine, version);
    unsetenv("NELT_UNPACK_STREAM");
    EXPECT_EQ(install(engine, version), without);
    EXPECT_FALSE(Peer::streamed(engine));
    EXPECT_TRUE(jobFiles().empty());
    if (version == "2.0.0" || version == "2.1.0") {
      EXPECT_EQ(without.rfind("101 unpack failed: ", 0), 0u) << without;
      EXPECT_FALSE(nelt::isDirectory(nelt::varSnapRoot() + SLUG));
    }
  }
}

TEST_F(StreamInstall, CutOrRestartedDownloadsLeaveNothingAndRetriesSucceed) {
  KavixModel engine;
  engine.getSysInfo();  // settled before the test changes the environment
  engine.api = api.get();
  shelve("3.0.0", Packer::LibzipAes);
  // Cut at half way: nothing of the streamed half is left.
  ASSERT_TRUE(store.setMode("{\"cut_download_at\":50}"));
  const std::string cut = install(engine, "3.0.0");
  EXPECT_NE(cut.find("download failed"), std::string::npos) << cut;
  EXPECT_TRUE(jobFiles().empty());
  // The retry resumes: the half on disk is streamed first, then the rest.
  ASSERT_TRUE(store.setMode("{\"cut_download_at\":0}"));
  EXPECT_EQ(install(engine, "3.0.0"), "200 ");
  EXPECT_TRUE(Peer::streamed(engine));
  EXPECT_EQ(nelt::installedSnapVersion(SLUG), "3.0.0");
  EXPECT_TRUE(jobFiles().empty());
  // Cut again, then a server that ignores the range sends the whole package:
  // the stream of the old half is thrown away, the install is right.
  shelve("3.1.0", Packer::LibzipTraditional);
  ASSERT_TRUE(store.setMode("{\"cut_download_at\":50}"));
  EXPECT_NE(install(engine, "3.1.0").find("download failed"), std::string::npos);
  ASSERT_TRUE(store.setMode("{\"cut_download_at\":0,\"ignore_range\":true}"));
  EXPECT_EQ(install(engine, "3.1.0"), "200 ");
  EXPECT_EQ(nelt::installedSnapVersion(SLUG), "3.1.0");
  EXPECT_TRUE(jobFiles().empty());
}

}  // namespace
