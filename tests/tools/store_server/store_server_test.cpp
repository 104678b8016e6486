// nelt-store-server as a real process on loopback: logins and tokens, the
// catalog replies as the window reads them, search forms, package keys and
// downloads, images, the test switches, TLS and the request log.
#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <set>
#include <thread>

#include "fsutil.h"
#include "json_util.h"
#include "process.h"
#include "store_client.h"
#include "test_support.h"

namespace nelt::test {
namespace {

int codeOf(const rapidjson::Value& doc) {
  int code = -1;
  nelt::getInt(doc, "code", code);
  return code;
}

const rapidjson::Value& dataOf(const rapidjson::Value& doc) {
  static const rapidjson::Value NULL_VALUE;
  auto it = doc.IsObject() ? doc.FindMember("data") : doc.MemberEnd();
  return doc.IsObject() && it != doc.MemberEnd() ? it->value : NULL_VALUE;
}

std::string str(const rapidjson::Value& obj, const char* key) {
  std::string s;
  nelt::getString(obj, key, s);
  return s;
}

bool isPng(const std::string& bytes) { return bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0; }

// Waits until the request log holds an entry whose path is `path`.
bool waitForLogged(StoreServer& server, const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (server.requests().find("\"path\":\"" + path + "\"") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class StoreServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path().empty());
    ASSERT_TRUE(server.start(tmp.path())) << server.process().err();
    base = server.baseUrl();
  }

  std::string login(const std::string& user, const std::string& pass) {
    HttpReply r = post(base + "/api/v1/login",
                       "{\"username\":\"" + user + "\",\"password\":\"" + pass + "\"}");
    return str(dataOf(r.json()), "token");
  }

  rapidjson::Document getJson(const std::string& path, const std::vector<std::string>& h = {}) {
    return get(base + path, h).json();
  }

