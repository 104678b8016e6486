// Who may use the store account through the service. Clients of other users
// are real processes switched to their uid; the service is the real one, as
// root, against the local store server.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fsutil.h"
#include "service_harness.h"

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

constexpr uid_t NOBODY = 65534;
constexpr uid_t DAEMON = 1;  // primary group "daemon", not in "sudo"

// Sends `lines` one after the other on one connection opened by a child
// running as `uid`; returns each reply ("" when none came).
std::vector<std::string> askAs(uid_t uid, int port, const std::vector<std::string>& lines) {
  int out[2];
  if (pipe(out) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(90);
    ProtoClient c;
    if (!c.connectTo(port)) _exit(91);
    for (const auto& line : lines) {
      std::string reply;
      if (!c.request(line, reply, 15s)) reply.clear();
      const uint32_t n = static_cast<uint32_t>(reply.size());
      if (write(out[1], &n, sizeof n) != sizeof n ||
          write(out[1], reply.data(), n) != static_cast<ssize_t>(n))
        _exit(92);
    }
    _exit(0);
  }
  close(out[1]);
  std::vector<std::string> replies;
  for (size_t i = 0; i < lines.size(); ++i) {
    uint32_t n = 0;
    if (read(out[0], &n, sizeof n) != sizeof n) break;
    std::string r(n, '\0');
    size_t got = 0;
    while (got < n) {
      const ssize_t k = read(out[0], &r[got], n - got);
      if (k <= 0) break;
      got += static_cast<size_t>(k);
    }
    replies.push_back(r);
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return replies;
}

// Every account request; none may change anything when refused.
const std::vector<std::string> ACCOUNT_LINES = {"POST 1 demo&demo123\n",
                                                "GET 2 \n",
                                                "GET 5 \n",
                                                "GET 8 hello-nelt\n",
                                                "GET 10 \n",
                                                "POST 11 demo&demo123\n",
                                                "GET 12 \n",
                                                "POST 20 {\"auto_update\":true}\n",
                                                "GET 21 \n"};

class Callers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getuid() != 0) GTEST_SKIP() << "needs root to open connections as other users";
    ASSERT_TRUE(store.start(work.path()));
  }
  void startService(const std::string& extra_config = "") {
    ServiceOptions o;
    o.host = store.baseUrl();
    o.extra_config = extra_config;
    ASSERT_TRUE(service.start(o)) << service.proc().err();
    ASSERT_TRUE(service.connect(root_client));
    std::string reply;
    ASSERT_TRUE(root_client.request("POST 0 NativeStore\n", reply));
    ASSERT_TRUE(root_client.request("POST 1 demo&demo123\n", reply));
    ASSERT_EQ(reply.substr(0, 4), "200 ") << reply;
    ASSERT_TRUE(root_client.request("GET 5 \n", token_reply));
    ASSERT_EQ(token_reply.substr(0, 4), "200 ") << token_reply;
  }
  // The account is still signed in with the same token.
  void expectAccountUntouched() {
    std::string reply;
    ASSERT_TRUE(root_client.request("GET 5 \n", reply));
    EXPECT_EQ(reply, token_reply);
  }
  std::string token() const {
    const size_t a = token_reply.find("\"token\"");
    return a == std::string::npos ? token_reply : token_reply.substr(a);
  }

  TempDir work;
  StoreServer store;
  ServiceHarness service;
  ProtoClient root_client;
  std::string token_reply;
};

