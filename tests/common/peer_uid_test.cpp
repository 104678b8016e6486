// The owner look-up against real connections opened by processes of other
// uids. The tests run as root and switch children to other accounts.
#include "peer_uid.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr uid_t NOBODY = 65534;
constexpr uid_t DAEMON = 1;

struct Listener {
  int fd = -1;
  int port = 0;
};

Listener listenOn(int family) {
  Listener l;
  l.fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (l.fd < 0) return l;
  sockaddr_storage ss{};
  socklen_t len;
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  }
  if (bind(l.fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(l.fd, 256) != 0) {
    close(l.fd);
    l.fd = -1;
    return l;
  }
  getsockname(l.fd, reinterpret_cast<sockaddr*>(&ss), &len);
  l.port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                   : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return l;
}

int connectTo(int family, int port) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage ss{};
  socklen_t len;
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof *a;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool readAll(int fd, void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 10000) != 1) return false;
    ssize_t got = read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// A child process running `body` as `uid`. `release` is the write end of a
// pipe the child may wait on (it reads EOF when the parent lets go); `report`
// carries a few bytes back to the parent.
struct Child {
  pid_t pid = -1;
  int release = -1;
  int report = -1;

  int finish() {
    if (release >= 0) close(release);
    if (report >= 0) close(report);
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
  }
};

Child runAs(uid_t uid, const std::function<int(int hold, int report)>& body) {
  int hold[2], rep[2];
  if (pipe2(hold, O_CLOEXEC) != 0 || pipe2(rep, O_CLOEXEC) != 0) return {};
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    // Keep only this child's own pipe ends: an inherited write end of a
    // sibling's pipe would keep that sibling waiting forever.
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != hold[0] && fd != rep[1]) close(fd);
    }
    if (uid != 0) {
      gid_t gid = uid;
      if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(90);
    }
    _exit(body(hold[0], rep[1]));
  }
  close(hold[0]);
  close(rep[1]);
  c.release = hold[1];
  c.report = rep[0];
  return c;
}

void waitRelease(int hold) {
  char b;
  while (read(hold, &b, 1) > 0) {
  }
}

bool familyWorks(int family) {
  Listener l = listenOn(family);
  if (l.fd < 0) return false;
  close(l.fd);
  return true;
}

const nelt::PeerSource SOURCES[] = {nelt::PeerSource::Any, nelt::PeerSource::SockDiag,
                                    nelt::PeerSource::ProcNet};

class PeerUidTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (getuid() != 0) GTEST_SKIP() << "needs root to open connections as other users";
    if (!familyWorks(GetParam())) GTEST_SKIP() << "address family not available";
  }
};

// Many connections from two uids held open at once: every accepted socket is
// mapped to the uid of the process that opened it, by both kernel
// interfaces, so one user's connection is never taken for another's.
TEST_P(PeerUidTest, ServiceSideTellsEveryClientApartAmongMany) {
  const int family = GetParam();
  Listener l = listenOn(family);
  ASSERT_GE(l.fd, 0);
  auto opener = [&](int hold, int) {
    std::vector<int> fds;
    for (int i = 0; i < 50; ++i) {
      int fd = connectTo(family, l.port);
      if (fd < 0) return 3;
      uint32_t me = getuid();
      if (write(fd, &me, sizeof me) != sizeof me) return 4;
      fds.push_back(fd);
    }
    waitRelease(hold);  // keep all fifty open until the parent has looked
    return 0;
  };
  Child a = runAs(NOBODY, opener);
  Child b = runAs(DAEMON, opener);
  ASSERT_GT(a.pid, 0);
  ASSERT_GT(b.pid, 0);

  int per_uid[2] = {0, 0};
  std::vector<int> accepted;
  for (int i = 0; i < 100; ++i) {
    pollfd pfd{l.fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 10000), 1) << "only " << i << " connections arrived";
    int fd = accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(fd, 0);
    accepted.push_back(fd);
  }
  for (int fd : accepted) {
    uint32_t claimed = 0;
    ASSERT_TRUE(readAll(fd, &claimed, sizeof claimed));
    for (nelt::PeerSource src : SOURCES) {
      nelt::PeerUid got = nelt::peerUidOf(fd, src);
      ASSERT_TRUE(got.known) << "source " << static_cast<int>(src) << ": " << got.reason;
      EXPECT_EQ(got.uid, claimed) << "source " << static_cast<int>(src);
    }
    ++per_uid[claimed == NOBODY ? 0 : 1];
  }
  EXPECT_EQ(per_uid[0], 50);
  EXPECT_EQ(per_uid[1], 50);
  for (int fd : accepted) close(fd);
  EXPECT_EQ(a.finish(), 0);
  EXPECT_EQ(b.finish(), 0);
  close(l.fd);
}