  TempDir tmp;
  StoreServer server;
  std::string base;
};

TEST_F(StoreServerTest, LoginAnswersTheAccountPayloadOrRefuses) {
  HttpReply r = post(base + "/api/v1/login", R"({"username":"demo","password":"demo123"})");
  ASSERT_EQ(r.status, 200);
  auto doc = r.json();
  ASSERT_EQ(codeOf(doc), 200);
  const auto& data = dataOf(doc);
  EXPECT_FALSE(str(data, "token").empty());
  ASSERT_EQ(str(data, "key"), "account");
  const rapidjson::Value* account = nelt::getObject(data, "account");
  const rapidjson::Value* user = nelt::getObject(data, "user");
  ASSERT_TRUE(account != nullptr && user != nullptr);
  int id = 0, user_id = 0, paying = -1;
  EXPECT_TRUE(nelt::getInt(*account, "id", id));
  EXPECT_EQ(id, 7);
  EXPECT_FALSE(str(*account, "name").empty());
  EXPECT_TRUE(nelt::getInt(*user, "id", user_id));
  EXPECT_EQ(user_id, 7);
  EXPECT_TRUE(nelt::getInt(*user, "isPayment", paying));
  EXPECT_EQ(paying, 0);
  // The avatar points at this server's default picture, which it serves.
  const std::string avatar = str(*user, "avatar");
  EXPECT_EQ(avatar, base + "/avatar/default.png");
  HttpReply pic = get(avatar);
  EXPECT_EQ(pic.status, 200);
  EXPECT_EQ(pic.content_type, "image/png");
  EXPECT_TRUE(isPng(pic.body));

  // The paying account, without an avatar.
  auto vip = post(base + "/api/v1/login", R"({"username":"vip","password":"vip-2024"})").json();
  const rapidjson::Value* vip_user = nelt::getObject(dataOf(vip), "user");
  ASSERT_NE(vip_user, nullptr);
  EXPECT_TRUE(nelt::getInt(*vip_user, "isPayment", paying));
  EXPECT_EQ(paying, 1);
  EXPECT_TRUE((*vip_user)["avatar"].IsNull());
  EXPECT_NE(str(dataOf(vip), "token"), str(data, "token"));

  HttpReply wrong = post(base + "/api/v1/login", R"({"username":"demo","password":"demo124"})");
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(codeOf(wrong.json()), 401);
  EXPECT_FALSE(wrong.json().HasMember("data"));
  EXPECT_EQ(codeOf(post(base + "/api/v1/login", R"({"username":"nobody","password":"x"})").json()),
            401);
  EXPECT_EQ(post(base + "/api/v1/login", "username=demo&password=demo123").status, 400);
  EXPECT_EQ(post(base + "/api/v1/login", R"({"username":"demo","password":7})").status, 400);
}

TEST_F(StoreServerTest, RevokedTokensAreAnsweredWith8001) {
  const std::string token = login("demo", "demo123");
  ASSERT_FALSE(token.empty());
  const std::vector<std::string> bearer = {"Authorization: Bearer " + token};
  EXPECT_EQ(codeOf(getJson("/api/v1/categories/", bearer)), 200);
  EXPECT_EQ(codeOf(getJson("/api/v1/apps/hello-nelt/getKey", bearer)), 200);

  std::string body;
  ASSERT_EQ(httpRequest("POST", base + "/_test/revoke", "{}", body), 200);
  for (const char* path : {"/api/v1/categories/", "/api/v1/apps/ghi-chu/detailAppByName",
                           "/api/v1/apps/hello-nelt/getKey", "/api/v1/nothing-here"}) {
    HttpReply r = get(base + path, bearer);
    EXPECT_EQ(r.status, 200) << path;
    EXPECT_EQ(codeOf(r.json()), 8001) << path;
    EXPECT_EQ(str(r.json(), "message"), "token expired");
  }
  // A download never answers 200 with something that is not the package.
  HttpReply dl = get(base + "/api/v1/apps/downloadBinary/hello-nelt", bearer);
  EXPECT_EQ(dl.status, 401);
  EXPECT_EQ(codeOf(dl.json()), 8001);
  // Without a token the catalog answers as usual, and signing in again works
  // even from a client still sending the old token.
  EXPECT_EQ(codeOf(getJson("/api/v1/categories/")), 200);
  HttpReply again =
      post(base + "/api/v1/login", R"({"username":"demo","password":"demo123"})", bearer);
  EXPECT_EQ(codeOf(again.json()), 200);
  const std::string fresh = str(dataOf(again.json()), "token");
  EXPECT_EQ(codeOf(getJson("/api/v1/categories/", {"Authorization: Bearer " + fresh})), 200);
}

TEST_F(StoreServerTest, SectionsAndTheirAppsHaveTheMembersTheWindowReads) {
  auto secs = getJson("/api/v1/categories/");
  ASSERT_EQ(codeOf(secs), 200);
  const auto& data = dataOf(secs);
  int total = -1;
  ASSERT_TRUE(nelt::getInt(data, "total", total));
  const rapidjson::Value* list = nelt::getArray(data, "data");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(static_cast<int>(list->Size()), total);
  EXPECT_GE(total, 3);
  size_t largest = 0;
  std::set<std::string> slugs;
  for (const auto& s : list->GetArray()) {
    int id = 0;
    ASSERT_TRUE(nelt::getInt(s, "id", id));
    const std::string name = str(s, "name");
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('&'), std::string::npos);
    auto apps = getJson("/api/v1/categories/" + std::to_string(id) + "/apps");
    ASSERT_EQ(codeOf(apps), 200) << id;
    int n = -1;
    ASSERT_TRUE(nelt::getInt(dataOf(apps), "total", n));
    const rapidjson::Value* entries = nelt::getArray(dataOf(apps), "data");
    ASSERT_NE(entries, nullptr);
    ASSERT_EQ(static_cast<int>(entries->Size()), n);
    largest = std::max(largest, static_cast<size_t>(n));
    for (const auto& e : entries->GetArray()) {
      int app_id = 0;
      EXPECT_TRUE(nelt::getInt(e, "id", app_id));
      for (const char* key : {"name", "slug", "currentVersion", "shortDescription"}) {
        EXPECT_FALSE(str(e, key).empty()) << key;
      }
      const rapidjson::Value* images = nelt::getObject(e, "images");
      ASSERT_NE(images, nullptr);
      EXPECT_FALSE(str(*images, "icon").empty());
      const rapidjson::Value* dv = nelt::getObject(e, "data_version");
      ASSERT_NE(dv, nullptr);
      EXPECT_EQ(str(*dv, "shortDescription"), str(e, "shortDescription"));
      slugs.insert(str(e, "slug"));
    }
  }
  EXPECT_GE(largest, 12u);
  for (const char* slug : {"hello-nelt", "ghi-chu", "may-tinh"}) EXPECT_EQ(slugs.count(slug), 1u);
  EXPECT_EQ(codeOf(getJson("/api/v1/categories/999/apps")), 404);
  EXPECT_EQ(codeOf(getJson("/api/v1/categories/abc/apps")), 404);
}

