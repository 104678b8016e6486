// The install pipeline, removal and launch against a scripted service, a
// local download server and the snap/pkexec stand-ins, all below a temporary
// NELT_ROOT.
#include "kavix_model.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "fake_service.h"
#include "fsutil.h"
#include "json_util.h"
#include "kavix_package.h"
#include "model_log.h"
#include "package_builder.h"
#include "paths.h"
#include "store_globals.h"
#include "test_support.h"

using nelt::window::currentInstall;
using nelt::window::setCurrentInstall;
using nelt::window::URL_HOST;

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

const char* TOKEN = "T0k3n";
const char* PASSWORD = "pw with spaces & $HOME";

// Serves packages as the store does, with switches for failures.
class DownloadServer {
 public:
  struct Request {
    std::string target, authorization, agent;
  };

  bool start() {
    server_.Get("/ip", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("10.1.2.3\n", "text/plain");
    });
    server_.Get(R"(/api/v1/apps/downloadBinary/([^/]+))",
                [this](const httplib::Request& req, httplib::Response& res) { serve(req, res); });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    return true;
  }
  ~DownloadServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  void put(const std::string& slug, const std::string& version, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    packages_[slug + "?" + version] = bytes;
    if (latest_.count(slug) == 0 || version > latest_[slug]) latest_[slug] = version;
  }
  std::vector<Request> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  std::atomic<int> status{200};
  std::atomic<bool> cut_short{false};
  std::atomic<int> piece_pause_ms{2};

 private:
  void serve(const httplib::Request& req, httplib::Response& res) {
    std::string bytes;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(
          {req.target, req.get_header_value("Authorization"), req.get_header_value("User-Agent")});
      const std::string slug = req.matches[1];
      const std::string version =
          req.has_param("version") ? req.get_param_value("version") : latest_[slug];
      auto it = packages_.find(slug + "?" + version);
      if (req.get_header_value("Authorization") != std::string("Bearer ") + TOKEN ||
          it == packages_.end()) {
        res.status = 404;
        return;
      }
      bytes = it->second;
    }
    if (status != 200) {
      res.status = status;
      res.set_content("{\"code\":500}", "application/json");
      return;
    }
    auto data = std::make_shared<std::string>(std::move(bytes));
    const bool cut = cut_short;
    const int pause = piece_pause_ms;
    res.set_content_provider(
        data->size(), "application/octet-stream",
        [data, cut, pause](size_t offset, size_t length, httplib::DataSink& sink) {
          if (cut && offset > data->size() / 2) return false;
          const size_t n = std::min<size_t>(length, 32 * 1024);
          sink.write(data->data() + offset, n);
          if (pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
          return true;
        });
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::map<std::string, std::string> packages_;
  std::map<std::string, std::string> latest_;
  std::vector<Request> requests_;
};

