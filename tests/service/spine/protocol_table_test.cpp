// Every request code of the local protocol against the local store server and
// the stand-in `snap`: the status and data that each one answers.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fsutil.h"
#include "json_util.h"
#include "protocol.h"
#include "service_harness.h"

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

const char* const DEFAULT_SETTINGS = "{\"id\": -1,\"setting\":{\"autoUpdate\": 0}}";

// Installs a snap the way the stand-in lays it out, with the store's
// metadata file next to its revisions.
void installSnap(const std::string& root, const std::string& name, const std::string& version,
                 const std::string& slug) {
  const std::string dir = root + "/snap/" + name;
  nelt::makeDirs(dir + "/1/meta");
  writeFile(dir + "/1/meta/snap.yaml", "name: " + name + "\nversion: " + version + "\napps:\n  " +
                                           name + ":\n    command: bin/run\n");
  symlink("1", (dir + "/current").c_str());
  writeFile(dir + "/kavix.json", "{\"name\": \"" + name + "\", \"long-name\": \"" + name +
                                     " app\", \"slug\": \"" + slug + "\", \"version\": \"" +
                                     version + "\"}");
}

bool sameJson(const std::string& a, const std::string& b) {
  rapidjson::Document da, db;
  da.Parse(a.c_str(), a.size());
  db.Parse(b.c_str(), b.size());
  return !da.HasParseError() && !db.HasParseError() && da == db;
}

class ProtocolTable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.start(work.path())) << "nelt-store-server did not start";
    installSnap(service.root(), "hello-nelt", "1.2.0", "hello-nelt");
    installSnap(service.root(), "lost-app", "0.9", "not-in-this-store");
    ServiceOptions options;
    options.host = store.baseUrl();
    options.ip_lookup_url = store.baseUrl() + "/ip";
    ASSERT_TRUE(service.start(options)) << service.proc().err();
    ASSERT_TRUE(service.connect(client));
    ASSERT_EQ(ask("POST 0 NativeStore\n").status, "200");
  }

  Reply ask(const std::string& line) {
    std::string text;
    EXPECT_TRUE(client.request(line, text, 30s)) << line;
    return parseReply(text);
  }

  // The "data" of the store server's own answer, as compact JSON.
  std::string storeData(const std::string& path) {
    std::string body;
    EXPECT_EQ(httpRequest("GET", store.baseUrl() + path, "", body), 200) << path;
    rapidjson::Document doc;
    doc.Parse(body.c_str(), body.size());
    int code = 0;
    if (doc.HasParseError() || !nelt::getInt(doc, "code", code) || code != 200 ||
        !doc.HasMember("data"))
      return "<no data>";
    return nelt::toCompactJson(doc["data"]);
  }

  size_t storeRequestCount() {
    const std::string log = store.requests();
    rapidjson::Document doc;
    doc.Parse(log.c_str(), log.size());
    EXPECT_TRUE(!doc.HasParseError() && doc.IsArray()) << log;
    return doc.IsArray() ? doc.Size() : 0;
  }

  std::string dataFile(const std::string& name) { return readFile(service.dataDir() + "/" + name); }

  TempDir work;
  StoreServer store;
  ServiceHarness service;
  ProtoClient client;
};