TEST_F(StoreServerTest, DetailBySlugByNumberAndByDollarNumber) {
  auto by_slug = getJson("/api/v1/apps/hello-nelt/detailAppByName");
  ASSERT_EQ(codeOf(by_slug), 200);
  const auto& d = dataOf(by_slug);
  EXPECT_EQ(str(d, "currentVersion"), "1.3.0");
  EXPECT_EQ(str(d, "snapName"), "hello-nelt");
  const rapidjson::Value* versions = nelt::getArray(d, "versions");
  ASSERT_NE(versions, nullptr);
  std::set<std::string> v;
  for (const auto& x : versions->GetArray()) v.insert(x.GetString());
  EXPECT_EQ(v, (std::set<std::string>{"1.2.0", "1.3.0"}));
  EXPECT_FALSE(str(d, "longDescription").empty());
  EXPECT_TRUE(d["rankAvg"].IsNumber());
  EXPECT_TRUE(d["size"].IsNumber());
  const rapidjson::Value* images = nelt::getObject(d, "images");
  ASSERT_NE(images, nullptr);
  EXPECT_NE(nelt::getArray(*images, "screenshot"), nullptr);
  int id = 0;
  ASSERT_TRUE(nelt::getInt(d, "id", id));

  auto by_id = getJson("/api/v1/apps/" + std::to_string(id) + "/detail");
  EXPECT_EQ(str(dataOf(by_id), "slug"), "hello-nelt");
  auto by_dollar = getJson("/api/v1/apps/%24" + std::to_string(id) + "/detailAppByName");
  EXPECT_EQ(str(dataOf(by_dollar), "slug"), "hello-nelt");
  EXPECT_EQ(str(dataOf(getJson("/api/v1/apps/ghi-chu/detailAppByName")), "currentVersion"),
            "2.0.1");
  EXPECT_EQ(str(dataOf(getJson("/api/v1/apps/may-tinh/detailAppByName")), "currentVersion"),
            "1.0.0");

  for (const char* path : {"/api/v1/apps/no-such-app/detailAppByName", "/api/v1/apps/9999/detail",
                           "/api/v1/apps/hello-nelt/detail", "/api/v1/apps/%24/detailAppByName"}) {
    HttpReply r = get(base + path);
    EXPECT_EQ(codeOf(r.json()), 404) << path;
  }
}

TEST_F(StoreServerTest, DetailsNeverCarryThePackagePassword) {
  const std::string keys = readFile(sourceDir() + "/catalog/sample/keys.json");
  rapidjson::Document k;
  k.Parse(keys.c_str());
  ASSERT_TRUE(k.IsObject());
  for (const auto& m : k.GetObject()) {
    const std::string slug = m.name.GetString();
    const std::string password = m.value.GetString();
    for (const std::string& path :
         {"/api/v1/apps/" + slug + "/detailAppByName", std::string("/api/v1/apps/search?text=")}) {
      HttpReply r = get(base + path);
      EXPECT_EQ(r.body.find(nelt::jsonEscape(password)), std::string::npos) << path;
    }
  }
  // A catalog record that names a key itself does not hand it out either.
  const std::string cat = tmp.sub("cat");
  nelt::makeDirs(cat);
  writeFile(cat + "/apps.json",
            R"({"apps":[{"id":1,"slug":"x","name":"X","key":"s3cret","password":"s3cret"}]})");
  StoreServer other;
  ASSERT_TRUE(other.start(tmp.path(), cat));
  HttpReply r = get(other.baseUrl() + "/api/v1/apps/x/detailAppByName");
  EXPECT_EQ(codeOf(r.json()), 200);
  EXPECT_EQ(r.body.find("s3cret"), std::string::npos);
}

