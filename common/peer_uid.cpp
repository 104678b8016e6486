#include "peer_uid.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace nelt {

const char* const TRUST_SERVICE_UID_ENV = "NELT_TRUST_SERVICE_UID";

namespace {
constexpr std::chrono::milliseconds ACCEPT_WAIT{3000};
}  // namespace

namespace {

// One endpoint of a TCP connection, with the IPv4 form of a v4-mapped IPv6
// address already taken apart so both socket families can be asked.
struct Endpoint {
  int family = 0;                   // AF_INET or AF_INET6
  uint32_t addr[4] = {0, 0, 0, 0};  // network byte order, v4 in addr[0]
  uint16_t port = 0;                // network byte order
};

bool toEndpoint(const sockaddr_storage& ss, Endpoint& ep) {
  if (ss.ss_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
    ep.family = AF_INET;
    ep.addr[0] = sin->sin_addr.s_addr;
    ep.port = sin->sin_port;
    return true;
  }
  if (ss.ss_family == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&ss);
    ep.port = sin6->sin6_port;
    if (IN6_IS_ADDR_V4MAPPED(&sin6->sin6_addr)) {
      ep.family = AF_INET;
      std::memcpy(&ep.addr[0], &sin6->sin6_addr.s6_addr[12], 4);
    } else {
      ep.family = AF_INET6;
      std::memcpy(ep.addr, &sin6->sin6_addr, 16);
    }
    return true;
  }
  return false;
}

bool isLoopback(const Endpoint& ep) {
  if (ep.family == AF_INET) return (ntohl(ep.addr[0]) >> 24) == 127;
  static const uint32_t ONE[4] = {0, 0, 0, htonl(1)};
  return std::memcmp(ep.addr, ONE, sizeof ONE) == 0;
}

void mapped(const Endpoint& v4, uint32_t out[4]) {
  out[0] = 0;
  out[1] = 0;
  out[2] = htonl(0xffff);
  out[3] = v4.addr[0];
}

// Pending: the socket exists but no process has accepted it yet. Until then
// the kernel reports it as root's (it has no owner of its own), so its
// answer must not be taken: a listener that delays accept() would pass for
// root and still read what was sent.
enum class Lookup { Found, Pending, Absent, Failed };

// Exact look-up of the socket whose source is `src` and destination `dst`.
Lookup diagLookup(int family, const uint32_t src[4], uint16_t sport, const uint32_t dst[4],
                  uint16_t dport, uid_t& uid) {
  int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (nl < 0) return Lookup::Failed;
  struct {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
  } msg;
  std::memset(&msg, 0, sizeof msg);
  msg.nlh.nlmsg_len = sizeof msg;
  msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  msg.nlh.nlmsg_flags = NLM_F_REQUEST;
  msg.nlh.nlmsg_seq = 1;
  msg.req.sdiag_family = static_cast<uint8_t>(family);
  msg.req.sdiag_protocol = IPPROTO_TCP;
  msg.req.idiag_states = ~0U;
  msg.req.id.idiag_sport = sport;
  msg.req.id.idiag_dport = dport;
  std::memcpy(msg.req.id.idiag_src, src, 16);
  std::memcpy(msg.req.id.idiag_dst, dst, 16);
  msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel;
  std::memset(&kernel, 0, sizeof kernel);
  kernel.nl_family = AF_NETLINK;
  Lookup result = Lookup::Failed;
  if (sendto(nl, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(sizeof msg)) {
    // The kernel answers at once; the wait only guards against a broken one.
    pollfd pfd{nl, POLLIN, 0};
    alignas(nlmsghdr) char buf[8192];
    ssize_t n = -1;
    if (poll(&pfd, 1, 2000) == 1) n = recv(nl, buf, sizeof buf, 0);
    if (n > 0) {
      int left = static_cast<int>(n);
      for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type == NLMSG_ERROR) {
          const auto* err = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
          result = err->error == -ENOENT ? Lookup::Absent : Lookup::Failed;
          break;
        }
        if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
          const auto* d = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
          // The kernel matched the tuple; check it anyway rather than trust
          // an answer to some other question.
          if (d->id.idiag_sport == sport && d->id.idiag_dport == dport) {
            uid = d->idiag_uid;
            result = d->idiag_inode == 0 ? Lookup::Pending : Lookup::Found;
          } else {
            result = Lookup::Absent;
          }
          break;
        }
      }
    }
  }
  close(nl);
  return result;
}

// Parses "HEX:PORT" of /proc/net/tcp{,6}; the address words are printed as
// the host's view of the network-order words.
bool parseProcAddr(const std::string& text, int words, uint32_t addr[4], uint16_t& port) {
  size_t colon = text.find(':');
  if (colon != static_cast<size_t>(8 * words)) return false;
  for (int i = 0; i < words; ++i) {
    char* end = nullptr;
    std::string w = text.substr(static_cast<size_t>(8 * i), 8);
    unsigned long v = std::strtoul(w.c_str(), &end, 16);
    if (end == nullptr || *end != '\0') return false;
    addr[i] = static_cast<uint32_t>(v);
  }
  char* end = nullptr;
  unsigned long p = std::strtoul(text.c_str() + colon + 1, &end, 16);
  if (end == nullptr || *end != '\0' || p > 0xffff) return false;
  port = htons(static_cast<uint16_t>(p));
  return true;
}

