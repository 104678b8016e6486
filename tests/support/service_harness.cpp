#include "service_harness.h"

#include <poll.h>
#include <sys/socket.h>

#include <thread>

#include "fsutil.h"
#include "json_util.h"

namespace nelt::test {

namespace {
constexpr auto START_TIMEOUT = std::chrono::seconds(30);

std::string configText(const ServiceOptions& o, int port, const std::string& root) {
  std::string text = "{\n";
  text += "  \"host\": \"" + nelt::jsonEscape(o.host) + "\",\n";
  text += "  \"local_port\": " + std::to_string(port) + ",\n";
  if (o.write_alternatives || !o.alternatives.empty()) {
    text += "  \"local_port_a\": [";
    for (size_t i = 0; i < o.alternatives.size(); ++i)
      text += (i ? ", " : "") + std::to_string(o.alternatives[i]);
    text += "],\n";
  }
  text += "  \"kavix_path\": \"" + root + "/kavix\",\n";
  text += "  \"data_kavix_path\": \"" + root + "/data\",\n";
  if (!o.extra_config.empty()) text += "  " + o.extra_config + ",\n";
  text += "  \"ip_lookup_url\": \"" + o.ip_lookup_url + "\"\n";
  return text + "}\n";
}

int portFromFile(const std::string& text) {
  const std::string prefix = "{\"port\":";
  if (text.compare(0, prefix.size(), prefix) != 0 || text.back() != '}') return -1;
  return std::atoi(text.c_str() + prefix.size());
}
}  // namespace

ServiceHarness::ServiceHarness() {
  nelt::makeDirs(root_.sub("etc/nelt"));
  nelt::makeDirs(root_.sub("usr/bin/nelt"));
  nelt::makeDirs(root_.sub("snap"));
  nelt::makeDirs(root_.sub("var/snap"));
}

std::string ServiceHarness::portFile() const { return root_.sub("usr/bin/nelt/.port.conf"); }

bool ServiceHarness::start(const ServiceOptions& options, bool wait_listening) {
  const int port = options.port >= 0 ? options.port : freeLoopbackPort();
  writeFile(root_.sub("etc/nelt/nelt_store.conf"), configText(options, port, root_.path()));
  std::vector<std::string> argv = options.wrapper;
  argv.push_back(binDir() + "/KavixService");
  if (!proc_.start(argv, {{"NELT_ROOT", root_.path()}}, root_.path())) return false;
  if (!wait_listening) return true;
  const auto deadline = std::chrono::steady_clock::now() + START_TIMEOUT;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = readFile(portFile());
    if (!text.empty()) {
      // Written just before the service listens; clients retry their connect.
      port_ = portFromFile(text);
      if (port_ > 0) return true;
    }
    if (!proc_.running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool ServiceHarness::connect(ProtoClient& client) { return client.connectTo(port_); }

bool ServiceHarness::waitForErr(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (proc_.err().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return proc_.err().find(text) != std::string::npos;
}

bool ServiceHarness::waitForOutCount(const std::string& text, size_t count,
                                     std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (countOf(proc_.out(), text) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return countOf(proc_.out(), text) >= count;
}

size_t ServiceHarness::countOf(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size()))
    ++n;
  return n;
}

std::vector<int> connectedSockets(const std::string& out) {
  static const std::string LINE = "[LOG]Client connected to Server:";
  std::vector<int> sockets;
  for (size_t at = out.find(LINE); at != std::string::npos; at = out.find(LINE, at + 1))
    sockets.push_back(std::atoi(out.c_str() + at + LINE.size()));
  return sockets;
}

bool readRaw(ProtoClient& client, size_t n, std::string& out, std::chrono::milliseconds timeout) {
  out.clear();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  while (out.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{client.fd(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    const size_t want = std::min(sizeof buf, n - out.size());
    const ssize_t r = recv(client.fd(), buf, want, 0);
    if (r <= 0) return false;
    out.append(buf, static_cast<size_t>(r));
  }
  return true;
}

bool readUntilClosed(ProtoClient& client, std::string& received,
                     std::chrono::milliseconds timeout) {
  received.clear();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{client.fd(), POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t r = recv(client.fd(), buf, sizeof buf, 0);
    if (r <= 0) return true;
    received.append(buf, static_cast<size_t>(r));
  }
  return false;
}

}  // namespace nelt::test