TEST_F(StoreServerTest, SearchFormsPagesAndVietnameseText) {
  auto slugsOf = [&](const std::string& query) {
    std::vector<std::string> out;
    auto doc = getJson("/api/v1/apps/search?" + query);
    const rapidjson::Value* list = nelt::getArray(dataOf(doc), "data");
    int total = -1;
    nelt::getInt(dataOf(doc), "total", total);
    if (list != nullptr && static_cast<int>(list->Size()) == total) {
      for (const auto& e : list->GetArray()) out.push_back(str(e, "slug"));
    }
    return out;
  };
  using V = std::vector<std::string>;
  // As written, in capitals, and typed without diacritics.
  EXPECT_EQ(slugsOf("type=1&text=ghi%20ch%C3%BA"), V{"ghi-chu"});
  EXPECT_EQ(slugsOf("type=1&text=GHI%20CH%C3%9A"), V{"ghi-chu"});
  EXPECT_EQ(slugsOf("type=1&text=ghi%20chu"), V{"ghi-chu"});
  // "Đồng" in capitals finds "Đồng hồ bấm giờ"; with diacritics they must match.
  EXPECT_EQ(slugsOf("type=1&text=%C4%90%E1%BB%92NG%20H%E1%BB%92"), V{"dong-ho-bam-gio"});
  EXPECT_EQ(codeOf(getJson("/api/v1/apps/search?type=1&text=gh%C3%AD%20ch%C3%BA")), 404);
  // A slug matches too; no type, page or limit is needed.
  EXPECT_EQ(slugsOf("text=tu-dien"), V{"tu-dien-anh-viet"});

  const V all = slugsOf("type=1&text=");
  ASSERT_GE(all.size(), 20u);
  EXPECT_EQ(slugsOf("type=1&text=&page=2&limit=3"), V(all.begin() + 3, all.begin() + 6));
  EXPECT_EQ(slugsOf("type=1&text=&page=0&limit=3"), V(all.begin(), all.begin() + 3));
  EXPECT_EQ(slugsOf("type=1&text=&page=2"), V(all.begin() + 20, all.end()));
  auto past = get(base + "/api/v1/apps/search?type=1&text=&page=99&limit=10");
  EXPECT_EQ(codeOf(past.json()), 404);
  EXPECT_EQ(get(base + "/api/v1/apps/search?type=1&text=&limit=x").status, 400);
  EXPECT_EQ(codeOf(getJson("/api/v1/apps/search?type=1&text=zzzz")), 404);

  // "&", "+", "#" and "%" travel percent-encoded and are searched for as
  // they are.
  const std::string cat = tmp.sub("cat");
  nelt::makeDirs(cat);
  writeFile(cat + "/apps.json", R"({"apps":[
      {"id":1,"slug":"ghi-nho","name":"Ghi & Nhớ","shortDescription":"a"},
      {"id":2,"slug":"cpp","name":"C++ Studio","shortDescription":"b"},
      {"id":3,"slug":"hash","name":"Số #1","shortDescription":"100% miễn phí"}]})");
  StoreServer other;
  ASSERT_TRUE(other.start(tmp.path(), cat));
  auto other_slugs = [&](const std::string& text) {
    std::vector<std::string> out;
    auto doc = get(other.baseUrl() + "/api/v1/apps/search?type=1&text=" + text).json();
    const rapidjson::Value* list = nelt::getArray(dataOf(doc), "data");
    if (list != nullptr) {
      for (const auto& e : list->GetArray()) out.push_back(str(e, "slug"));
    }
    return out;
  };
  EXPECT_EQ(other_slugs("%26%20nh%E1%BB%9B"), V{"ghi-nho"});
  EXPECT_EQ(other_slugs("C%2B%2B"), V{"cpp"});
  EXPECT_EQ(other_slugs("%231"), V{"hash"});
  EXPECT_EQ(other_slugs("100%25"), V{"hash"});
}

