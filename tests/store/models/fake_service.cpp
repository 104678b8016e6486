#include "fake_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "protocol.h"

namespace nelt::test {

FakeReply framed(const std::string& status, const std::string& data) {
  FakeReply r;
  r.bytes = frameReply(replyText(status, data));
  return r;
}

FakeService::~FakeService() { stop(); }

bool FakeService::start(Handler handler) {
  handler_ = std::move(handler);
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0)
    return false;
  socklen_t len = sizeof addr;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread(&FakeService::acceptLoop, this);
  return true;
}

void FakeService::stop() {
  if (stopping_.exchange(true)) return;
  if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : conns_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : workers_)
    if (t.joinable()) t.join();
  for (int fd : conns_) ::close(fd);
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
}

std::vector<std::string> FakeService::lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool FakeService::waitForLines(size_t n, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (lines().size() >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return lines().size() >= n;
}

void FakeService::acceptLoop() {
  while (!stopping_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mutex_);
    conns_.push_back(fd);
    workers_.emplace_back(&FakeService::serve, this, fd);
  }
}

void FakeService::serve(int fd) {
  std::string pending;
  char buf[2048];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, nl + 1);
      pending.erase(0, nl + 1);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
      }
      const FakeReply reply = handler_(line);
      if (!reply.silent) {
        size_t off = 0;
        while (off < reply.bytes.size()) {
          const size_t len = reply.chunk == 0 ? reply.bytes.size() - off
                                              : std::min(reply.chunk, reply.bytes.size() - off);
          if (::send(fd, reply.bytes.data() + off, len, MSG_NOSIGNAL) < 0) return;
          off += len;
          if (off < reply.bytes.size() && reply.pause.count() > 0)
            std::this_thread::sleep_for(reply.pause);
        }
      }
      if (reply.close_after) {
        ::shutdown(fd, SHUT_RDWR);
        return;
      }
    }
  }
}

}  // namespace nelt::test