// The service's view of what is installed: every snap with an active
// revision and a "kavix.json" carrying a slug.
std::string inventory() {
  std::string data;
  int total = 0;
  DIR* dir = opendir(nelt::snapRoot().c_str());
  if (dir != nullptr) {
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string folder = nelt::snapRoot() + name;
      struct stat st;
      if (lstat((folder + "/current").c_str(), &st) != 0) continue;
      rapidjson::Document doc;
      const std::string text = readFile(folder + "/kavix.json");
      doc.Parse(text.c_str());
      std::string slug, version;
      if (doc.HasParseError() || !nelt::getString(doc, "slug", slug)) continue;
      nelt::getString(doc, "version", version);
      if (total++ > 0) data += ",";
      data += "{\"slug\":\"" + slug + "\",\"name_snap\":\"" + name + "\",\"version\":\"" + version +
              "\",\"new-version\":\"null\",\"update\":0}";
    }
    closedir(dir);
  }
  return "{\"data\":[" + data + "],\"total\":" + std::to_string(total) + "}";
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("NELT_ROOT", root.path().c_str(), 1);
    unsetenv("NELT_PKEXEC_REFUSE");
    unsetenv("http_proxy");
    unsetenv("HTTP_PROXY");
    unsetenv("all_proxy");
    // NELT_TEST_VERBOSE=1 shows the engine's messages.
    if (std::getenv("NELT_TEST_VERBOSE") == nullptr) {
      nelt::setDebugLogSink(nullptr);
      nelt::setConsoleLogSink(nullptr);
    }
    ASSERT_TRUE(downloads.start());
    setenv("NELT_IP_LOOKUP_URL", (downloads.url() + "/ip").c_str(), 1);
    ASSERT_TRUE(service.start([this](const std::string& line) -> FakeReply {
      if (line.rfind("POST 0 ", 0) == 0) return framed("200", "");
      if (line == "GET 17 \n") return framed("200", "{\"url\": \"" + downloads.url() + "\"}");
      if (line == "GET 5 \n")
        return signed_in ? framed("200", std::string("{\"token\": \"") + TOKEN + "\"}")
                         : framed("9998", "");
      if (line.rfind("GET 8 ", 0) == 0)
        return framed("200", std::string("{\"key\":\"") + PASSWORD + "\"}");
      if (line == "GET 6 \n") return framed("200", inventory());
      return framed("8888", "");
    }));
    api = std::make_unique<KavixAPI>(service.port(), true);
    ASSERT_EQ(api->init(), 1);
    engine = std::make_unique<KavixModel>();
    engine->api = api.get();
    // The machine's identity is read on a thread that starts programs with the
    // process environment; setenv() while it does so frees the array it reads.
    // Wait for it before the tests change the environment.
    engine->getSysInfo();
  }

  void TearDown() override {
    engine.reset();
    unsetenv("NELT_PKEXEC_REFUSE");
    unsetenv("NELT_PKEXEC_REFUSE_PROGRAM");
  }

  // A package of a real snap: `name` at `version`, for `slug`.
  std::string package(const std::string& slug, const std::string& name, const std::string& version,
                      bool with_meta = true, const std::string& meta = "",
                      size_t filler = 16 * 1024) {
    const std::string snap = makeSnap(work.path(), name, version, filler);
    EXPECT_FALSE(snap.empty());
    std::vector<ZipEntry> entries = {{nelt::lastPathComponent(snap), readFile(snap)}};
    if (with_meta)
      entries.push_back(
          {"kavix.json", meta.empty() ? kavixJson(name, "Test " + name, version) : meta});
    const std::string payload = libzipArchive(work.path(), entries, PASSWORD);
    const std::string info = "{\"name\":\"" + name + "\",\"snap\":\"" + entries[0].name +
                             "\",\"version\":\"" + version + "\"}";
    std::string bytes = kavixHeader(slug, info) + payload;
    downloads.put(slug, version, bytes);
    return bytes;
  }

  // Polls until the job ends; returns every distinct state seen in order.
  std::vector<int> follow() {
    std::vector<int> seen;
    eventually(
        [&] {
          const int s = engine->getStateInstall();
          if (seen.empty() || seen.back() != s) seen.push_back(s);
          return s == 200 || s == 101 || s < 0;
        },
        60s);
    return seen;
  }

  TempDir root;
  TempDir work;
  DownloadServer downloads;
  FakeService service;
  std::atomic<bool> signed_in{true};
  std::unique_ptr<KavixAPI> api;
  std::unique_ptr<KavixModel> engine;
};

TEST_F(EngineTest, SignedOutInstallReturns9998AndStartsNothing) {
  package("hello-nelt", "hello-nelt", "1.0");
  signed_in = false;
  EXPECT_EQ(engine->install("hello-nelt", "", 0), 9998);
  EXPECT_EQ(engine->getStateInstall(), 0);
  EXPECT_TRUE(downloads.requests().empty());
  EXPECT_EQ(engine->install("../etc", "", 0), -6) << "a slug that is no store slug";
}