TEST_F(StoreServerTest, PackageKeyNeedsAToken) {
  HttpReply none = get(base + "/api/v1/apps/hello-nelt/getKey");
  EXPECT_EQ(none.status, 401);
  EXPECT_EQ(codeOf(none.json()), 401);
  const std::vector<std::string> bearer = {"Authorization: Bearer " + login("demo", "demo123")};
  auto doc = getJson("/api/v1/apps/ghi-chu/getKey", bearer);
  EXPECT_EQ(codeOf(doc), 200);
  EXPECT_EQ(str(dataOf(doc), "key"), "ghi chu $HOME & 'x'");
  EXPECT_EQ(codeOf(getJson("/api/v1/apps/lich-viet/getKey", bearer)), 404);
  // A header of another scheme is no token.
  EXPECT_EQ(codeOf(getJson("/api/v1/apps/ghi-chu/getKey", {"Authorization: Basic ZGVtbw=="})), 401);
}

TEST(StoreServerDownload, StreamsTheRequestedVersionToSignedInClients) {
  TempDir tmp;
  const std::string packages = tmp.sub("packages");
  nelt::makeDirs(packages + "/hello-nelt");
  std::string newer, older;
  uint32_t x = 12345;
  for (size_t i = 0; i < 3 * 1024 * 1024 + 777; ++i) {
    x = x * 1103515245u + 12345u;
    newer.push_back(static_cast<char>(x >> 24));
  }
  older = newer.substr(1000, 70000);
  writeFile(packages + "/hello-nelt/1.3.0.kavix", newer);
  writeFile(packages + "/hello-nelt/1.2.0.kavix", older);
  writeFile(packages + "/ghi-chu", "not a folder");

  StoreServer server;
  ASSERT_TRUE(server.start(tmp.path(), "", {"--packages", packages}));
  const std::string base = server.baseUrl();
  const std::string dl = base + "/api/v1/apps/downloadBinary/";

  HttpReply anonymous = get(dl + "hello-nelt");
  EXPECT_EQ(anonymous.status, 401);
  EXPECT_EQ(codeOf(anonymous.json()), 401);
  EXPECT_EQ(get(dl + "hello-nelt", {"Authorization: Bearer made-up"}).status, 401);

  HttpReply login = post(base + "/api/v1/login", R"({"username":"demo","password":"demo123"})");
  const std::vector<std::string> bearer = {"Authorization: Bearer " +
                                           str(dataOf(login.json()), "token")};
  HttpReply current = get(dl + "hello-nelt", bearer);
  ASSERT_EQ(current.status, 200);
  EXPECT_EQ(current.content_type, "application/octet-stream");
  EXPECT_EQ(current.content_length, static_cast<long long>(newer.size()));
  EXPECT_TRUE(current.body == newer);
  HttpReply old = get(dl + "hello-nelt?version=1.2.0", bearer);
  EXPECT_EQ(old.content_length, static_cast<long long>(older.size()));
  EXPECT_TRUE(old.body == older);

  for (const char* bad :
       {"hello-nelt?version=9.9.9", "hello-nelt?version=..%2F1.3.0", "hello-nelt?version=%2E%2E",
        "ghi-chu", "lich-viet", "..", "hello-nelt%2F1.3.0"}) {
    HttpReply r = get(dl + bad, bearer);
    EXPECT_EQ(r.status, 404) << bad;
    EXPECT_EQ(codeOf(r.json()), 404) << bad;
  }
  // The detail tells the real size of what a client is about to download.
  auto detail = get(base + "/api/v1/apps/hello-nelt/detailAppByName").json();
  EXPECT_EQ(dataOf(detail)["size"].GetUint64(), newer.size());
  EXPECT_TRUE(dataOf(detail)["downloadable"].GetBool());
  EXPECT_FALSE(
      dataOf(get(base + "/api/v1/apps/may-tinh/detailAppByName").json())["downloadable"].GetBool());
}

