// The window's service client against a scripted service on loopback.
#include "kavix_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "fake_service.h"
#include "model_log.h"
#include "protocol.h"
#include "store_globals.h"
#include "test_support.h"
#include "utils.h"

using nelt::window::URL_HOST;

using nelt::test::FakeReply;
using nelt::test::FakeService;
using nelt::test::framed;

namespace {

std::mutex log_mutex;
std::vector<std::string> log_lines;

void captureLogs() {
  nelt::setDebugLogSink([](const std::string& m) {
    std::lock_guard<std::mutex> lock(log_mutex);
    log_lines.push_back(m);
  });
  nelt::setConsoleLogSink(nullptr);
}

bool logged(const std::string& text) {
  std::lock_guard<std::mutex> lock(log_mutex);
  for (const auto& l : log_lines)
    if (l == text) return true;
  return false;
}

// Answers the start-up requests and then whatever `more` says.
FakeService::Handler standard(std::function<FakeReply(const std::string&)> more = nullptr) {
  return [more](const std::string& line) -> FakeReply {
    if (line.rfind("POST 0 ", 0) == 0) return framed("200", "");
    if (line == "GET 17 \n") return framed("200", "{\"url\": \"http://127.0.0.1:9\"}");
    if (more) return more(line);
    return framed("200", "");
  };
}

class KavixApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    captureLogs();
    std::lock_guard<std::mutex> lock(log_mutex);
    log_lines.clear();
  }
};

TEST_F(KavixApiTest, InitIdentifiesAndFetchesTheHostOnTheMainConnectionOnly) {
  FakeService service;
  ASSERT_TRUE(service.start(standard()));
  KavixAPI api(service.port(), true);
  ASSERT_EQ(api.init(), 1);
  EXPECT_EQ(URL_HOST, "http://127.0.0.1:9");
  const auto lines = service.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "POST 0 NativeStore\n");
  EXPECT_EQ(lines[1], "GET 17 \n");

  KavixAPI dev(service.port(), false);
  ASSERT_EQ(dev.init(), 1);
  EXPECT_EQ(service.lines()[2], "POST 0 CreatorTool\n");
}

// This program links the service's settings as well: the service's store
// address and the window's are two values, each set only by its own side.
TEST_F(KavixApiTest, TheWindowsStoreAddressIsNotTheServices) {
  nelt::test::TempDir dir;
  nelt::test::writeFile(dir.sub("nelt_store.conf"), "{\"host\": \"https://store.example\"}");
  kavix_load_config(dir.sub("nelt_store.conf"));
  EXPECT_EQ(nelt::service::URL_HOST, "https://store.example");

  FakeService service;
  ASSERT_TRUE(service.start(standard()));
  KavixAPI api(service.port(), true);
  ASSERT_EQ(api.init(), 1);
  EXPECT_EQ(URL_HOST, "http://127.0.0.1:9");
  EXPECT_EQ(nelt::service::URL_HOST, "https://store.example");
}

TEST_F(KavixApiTest, InitFailsWithoutAService) {
  FakeService service;
  ASSERT_TRUE(service.start(standard()));
  const int port = service.port();
  service.stop();
  KavixAPI api(port, true);
  EXPECT_EQ(api.init(), -1);
  EXPECT_TRUE(logged("Connection Failed \n"));
}

TEST_F(KavixApiTest, RequestLinesAreExact) {
  FakeService service;
  ASSERT_TRUE(service.start(standard()));
  KavixAPI api(service.port(), true);
  ASSERT_EQ(api.init(), 1);
  std::string text;
  EXPECT_EQ(api.logoutAcc(), 0);
  EXPECT_EQ(api.getListSections(), 0);
  EXPECT_EQ(api.searchAll("text editor"), 0);
  EXPECT_EQ(api.getToken(), 0);
  EXPECT_EQ(api.getListInstalleds(), 0);
  EXPECT_EQ(api.getKey("hello-nelt"), 0);
  EXPECT_EQ(api.getListApps(3), 0);
  EXPECT_EQ(api.getAccCurrent(), 0);
  EXPECT_EQ(api.getDetailApp(42), 0);
  EXPECT_EQ(api.getDetailApp(std::string("hello")), 0);
  EXPECT_EQ(api.getSetting(text), 0);
  EXPECT_EQ(api.setSetting("{\"a\":1}"), 0);
  EXPECT_EQ(api.loginAcc("demo", "demo123"), 0);
  const std::vector<std::string> expected = {"GET 2 \n",
                                             "GET 3 \n",
                                             "GET 4 text editor\n",
                                             "GET 5 \n",
                                             "GET 6 \n",
                                             "GET 8 hello-nelt\n",
                                             "GET 15 3\n",
                                             "GET 10 \n",
                                             "GET 16 $42\n",
                                             "GET 16 hello\n",
                                             "GET 21 \n",
                                             "POST 20 {\"a\":1}\n",
                                             "POST 1 demo&demo123\n"};
  auto lines = service.lines();
  lines.erase(lines.begin(), lines.begin() + 2);
  EXPECT_EQ(lines, expected);
}