TEST_F(EngineTest, InstallReportsProgressThenInstallsSnapAndMetadata) {
  // A package of a few megabytes, paced so that the poller sees it arrive.
  package("hello-nelt", "hello-nelt", "1.2.0", true,
          "{\"name\":\"hello-nelt\",\"long-name\":\"Hello\",\"version\":\"1.2.0\",\"slug\":"
          "\"someone-else\"}",
          3 << 20);
  nelt::makeDirs(nelt::kavixWorkRoot() + "hello-nelt/old");
  writeFile(nelt::kavixWorkRoot() + "hello-nelt/old/left-over", "x");
  setCurrentInstall("hello-nelt");
  downloads.piece_pause_ms = 20;
  ASSERT_EQ(engine->install("hello-nelt", "1.2.0", 0), 0);
  const std::vector<int> seen = follow();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 200);
  int order = -1;
  for (int s : seen) {
    const int rank = s == 102 ? 100 : s == 200 ? 101 : s;
    EXPECT_TRUE((s >= 0 && s <= 99) || s == 102 || s == 200) << s;
    EXPECT_GT(rank, order) << "states only move forward";
    order = rank;
  }
  EXPECT_GE(seen.size(), 3u) << "some download percentages are seen";

  const auto reqs = downloads.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].target, "/api/v1/apps/downloadBinary/hello-nelt?version=1.2.0");
  EXPECT_EQ(reqs[0].authorization, std::string("Bearer ") + TOKEN);
  EXPECT_NE(reqs[0].agent.find(", IPAddr:10.1.2.3, User: NativeStore, Status:0"), std::string::npos)
      << reqs[0].agent;
  EXPECT_EQ(reqs[0].agent.rfind("OS:", 0), 0u);

  // The metadata lands next to the snap with the installed slug.
  rapidjson::Document meta;
  const std::string text = readFile(nelt::snapRoot() + "hello-nelt/kavix.json");
  meta.Parse(text.c_str());
  ASSERT_TRUE(meta.IsObject()) << text;
  EXPECT_STREQ(meta["slug"].GetString(), "hello-nelt");
  EXPECT_STREQ(meta["long-name"].GetString(), "Hello");
  EXPECT_TRUE(nelt::isDirectory(nelt::varSnapRoot() + "hello-nelt"));
  EXPECT_FALSE(nelt::fileExists(nelt::kavixWorkRoot() + "hello-nelt")) << "work folder removed";
  EXPECT_EQ(currentInstall(), "") << "the worker clears the install marker";
  EXPECT_NE(inventory().find("\"slug\":\"hello-nelt\""), std::string::npos);
}

TEST_F(EngineTest, FailedTransfersEndTheJobAsFailed) {
  package("hello-nelt", "hello-nelt", "1.0", true, "", 256 * 1024);
  for (int status : {500, 404}) {
    downloads.status = status;
    ASSERT_EQ(engine->install("hello-nelt", "", 0), 0);
    EXPECT_EQ(follow().back(), 101) << status;
  }
  downloads.status = 200;
  downloads.cut_short = true;
  ASSERT_EQ(engine->install("hello-nelt", "", 0), 0);
  EXPECT_EQ(follow().back(), 101) << "connection dropped half way";
  EXPECT_FALSE(nelt::isDirectory(nelt::varSnapRoot() + "hello-nelt"));

  // The next install starts from 0 again, not from the last job's result.
  downloads.cut_short = false;
  downloads.piece_pause_ms = 30;
  ASSERT_EQ(engine->install("hello-nelt", "", 0), 0);
  EXPECT_LT(engine->getStateInstall(), 100);
  EXPECT_EQ(follow().back(), 200);
}

TEST_F(EngineTest, ProgressFollowsALowerCaseContentLength) {
  // HTTP/2 servers and some proxies send header names in lower case.
  const std::string bytes = package("hello-nelt", "hello-nelt", "1.0", true, "", 512 * 1024);
  FakeService raw_http;
  ASSERT_TRUE(raw_http.start([&](const std::string& line) {
    FakeReply r;
    if (line.rfind("GET /api/v1/apps/downloadBinary/hello-nelt", 0) != 0) {
      r.silent = true;
      return r;
    }
    r.bytes = "HTTP/1.1 200 OK\r\ncontent-type: application/octet-stream\r\ncontent-length: " +
              std::to_string(bytes.size()) + "\r\nconnection: close\r\n\r\n" + bytes;
    r.chunk = 16 * 1024;
    r.pause = 10ms;
    r.close_after = true;
    return r;
  }));
  URL_HOST = "http://127.0.0.1:" + std::to_string(raw_http.port());
  ASSERT_EQ(engine->install("hello-nelt", "", 0), 0);
  const std::vector<int> seen = follow();
  EXPECT_EQ(seen.back(), 200);
  int partial = 0;
  for (int s : seen) partial += s > 0 && s < 100 ? 1 : 0;
  EXPECT_GE(partial, 3) << "percentages between 0 and 100 are seen";
}

