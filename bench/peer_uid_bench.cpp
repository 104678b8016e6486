// What the caller look-up costs per accepted connection: the netlink
// look-up and the /proc/net/tcp fall-back, each with few and with many
// connections open, against getpeername() (a plain system call on the same
// socket) measured in the same run. Medians of several runs; prints figures
// only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "peer_uid.h"

namespace {

struct Pair {
  int client = -1, served = -1;
};

std::vector<Pair> openPairs(int listener, int port, int n) {
  std::vector<Pair> pairs;
  for (int i = 0; i < n; ++i) {
    Pair p;
    p.client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (p.client < 0 || connect(p.client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) break;
    p.served = accept(listener, nullptr, nullptr);
    if (p.served < 0) {  // out of descriptors: measure what is open
      close(p.client);
      break;
    }
    pairs.push_back(p);
  }
  return pairs;
}

// Median over `runs` of the mean time per call (microseconds) of `fn` on
// every served socket.
double median(const std::vector<Pair>& pairs, int runs, const std::function<void(int)>& fn) {
  std::vector<double> per_call;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    for (const Pair& p : pairs) fn(p.served);
    const auto t1 = std::chrono::steady_clock::now();
    per_call.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() /
                       static_cast<double>(pairs.size()));
  }
  std::sort(per_call.begin(), per_call.end());
  return per_call[per_call.size() / 2];
}

}  // namespace

int main() {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(listener, 4096) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    std::perror("listen");
    return 1;
  }
  const int port = ntohs(a.sin_port);
  std::printf("Caller look-up per accepted connection (median of 5 runs, microseconds per call)\n");
  std::printf("%-14s %12s %12s %12s %10s %10s\n", "connections", "getpeername", "sock_diag",
              "/proc/net", "diag/base", "proc/base");
  // Two descriptors per connection, and some to spare for the look-ups
  // themselves (a netlink socket, the /proc file).
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
  getrlimit(RLIMIT_NOFILE, &lim);
  const int most = static_cast<int>((lim.rlim_cur - 64) / 2);
  std::vector<Pair> all;
  for (int wanted : {10, 100, 1000}) {
    const int target = std::min(wanted, most);
    if (target <= static_cast<int>(all.size())) break;
    std::vector<Pair> more = openPairs(listener, port, target - static_cast<int>(all.size()));
    all.insert(all.end(), more.begin(), more.end());
    // Time a fixed sample of 10 sockets, so the figures compare the cost of
    // one look-up as the number of open connections grows.
    const std::vector<Pair> sample(all.begin(), all.begin() + std::min<size_t>(10, all.size()));
    const double base = median(sample, 5, [](int fd) {
      sockaddr_storage ss;
      socklen_t l = sizeof ss;
      getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &l);
    });
    const double diag =
        median(sample, 5, [](int fd) { nelt::peerUidOf(fd, nelt::PeerSource::SockDiag); });
    const double proc =
        median(sample, 5, [](int fd) { nelt::peerUidOf(fd, nelt::PeerSource::ProcNet); });
    std::printf("%-14zu %12.2f %12.2f %12.2f %10.0f %10.0f\n", all.size(), base, diag, proc,
                diag / base, proc / base);
  }
  for (const Pair& p : all) {
    close(p.client);
    close(p.served);
  }
  close(listener);
  return 0;
}