TEST_F(ProtocolTable, CatalogRequests) {
  Reply r = ask("GET 3 \n");
  EXPECT_EQ(r.status, "200");
  EXPECT_TRUE(sameJson(r.data, storeData("/api/v1/categories/"))) << r.data;
  EXPECT_TRUE(sameJson(dataFile("sections.json"), r.data));

  r = ask("GET 4 ghi chu\n");
  EXPECT_EQ(r.status, "200");
  EXPECT_TRUE(sameJson(r.data, storeData("/api/v1/apps/search?type=1&text=ghi%20chu"))) << r.data;
  ASSERT_TRUE(store.reset());
  r = ask("GET 4 @null\n");
  EXPECT_EQ(r.status, "8888");
  EXPECT_EQ(r.data, "");
  EXPECT_EQ(storeRequestCount(), 0u);  // answered without asking the store

  r = ask("GET 15 5\n");
  EXPECT_EQ(r.status, "200");
  EXPECT_TRUE(sameJson(r.data, storeData("/api/v1/categories/5/apps"))) << r.data;

  r = ask("GET 16 ghi-chu\n");
  EXPECT_EQ(r.status, "200");
  const std::string detail = storeData("/api/v1/apps/ghi-chu/detailAppByName");
  EXPECT_TRUE(sameJson(r.data, detail)) << r.data;
  r = ask("GET 16 $101\n");
  EXPECT_EQ(r.status, "200");
  EXPECT_TRUE(sameJson(r.data, storeData("/api/v1/apps/101/detail"))) << r.data;

  r = ask("GET 17 \n");
  EXPECT_EQ(r.status, "200");
  EXPECT_EQ(r.data, "{\"url\": \"" + store.baseUrl() + "\"}");

  // The store goes away: stored and cached answers where there are some.
  ASSERT_TRUE(store.setMode("{\"drop\":true}"));
  const std::string sections = dataFile("sections.json");
  r = ask("GET 3 \n");
  EXPECT_EQ(r.status, "8888");
  EXPECT_EQ(r.data, sections);
  EXPECT_EQ(ask("GET 4 ghi chu\n").status, "8888");
  EXPECT_EQ(ask("GET 15 5\n").status, "8888");
  r = ask("GET 16 ghi-chu\n");
  EXPECT_EQ(r.status, "200");
  rapidjson::Document cached;
  cached.Parse(r.data.c_str());
  std::string slug;
  EXPECT_TRUE(nelt::getString(cached, "slug", slug) && slug == "ghi-chu") << r.data;
  r = ask("GET 16 may-tinh\n");
  EXPECT_EQ(r.status, "8888");
  EXPECT_EQ(r.data, "");
  EXPECT_EQ(ask("GET 8 hello-nelt\n").status, "8888");
  EXPECT_EQ(ask("POST 1 demo&demo123\n").status, "8888");

  // A store answer that is not JSON: no code has been read for it.
  ASSERT_TRUE(store.setMode("{\"drop\":false,\"not_json\":true}"));
  r = ask("GET 3 \n");
  EXPECT_EQ(r.status, "9999");
  EXPECT_EQ(dataFile("sections.json"), sections);  // the kept list survives
}

