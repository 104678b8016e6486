// The service under load, as a real process against the local store server:
// it listens and answers the window while the store stalls and before it has
// read a large inventory, marks many installed applications the same way
// one-by-one queries would, keeps an application's mark when its query fails,
// stores a list once, and sends every reply to the connection that asked while
// open-window requests are answered out of the dispatcher's turn.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <thread>

#include "fsutil.h"
#include "json_util.h"
#include "protocol.h"
#include "service_harness.h"
#include "utils.h"

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

Reply ask(ProtoClient& client, const std::string& line) {
  std::string text;
  EXPECT_TRUE(client.request(line, text, 60s)) << line;
  return parseReply(text);
}

struct Mark {
  std::string new_version;
  int update = -1;
  bool operator==(const Mark& o) const {
    return new_version == o.new_version && update == o.update;
  }
};

std::map<std::string, Mark> marksOf(const std::string& list) {
  std::map<std::string, Mark> marks;
  rapidjson::Document doc;
  doc.Parse(list.c_str(), list.size());
  const rapidjson::Value* data = doc.IsObject() ? nelt::getArray(doc, "data") : nullptr;
  if (data == nullptr) return marks;
  for (const auto& entry : data->GetArray()) {
    std::string slug;
    Mark m;
    nelt::getString(entry, "slug", slug);
    nelt::getString(entry, "new-version", m.new_version);
    nelt::getInt(entry, "update", m.update);
    marks[slug] = m;
  }
  return marks;
}

size_t countLines(const std::string& path, const std::string& line) {
  std::ifstream in(path);
  std::string l;
  size_t n = 0;
  while (std::getline(in, l)) n += l == line;
  return n;
}

class ServiceUnderLoad : public ::testing::Test {
 protected:
  // Installs `count` store applications the way the stand-in `snap` and the
  // installer leave them: the catalog's applications first (every other one
  // older than the store's version), then slugs the store does not know.
  void installApps(int count) {
    rapidjson::Document catalog;
    const std::string text = readFile(sourceDir() + "/catalog/sample/apps.json");
    catalog.Parse(text.c_str(), text.size());
    ASSERT_TRUE(catalog.IsObject());
    const auto& apps = catalog["apps"];
    for (int i = 0; i < count; ++i) {
      std::string slug = "not-in-store-" + std::to_string(i);
      std::string version = "1.0";
      if (static_cast<rapidjson::SizeType>(i) < apps.Size()) {
        slug = apps[i]["slug"].GetString();
        version = i % 2 == 0 ? "0.1.0" : apps[i]["currentVersion"].GetString();
      }
      const std::string name = "app" + std::to_string(i);
      const std::string base = service.root() + "/snap/" + name;
      ASSERT_EQ(nelt::makeDirs(base + "/1/meta"), 0);
      writeFile(base + "/1/meta/snap.yaml", "name: " + name + "\nversion: " + version +
                                                "\nsummary: test\napps:\n  " + name +
                                                ":\n    command: bin/run\n");
      ASSERT_EQ(symlink("1", (base + "/current").c_str()), 0);
      writeFile(base + "/kavix.json", "{\"name\":\"" + name + "\",\"long-name\":\"App " +
                                          std::to_string(i) + "\",\"slug\":\"" + slug +
                                          "\",\"version\":\"" + version + "\"}");
      installed[slug] = version;
    }
  }

  // The marks one query per application, one after the other, gives.
  std::map<std::string, Mark> sequentialMarks() {
    std::map<std::string, Mark> marks;
    for (const auto& [slug, version] : installed) {
      std::string body;
      Mark m{"null", 0};
      httpRequest("GET", store.baseUrl() + "/api/v1/apps/" + slug + "/detailAppByName", "", body);
      rapidjson::Document doc;
      doc.Parse(body.c_str(), body.size());
      int code = 0;
      if (doc.IsObject() && nelt::getInt(doc, "code", code) && code == 200 &&
          nelt::getString(doc["data"], "currentVersion", m.new_version))
        m.update = compareVersion(version, m.new_version) == 2 ? 1 : 0;
      marks[slug] = m;
    }
    return marks;
  }

  TempDir work;
  StoreServer store;
  ServiceHarness service;
  std::map<std::string, std::string> installed;  // slug -> installed version
};