// Another local user gets "8888" and nothing else for every account request,
// changes nothing, and still gets the catalog; the log names its uid.
TEST_F(Callers, AnotherUserIsRefusedAccountRequestsButServedTheCatalog) {
  startService();
  const auto replies = askAs(NOBODY, service.port(), ACCOUNT_LINES);
  ASSERT_EQ(replies.size(), ACCOUNT_LINES.size());
  for (size_t i = 0; i < replies.size(); ++i) {
    EXPECT_EQ(replies[i], "8888 \n") << ACCOUNT_LINES[i];
    EXPECT_EQ(replies[i].find(token()), std::string::npos);
  }
  expectAccountUntouched();
  EXPECT_TRUE(service.waitForOutCount("uid 65534", ACCOUNT_LINES.size() + 1, 10s))
      << service.proc().out();
  const std::string out = service.proc().out();
  EXPECT_NE(out.find("[LOG]Client connected to Server:"), std::string::npos);
  EXPECT_EQ(out.find("demo123"), std::string::npos) << "no password in the log";

  const auto catalog =
      askAs(NOBODY, service.port(),
            {"POST 0 NativeStore\n", "GET 17 \n", "GET 3 \n", "GET 4 hello\n", "GET 6 \n"});
  ASSERT_EQ(catalog.size(), 5u);
  for (const auto& r : catalog) {
    EXPECT_EQ(r.substr(0, 4), "200 ") << r;
    EXPECT_EQ(r.find(token()), std::string::npos);
  }
  EXPECT_NE(catalog[1].find(store.baseUrl()), std::string::npos) << catalog[1];
}

// Members of the configured group and the active session's user are served;
// without the key the group is "sudo", which the test's accounts are not in.
TEST_F(Callers, GroupMembersAndTheActiveSessionUserAreServed) {
  startService("\"allowed_group\": \"daemon\"");
  auto r = askAs(DAEMON, service.port(), {"GET 5 \n"});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], token_reply) << "a member of the configured group";
  r = askAs(NOBODY, service.port(), {"GET 5 \n"});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], "8888 \n");

  // The seat's active user, as logind records it, with no window open.
  ASSERT_EQ(nelt::makeDirs(service.root() + "/run/systemd/seats"), 0);
  writeFile(service.root() + "/run/systemd/seats/seat0",
            "# This is private data. Do not parse.\nIS_SEAT0=1\nACTIVE=c2\nACTIVE_UID=65534\n");
  r = askAs(NOBODY, service.port(), {"GET 5 \n", "GET 21 \n"});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], token_reply) << "the active session's user";
  EXPECT_EQ(r[1].substr(0, 4), "200 ") << r[1];
}

TEST_F(Callers, WithoutTheKeyOnlySudoMembersAreServed) {
  startService();
  const auto r = askAs(DAEMON, service.port(), {"GET 5 \n", "GET 10 \n"});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], "8888 \n");
  EXPECT_EQ(r[1], "8888 \n");
}

// Another user cannot become the store window (and so receive every later
// start's word), nor read a word meant for it; it may still hand a word on.
TEST_F(Callers, AnotherUserCannotTakeTheOpenWindowSlot) {
  startService();
  auto r = askAs(NOBODY, service.port(), {"GET 18 \n", "POST 19 @FIRST\n", "GET 18 \n"});
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0], "8888 \n");
  EXPECT_EQ(r[1], "8888 \n");
  EXPECT_EQ(r[2], "8888 \n");

  ProtoClient window;
  ASSERT_TRUE(service.connect(window));
  std::string reply;
  ASSERT_TRUE(window.request("GET 18 \n", reply));
  EXPECT_EQ(reply, "200 \n") << "the desktop user's window is the first";
  ASSERT_TRUE(window.request("POST 19 @FIRST\n", reply));
  EXPECT_EQ(reply, "200 \n");

  r = askAs(NOBODY, service.port(), {"GET 18 \n", "POST 19 hello-nelt\n", "GET 18 \n"});
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0], "200 @FIRST\n") << "a window exists";
  EXPECT_EQ(r[1], "200 \n") << "a later start hands its word on";
  EXPECT_EQ(r[2], "200 @FIRST\n") << "without taking the word meant for the window";
  ASSERT_TRUE(window.request("GET 18 \n", reply));
  EXPECT_EQ(reply, "200 hello-nelt\n");
}

}  // namespace
