// A scripted stand-in for the store service on a loopback port: it records
// every request line and answers each through a handler, with control over
// how the reply bytes are cut and paced. For testing the window's client and
// engine without the real service.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nelt::test {

struct FakeReply {
  std::string bytes;                   // raw bytes to send (usually a framed reply)
  size_t chunk = 0;                    // send in pieces of this size (0: at once)
  std::chrono::milliseconds pause{0};  // pause between pieces
  bool close_after = false;            // close the connection afterwards
  bool silent = false;                 // send nothing at all
};

// The framed reply text "STATUS DATA\n".
FakeReply framed(const std::string& status, const std::string& data);

class FakeService {
 public:
  using Handler = std::function<FakeReply(const std::string& line)>;

  FakeService() = default;
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  // Listens on 127.0.0.1 with a free port. The handler gets each request
  // line with its line feed.
  bool start(Handler handler);
  void stop();
  int port() const { return port_; }
  std::vector<std::string> lines();
  // Waits until at least `n` lines have arrived.
  bool waitForLines(size_t n, std::chrono::milliseconds timeout);

 private:
  void acceptLoop();
  void serve(int fd);

  Handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<int> conns_;
  std::vector<std::thread> workers_;
};

}  // namespace nelt::test