TEST_F(ServiceUnderLoad, ListensAndAnswersTheWindowWhileTheStoreStalls) {
  ASSERT_TRUE(store.start(work.path()));
  ASSERT_TRUE(store.setMode("{\"stall\":true}"));
  installApps(12);
  ServiceOptions options;
  options.host = store.baseUrl();
  options.ip_lookup_url = store.baseUrl() + "/ip";
  // Twelve stalled version queries one after the other would hold the port
  // closed for two minutes, far past the harness's wait.
  ASSERT_TRUE(service.start(options)) << service.proc().err();
  ProtoClient window;
  ASSERT_TRUE(service.connect(window));
  EXPECT_EQ(ask(window, "POST 0 NativeStore\n").status, "200");
  Reply r = ask(window, "GET 18\n");
  EXPECT_EQ(r.status, "200");
  EXPECT_EQ(r.data, "");
  EXPECT_EQ(ask(window, "GET 17\n").status, "200");

  // The first update list is the start-up detection's result: with every
  // query stalled, the inventory without marks.
  r = ask(window, "GET 7\n");
  EXPECT_EQ(r.status, "200");
  EXPECT_EQ(marksOf(r.data).size(), 12u);

  // A list that waits on the stalled store holds the dispatcher; the
  // window's open-window check is answered meanwhile.
  ASSERT_TRUE(store.reset());
  ASSERT_TRUE(store.setMode("{\"stall\":true}"));
  ProtoClient lister;
  ASSERT_TRUE(service.connect(lister));
  ASSERT_TRUE(lister.sendRaw("GET 6\n"));
  for (int i = 0; i < 600 && store.requests().find("detailAppByName") == std::string::npos; ++i)
    std::this_thread::sleep_for(10ms);
  ASSERT_NE(store.requests().find("detailAppByName"), std::string::npos);
  r = ask(window, "GET 18\n");
  EXPECT_EQ(r.status, "200");
  EXPECT_EQ(r.data, "@FIRST");
  EXPECT_TRUE(lister.silentFor(0ms)) << "the list cannot be done while its queries stall";
  ASSERT_TRUE(store.setMode("{\"stall\":false}"));
  std::string text;
  ASSERT_TRUE(lister.readReply(text, 60s));
  EXPECT_EQ(parseReply(text).status, "200");
}

