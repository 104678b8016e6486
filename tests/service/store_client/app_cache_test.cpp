// The application cache against the local store server: records with their
// images, refused records, failed downloads, the start-up clean-up and the
// bound on not-installed records.
#include <dirent.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <chrono>
#include <cstdio>
#include <set>

#include "repository.h"
#include "service_api.h"
#include "store_client_support.h"

using nelt::service::URL_HOST;

using namespace nelt::test;

namespace {

std::set<std::string> entriesOf(const std::string& dir) {
  std::set<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.insert(e->d_name);
    closedir(d);
  }
  return out;
}

class AppCache : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start(work.path())) << server.process().err();
    URL_HOST = server.baseUrl();
  }

  // The reduced detail record of `slug`, as the request handler stores it.
  std::string detail(const std::string& slug) {
    ServiceAPI api(server.baseUrl());
    if (api.getDetailApp(slug) != 0) return std::string();
    return api.getResponse();
  }
  std::string appsDir() const { return sys.dataDir() + "/apps/"; }
  std::string image(const std::string& kind, const std::string& name) {
    std::string body;
    httpRequest("GET", server.baseUrl() + "/api/v1/uploads/app/" + kind + "/" + name, "", body);
    return body;
  }

  FakeSystem sys;
  TempDir work;
  StoreServer server;
};

}  // namespace

TEST_F(AppCache, RecordWithIconAndTwoScreenshots) {
  Repository repo(sys.dataDir());
  EXPECT_EQ(readFile(sys.dataDir() + "/apps.json"), "{\n\t\"data\":[\n\n\t],\n\t\"total\":0\n}");

  const std::string record = detail("hello-nelt");
  ASSERT_NE(record, "");
  repo.saveApps(record);

  EXPECT_EQ(entriesOf(appsDir()),
            (std::set<std::string>{"hello-nelt.json", "hello-nelt-icon.png",
                                   "hello-nelt-screen-1.png", "hello-nelt-screen-2.png"}));
  EXPECT_EQ(readFile(appsDir() + "hello-nelt-icon.png"), image("icon", "hello-nelt-icon.png"));
  EXPECT_FALSE(readFile(appsDir() + "hello-nelt-icon.png").empty());
  EXPECT_EQ(readFile(appsDir() + "hello-nelt-screen-2.png"),
            image("screenshot", "hello-nelt-screen-2.png"));

  rapidjson::Document cached;
  cached.Parse(readFile(appsDir() + "hello-nelt.json").c_str());
  ASSERT_TRUE(cached.IsObject());
  EXPECT_EQ(std::string(cached["images"]["icon"].GetString()),
            "local://" + appsDir() + "hello-nelt-icon.png");
  ASSERT_EQ(cached["images"]["screenshot"].Size(), 2u);
  EXPECT_EQ(std::string(cached["images"]["screenshot"][1].GetString()),
            "local://" + appsDir() + "hello-nelt-screen-2.png");

  EXPECT_EQ(
      readFile(sys.dataDir() + "/apps.json"),
      "{\n\t\"data\":[\n\t{\n\t\t\"slug\":\"hello-nelt\",\n\t\t\"json\":\"hello-nelt.json\",\n"
      "\t\t\"state\":0\n\t}\n\t],\n\t\"total\":1\n}");
  std::string file;
  int state = -1;
  ASSERT_TRUE(repo.hasApp("hello-nelt", file, state));
  EXPECT_EQ(file, appsDir() + "hello-nelt.json");
  EXPECT_EQ(state, 0);
  EXPECT_EQ(repo.readDataApp(file), readFile(appsDir() + "hello-nelt.json"));
  EXPECT_FALSE(repo.hasApp("ghi-chu", file, state));
}

TEST_F(AppCache, RecordsThatCannotBeCachedLeaveNothing) {
  Repository repo(sys.dataDir());
  const std::string images_ok =
      "\"images\":{\"icon\":\"hello-nelt-icon.png\",\"screenshot\":[\"hello-nelt-screen-1.png\"]}";
  const std::string refused[] = {
      "{\"slug\":\"no-shots\",\"images\":{\"icon\":\"hello-nelt-icon.png\"}}",
      "{\"slug\":\"no-images\"}",
      "{\"slug\":\"evil\",\"images\":{\"icon\":\"../x\",\"screenshot\":[]}}",
      "{\"slug\":\"evil\",\"images\":{\"icon\":\"..\",\"screenshot\":[]}}",
      "{\"slug\":\"evil\",\"images\":{\"icon\":\"a.png\",\"screenshot\":[\"sub/x.png\"]}}",
      "{\"slug\":\"evil\",\"images\":{\"icon\":\"a.png\",\"screenshot\":[\"\"]}}",
      "{\"slug\":\"evil\",\"images\":{\"icon\":\"other.json\",\"screenshot\":[]}}",
      "{\"slug\":\"evil\",\"images\":{\"icon\":7,\"screenshot\":[]}}",
      "{\"slug\":\"../evil\"," + images_ok + "}",
      "{\"slug\":\"a/b\"," + images_ok + "}",
      "{\"slug\":5," + images_ok + "}",
      "{" + images_ok + "}",
      "[1]",
      "null",
      "",
  };
  for (const std::string& record : refused) repo.saveApps(record);
  EXPECT_EQ(entriesOf(appsDir()), std::set<std::string>{});
  EXPECT_FALSE(nelt::fileExists(sys.dataDir() + "/x"));
  EXPECT_FALSE(nelt::fileExists(sys.dataDir() + "/evil.json"));
  // Refused before anything was fetched.
  EXPECT_EQ(server.requests().find("/uploads/"), std::string::npos);
}