TEST_F(StoreServerTest, ImagesAreServedByPlainNamesOnly) {
  // Every image the catalog names exists and is a PNG.
  auto all = getJson("/api/v1/apps/search?type=1&text=");
  const rapidjson::Value* list = nelt::getArray(dataOf(all), "data");
  ASSERT_NE(list, nullptr);
  int images = 0;
  for (const auto& e : list->GetArray()) {
    const rapidjson::Value* im = nelt::getObject(e, "images");
    ASSERT_NE(im, nullptr);
    HttpReply icon = get(base + "/api/v1/uploads/app/icon/" + str(*im, "icon"));
    EXPECT_TRUE(icon.status == 200 && isPng(icon.body)) << str(*im, "icon");
    ++images;
    for (const auto& s : (*im)["screenshot"].GetArray()) {
      HttpReply shot = get(base + "/api/v1/uploads/app/screenshot/" + s.GetString());
      EXPECT_TRUE(shot.status == 200 && isPng(shot.body)) << s.GetString();
      EXPECT_EQ(shot.content_type, "image/png");
      ++images;
    }
  }
  EXPECT_GT(images, 40);

  const std::string secret = readFile(sourceDir() + "/catalog/sample/keys.json");
  for (const char* bad : {"..%2Fkeys.json", "%2E%2E%2Fkeys.json", "..", ".",
                          "..%2F..%2Fcatalog%2Fsample%2Fkeys.json", "%2Fetc%2Fpasswd"}) {
    for (const char* kind : {"icon", "screenshot"}) {
      HttpReply r = get(base + "/api/v1/uploads/app/" + kind + "/" + bad);
      EXPECT_EQ(r.status, 404) << kind << " " << bad;
      EXPECT_EQ(r.body.find("hello-nelt"), std::string::npos);
      EXPECT_NE(r.body, secret);
    }
  }
  // A link inside the images folder is not followed.
  const std::string cat = tmp.sub("cat");
  nelt::makeDirs(cat + "/images");
  writeFile(tmp.sub("outside.png"), "\x89PNG\r\n\x1a\nsecret");
  ASSERT_EQ(symlink(tmp.sub("outside.png").c_str(), (cat + "/images/link.png").c_str()), 0);
  StoreServer other;
  ASSERT_TRUE(other.start(tmp.path(), cat));
  EXPECT_EQ(get(other.baseUrl() + "/api/v1/uploads/app/icon/link.png").status, 404);
}

TEST_F(StoreServerTest, IpAnswerIsPlainText) {
  HttpReply r = get(base + "/ip");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "127.0.0.1");
  EXPECT_EQ(r.content_type.rfind("text/plain", 0), 0u);
}

TEST_F(StoreServerTest, SwitchesBreakStoreRepliesButNotTheTestEndpoints) {
  const std::string sections = base + "/api/v1/categories/";

  ASSERT_TRUE(server.setMode(R"({"status500":true})"));
  HttpReply r = get(sections);
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(codeOf(r.json()), 500);

  ASSERT_TRUE(server.setMode(R"({"status500":false,"not_json":true})"));
  r = get(sections);
  EXPECT_EQ(r.status, 200);
  EXPECT_FALSE(r.body.empty());
  EXPECT_TRUE(r.json().IsNull());

  ASSERT_TRUE(server.setMode(R"({"not_json":false,"drop":true})"));
  r = get(sections);
  EXPECT_FALSE(r.ok());
  EXPECT_TRUE(r.body.empty());
  // Test endpoints still answer, and the dropped request was logged.
  EXPECT_NE(server.requests().find("/api/v1/categories/"), std::string::npos);

  ASSERT_TRUE(server.setMode(R"({"drop":false,"latency_ms":300})"));
  const auto start = std::chrono::steady_clock::now();
  r = get(sections);
  EXPECT_EQ(codeOf(r.json()), 200);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

  // A stalled request gets no answer while the stall lasts, and its answer
  // once the stall is switched off.
  ASSERT_TRUE(server.reset());
  ASSERT_TRUE(server.setMode(R"({"stall":true})"));
  Call quick;
  quick.url = sections;
  quick.timeout_ms = 500;
  EXPECT_FALSE(fetch(quick).ok());
  auto pending = std::async(std::launch::async, [&] {
    Call c;
    c.url = base + "/api/v1/apps/ghi-chu/detailAppByName";
    c.timeout_ms = 30000;
    return fetch(c);
  });
  ASSERT_TRUE(waitForLogged(server, "/api/v1/apps/ghi-chu/detailAppByName"));
  EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  ASSERT_TRUE(server.setMode(R"({"stall":false})"));
  HttpReply late = pending.get();
  EXPECT_EQ(codeOf(late.json()), 200);

  // Bad switch values change nothing.
  std::string body;
  EXPECT_EQ(httpRequest("POST", base + "/_test/mode", R"({"drop":"yes"})", body), 400);
  EXPECT_EQ(httpRequest("POST", base + "/_test/mode", "[1]", body), 400);
  EXPECT_EQ(codeOf(get(sections).json()), 200);
}