// The port opens before the inventory is read: with 200 installed
// applications, `snap list` held until the test lets it go and the store
// stalled, a window connects and gets its open-window answer; the first
// update list then holds all 200 applications.
TEST_F(ServiceUnderLoad, ListensBeforeTheInventoryIsRead) {
  ASSERT_TRUE(store.start(work.path()));
  ASSERT_TRUE(store.setMode("{\"stall\":true}"));
  installApps(200);
  const std::string gate = work.sub("gate");
  const std::string bin = work.sub("bin");
  ASSERT_EQ(nelt::makeDirs(bin), 0);
  // Holds `snap list` until the gate file appears (a minute at most).
  writeFile(bin + "/snap", "#!/bin/sh\nif [ \"$1\" = list ]; then\n  : > '" + gate +
                               ".asked'\n  n=0\n  while [ ! -e '" + gate +
                               "' ] && [ $n -lt 3000 ]; do sleep 0.02; n=$((n+1)); done\nfi\n"
                               "exec '" +
                               sourceDir() + "/tools/standins/snap' \"$@\"\n");
  ASSERT_EQ(chmod((bin + "/snap").c_str(), 0755), 0);
  const std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  // Inherited by the service, which finds this `snap` first.
  setenv("PATH", (bin + ":" + path).c_str(), 1);
  ServiceOptions options;
  options.host = store.baseUrl();
  const bool started = service.start(options);
  setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(started) << service.proc().err();

  ProtoClient window, other;
  ASSERT_TRUE(service.connect(window));
  ASSERT_TRUE(service.connect(other));
  Reply r = ask(window, "GET 18\n");
  EXPECT_EQ(r.status, "200");
  EXPECT_EQ(r.data, "");
  for (int i = 0; i < 500 && !nelt::fileExists(gate + ".asked"); ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(nelt::fileExists(gate + ".asked")) << "the inventory is read after the port opens";
  EXPECT_FALSE(nelt::fileExists(service.dataDir() + "/installeds.json"));
  r = ask(other, "GET 18\n");
  EXPECT_EQ(r.status, "200");
  EXPECT_EQ(r.data, "@FIRST");
  // The first update list waits for the inventory and the start-up detection.
  ASSERT_TRUE(window.sendRaw("GET 7\n"));
  EXPECT_TRUE(window.silentFor(300ms));
  writeFile(gate, "");
  std::string text;
  ASSERT_TRUE(window.readReply(text, 60s));
  r = parseReply(text);
  EXPECT_EQ(r.status, "200");
  EXPECT_EQ(marksOf(r.data).size(), 200u);
}

TEST_F(ServiceUnderLoad, ManyAppsGetTheMarksOfOneByOneQueriesAndKeepThemWhenAQueryFails) {
  ASSERT_TRUE(store.start(work.path()));
  installApps(200);
  const std::string snap_log = work.sub("snap.log");
  // Inherited by the service and from it by the stand-in `snap`.
  setenv("NELT_SNAP_LOG", snap_log.c_str(), 1);
  ServiceOptions options;
  options.host = store.baseUrl();
  options.extra_config = "\"version_reuse_seconds\": 0";
  ASSERT_TRUE(service.start(options)) << service.proc().err();
  ProtoClient client;
  ASSERT_TRUE(service.connect(client));
  unsetenv("NELT_SNAP_LOG");
  const std::map<std::string, Mark> expected = sequentialMarks();

  // The start-up detection's list, then a fresh one.
  EXPECT_EQ(marksOf(ask(client, "GET 7\n").data), expected);
  const size_t lists_before = countLines(snap_log, "list");
  Reply r = ask(client, "GET 6\n");
  ASSERT_EQ(r.status, "200");
  EXPECT_EQ(marksOf(r.data), expected);
  EXPECT_EQ(countLines(snap_log, "list"), lists_before + 1) << "one `snap list` per list";
  int updates = 0;
  for (const auto& [slug, mark] : expected) updates += mark.update == 1;
  EXPECT_GT(updates, 5) << "the catalog's older installs are marked";

  // One application's query is refused, then the store fails every query:
  // the marks stay those of the last answers.
  ASSERT_TRUE(store.setMode(
      "{\"answer_path\":\"/api/v1/apps/hello-nelt/\",\"answer_body\":\"{\\\"code\\\":500}\"}"));
  EXPECT_EQ(marksOf(ask(client, "GET 6\n").data), expected);
  ASSERT_TRUE(store.setMode("{\"answer_path\":\"\",\"status500\":true}"));
  r = ask(client, "GET 6\n");
  EXPECT_EQ(marksOf(r.data), expected);
  EXPECT_EQ(marksOf(ask(client, "GET 7\n").data), expected);
}

// Requests sent together are answered together when they need neither the
// store nor the start-up work: every reply still comes, in request order,
// when the batch ends with a request that gets none, with an open-window
// request or a store request among them, and while connections come and go.
TEST_F(ServiceUnderLoad, RequestsSentTogetherGetEveryReplyInOrder) {
  ASSERT_TRUE(store.start(work.path()));
  ServiceOptions options;
  options.host = store.baseUrl();
  ASSERT_TRUE(service.start(options)) << service.proc().err();
  ProtoClient first;
  ASSERT_TRUE(service.connect(first));
  ASSERT_EQ(ask(first, "GET 7\n").status, "200");  // start-up work done

  const std::string batch =
      "GET 17\nPOST 0 NativeStore\nGET 18\nGET 17\nGET 16 hello-nelt\nGET 21\nPUT 17 x\n";
  for (int round = 0; round < 30; ++round) {
    ProtoClient c;
    ASSERT_TRUE(service.connect(c));
    ASSERT_TRUE(c.sendRaw(batch));
    std::vector<Reply> got;
    std::string text;
    for (int i = 0; i < 6 && c.readReply(text, 30s); ++i) got.push_back(parseReply(text));
    ASSERT_EQ(got.size(), 6u) << "round " << round;
    EXPECT_NE(got[0].data.find("\"url\""), std::string::npos);
    EXPECT_EQ(got[1].status, "200");
    EXPECT_EQ(got[1].data, "");
    EXPECT_EQ(got[2].data.find('{'), std::string::npos);  // the open-window word
    EXPECT_NE(got[3].data.find("\"url\""), std::string::npos);
    EXPECT_NE(got[4].data.find("\"slug\""), std::string::npos);
    EXPECT_EQ(got[5].status, "200");
    EXPECT_TRUE(c.silentFor(round == 0 ? 300ms : 0ms)) << "no reply to PUT";
    // Every other connection leaves with its last replies unread.
    if (round % 2 == 1) continue;
    ASSERT_TRUE(c.sendRaw("GET 17\nPUT 1 x\n"));
    ASSERT_TRUE(c.readReply(text, 30s)) << "a held reply goes out when nothing follows";
    EXPECT_NE(text.find("\"url\""), std::string::npos);
  }
}

// Watches the data folder for files put in place (written, or renamed over).
class StoredFiles {
 public:
  explicit StoredFiles(const std::string& folder) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  }
  ~StoredFiles() { close(fd_); }
  // How often `name` was stored since the last call.
  int count(const std::string& name) {
    int n = 0;
    alignas(struct inotify_event) char buf[8192];
    ssize_t got = 0;
    while ((got = read(fd_, buf, sizeof buf)) > 0) {
      for (char* p = buf; p < buf + got;) {
        auto* ev = reinterpret_cast<struct inotify_event*>(p);
        if (ev->len > 0 && name == ev->name) ++n;
        p += sizeof(struct inotify_event) + ev->len;
      }
    }
    return n;
  }

 private:
  int fd_ = -1;
};