// The client's view: a port bound by another user is recognised as such and
// refused unless the environment names that uid; root and one's own uid pass.
TEST_P(PeerUidTest, ClientSideRecognisesWhoOwnsTheService) {
  const int family = GetParam();
  Child fake = runAs(NOBODY, [&](int hold, int report) {
    Listener l = listenOn(family);
    if (l.fd < 0) return 3;
    if (write(report, &l.port, sizeof l.port) != sizeof l.port) return 4;
    int fd = accept(l.fd, nullptr, nullptr);
    if (fd < 0) return 5;
    waitRelease(hold);
    return 0;
  });
  ASSERT_GT(fake.pid, 0);
  int port = 0;
  ASSERT_TRUE(readAll(fake.report, &port, sizeof port));
  int fd = connectTo(family, port);
  ASSERT_GE(fd, 0);

  unsetenv(nelt::TRUST_SERVICE_UID_ENV);
  nelt::PeerUid owner = nelt::peerUidOf(fd);
  ASSERT_TRUE(owner.known) << owner.reason;
  EXPECT_EQ(owner.uid, NOBODY);
  std::string why;
  EXPECT_FALSE(nelt::checkServiceEnd(fd, why));
  EXPECT_NE(why.find("65534"), std::string::npos) << why;

  setenv(nelt::TRUST_SERVICE_UID_ENV, "1", 1);  // some other uid: still refused
  EXPECT_FALSE(nelt::checkServiceEnd(fd, why));
  setenv(nelt::TRUST_SERVICE_UID_ENV, "65534", 1);
  EXPECT_TRUE(nelt::checkServiceEnd(fd, why)) << why;
  setenv(nelt::TRUST_SERVICE_UID_ENV, "any", 1);
  EXPECT_TRUE(nelt::checkServiceEnd(fd, why)) << why;
  unsetenv(nelt::TRUST_SERVICE_UID_ENV);
  close(fd);
  EXPECT_EQ(fake.finish(), 0);

  // A service of root (this process) is accepted without any setting.
  Listener mine = listenOn(family);
  ASSERT_GE(mine.fd, 0);
  int c = connectTo(family, mine.port);
  ASSERT_GE(c, 0);
  const int served = accept(mine.fd, nullptr, nullptr);
  ASSERT_GE(served, 0);
  EXPECT_TRUE(nelt::checkServiceEnd(c, why)) << why;
  close(served);
  close(c);
  close(mine.fd);
}

// A listener that holds connections in its queue before accepting them
// would pass for root (an unaccepted socket has no owner yet) and still read
// whatever was sent: its owner is only named once it has accepted, and a
// connection it never accepts stays unknown.
TEST_P(PeerUidTest, ListenerDelayingAcceptIsNotTakenForRoot) {
  const int family = GetParam();
  Child fake = runAs(NOBODY, [&](int hold, int report) {
    Listener l = listenOn(family);
    if (l.fd < 0) return 3;
    if (write(report, &l.port, sizeof l.port) != sizeof l.port) return 4;
    char go;
    if (read(hold, &go, 1) != 1) return 5;  // accept only when told
    if (accept(l.fd, nullptr, nullptr) < 0) return 6;
    waitRelease(hold);
    return 0;
  });
  ASSERT_GT(fake.pid, 0);
  int port = 0;
  ASSERT_TRUE(readAll(fake.report, &port, sizeof port));
  const int first = connectTo(family, port);
  ASSERT_GE(first, 0);
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const char go = 'g';
    EXPECT_EQ(write(fake.release, &go, 1), 1);
  });
  nelt::PeerUid owner = nelt::peerUidOf(first);
  later.join();
  ASSERT_TRUE(owner.known) << owner.reason;
  EXPECT_EQ(owner.uid, NOBODY);

  const int second = connectTo(family, port);  // never accepted
  ASSERT_GE(second, 0);
  for (nelt::PeerSource src : SOURCES) {
    owner = nelt::peerUidOf(second, src);
    EXPECT_FALSE(owner.known) << "source " << static_cast<int>(src) << " uid " << owner.uid;
  }
  EXPECT_NE(owner.reason.find("accept"), std::string::npos) << owner.reason;
  close(first);
  close(second);
  EXPECT_EQ(fake.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(Families, PeerUidTest, ::testing::Values(AF_INET, AF_INET6),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == AF_INET ? std::string("IPv4") : std::string("IPv6");
                         });

// Sockets that are not connected loopback TCP give no owner, and a client
// refuses a service it cannot identify.
TEST(PeerUidUnknown, NonTcpAndUnconnectedSocketsAreUnknown) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_FALSE(nelt::peerUidOf(pair[0]).known);
  close(pair[0]);
  close(pair[1]);
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_FALSE(nelt::peerUidOf(udp).known);
  close(udp);
  int lone = socket(AF_INET, SOCK_STREAM, 0);
  nelt::PeerUid p = nelt::peerUidOf(lone);
  EXPECT_FALSE(p.known);
  std::string why;
  EXPECT_FALSE(nelt::serviceUidAcceptable(p, why));
  EXPECT_FALSE(why.empty());
  close(lone);
}

}  // namespace