TEST_F(AppCache, FailedDownloadsKeepTheServersName) {
  Repository repo(sys.dataDir());
  // No icon at all is fine; a missing screenshot keeps its server name.
  repo.saveApps(
      "{\"slug\":\"partial\",\"images\":{\"screenshot\":[\"hello-nelt-screen-1.png\","
      "\"missing-shot.png\"]}}");
  EXPECT_EQ(entriesOf(appsDir()),
            (std::set<std::string>{"partial.json", "hello-nelt-screen-1.png"}));
  rapidjson::Document cached;
  cached.Parse(readFile(appsDir() + "partial.json").c_str());
  ASSERT_TRUE(cached.IsObject());
  EXPECT_EQ(std::string(cached["images"]["screenshot"][0].GetString()),
            "local://" + appsDir() + "hello-nelt-screen-1.png");
  EXPECT_STREQ(cached["images"]["screenshot"][1].GetString(), "missing-shot.png");

  // With the server gone the record is still kept, every image by its name.
  server.stop();
  repo.saveApps(
      "{\"slug\":\"offline\",\"images\":{\"icon\":\"ghi-chu-icon.png\",\"screenshot\":[\"ghi-"
      "chu-screen-1.png\"]}}");
  EXPECT_EQ(entriesOf(appsDir()),
            (std::set<std::string>{"partial.json", "hello-nelt-screen-1.png", "offline.json"}));
  cached.Parse(readFile(appsDir() + "offline.json").c_str());
  ASSERT_TRUE(cached.IsObject());
  EXPECT_STREQ(cached["images"]["icon"].GetString(), "ghi-chu-icon.png");
}

TEST_F(AppCache, RestartKeepsOnlyInstalledApplications) {
  sys.installSnap("hello-nelt", FakeSystem::kavixJson("Xin chào Nelt", "hello-nelt", "1.2.0"));
  {
    Repository repo(sys.dataDir());
    repo.saveApps(detail("hello-nelt"));
    repo.saveApps(detail("ghi-chu"));
    std::string file;
    int state = -1;
    ASSERT_TRUE(repo.hasApp("hello-nelt", file, state));
    EXPECT_EQ(state, 1);
    ASSERT_TRUE(repo.hasApp("ghi-chu", file, state));
    EXPECT_EQ(state, 0);
    EXPECT_EQ(entriesOf(appsDir()).size(), 9u);
  }
  // A leftover that names no installed application goes too.
  writeFile(appsDir() + "stray.png", "x");
  Repository repo(sys.dataDir());
  EXPECT_EQ(entriesOf(appsDir()),
            (std::set<std::string>{"hello-nelt.json", "hello-nelt-icon.png",
                                   "hello-nelt-screen-1.png", "hello-nelt-screen-2.png"}));
  std::string file;
  int state = -1;
  ASSERT_TRUE(repo.hasApp("hello-nelt", file, state));
  EXPECT_EQ(state, 1);
  EXPECT_FALSE(repo.hasApp("ghi-chu", file, state));
}

TEST_F(AppCache, KeepsTheFourMostRecentNotInstalledRecords) {
  sys.installSnap("hello-nelt", FakeSystem::kavixJson("Xin chào Nelt", "hello-nelt", "1.2.0"));
  Repository repo(sys.dataDir());
  repo.saveApps(detail("hello-nelt"));
  const std::vector<std::string> opened = {"ghi-chu", "may-tinh", "lich-viet", "doc-sach",
                                           "sao-luu"};
  for (const std::string& slug : opened) repo.saveApps(detail(slug));

  EXPECT_EQ(repo.recentSlugs(),
            (std::vector<std::string>{"may-tinh", "lich-viet", "doc-sach", "sao-luu"}));
  std::string file;
  int state = -1;
  EXPECT_FALSE(repo.hasApp("ghi-chu", file, state));
  EXPECT_TRUE(repo.hasApp("hello-nelt", file, state)) << "installed records are not counted";
  for (const std::string& name : entriesOf(appsDir()))
    EXPECT_EQ(name.find("ghi-chu"), std::string::npos) << name << " outlived its record";
  EXPECT_TRUE(nelt::fileExists(appsDir() + "sao-luu-screen-2.png"));
  EXPECT_TRUE(nelt::fileExists(appsDir() + "may-tinh-icon.png"));
}

