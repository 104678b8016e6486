// Sign-in, settings and the offline section list against the local store
// server: what the service keeps and answers when the store refuses, answers
// nonsense or a file cannot be written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fsutil.h"
#include "protocol.h"
#include "service_harness.h"

extern char** environ;

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

class StoreReplies : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.start(work.path())) << "nelt-store-server did not start";
    ServiceOptions options;
    options.host = store.baseUrl();
    ASSERT_TRUE(service.start(options)) << service.proc().err();
    ASSERT_TRUE(service.connect(client));
    ASSERT_EQ(ask("POST 0 NativeStore\n").status, "200");
  }

  Reply ask(const std::string& line) {
    std::string text;
    EXPECT_TRUE(client.request(line, text, 30s)) << line;
    return parseReply(text);
  }

  // A member of the last request the store received on `path`, or "<none>".
  std::string lastRequest(const std::string& path, const char* header, bool body = false) {
    rapidjson::Document log;
    const std::string text = store.requests();
    log.Parse(text.c_str(), text.size());
    if (!log.IsArray()) return "<none>";
    for (rapidjson::SizeType i = log.Size(); i-- > 0;) {
      const auto& r = log[i];
      if (!r.IsObject() || !r.HasMember("path") || r["path"].GetString() != path) continue;
      if (body) return r["body"].GetString();
      const auto& headers = r["headers"];
      return headers.HasMember(header) ? headers[header].GetString() : "<absent>";
    }
    return "<none>";
  }
  // The Authorization header of the next section list request.
  std::string authorizationSent() {
    ask("GET 3 \n");
    return lastRequest("/api/v1/categories/", "Authorization");
  }

  TempDir work;
  StoreServer store;
  ServiceHarness service;
  ProtoClient client;
};

TEST_F(StoreReplies, RefusedOrFailedSignInLeavesNobodySignedIn) {
  EXPECT_EQ(authorizationSent(), "<absent>");
  ASSERT_EQ(ask("POST 1 demo&demo123\n").status, "200");
  EXPECT_EQ(authorizationSent().rfind("Bearer ", 0), 0u);

  // A second sign-in, refused, without signing out first.
  EXPECT_EQ(ask("POST 1 demo&wrong\n").status, "401");
  EXPECT_EQ(authorizationSent(), "<absent>");
  EXPECT_EQ(ask("GET 5 \n").status, "9998");
  EXPECT_EQ(ask("GET 10 \n").status, "8888");

  // A sign-in whose transfer fails.
  ASSERT_EQ(ask("POST 1 demo&demo123\n").status, "200");
  ASSERT_TRUE(store.setMode(R"({"drop":true})"));
  EXPECT_EQ(ask("POST 1 demo&demo123\n").status, "8888");
  ASSERT_TRUE(store.reset());
  EXPECT_EQ(authorizationSent(), "<absent>");
  EXPECT_EQ(ask("GET 5 \n").status, "9998");
}

// A password reaches the store whole, spaces and "&" included, and never
// reaches the log; `nelt login` sends such a password too.
TEST_F(StoreReplies, PasswordsWithSpacesAndAmpersands) {
  EXPECT_EQ(ask("POST 1 demo&pa ss&w0rd  x\n").status, "401");
  EXPECT_EQ(lastRequest("/api/v1/login", "", true),
            "{\"username\": \"demo\", \"password\": \"pa ss&w0rd  x\"}");

  const std::string in = work.sub("password.in");
  writeFile(in, "my s3cret&pin\n");
  std::vector<std::string> argv = {binDir() + "/nelt", "login", "demo"};
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  std::vector<std::string> env_text = {"NELT_ROOT=" + service.root()};
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string(*e).rfind("NELT_ROOT=", 0) != 0) env_text.emplace_back(*e);
  std::vector<char*> cenv;
  for (auto& e : env_text) cenv.push_back(e.data());
  cenv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data()), 0);
  posix_spawn_file_actions_destroy(&fa);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 1);  // refused by the store, not by nelt
  EXPECT_EQ(lastRequest("/api/v1/login", "", true),
            "{\"username\": \"demo\", \"password\": \"my s3cret&pin\"}");

  const std::string out = service.proc().out() + service.proc().err();
  EXPECT_NE(out.find(" POST 1 demo&***\n"), std::string::npos) << out;
  for (const char* secret : {"pa ss", "w0rd", "s3cret", "pin"})
    EXPECT_EQ(out.find(secret), std::string::npos) << secret;
}

TEST_F(StoreReplies, FailedWritesAnswer8888) {
  ASSERT_EQ(ask("POST 1 demo&demo123\n").status, "200");
  const std::string settings = "{\"id\":7,\"setting\":{\"autoUpdate\":1}}";
  EXPECT_EQ(ask("POST 20 " + settings + "\n").status, "200");
  EXPECT_EQ(ask("GET 21 \n").data, settings);
  // A folder in place of the settings file: it cannot be replaced.
  const std::string file = service.dataDir() + "/users/7.json";
  ASSERT_EQ(unlink(file.c_str()), 0);
  ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
  EXPECT_EQ(ask("POST 20 {\"id\":7,\"setting\":{\"autoUpdate\":0}}\n").status, "8888");

  // The same for the stored login: the sign-in does not look successful.
  ASSERT_EQ(ask("GET 2 \n").status, "200");
  ASSERT_EQ(mkdir((service.dataDir() + "/user.json").c_str(), 0755), 0);
  const Reply r = ask("POST 1 demo&demo123\n");
  EXPECT_EQ(r.status, "8888");
  EXPECT_EQ(r.data, "");
  EXPECT_EQ(ask("GET 5 \n").status, "9998");
  EXPECT_EQ(authorizationSent(), "<absent>");
}

TEST_F(StoreReplies, OfflineSectionListIsReplacedOnlyByAUsableList) {
  ASSERT_EQ(ask("GET 3 \n").status, "200");
  const std::string kept = readFile(service.dataDir() + "/sections.json");
  ASSERT_NE(kept.find("\"data\":["), std::string::npos) << kept;
  for (const char* body :
       {R"({\"code\":200})", R"({\"code\":200,\"data\":null})",
        R"({\"code\":200,\"data\":{\"total\":3}})", R"({\"code\":200,\"data\":[1,2]})"}) {
    ASSERT_TRUE(store.setMode(
        std::string(R"({"answer_path":"/api/v1/categories","answer_body":")") + body + "\"}"));
    EXPECT_EQ(ask("GET 3 \n").status, "200") << body;
    EXPECT_EQ(readFile(service.dataDir() + "/sections.json"), kept) << body;
  }
  // Offline, the kept list is what the window gets.
  store.stop();
  const Reply offline = ask("GET 3 \n");
  EXPECT_EQ(offline.status, "8888");
  EXPECT_EQ(offline.data, kept);
}

}  // namespace