TEST_F(ProtocolTable, AccountRequests) {
  Reply r = ask("GET 5 \n");
  EXPECT_EQ(r.status, "9998");
  EXPECT_EQ(r.data, "");
  EXPECT_EQ(ask("GET 10 \n").status, "8888");
  r = ask("GET 21 \n");
  EXPECT_EQ(r.status, "200");
  EXPECT_EQ(r.data, DEFAULT_SETTINGS);
  // The start-up update detection asks the store after the port opens; the
  // first update list is its result, so once that is answered it is done.
  EXPECT_EQ(ask("GET 7 \n").status, "200");
  ASSERT_TRUE(store.reset());
  EXPECT_EQ(ask("POST 1 demo\n").status, "8888");
  EXPECT_EQ(ask("POST 1 &demo123\n").status, "8888");
  EXPECT_EQ(storeRequestCount(), 0u);

  r = ask("POST 1 demo&demo123\n");
  ASSERT_EQ(r.status, "200");
  rapidjson::Document login;
  login.Parse(r.data.c_str());
  std::string token;
  ASSERT_TRUE(nelt::getString(login, "token", token)) << r.data;
  EXPECT_EQ(dataFile("user.json"), r.data);
  const Reply account = ask("GET 10 \n");
  EXPECT_EQ(account.status, "200");
  EXPECT_EQ(account.data, r.data);
  r = ask("GET 5 \n");
  EXPECT_EQ(r.status, "200");
  EXPECT_EQ(r.data, "{\"token\": \"" + nelt::jsonEscape(token) + "\"}");

  r = ask("GET 8 hello-nelt\n");
  EXPECT_EQ(r.status, "200");
  rapidjson::Document key;
  key.Parse(r.data.c_str());
  std::string password;
  EXPECT_TRUE(nelt::getString(key, "key", password) && !password.empty()) << r.data;

  // Settings of the signed-in account (number 7 in the sample accounts).
  EXPECT_EQ(ask("GET 21 \n").data, DEFAULT_SETTINGS);
  EXPECT_EQ(ask("POST 20 {\"id\":7,\"setting\":{\"autoUpdate\":1}}\n").status, "200");
  EXPECT_EQ(ask("GET 21 \n").data, "{\"id\":7,\"setting\":{\"autoUpdate\":1}}");
  EXPECT_EQ(ask("POST 20 {\"id\":7,\"setting\":\n").status, "8888");
  EXPECT_EQ(ask("POST 20 [1,2]\n").status, "8888");
  EXPECT_EQ(ask("GET 21 \n").data, "{\"id\":7,\"setting\":{\"autoUpdate\":1}}");

  r = ask("GET 2 \n");
  EXPECT_EQ(r.status, "200");
  EXPECT_EQ(r.data, "");
  EXPECT_FALSE(nelt::fileExists(service.dataDir() + "/user.json"));
  EXPECT_EQ(ask("GET 10 \n").status, "8888");
  EXPECT_EQ(ask("GET 5 \n").status, "9998");
  EXPECT_EQ(ask("GET 21 \n").data, DEFAULT_SETTINGS);
  // Signed out there is no account number: nothing is stored for "nobody".
  EXPECT_EQ(ask("POST 20 {\"id\":-1,\"setting\":{\"autoUpdate\":1}}\n").status, "8888");
  EXPECT_FALSE(nelt::fileExists(service.dataDir() + "/users/.json"));

  // A refused sign-in answers the store's code and signs the account out.
  r = ask("POST 1 demo&wrong-password\n");
  EXPECT_EQ(r.status, "401");
  EXPECT_EQ(r.data, "");
  EXPECT_EQ(dataFile("user.json"), "");
  EXPECT_EQ(ask("GET 5 \n").status, "9998");

  // The creator tool's account lives in its own file.
  r = ask("POST 11 vip&vip-2024\n");
  EXPECT_EQ(r.status, "200");
  EXPECT_EQ(dataFile("dev.json"), r.data);
  EXPECT_EQ(ask("GET 12 \n").status, "200");
  EXPECT_FALSE(nelt::fileExists(service.dataDir() + "/dev.json"));

  // Passwords, the token and the package key stay out of the service's logs.
  const std::string logs = service.proc().out() + service.proc().err();
  for (const std::string& secret : {std::string("demo123"), std::string("vip-2024"),
                                    std::string("wrong-password"), token, password})
    EXPECT_EQ(logs.find(secret), std::string::npos) << secret;
}

TEST_F(ProtocolTable, InstalledApplications) {
  Reply r = ask("GET 6 \n");
  ASSERT_EQ(r.status, "200");
  rapidjson::Document list;
  list.Parse(r.data.c_str());
  ASSERT_FALSE(list.HasParseError()) << r.data;
  int total = 0;
  ASSERT_TRUE(nelt::getInt(list, "total", total));
  EXPECT_EQ(total, 2);
  const rapidjson::Value* data = nelt::getArray(list, "data");
  ASSERT_TRUE(data != nullptr && data->Size() == 2u) << r.data;
  std::string slug, newer;
  int update = -1;
  EXPECT_TRUE(nelt::getString((*data)[0], "slug", slug) && slug == "hello-nelt");
  EXPECT_TRUE(nelt::getString((*data)[0], "new-version", newer) && newer == "1.3.0");
  EXPECT_TRUE(nelt::getInt((*data)[0], "update", update) && update == 1);
  EXPECT_TRUE(nelt::getString((*data)[1], "new-version", newer) && newer == "null");
  EXPECT_TRUE(nelt::getInt((*data)[1], "update", update) && update == 0);

  // The last stored list, without asking the store again.
  ASSERT_TRUE(store.setMode("{\"drop\":true}"));
  const Reply stored = ask("GET 7 \n");
  EXPECT_EQ(stored.status, "200");
  EXPECT_EQ(stored.data, r.data);
}

TEST_F(ProtocolTable, UnservedCodesGetNoReply) {
  // Answered in order: the only reply is the one of the last request.
  ASSERT_TRUE(client.sendRaw("GET 9 \nGET 13 \nGET 14 \nPOST 3 \nPUT 6 \nGET 22 \nGET 17 \n"));
  std::string text;
  ASSERT_TRUE(client.readReply(text));
  EXPECT_EQ(text, "200 {\"url\": \"" + store.baseUrl() + "\"}\n");
  EXPECT_TRUE(client.silentFor(200ms));
}

}  // namespace