Lookup procLookup(int family, const uint32_t src[4], uint16_t sport, const uint32_t dst[4],
                  uint16_t dport, uid_t& uid) {
  const int words = family == AF_INET ? 1 : 4;
  std::ifstream in(family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6");
  if (!in) return Lookup::Failed;
  std::string line;
  std::getline(in, line);  // column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string sl, local, remote, state, queues, timer, retr;
    unsigned long owner = 0, timeout = 0, inode = 0;
    if (!(fields >> sl >> local >> remote >> state >> queues >> timer >> retr >> owner >> timeout >>
          inode))
      continue;
    uint32_t la[4] = {0, 0, 0, 0}, ra[4] = {0, 0, 0, 0};
    uint16_t lp = 0, rp = 0;
    if (!parseProcAddr(local, words, la, lp) || !parseProcAddr(remote, words, ra, rp)) continue;
    if (lp != sport || rp != dport) continue;
    if (std::memcmp(la, src, 4 * words) != 0 || std::memcmp(ra, dst, 4 * words) != 0) continue;
    uid = static_cast<uid_t>(owner);
    return inode == 0 ? Lookup::Pending : Lookup::Found;
  }
  return Lookup::Absent;
}

using LookupFn = Lookup (*)(int, const uint32_t*, uint16_t, const uint32_t*, uint16_t, uid_t&);

// Asks one source for the socket (src -> dst) in every family it may live in:
// a v4 connection may belong to an IPv4 socket or to a dual-stack IPv6 one.
Lookup lookupBoth(LookupFn fn, const Endpoint& src, const Endpoint& dst, uid_t& uid) {
  Lookup first = fn(src.family, src.addr, src.port, dst.addr, dst.port, uid);
  if (first == Lookup::Found || first == Lookup::Pending || src.family != AF_INET) return first;
  uint32_t s6[4], d6[4];
  mapped(src, s6);
  mapped(dst, d6);
  Lookup second = fn(AF_INET6, s6, src.port, d6, dst.port, uid);
  if (second == Lookup::Found || second == Lookup::Pending) return second;
  return first == Lookup::Failed && second == Lookup::Failed ? Lookup::Failed : Lookup::Absent;
}

}  // namespace

namespace {

PeerUid lookUpPeer(int fd, PeerSource source, std::chrono::milliseconds accept_wait) {
  PeerUid out;
  int type = 0, proto = 0;
  socklen_t len = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) {
    out.reason = "not a stream socket";
    return out;
  }
  len = sizeof proto;
  if (getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &proto, &len) != 0 || proto != IPPROTO_TCP) {
    out.reason = "not a TCP socket";
    return out;
  }
  sockaddr_storage mine, theirs;
  socklen_t ml = sizeof mine, tl = sizeof theirs;
  Endpoint self, peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &ml) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &tl) != 0 || !toEndpoint(mine, self) ||
      !toEndpoint(theirs, peer)) {
    out.reason = "not a connected TCP socket";
    return out;
  }
  if (!isLoopback(peer) || !isLoopback(self)) {
    out.reason = "peer is not on the loopback interface";
    return out;
  }
  // The other end's socket has the peer's address as its source.
  uid_t uid = 0;
  // A service accepts at once; a connection still waiting in the listen
  // queue is asked about again for a little while. The first waits are
  // short: right after connect() the service has usually not yet been
  // scheduled to accept, and does so within a fraction of a millisecond.
  const auto deadline = std::chrono::steady_clock::now() + accept_wait;
  std::chrono::microseconds pause{100};
  Lookup got = Lookup::Failed;
  for (;;) {
    got = Lookup::Failed;
    if (source != PeerSource::ProcNet) got = lookupBoth(diagLookup, peer, self, uid);
    if (got == Lookup::Failed && source != PeerSource::SockDiag) {
      got = lookupBoth(procLookup, peer, self, uid);
    }
    if (got != Lookup::Pending || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }
  if (got == Lookup::Found) {
    out.known = true;
    out.uid = uid;
  } else {
    out.reason = got == Lookup::Absent    ? "no local socket owns the other end"
                 : got == Lookup::Pending ? "the other end never accepted the connection"
                                          : "socket tables cannot be read";
  }
  return out;
}

}  // namespace

PeerUid peerUidOf(int fd) { return lookUpPeer(fd, PeerSource::Any, ACCEPT_WAIT); }

PeerUid peerUidOf(int fd, PeerSource source) { return lookUpPeer(fd, source, ACCEPT_WAIT); }

PeerUid peerUidOfClient(int fd) {
  return lookUpPeer(fd, PeerSource::Any, std::chrono::milliseconds(0));
}

bool serviceUidAcceptable(const PeerUid& peer, std::string& why) {
  if (!peer.known) {
    why = "cannot tell who runs the service (" + peer.reason + ")";
    return false;
  }
  if (peer.uid == 0 || peer.uid == geteuid()) return true;
  const char* trust = std::getenv(TRUST_SERVICE_UID_ENV);
  if (trust != nullptr && *trust != '\0') {
    if (std::strcmp(trust, "any") == 0) return true;
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(trust, &end, 10);
    if (errno == 0 && end != trust && *end == '\0' && v == peer.uid) return true;
  }
  why = "the service port belongs to uid " + std::to_string(peer.uid) +
        ", not to root: refusing to talk to it";
  return false;
}

bool checkServiceEnd(int fd, std::string& why) { return serviceUidAcceptable(peerUidOf(fd), why); }

}  // namespace nelt