TEST(StoreServerSwitches, StartUpSwitchesApplyUntilReset) {
  TempDir tmp;
  StoreServer server;
  ASSERT_TRUE(server.start(tmp.path(), "", {"--status500", "--latency-ms", "50"}));
  EXPECT_EQ(get(server.baseUrl() + "/api/v1/categories/").status, 500);
  ASSERT_TRUE(server.reset());
  EXPECT_EQ(get(server.baseUrl() + "/api/v1/categories/").status, 200);
}

TEST(StoreServerSwitches, StopEndsAStallAndExitsCleanly) {
  TempDir tmp;
  StoreServer server;
  ASSERT_TRUE(server.start(tmp.path(), "", {"--stall"}));
  auto pending = std::async(std::launch::async, [&] {
    Call c;
    c.url = server.baseUrl() + "/api/v1/categories/";
    c.timeout_ms = 30000;
    return fetch(c);
  });
  ASSERT_TRUE(waitForLogged(server, "/api/v1/categories/"));
  ASSERT_EQ(kill(server.process().pid(), SIGTERM), 0);
  EXPECT_EQ(server.process().wait(std::chrono::seconds(10)), 0);
  EXPECT_FALSE(pending.get().ok());
}

TEST_F(StoreServerTest, RequestLogKeepsWhatClientsSent) {
  ASSERT_TRUE(server.reset());
  get(base + "/api/v1/apps/search?type=1&text=T%E1%BB%AB%20%26%20x",
      {"Authorization: Bearer abc", "X-Probe: 1"});
  post(base + "/api/v1/login", R"({"username":"demo","password":"demo123"})",
       {"Content-Type: application/json"});
  get(base + "/api/v1/apps/%2442/detailAppByName");

  rapidjson::Document log;
  const std::string text = server.requests();
  log.Parse(text.c_str());
  ASSERT_TRUE(log.IsArray()) << text;
  ASSERT_EQ(log.Size(), 3u);  // the test endpoints are not logged
  const auto& s = log[0];
  EXPECT_EQ(str(s, "method"), "GET");
  EXPECT_EQ(str(s, "path"), "/api/v1/apps/search");
  EXPECT_EQ(str(s, "query"), "type=1&text=T%E1%BB%AB%20%26%20x");
  const rapidjson::Value* headers = nelt::getObject(s, "headers");
  ASSERT_NE(headers, nullptr);
  EXPECT_EQ(str(*headers, "Authorization"), "Bearer abc");
  EXPECT_EQ(str(*headers, "X-Probe"), "1");
  EXPECT_FALSE(headers->HasMember("REMOTE_ADDR"));
  EXPECT_EQ(str(s, "body"), "");
  const auto& l = log[1];
  EXPECT_EQ(str(l, "method"), "POST");
  EXPECT_EQ(str(l, "body"), R"({"username":"demo","password":"demo123"})");
  EXPECT_EQ(str(*nelt::getObject(l, "headers"), "Content-Type"), "application/json");
  EXPECT_EQ(str(log[2], "path"), "/api/v1/apps/%2442/detailAppByName");
  EXPECT_EQ(str(log[2], "decoded_path"), "/api/v1/apps/$42/detailAppByName");

  // Only the newest 200 requests are kept, oldest first.
  for (int i = 0; i < 205; ++i) get(base + "/ip?n=" + std::to_string(i));
  log.Parse(server.requests().c_str());
  ASSERT_TRUE(log.IsArray());
  ASSERT_EQ(log.Size(), 200u);
  EXPECT_EQ(str(log[0], "query"), "n=5");
  EXPECT_EQ(str(log[199], "query"), "n=204");
  ASSERT_TRUE(server.reset());
  EXPECT_EQ(server.requests(), "[]");
}

