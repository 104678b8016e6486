// Runs the real KavixService under a private NELT_ROOT for a test: writes its
// configuration, starts it, finds its port through the port file and offers
// raw socket helpers for byte-exact checks.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "test_support.h"

namespace nelt::test {

struct ServiceOptions {
  std::string host;                  // "host"; empty keeps the service offline
  int port = -1;                     // "local_port"; -1 picks a free loopback port
  std::vector<int> alternatives;     // "local_port_a"
  bool write_alternatives = false;   // write "local_port_a" even when empty
  std::string ip_lookup_url;         // "ip_lookup_url"; empty: no lookup
  std::vector<std::string> wrapper;  // program (and arguments) to start it through
  std::string extra_config;          // more members, written as given ("key": value)
};

class ServiceHarness {
 public:
  ServiceHarness();
  // Writes the configuration and starts the service. With `wait_listening`
  // it returns once the port file names the port.
  bool start(const ServiceOptions& options = {}, bool wait_listening = true);
  int port() const { return port_; }
  const std::string& root() const { return root_.path(); }
  std::string dataDir() const { return root_.sub("data"); }
  std::string portFile() const;
  ChildProcess& proc() { return proc_; }

  // Connects a client to the service (fails the test on error).
  bool connect(ProtoClient& client);
  // Waits until standard error / output contains `text` `count` times.
  bool waitForErr(const std::string& text, std::chrono::milliseconds timeout);
  bool waitForOutCount(const std::string& text, size_t count, std::chrono::milliseconds timeout);
  static size_t countOf(const std::string& haystack, const std::string& needle);

 private:
  TempDir root_;
  ChildProcess proc_;
  int port_ = 0;
};

// The socket numbers of the "Client connected to Server:N" lines, in order.
std::vector<int> connectedSockets(const std::string& out);
// Reads exactly `n` bytes from a client's socket before the deadline.
bool readRaw(ProtoClient& client, size_t n, std::string& out,
             std::chrono::milliseconds timeout = std::chrono::seconds(15));
// Reads whatever arrives until the peer closes; false when it stays open.
bool readUntilClosed(ProtoClient& client, std::string& received,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace nelt::test