TEST_F(EngineTest, RefusedAuthorisationFailsInstallAndUpdate) {
  package("hello-nelt", "hello-nelt", "1.0");
  setenv("NELT_PKEXEC_REFUSE", "1", 1);
  ASSERT_EQ(engine->install("hello-nelt", "1.0", 0), 0);
  EXPECT_EQ(follow().back(), 101);
  EXPECT_FALSE(nelt::isDirectory(nelt::varSnapRoot() + "hello-nelt"));

  unsetenv("NELT_PKEXEC_REFUSE");
  ASSERT_EQ(engine->install("hello-nelt", "1.0", 0), 0);
  ASSERT_EQ(follow().back(), 200);
  // An update refused by the user is a failure even though the snap's data
  // folder is there from before.
  package("hello-nelt", "hello-nelt", "2.0");
  setenv("NELT_PKEXEC_REFUSE", "1", 1);
  ASSERT_EQ(engine->install("hello-nelt", "2.0", 0), 0);
  EXPECT_EQ(follow().back(), 101);
  EXPECT_NE(readFile(nelt::snapRoot() + "hello-nelt/kavix.json").find("\"1.0\""),
            std::string::npos);
}

// Every check a package can fail runs before anything privileged: the job
// fails with its own one-line reason (also in the debug log), no privileged
// command runs, nothing is installed and the work folder is gone.
TEST_F(EngineTest, PackagesFailingACheckRunNothingPrivileged) {
  std::vector<std::string> debug;
  std::mutex debug_mutex;
  nelt::setDebugLogSink([&](const std::string& m) {
    std::lock_guard<std::mutex> lock(debug_mutex);
    debug.push_back(m);
  });
  const std::string log = work.sub("pkexec.log");
  setenv("NELT_PKEXEC_LOG", log.c_str(), 1);
  const std::string snap = makeSnap(work.path(), "hello-nelt", "1.0", 4096);
  const std::string other = makeSnap(work.path(), "ghi-chu", "1.0", 4096);
  ASSERT_FALSE(snap.empty() || other.empty());
  const std::string snap_file = nelt::lastPathComponent(snap);
  const std::string good_json = kavixJson("hello-nelt", "Hello", "1.0");
  std::vector<ZipEntry> many = {{snap_file, readFile(snap)}, {"kavix.json", good_json}};
  for (int i = 0; i < 60; ++i) many.push_back({"extra" + std::to_string(i), "x"});

  struct Case {
    const char* label;
    std::string info;
    std::vector<ZipEntry> entries;
    std::string reason;
    std::string password = PASSWORD;
  };
  const std::string info = "{\"name\":\"hello-nelt\",\"snap\":\"" + snap_file + "\"}";
  const std::vector<Case> cases = {
      {"no metadata", info, {{snap_file, readFile(snap)}}, "package refused: no kavix.json"},
      {"metadata not JSON",
       info,
       {{snap_file, readFile(snap)}, {"kavix.json", "name: hello"}},
       "package refused: kavix.json is not a JSON object"},
      {"metadata a folder",
       info,
       {{snap_file, readFile(snap)}, {"kavix.json/inside", good_json}},
       "package refused: kavix.json is not a file"},
      {"metadata without version",
       info,
       {{snap_file, readFile(snap)}, {"kavix.json", "{\"name\":\"a\",\"long-name\":\"A\"}"}},
       "package refused: kavix.json has no usable \"version\""},
      {"snap in a folder, metadata at the top",
       "{\"name\":\"hello-nelt\",\"snap\":\"sub/" + snap_file + "\"}",
       {{"sub/" + snap_file, readFile(snap)}, {"kavix.json", good_json}},
       "package refused: no kavix.json beside the snap"},
      {"another snap inside",
       info,
       {{snap_file, readFile(other)}, {"kavix.json", good_json}},
       "package refused: the snap inside is \"ghi-chu\" but the package names \"hello-nelt\""},
      {"no squashfs",
       info,
       {{snap_file, randomBytes(8192)}, {"kavix.json", good_json}},
       "package refused: the snap file has no readable meta/snap.yaml"},
      {"too many entries", info, many, "package refused: the archive holds 62 entries"},
      {"wrong key",
       info,
       {{snap_file, readFile(snap)}, {"kavix.json", good_json}},
       "unpack failed: ",
       "not the key"},
  };
  for (const auto& c : cases) {
    const std::string payload = libzipArchive(work.path(), c.entries, c.password);
    ASSERT_FALSE(payload.empty()) << c.label;
    downloads.put("hello-nelt", "1.0", kavixHeader("hello-nelt", c.info) + payload);
    ASSERT_EQ(engine->install("hello-nelt", "1.0", 0), 0) << c.label;
    EXPECT_EQ(follow().back(), 101) << c.label;
    const std::string reason = engine->lastError();
    EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << c.label << ": " << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
    {
      std::lock_guard<std::mutex> lock(debug_mutex);
      EXPECT_NE(std::find(debug.begin(), debug.end(), "Install of hello-nelt failed: " + reason),
                debug.end())
          << c.label << ": the window's log has the reason";
    }
    EXPECT_EQ(readFile(log), "") << c.label << ": nothing privileged ran";
    EXPECT_FALSE(nelt::fileExists(nelt::snapRoot() + "hello-nelt")) << c.label;
    EXPECT_FALSE(nelt::fileExists(nelt::kavixWorkRoot() + "hello-nelt")) << c.label;
  }
  unsetenv("NELT_PKEXEC_LOG");
  nelt::setDebugLogSink(nullptr);
}