TEST(StoreServerHttps, ServesOverTlsWithACertificateMadeNow) {
  TempDir tmp;
  const std::string cert = tmp.sub("cert.pem"), key = tmp.sub("key.pem");
  auto made = nelt::runProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out",
                                cert, "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                                "subjectAltName=IP:127.0.0.1"});
  ASSERT_EQ(made.exit_code, 0);
  StoreServer server;
  ASSERT_TRUE(server.start(tmp.path(), "", {"--cert", cert, "--key", key}))
      << server.process().err();
  ASSERT_EQ(server.baseUrl().rfind("https://127.0.0.1:", 0), 0u);
  EXPECT_TRUE(server.process().waitForOutput(
      "nelt-store-server listening on " + server.baseUrl() + "\n", std::chrono::seconds(5)));
  Call c;
  c.method = "POST";
  c.url = server.baseUrl() + "/api/v1/login";
  c.body = R"({"username":"demo","password":"demo123"})";
  c.ca_file = cert;
  HttpReply r = fetch(c);
  EXPECT_EQ(codeOf(r.json()), 200);
  EXPECT_EQ(str(*nelt::getObject(dataOf(r.json()), "user"), "avatar"),
            server.baseUrl() + "/avatar/default.png");
  // Without trusting the certificate the connection is refused.
  c.ca_file = tmp.sub("missing.pem");
  EXPECT_FALSE(fetch(c).ok());
}

TEST(StoreServerStart, PortFileListeningLineAndBadCatalogs) {
  TempDir tmp;
  StoreServer server;
  ASSERT_TRUE(server.start(tmp.path()));
  EXPECT_EQ(readFile(tmp.sub("store-server.port")), std::to_string(server.port()) + "\n");
  EXPECT_TRUE(server.process().waitForOutput(
      "nelt-store-server listening on http://127.0.0.1:" + std::to_string(server.port()) + "\n",
      std::chrono::seconds(5)));
  server.stop();

  struct Bad {
    const char* file;
    const char* text;
  };
  for (const Bad& bad :
       {Bad{"apps.json", "{not json"},
        Bad{"apps.json", R"({"apps":[{"id":"1","slug":"a","name":"A"}]})"},
        Bad{"apps.json", R"({"apps":[{"id":1,"slug":"../a","name":"A"}]})"},
        Bad{"apps.json", R"({"apps":[{"id":1,"slug":"a","name":"A","images":{"icon":"../x"}}]})"},
        Bad{"sections.json", R"({"sections":[{"id":1,"name":"A & B","apps":[]}]})"},
        Bad{"sections.json", R"({"sections":[{"id":1,"name":"A","apps":["zz"]}]})"},
        Bad{"keys.json", R"({"a":1})"}}) {
    SCOPED_TRACE(bad.text);
    TempDir cat;
    writeFile(cat.sub(bad.file), bad.text);
    ChildProcess p;
    ASSERT_TRUE(p.start({binDir() + "/nelt-store-server", "--catalog", cat.path(), "--port", "0"},
                        {}, tmp.path()));
    EXPECT_EQ(p.wait(std::chrono::seconds(10)), 1);
    EXPECT_NE(p.err().find(bad.file), std::string::npos) << p.err();
  }
  ChildProcess p;
  ASSERT_TRUE(p.start({binDir() + "/nelt-store-server", "--port", "0"}, {}, tmp.path()));
  EXPECT_EQ(p.wait(std::chrono::seconds(10)), 2);
}

}  // namespace
}  // namespace nelt::test
