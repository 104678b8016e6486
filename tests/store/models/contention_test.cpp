// Installs and service connections under pressure from other local users and
// from service restarts: the real KavixService, the local store server with
// the sample packages, `nelt` and the stand-ins below one NELT_ROOT.
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <thread>

#include "fake_service.h"
#include "fsutil.h"
#include "kavix_api.h"
#include "model_log.h"
#include "paths.h"
#include "service_harness.h"
#include "test_support.h"

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

constexpr uid_t NOBODY = 65534;

// Runs `body` in a child switched to `nobody`, which then stays until it is
// killed (so what it holds stays held); the destructor kills it.
class AsNobody {
 public:
  explicit AsNobody(const std::function<void()>& body) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(125);
      body();
      (void)!write(ready[1], "x", 1);
      for (;;) pause();
    }
    char c = 0;
    ::close(ready[1]);
    ok_ = read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
  }
  ~AsNobody() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ok() const { return ok_; }

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
};

// Listens on 0.0.0.0:`port` (reusing the address, so the connections of the
// service that just left do not stand in the way); -1 on failure.
int holdPort(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 5) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

struct CliRun {
  int status = -1;
  std::string out, err;
};

class Contention : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getuid() != 0) GTEST_SKIP() << "other users are played by switching uid";
    nelt::setDebugLogSink(nullptr);
    nelt::setConsoleLogSink(nullptr);
    ASSERT_TRUE(store.start(work.path(), "", {"--packages", NELT_SAMPLE_PACKAGES}));
    setenv("NELT_ROOT", service.root().c_str(), 1);
    options.host = store.baseUrl();
    options.ip_lookup_url = store.baseUrl() + "/ip";
    ASSERT_TRUE(service.start(options));
  }

  // `nelt ARGS`, given up (and failed) after `limit`.
  CliRun runNelt(const std::vector<std::string>& args, std::map<std::string, std::string> env = {},
                 std::chrono::milliseconds limit = 60s) {
    std::vector<std::string> argv = {binDir() + "/nelt"};
    argv.insert(argv.end(), args.begin(), args.end());
    env["NELT_ROOT"] = service.root();
    env["NELT_IP_LOOKUP_URL"] = store.baseUrl() + "/ip";
    ChildProcess p;
    CliRun r;
    if (!p.start(argv, env, work.path())) return r;
    r.status = p.wait(limit);
    r.out = p.out();
    r.err = p.err();
    return r;
  }

  TempDir work;
  StoreServer store;
  ServiceHarness service;
  ServiceOptions options;
};

// Whatever another user puts where installs used to take their lock (a
// folder, a FIFO, a file whose lock they hold) neither stalls nor breaks an
// install; the user's own second install waits, says so, and gives up after
// its limit with a reason of its own.
TEST_F(Contention, NoOtherUserCanStallAnInstallAndOwnWaitsAreBounded) {
  {
    KavixAPI api(service.port(), true);
    ASSERT_EQ(api.init(), 1);
    KavixReply reply;
    ASSERT_EQ(api.loginAcc("demo", "demo123", &reply), 0);
    ASSERT_EQ(reply.status, 200);
  }
  const std::string tmp = service.root() + "/tmp";
  ASSERT_EQ(nelt::makeDirs(tmp), 0);
  ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
  ASSERT_EQ(chmod(service.root().c_str(), 0755), 0);
  const std::string old_lock = tmp + "/.nelt-install-hello-nelt.lock";

  const std::vector<std::pair<std::string, std::function<void()>>> plants = {
      {"a folder", [&] { mkdir(old_lock.c_str(), 0755); }},
      {"a FIFO", [&] { mkfifo(old_lock.c_str(), 0644); }},
      {"a held lock",
       [&] {
         const int fd = open(old_lock.c_str(), O_RDWR | O_CREAT, 0644);
         flock(fd, LOCK_EX);
       }},
  };
  for (const auto& plant : plants) {
    SCOPED_TRACE(plant.first);
    nelt::removeTree(old_lock);
    ::unlink(old_lock.c_str());
    AsNobody other(plant.second);
    ASSERT_TRUE(other.ok());
    const CliRun r = runNelt({"install", "hello-nelt"}, {}, 60s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Installed hello-nelt 1.3.0\n"), std::string::npos) << r.out;
  }

  // Root's own lock is in root's runtime folder; another process of root
  // holding it makes the install wait, then give up.
  const std::string own_lock = service.root() + "/run/nelt/install-may-tinh.lock";
  struct stat st;
  ASSERT_EQ(lstat((service.root() + "/run/nelt").c_str(), &st), 0);
  // Readable by all (the port file is there), writable by root alone; the
  // lock file itself is root's alone.
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  const int fd = open(own_lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  const CliRun r = runNelt({"install", "may-tinh"}, {{"NELT_INSTALL_WAIT_SECONDS", "1"}}, 30s);
  ::close(fd);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("waiting for another install of may-tinh\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err,
            "nelt: install of may-tinh failed: gave up waiting: another install of may-tinh did "
            "not end within 1 s\n");
  EXPECT_EQ(runNelt({"install", "may-tinh"}, {}, 60s).status, 0) << "free again";
}

// The service restarts onto another port (its own is held meanwhile): the
// client that stays open finds it again through the port file, the
// open-window connection included.
TEST_F(Contention, ClientsFollowTheServiceToItsNewPort) {
  const int first = service.port();
  KavixAPI api(first, true);
  api.setPortFile(service.portFile());
  api.setReceiveTimeout(5s);
  ASSERT_EQ(api.init(), 1);
  std::string word;
  ASSERT_EQ(api.checkOpenWindow(word), 0);
  ASSERT_EQ(api.setOpenWindow("@FIRST"), 0);

  service.proc().terminate();
  ::unlink(service.portFile().c_str());
  const int held = holdPort(first);
  ASSERT_GE(held, 0);
  options.port = first;
  options.alternatives = {freeLoopbackPort()};
  ASSERT_TRUE(service.start(options));
  ASSERT_NE(service.port(), first);

  // The poll as the window runs it: a failed question costs the
  // connection, and the next tick opens it again.
  bool back = false;
  for (int tick = 0; tick < 50 && !back; ++tick) {
    back = api.reopenOpenWindow() == 0 && api.checkOpenWindow(word) == 0;
    if (!back) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(back);
  EXPECT_EQ(api.getPort(), service.port());
  ::close(held);

  // `nelt` reads the port file as well, and a service that resets the
  // connection in the middle of a request is not reachable.
  EXPECT_EQ(runNelt({"list"}).status, 0);
  FakeService resetting;
  ASSERT_TRUE(resetting.start([](const std::string& line) {
    if (line.rfind("GET 6 ", 0) == 0) {
      FakeReply r;
      r.silent = true;
      r.close_after = true;
      return r;
    }
    return framed("200", line.rfind("GET 17 ", 0) == 0 ? "{\"url\":\"http://127.0.0.1:1\"}" : "");
  }));
  writeFile(service.portFile(), "{\"port\":" + std::to_string(resetting.port()) + "}");
  const CliRun r = runNelt({"list"});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_EQ(r.err, "nelt: the store service is not reachable (the connection was lost)\n");
}

}  // namespace