// A failure after `snap install` leaves the system as it was before the job,
// within the one authorised helper run: a new snap is removed again, an
// updated one goes back to its previous revision with its previous metadata.
// The metadata cannot be placed because a folder is in its way.
TEST_F(EngineTest, FailureAfterTheSnapInstallUndoesIt) {
  const std::string log = work.sub("pkexec.log");
  setenv("NELT_PKEXEC_LOG", log.c_str(), 1);
  const auto runs = [&] {
    const std::string text = readFile(log);
    return std::count(text.begin(), text.end(), '\n');
  };
  const std::string meta = nelt::snapRoot() + "hello-nelt/kavix.json";
  package("hello-nelt", "hello-nelt", "1.0");
  ASSERT_EQ(nelt::makeDirs(meta + "/in-the-way"), 0);
  ASSERT_EQ(engine->install("hello-nelt", "1.0", 0), 0);
  EXPECT_EQ(follow().back(), 101);
  EXPECT_EQ(engine->lastError(),
            "metadata not installed: cannot write " + meta + "; the new snap was removed again");
  EXPECT_FALSE(nelt::fileExists(nelt::snapRoot() + "hello-nelt/current"));
  EXPECT_FALSE(nelt::isDirectory(nelt::varSnapRoot() + "hello-nelt"));
  EXPECT_EQ(runs(), 1) << "one authorisation: " << readFile(log);

  ASSERT_EQ(nelt::removeTree(meta), 0);
  writeFile(log, "");
  ASSERT_EQ(engine->install("hello-nelt", "1.0", 0), 0);
  ASSERT_EQ(follow().back(), 200);
  EXPECT_EQ(engine->installedVersion(), "1.0");
  EXPECT_EQ(engine->lastError(), "");
  EXPECT_EQ(runs(), 1) << "a whole install asks once: " << readFile(log);
  EXPECT_EQ(readFile(log).rfind(nelt::test::binDir() + "/nelt-helper install hello-nelt /", 0), 0u)
      << readFile(log);
  const std::string meta_before = readFile(meta);

  // The update's metadata write fails half way (its temporary file cannot be
  // renamed over a folder); the previous revision and metadata come back.
  package("hello-nelt", "hello-nelt", "2.0");
  const std::string kept = work.sub("kept-kavix.json");
  ASSERT_EQ(rename(meta.c_str(), kept.c_str()), 0);
  ASSERT_EQ(nelt::makeDirs(meta + "/in-the-way"), 0);
  writeFile(log, "");
  ASSERT_EQ(engine->install("hello-nelt", "2.0", 0), 0);
  EXPECT_EQ(follow().back(), 101);
  EXPECT_EQ(engine->lastError().rfind("metadata not installed: cannot write " + meta + "; ", 0), 0u)
      << engine->lastError();
  EXPECT_NE(readFile(nelt::snapRoot() + "hello-nelt/current/meta/snap.yaml").find("version: '1.0'"),
            std::string::npos);
  EXPECT_EQ(engine->installedVersion(), "");
  EXPECT_EQ(runs(), 1) << readFile(log);
  ASSERT_EQ(nelt::removeTree(meta), 0);
  ASSERT_EQ(rename(kept.c_str(), meta.c_str()), 0);
  EXPECT_EQ(readFile(meta), meta_before);
  unsetenv("NELT_PKEXEC_LOG");
}

