// Updating every application at once, against the real KavixService, the
// local store server, `nelt` and `nelt-helper` with the snap and pkexec
// stand-ins: every package is prepared before the one authorisation, a
// package that fails its checks is skipped before it with its reason, and
// the others are installed by ONE helper run.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "engine_stack.h"
#include "fsutil.h"
#include "json_util.h"
#include "kavix_api.h"
#include "kavix_model.h"
#include "kavix_package.h"
#include "model_log.h"
#include "package_builder.h"
#include "paths.h"
#include "process.h"
#include "service_harness.h"
#include "test_support.h"

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

class UpdateAll : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("NELT_PKEXEC_REFUSE");
    quietEngine();
    // The sample store, with a key for lich-viet, whose packages are made
    // here: 3.1.0 installs, the current 3.1.4 lacks its kavix.json.
    catalog = work.sub("catalog");
    ASSERT_EQ(nelt::runProgram({"cp", "-r", std::string(NELT_SAMPLE_CATALOG), catalog}).exit_code,
              0);
    writeFile(catalog + "/keys.json",
              "{\"hello-nelt\":\"Hello-Nelt#2024\",\"ghi-chu\":\"ghi chu $HOME & 'x'\","
              "\"may-tinh\":\"may;tinh|1.0.0\",\"lich-viet\":\"lich viet\"}");
    // sudoku's record loses its facts.
    rapidjson::Document apps;
    const std::string apps_text = readFile(catalog + "/apps.json");
    apps.Parse(apps_text.c_str());
    ASSERT_TRUE(apps.IsObject() && apps.HasMember("apps") && apps["apps"].IsArray());
    for (auto& app : apps["apps"].GetArray()) {
      if (!app.IsObject() || !app.HasMember("slug") || app["slug"] != "sudoku") continue;
      for (const char* key : {"size", "developer", "license", "updatedAt", "rankCount"})
        app.RemoveMember(key);
    }
    writeFile(catalog + "/apps.json", nelt::toCompactJson(apps));
    shelf = work.sub("packages");
    for (const std::string rel :
         {"hello-nelt/1.2.0", "hello-nelt/1.3.0", "ghi-chu/2.0.1", "may-tinh/1.0.0"}) {
      nelt::makeDirs(shelf + "/" + rel.substr(0, rel.find('/')));
      writeFile(shelf + "/" + rel + ".kavix",
                readFile(std::string(NELT_SAMPLE_PACKAGES) + "/" + rel + ".kavix"));
    }
    ASSERT_TRUE(package("ghi-chu", "1.5.0", "ghi chu $HOME & 'x'", true));
    ASSERT_TRUE(package("may-tinh", "0.9.0", "may;tinh|1.0.0", true));
    ASSERT_TRUE(package("lich-viet", "3.1.0", "lich viet", true));
    ASSERT_TRUE(package("lich-viet", "3.1.4", "lich viet", false));

    ASSERT_TRUE(store.start(work.path(), catalog, {"--packages", shelf}));
    ASSERT_TRUE(startServiceOn(store, service));
    api = serviceClient(service, false);
    ASSERT_TRUE(api != nullptr);
  }
  void TearDown() override { unsetenv("NELT_PKEXEC_LOG"); }

  bool package(const std::string& slug, const std::string& version, const std::string& key,
               bool with_meta) {
    return writeShelfPackage(shelf, work.path(), slug, version, key, with_meta);
  }

  struct Cli {
    int status = -1;
    std::string out, err;
  };
  Cli nelt(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {binDir() + "/nelt"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess p;
    Cli r;
    if (!p.start(argv, {}, work.path())) return r;
    r.status = p.wait(120s);
    r.out = p.out();
    r.err = p.err();
    return r;
  }

  std::string installedVersion(const std::string& slug) {
    KavixReply reply;
    if (api->getListInstalleds(&reply) != 0) return "?";
    const rapidjson::Value* data = nelt::getArray(reply.doc, "data");
    if (data == nullptr) return "?";
    for (const auto& e : data->GetArray()) {
      std::string s, v;
      if (nelt::getString(e, "slug", s) && s == slug && nelt::getString(e, "version", v)) return v;
    }
    return "";
  }

  TempDir work;
  std::string catalog, shelf;
  StoreServer store;
  ServiceHarness service;
  std::unique_ptr<KavixAPI> api;
};