TEST_F(KavixApiTest, LoginLengthsAreCheckedBeforeAnythingIsSent) {
  FakeService service;
  ASSERT_TRUE(service.start(standard()));
  KavixAPI api(service.port(), true);
  ASSERT_EQ(api.init(), 1);
  EXPECT_EQ(api.loginAcc("demo", ""), -1);
  EXPECT_EQ(api.loginAcc(std::string(257, 'a'), "pw"), -1);
  EXPECT_EQ(api.loginAcc("", "pw"), -1);
  EXPECT_EQ(api.loginAcc("demo", std::string(257, 'p')), -1);
  // A line feed would split the request in two and shift every later reply.
  EXPECT_EQ(api.searchAll("a\nGET 2 "), -1);
  EXPECT_EQ(api.setSetting(std::string(1100, 'x')), -1);
  EXPECT_EQ(service.lines().size(), 2u);
  EXPECT_EQ(api.loginAcc(std::string(256, 'a'), std::string(256, 'p')), 0);
  EXPECT_EQ(service.lines().back(),
            "POST 1 " + std::string(256, 'a') + "&" + std::string(256, 'p') + "\n");
}

TEST_F(KavixApiTest, LongReplyArrivingInPiecesIsReassembled) {
  std::string data = "{\"data\":\"" + std::string(3000 - 16, 'x') + "\"}";
  FakeService service;
  ASSERT_TRUE(service.start(standard([&](const std::string&) {
    FakeReply r = framed("200", data);
    r.chunk = 700;
    r.pause = std::chrono::milliseconds(20);
    return r;
  })));
  KavixAPI api(service.port(), true);
  ASSERT_EQ(api.init(), 1);
  KavixReply reply;
  ASSERT_EQ(api.getListSections(&reply), 0);
  EXPECT_EQ(reply.status, 200);
  ASSERT_TRUE(reply.doc.IsObject());
  ASSERT_TRUE(reply.doc["data"].IsString());
  EXPECT_EQ(reply.doc["data"].GetStringLength(), 3000u - 16);
  EXPECT_EQ(reply.text, "200 " + data + "\n");
  rapidjson::Document copy = api.getOutputJson();
  EXPECT_EQ(copy["data"].GetStringLength(), 3000u - 16);
}

TEST_F(KavixApiTest, SignedOutTokenIsStatus9998WithAnEmptyObject) {
  FakeService service;
  ASSERT_TRUE(service.start(standard([](const std::string& line) {
    if (line == "GET 5 \n") return framed("9998", "");
    return framed("200", "[1,2]");
  })));
  KavixAPI api(service.port(), true);
  ASSERT_EQ(api.init(), 1);
  ASSERT_EQ(api.getListSections(), 0);
  ASSERT_EQ(api.getToken(), 0);
  EXPECT_EQ(api.ierr, 9998);
  rapidjson::Document out = api.getOutputJson();
  ASSERT_TRUE(out.IsObject());
  EXPECT_EQ(out.MemberCount(), 0u);
}

TEST_F(KavixApiTest, SettingsTextAndRepliesOfAnyShape) {
  std::atomic<int> n{0};
  FakeService service;
  ASSERT_TRUE(service.start(standard([&](const std::string& line) {
    if (line == "GET 21 \n") return framed("200", "{\"theme\":1}");
    switch (n++) {
      case 0:
        return framed("200", "null");
      case 1:
        return framed("8888", "not json at all");
      default:
        return framed("200", "");
    }
  })));
  KavixAPI api(service.port(), true);
  ASSERT_EQ(api.init(), 1);
  std::string text;
  ASSERT_EQ(api.getSetting(text), 0);
  EXPECT_EQ(text, "200 {\"theme\":1}\n");

  KavixReply reply;
  ASSERT_EQ(api.getAccCurrent(&reply), 0);
  EXPECT_TRUE(reply.doc.IsNull());
  EXPECT_EQ(api.getAccCurrent(&reply), -1);
  EXPECT_TRUE(logged("Error parse "));
  EXPECT_EQ(api.ierr, 8888) << "the status of a reply with bad data is kept";
  EXPECT_TRUE(api.getOutputJson().IsObject()) << "no stale data next to the new status";
  EXPECT_EQ(api.getAccCurrent(), 0) << "a complete reply keeps the connection in step";
}