// A list request stores "installeds.json" once and replies exactly what the
// file then reads (its lines joined), with and without update marks; a
// detail request does not store it at all.
TEST_F(ServiceUnderLoad, AListIsStoredOnceAndRepliedAsStored) {
  ASSERT_TRUE(store.start(work.path()));
  installApps(6);
  ServiceOptions options;
  options.host = store.baseUrl();
  options.extra_config = "\"version_reuse_seconds\": 0";
  ASSERT_TRUE(service.start(options)) << service.proc().err();
  ProtoClient client;
  ASSERT_TRUE(service.connect(client));
  ask(client, "GET 7\n");  // the start-up detection has stored its list
  const std::string file = service.dataDir() + "/installeds.json";
  StoredFiles stored(service.dataDir());

  Reply r = ask(client, "GET 6\n");
  ASSERT_EQ(r.status, "200");
  EXPECT_EQ(stored.count("installeds.json"), 1);
  EXPECT_EQ(r.data, nelt::readJoinedLines(file));
  EXPECT_EQ(readFile(file).find('\n'), std::string::npos) << "a marked list is compact";
  EXPECT_GT(marksOf(r.data).size(), 5u);
  EXPECT_EQ(ask(client, "GET 7\n").data, r.data);

  EXPECT_EQ(ask(client, "GET 16 hello-nelt\n").status, "200");
  EXPECT_EQ(stored.count("installeds.json"), 0);

  // No answers and no earlier marks: the list is stored as the inventory
  // wrote it, line by line.
  ASSERT_EQ(unlink(file.c_str()), 0);
  ASSERT_TRUE(store.setMode("{\"status500\":true}"));
  r = ask(client, "GET 6\n");
  ASSERT_EQ(r.status, "200");
  EXPECT_EQ(stored.count("installeds.json"), 1);
  const std::string text = readFile(file);
  EXPECT_EQ(text.compare(0, 11, "{\n\t\"data\":["), 0) << text;
  EXPECT_EQ(r.data, nelt::readJoinedLines(file));
  for (const auto& [slug, mark] : marksOf(r.data)) EXPECT_EQ(mark, (Mark{"null", 0})) << slug;
}

// Open-window requests answered by the receive thread and store requests
// answered by the dispatcher, pipelined on many connections that come and go
// (so socket numbers are reused): each reply reaches its own connection, in
// the order of its requests.
TEST_F(ServiceUnderLoad, RepliesKeepTheirConnectionAndOrderUnderLoad) {
  ASSERT_TRUE(store.start(work.path()));
  ServiceOptions options;
  options.host = store.baseUrl();
  ASSERT_TRUE(service.start(options)) << service.proc().err();
  const std::vector<std::string> slugs = {"hello-nelt", "ghi-chu", "may-tinh", "sudoku",
                                          "co-tuong",   "sao-luu", "ghi-am",   "nen-tep"};
  std::atomic<int> wrong{0}, done{0};
  std::vector<std::thread> threads;
  // Four clients at a time: the listening backlog holds five connections,
  // more would wait on the system's connection retries instead.
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 45; ++i) {
        ProtoClient c;
        if (!c.connectTo(service.port())) {
          ++wrong;
          return;
        }
        const std::string& slug = slugs[static_cast<size_t>((t + i) % slugs.size())];
        if (!c.sendRaw("GET 18\nGET 16 " + slug + "\nGET 18\nGET 17\n")) ++wrong;
        std::string a, b, d, e;
        if (!c.readReply(a, 60s)) ++wrong;
        // Every third connection leaves with three requests unanswered.
        if (i % 3 == 2) continue;
        if (!c.readReply(b, 60s) || !c.readReply(d, 60s) || !c.readReply(e, 60s)) {
          ++wrong;
          continue;
        }
        rapidjson::Document doc;
        const Reply detail = parseReply(b);
        doc.Parse(detail.data.c_str(), detail.data.size());
        std::string got;
        const bool ok = parseReply(a).status == "200" &&
                        parseReply(a).data.find('{') == std::string::npos && doc.IsObject() &&
                        nelt::getString(doc, "slug", got) && got == slug &&
                        parseReply(d).data.find('{') == std::string::npos &&
                        parseReply(e).data.find("\"url\"") != std::string::npos;
        if (!ok) ++wrong;
        ++done;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(done.load(), 100);
}

}  // namespace