TEST_F(UpdateAll, OneAuthorisationForTheBatchAndABrokenPackageSkippedBeforeIt) {
  KavixReply login;
  ASSERT_EQ(api->loginAcc("demo", "demo123", &login), 0);
  ASSERT_EQ(login.status, 200);
  for (const auto& [slug, version] :
       std::vector<std::pair<std::string, std::string>>{{"hello-nelt", "1.2.0"},
                                                        {"ghi-chu", "1.5.0"},
                                                        {"may-tinh", "0.9.0"},
                                                        {"lich-viet", "3.1.0"}}) {
    const Cli r = nelt({"install", slug, "--version", version});
    ASSERT_EQ(r.status, 0) << slug << ": " << r.err;
  }
  Cli r = nelt({"updates"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* slug : {"hello-nelt", "ghi-chu", "may-tinh", "lich-viet"})
    EXPECT_NE(r.out.find(slug), std::string::npos) << r.out;

  const std::string pkexec_log = work.sub("pkexec.log");
  setenv("NELT_PKEXEC_LOG", pkexec_log.c_str(), 1);
  r = nelt({"update", "--all"});
  EXPECT_EQ(r.status, 1) << "one application failed\n" << r.out << r.err;

  // One pkexec run of the helper's batch verb, for the three good packages.
  const std::string log = readFile(pkexec_log);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("nelt-helper install-batch "), std::string::npos) << log;
  for (const char* slug : {"hello-nelt", "ghi-chu", "may-tinh"})
    EXPECT_NE(log.find(std::string(" ") + slug + " "), std::string::npos) << log;
  EXPECT_EQ(log.find("lich-viet"), std::string::npos) << "nothing privileged for it: " << log;

  // Skipped with its reason before the prompt; the others updated.
  const size_t skipped =
      r.out.find("skipped lich-viet: package refused: no kavix.json beside the snap\n");
  const size_t prompt = r.out.find("installing the checked applications (one authorisation)\n");
  ASSERT_NE(skipped, std::string::npos) << r.out;
  ASSERT_NE(prompt, std::string::npos) << r.out;
  EXPECT_LT(skipped, prompt);
  for (const char* line :
       {"Updated hello-nelt 1.3.0\n", "Updated ghi-chu 2.0.1\n", "Updated may-tinh 1.0.0\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Updated 3 of 4 applications; failed: lich-viet\n"), std::string::npos)
      << r.out;
  EXPECT_LT(r.out.find("downloading ghi-chu\n"), r.out.find("checking ghi-chu\n")) << r.out;

  EXPECT_EQ(installedVersion("hello-nelt"), "1.3.0");
  EXPECT_EQ(installedVersion("ghi-chu"), "2.0.1");
  EXPECT_EQ(installedVersion("may-tinh"), "1.0.0");
  EXPECT_EQ(installedVersion("lich-viet"), "3.1.0") << "left as it was";
  // Every work folder is gone, the skipped one's too; the folder of partial
  // downloads stays, empty.
  EXPECT_EQ(nelt::runProgram({"find", nelt::kavixWorkRoot(), "-mindepth", "1", "-not", "-path",
                              nelt::kavixWorkRoot() + ".partial"})
                .out,
            "");

  // Now only lich-viet has an update, and it still fails; --json says so.
  r = nelt({"--json", "update", "--all"});
  EXPECT_EQ(r.status, 1);
  rapidjson::Document doc;
  doc.Parse(r.out.c_str());
  ASSERT_TRUE(doc.IsObject()) << r.out;
  const rapidjson::Value* apps = nelt::getArray(doc, "apps");
  ASSERT_NE(apps, nullptr);
  ASSERT_EQ(apps->Size(), 1u);
  std::string error;
  EXPECT_TRUE(nelt::getString((*apps)[0], "error", error));
  EXPECT_EQ(error, "package refused: no kavix.json beside the snap");
  const std::string after = readFile(pkexec_log);
  EXPECT_EQ(after, log) << "no prompt when nothing is left to install";
}

// `nelt info` gives the facts before install that the record has, and
// leaves out the ones it lacks.
TEST_F(UpdateAll, InfoPrintsTheFactsBeforeInstall) {
  Cli r = nelt({"info", "hello-nelt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("size:        4.5 KB (4583 bytes)\n"
                       "developer:   Nhóm NeltStore\n"
                       "license:     MIT\n"
                       "updated:     2024-05-12\n"
                       "rating:      4.5 (128 ratings)\n"),
            std::string::npos)
      << r.out;
  r = nelt({"info", "sudoku"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* absent : {"size:", "developer:", "license:", "updated:", "ratings"})
    EXPECT_EQ(r.out.find(absent), std::string::npos) << absent << "\n" << r.out;
  EXPECT_NE(r.out.find("rating:      3.9\n"), std::string::npos) << r.out;
}

// A declined authorisation fails every prepared application, with that
// reason, and changes nothing installed.
TEST_F(UpdateAll, ADeclinedAuthorisationFailsThemAllAndChangesNothing) {
  KavixReply login;
  ASSERT_EQ(api->loginAcc("demo", "demo123", &login), 0);
  for (const auto& [slug, version] : std::vector<std::pair<std::string, std::string>>{
           {"hello-nelt", "1.2.0"}, {"may-tinh", "0.9.0"}}) {
    ASSERT_EQ(nelt({"install", slug, "--version", version}).status, 0) << slug;
  }
  // Set before the engine's threads start: they read the environment.
  setenv("NELT_PKEXEC_REFUSE", "1", 1);
  KavixModel engine;
  engine.getSysInfo();  // settled before the test changes the environment
  engine.api = api.get();
  ASSERT_EQ(engine.installBatch({"hello-nelt", "may-tinh"}), 0);
  KavixModel::BatchState state;
  for (int i = 0; i < 60000 && (state = engine.batchState()).running; ++i)
    std::this_thread::sleep_for(2ms);
  unsetenv("NELT_PKEXEC_REFUSE");
  ASSERT_FALSE(state.running);
  ASSERT_EQ(state.apps.size(), 2u);
  for (const KavixModel::BatchApp& app : state.apps) {
    EXPECT_EQ(app.phase, KavixModel::BatchApp::FAILED) << app.slug;
    EXPECT_FALSE(app.skipped);
    EXPECT_EQ(app.reason, "authorisation refused: the update was not authorised");
  }
  EXPECT_EQ(state.overall, 100);
  EXPECT_EQ(installedVersion("hello-nelt"), "1.2.0");
  EXPECT_EQ(installedVersion("may-tinh"), "0.9.0");
  EXPECT_EQ(engine.installBatch({"hello-nelt", "hello-nelt"}), -7);
  EXPECT_EQ(engine.installBatch({}), -7);
}

}  // namespace