TEST_F(AppCache, OnlyImagesAreStored) {
  Repository repo(sys.dataDir());
  const std::string record =
      "{\"slug\":\"moved\",\"images\":{\"icon\":\"r-icon.png\",\"screenshot\":[\"r-shot.png\"]}}";
  // A redirect's body, and an error page sent with status 200, are no images.
  ASSERT_TRUE(server.setMode(
      R"({"answer_path":"/api/v1/uploads/app/icon/","answer_status":302,"answer_body":"moved"})"));
  repo.saveApps(record);
  ASSERT_TRUE(server.setMode(
      R"({"answer_path":"/api/v1/uploads/app/","answer_status":200,"answer_body":"<html>gone</html>"})"));
  repo.saveApps(record);
  EXPECT_EQ(entriesOf(appsDir()), std::set<std::string>{"moved.json"});
  rapidjson::Document cached;
  cached.Parse(readFile(appsDir() + "moved.json").c_str());
  ASSERT_TRUE(cached.IsObject());
  EXPECT_STREQ(cached["images"]["icon"].GetString(), "r-icon.png");
  EXPECT_STREQ(cached["images"]["screenshot"][0].GetString(), "r-shot.png");
}

// One record with many large screenshots: the window shows four, and the
// images of one record are bounded in bytes and in time as a whole.
TEST_F(AppCache, ImagesOfOneRecordAreBounded) {
  Repository repo(sys.dataDir());
  std::string record = "{\"slug\":\"huge\",\"images\":{\"icon\":\"h-icon.png\",\"screenshot\":[";
  for (int i = 1; i <= 12; ++i)
    record += (i > 1 ? ",\"h-shot-" : "\"h-shot-") + std::to_string(i) + ".png\"";
  record += "]}}";

  // Bytes: 10 MiB per image.
  ASSERT_TRUE(server.setMode(R"({"image_bytes":10485760})"));
  repo.saveApps(record);
  size_t stored = 0;
  for (const std::string& name : entriesOf(appsDir())) {
    if (name == "huge.json") continue;
    stored += readFile(appsDir() + name).size();
  }
  std::printf("[ figures ] 12 screenshots of 10 MiB: %zu bytes stored\n", stored);
  EXPECT_GT(stored, 0u);
  EXPECT_LE(stored, 24u << 20);
  // The icon and four screenshots at most were asked for.
  const std::string log = server.requests();
  const std::string needle = "\"path\":\"/api/v1/uploads/app/";
  size_t fetched = 0;
  for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
    ++fetched;
  EXPECT_GE(fetched, 2u);
  EXPECT_LE(fetched, 5u);
  rapidjson::Document cached;
  cached.Parse(readFile(appsDir() + "huge.json").c_str());
  ASSERT_TRUE(cached.IsObject());
  EXPECT_STREQ(cached["images"]["screenshot"][11].GetString(), "h-shot-12.png");

  // Time: every image answered after 5 s. Unbounded this takes 65 s.
  ASSERT_TRUE(server.reset());
  ASSERT_TRUE(server.setMode(R"({"latency_ms":5000})"));
  const auto start = std::chrono::steady_clock::now();
  repo.saveApps(
      "{\"slug\":\"slow\",\"images\":{\"icon\":\"hello-nelt-icon.png\",\"screenshot\":["
      "\"hello-nelt-screen-1.png\",\"hello-nelt-screen-2.png\",\"ghi-chu-screen-1.png\","
      "\"ghi-chu-screen-2.png\",\"may-tinh-screen-1.png\",\"may-tinh-screen-2.png\"]}}");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ figures ] 7 images answered after 5 s each: record cached in %.1f s\n", seconds);
  EXPECT_LT(seconds, 30.0);
  EXPECT_TRUE(nelt::fileExists(appsDir() + "slow.json"));
  EXPECT_TRUE(nelt::fileExists(appsDir() + "hello-nelt-icon.png"));
}

TEST_F(AppCache, StartUpRemovesLeftoverTemporaryFiles) {
  nelt::makeDirs(sys.dataDir() + "/users");
  nelt::makeDirs(sys.dataDir() + "/apps");
  const std::vector<std::string> stale = {"installeds.json.tmpAb12Cd", "users/7.json.tmpXyZ123",
                                          "apps/hello-nelt.json.tmp000aaa",
                                          "apps/.hello-nelt-icon.png.partQwErTy"};
  const std::vector<std::string> kept = {"users/7.json", "notes.tmp", "users/a.tmpfile"};
  for (const std::string& rel : stale) writeFile(sys.dataDir() + "/" + rel, "half");
  for (const std::string& rel : kept) writeFile(sys.dataDir() + "/" + rel, "{}");
  Repository repo(sys.dataDir());
  for (const std::string& rel : stale)
    EXPECT_FALSE(nelt::fileExists(sys.dataDir() + "/" + rel)) << rel;
  for (const std::string& rel : kept)
    EXPECT_TRUE(nelt::fileExists(sys.dataDir() + "/" + rel)) << rel;
}
