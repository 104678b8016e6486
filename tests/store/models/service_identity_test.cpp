// A process of another user listening on the port named in the port file
// (the service is down and someone took its port): neither `nelt` nor the
// window's client sends it anything, the account password least of all.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fake_service.h"
#include "fsutil.h"
#include "kavix_api.h"
#include "paths.h"
#include "peer_uid.h"
#include "test_support.h"

extern char** environ;

namespace {

using nelt::test::readFile;
using nelt::test::TempDir;
using nelt::test::writeFile;

constexpr uid_t NOBODY = 65534;

// A listener run as `nobody` that answers every line with "200" and, when
// released, hands back every byte it received.
class ForeignListener {
 public:
  bool start() {
    int rep[2], hold[2];
    if (pipe(rep) != 0 || pipe(hold) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      close(rep[0]);
      close(hold[1]);
      if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(90);
      _exit(serve(rep[1], hold[0]));
    }
    close(rep[1]);
    close(hold[0]);
    report_ = rep[0];
    release_ = hold[1];
    return read(report_, &port_, sizeof port_) == sizeof port_;
  }
  int port() const { return port_; }
  // Stops the listener and returns what it received.
  std::string received() {
    close(release_);
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = read(report_, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
    close(report_);
    waitpid(pid_, nullptr, 0);
    return all;
  }

 private:
  static int serve(int report, int hold) {
    int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(l, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(l, 16) != 0 ||
        getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return 3;
    const int port = ntohs(a.sin_port);
    if (write(report, &port, sizeof port) != sizeof port) return 4;
    const std::string reply = nelt::test::framed("200", "{\"url\":\"http://127.0.0.1:9\"}").bytes;
    std::vector<pollfd> fds = {{hold, POLLIN, 0}, {l, POLLIN, 0}};
    std::string got;
    for (;;) {
      if (poll(fds.data(), fds.size(), 20000) <= 0) break;
      if (fds[0].revents != 0) break;  // released
      if (fds[1].revents & POLLIN) fds.push_back({accept(l, nullptr, nullptr), POLLIN, 0});
      for (size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
        char buf[4096];
        const ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n <= 0) {
          close(fds[i].fd);
          fds[i].fd = -1;
          continue;
        }
        got.append(buf, static_cast<size_t>(n));
        for (ssize_t k = 0; k < n; ++k)
          if (buf[k] == '\n' && write(fds[i].fd, reply.data(), reply.size()) < 0) return 5;
      }
    }
    return write(report, got.data(), got.size()) == static_cast<ssize_t>(got.size()) ? 0 : 6;
  }

  pid_t pid_ = -1;
  int port_ = 0;
  int report_ = -1, release_ = -1;
};

// Runs `nelt` with `input` on its standard input; returns the exit status and
// standard error.
int runNelt(const std::vector<std::string>& args, const std::string& input, const TempDir& dir,
            std::string& err) {
  writeFile(dir.sub("in"), input);
  std::vector<std::string> argv = {nelt::test::binDir() + "/nelt"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, dir.sub("in").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, dir.sub("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  err = readFile(dir.sub("err"));
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ServiceIdentity, NothingIsSentToAPortHeldByAnotherUser) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
  TempDir root, work;
  setenv("NELT_ROOT", root.path().c_str(), 1);
  unsetenv(nelt::TRUST_SERVICE_UID_ENV);
  ForeignListener fake;
  ASSERT_TRUE(fake.start());
  ASSERT_EQ(nelt::makeDirs(root.sub("usr/bin/nelt")), 0);
  writeFile(nelt::portFilePath(), "{\"port\": " + std::to_string(fake.port()) + "}");

  std::string err;
  EXPECT_EQ(runNelt({"login", "demo"}, "secret-pw-123\n", work, err), 4);
  EXPECT_NE(err.find("uid 65534"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line of reason: " << err;

  KavixAPI window(fake.port(), true);
  EXPECT_EQ(window.init(), -1);
  EXPECT_NE(window.serviceRefusal().find("65534"), std::string::npos) << window.serviceRefusal();

  // Allowed explicitly, the same listener is talked to, password and all:
  // the check above is what kept it from them.
  setenv(nelt::TRUST_SERVICE_UID_ENV, "65534", 1);
  const int relaxed = runNelt({"login", "demo"}, "secret-pw-123\n", work, err);
  unsetenv(nelt::TRUST_SERVICE_UID_ENV);
  const std::string seen = fake.received();
  EXPECT_NE(seen.find("secret-pw-123"), std::string::npos) << relaxed << " " << err << seen;
  const size_t first_request = seen.find("POST 0");
  EXPECT_EQ(seen.find("secret-pw-123"), seen.rfind("secret-pw-123")) << "sent once only";
  EXPECT_NE(first_request, std::string::npos);
  unsetenv("NELT_ROOT");
}

}  // namespace