TEST_F(EngineTest, SecondInstallWaitsForTheRunningJobThenQueues) {
  package("hello-nelt", "hello-nelt", "1.0", true, "", 1 << 20);
  package("may-tinh", "may-tinh", "1.0.0");
  downloads.piece_pause_ms = 15;
  ASSERT_EQ(engine->install("hello-nelt", "", 0), 0);
  std::atomic<bool> first_done_when_second_returned{false};
  std::atomic<int> second_result{-100};
  std::thread second([&] {
    second_result = engine->install("may-tinh", "", 0);
    first_done_when_second_returned = nelt::fileExists(nelt::snapRoot() + "hello-nelt/kavix.json");
  });
  second.join();
  EXPECT_EQ(second_result, 0);
  EXPECT_TRUE(first_done_when_second_returned);
  EXPECT_EQ(follow().back(), 200);
  EXPECT_TRUE(nelt::fileExists(nelt::snapRoot() + "may-tinh/kavix.json"));
}

TEST_F(EngineTest, IdleWorkerUsesNoCpu) {
  timespec a{}, b{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
  std::this_thread::sleep_for(500ms);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
  const double used = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
  EXPECT_LT(used, 0.1) << "an idle engine sleeps";
}

TEST_F(EngineTest, RemoveAndLaunchWorkOnInstalledApplicationsOnly) {
  const std::string log = work.sub("pkexec.log");
  setenv("NELT_PKEXEC_LOG", log.c_str(), 1);
  EXPECT_EQ(engine->remove("hello-nelt"), -1);
  EXPECT_EQ(engine->launch("hello-nelt"), -1);
  EXPECT_EQ(readFile(log), "") << "nothing runs for an application that is not installed";

  package("hello-nelt", "hello-nelt", "1.0");
  ASSERT_EQ(engine->install("hello-nelt", "", 0), 0);
  ASSERT_EQ(follow().back(), 200);

  const std::string marker = work.sub("launched");
  setenv("NELT_LAUNCH_MARKER", marker.c_str(), 1);
  ASSERT_EQ(engine->launch("hello-nelt"), 0);
  EXPECT_TRUE(eventually([&] { return readFile(marker) == "launched hello-nelt 1.0\n"; }));
  EXPECT_TRUE(eventually([] { return !hasZombieChild(); })) << "the application is reaped";

  setenv("NELT_PKEXEC_REFUSE", "1", 1);
  EXPECT_EQ(engine->remove("hello-nelt"), -1) << "refused: still installed";
  unsetenv("NELT_PKEXEC_REFUSE");
  EXPECT_EQ(engine->remove("hello-nelt"), 1);
  EXPECT_EQ(engine->remove("hello-nelt"), -1);
  EXPECT_EQ(engine->launch("hello-nelt"), -1) << "never the application launched before";
  unsetenv("NELT_PKEXEC_LOG");
  unsetenv("NELT_LAUNCH_MARKER");
}

}  // namespace