TEST_F(KavixApiTest, OpenWindowWordsTravelOnTheirOwnConnection) {
  std::string word;
  FakeService service;
  ASSERT_TRUE(service.start(standard([&](const std::string& line) {
    if (line == "GET 18 \n") {
      const std::string w = word;
      word = "@FIRST";
      return framed("200", w);
    }
    if (line.rfind("POST 19 ", 0) == 0) {
      word = line.substr(8, line.size() - 9);
      return framed(word == "@bad" ? "8888" : "200", "");
    }
    return framed("200", "");
  })));
  KavixAPI api(service.port(), true);
  ASSERT_EQ(api.init(), 1);
  std::string got = "x";
  ASSERT_EQ(api.checkOpenWindow(got), 0);
  EXPECT_EQ(got, "");
  ASSERT_EQ(api.checkOpenWindow(got), 0);
  EXPECT_EQ(got, "@FIRST");
  EXPECT_EQ(api.setOpenWindow("hello-nelt"), 0);
  ASSERT_EQ(api.checkOpenWindow(got), 0);
  EXPECT_EQ(got, "hello-nelt");
  EXPECT_EQ(api.setOpenWindow("@bad"), -1);
}

TEST_F(KavixApiTest, AServiceThatGoesAwayFailsTheExchangeInsteadOfHanging) {
  FakeService service;
  ASSERT_TRUE(service.start(standard([](const std::string& line) {
    FakeReply r;
    if (line == "GET 3 \n") {
      // Announces 100 bytes, sends 50 and closes.
      r.bytes = nelt::frameReply("200 " + std::string(96, ' ')).substr(0, 54);
    }
    r.close_after = true;
    return r;
  })));
  KavixAPI api(service.port(), true);
  ASSERT_EQ(api.init(), 1);
  EXPECT_EQ(api.getListSections(), -1);
  EXPECT_TRUE(logged("Recv request get Sections failed \n"));
  // The connection is gone: later requests fail at once, and writing to the
  // closed socket does not end the process.
  EXPECT_EQ(api.getToken(), -1);
  EXPECT_EQ(api.getListInstalleds(), -1);
}

TEST_F(KavixApiTest, LateReplyIsNeverTakenForTheNextOne) {
  FakeService service;
  ASSERT_TRUE(service.start(standard([](const std::string& line) {
    if (line == "GET 3 \n") {
      FakeReply r = framed("200", "{\"late\":true}");
      r.chunk = 4;
      r.pause = std::chrono::milliseconds(400);
      return r;
    }
    return framed("200", "{\"late\":false}");
  })));
  KavixAPI api(service.port(), true);
  ASSERT_EQ(api.init(), 1);
  api.setReceiveTimeout(std::chrono::milliseconds(150));
  EXPECT_EQ(api.getListSections(), -1);
  KavixReply reply;
  EXPECT_EQ(api.getToken(&reply), -1);
}

TEST_F(KavixApiTest, ConcurrentCallersEachGetTheirOwnReply) {
  FakeService service;
  ASSERT_TRUE(service.start(standard([](const std::string& line) {
    // "GET 8 SLUG\n" answers {"key":"SLUG"}, cut in pieces to invite interleaving.
    FakeReply r = framed("200", "{\"key\":\"" + line.substr(6, line.size() - 7) + "\"}");
    r.chunk = 8;
    return r;
  })));
  KavixAPI api(service.port(), true);
  ASSERT_EQ(api.init(), 1);
  std::atomic<int> mismatches{0};
  auto worker = [&](const std::string& prefix) {
    for (int i = 0; i < 20; ++i) {
      const std::string slug = prefix + std::to_string(i);
      KavixReply reply;
      std::string key;
      if (api.getKey(slug, &reply) != 0 || !reply.doc.IsObject() || !reply.doc.HasMember("key") ||
          std::string(reply.doc["key"].GetString()) != slug)
        ++mismatches;
    }
  };
  std::thread a(worker, "a");
  std::thread b(worker, "b");
  a.join();
  b.join();
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
