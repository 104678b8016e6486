// KavixService under load: prints figures, asserts nothing. Each figure is a
// ratio against a baseline measured in the same run, as the median of
// several runs.
//   start-up to port open with 200 installed apps (store answering, store
//     stalled) against the figure with none;
//   `GET 6` with 50 and 200 installed apps against one store round trip,
//     with 20 ms of added store latency;
//   `GET 18` while a 200-app list runs, in milliseconds;
//   the request path: round trip and pipelined throughput of `GET 17`
//     against a minimal C server on loopback that sends the same reply.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fsutil.h"
#include "protocol.h"
#include "service_harness.h"

using namespace nelt::test;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void installApps(const std::string& root, int count) {
  static const char* const SLUGS[] = {"hello-nelt", "ghi-chu", "may-tinh", "lich-viet",
                                      "doc-sach",   "sao-luu", "sudoku",   "nen-tep"};
  for (int i = 0; i < count; ++i) {
    const std::string slug = i < 8 ? SLUGS[i] : "bench-app-" + std::to_string(i);
    const std::string name = "app" + std::to_string(i);
    const std::string base = root + "/snap/" + name;
    nelt::makeDirs(base + "/1/meta");
    writeFile(base + "/1/meta/snap.yaml", "name: " + name +
                                              "\nversion: 0.1\nsummary: b\napps:\n  " + name +
                                              ":\n    command: bin/run\n");
    symlink("1", (base + "/current").c_str());
    writeFile(base + "/kavix.json", "{\"name\":\"" + name + "\",\"long-name\":\"A\",\"slug\":\"" +
                                        slug + "\",\"version\":\"0.1\"}");
  }
}

double startupMs(StoreServer& store, int apps) {
  ServiceHarness service;
  installApps(service.root(), apps);
  ServiceOptions options;
  options.host = store.baseUrl();
  const auto t0 = Clock::now();
  if (!service.start(options, false)) return -1;
  // The port file is looked at every millisecond (the harness's 20 ms steps
  // would be a third of the figure).
  const auto deadline = t0 + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    const std::string text = readFile(service.portFile());
    const size_t colon = text.find(':');
    const int port = colon == std::string::npos ? 0 : std::atoi(text.c_str() + colon + 1);
    ProtoClient c;
    if (port > 0 && c.connectTo(port)) return msSince(t0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return -1;
}

// The baseline of the request path: a forked process that accepts one
// connection at a time and answers every line feed it reads with `reply`,
// the replies to one read in one send, as simply as C allows.
struct EchoServer {
  pid_t pid = -1;
  int port = -1;

  bool start(const std::string& reply) {
    const int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (ls < 0 || bind(ls, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(ls, 16) != 0 || getsockname(ls, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return false;
    port = ntohs(addr.sin_port);
    pid = fork();
    if (pid == 0) {
      char buf[4096];
      std::vector<char> out(sizeof buf * reply.size());
      for (;;) {
        const int c = accept(ls, nullptr, nullptr);
        if (c < 0) continue;
        ssize_t n;
        while ((n = recv(c, buf, sizeof buf, 0)) > 0) {
          size_t len = 0;
          for (ssize_t i = 0; i < n; ++i)
            if (buf[i] == '\n') {
              std::memcpy(out.data() + len, reply.data(), reply.size());
              len += reply.size();
            }
          if (len > 0) send(c, out.data(), len, MSG_NOSIGNAL);
        }
        close(c);
      }
    }
    close(ls);
    return pid > 0;
  }
  ~EchoServer() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

// Mean milliseconds per request over `count` requests sent one at a time.
double roundTripMs(ProtoClient& c, const std::string& line, int count) {
  std::string text;
  const auto t0 = Clock::now();
  for (int i = 0; i < count; ++i)
    if (!c.request(line, text)) return -1;
  return msSince(t0) / count;
}

// Requests per second with `window` requests sent together, `count` in all.
double requestsPerSecond(ProtoClient& c, const std::string& line, int count, int window) {
  std::string batch, text;
  for (int i = 0; i < window; ++i) batch += line;
  const auto t0 = Clock::now();
  for (int done = 0; done < count; done += window) {
    if (!c.sendRaw(batch)) return -1;
    for (int i = 0; i < window; ++i)
      if (!c.readReply(text)) return -1;
  }
  return count / (msSince(t0) / 1000);
}

// `GET 17` (the store address, answered by the dispatcher from memory)
// against the C server, alternating `runs` runs so both see the same
// machine.
bool requestPath(StoreServer& store, int runs) {
  ServiceHarness service;
  ServiceOptions options;
  options.host = store.baseUrl();
  if (!service.start(options)) return false;
  ProtoClient c;
  std::string text;
  const std::string line = "GET 17\n";
  if (!c.connectTo(service.port()) || !c.request(line, text)) return false;
  EchoServer echo;
  ProtoClient e;
  if (!echo.start(nelt::frameReply(text)) || !e.connectTo(echo.port)) return false;
  std::vector<double> svc_trip, echo_trip, svc_rate, echo_rate;
  roundTripMs(c, line, 200);  // warm both
  roundTripMs(e, line, 200);
  for (int r = 0; r < runs; ++r) {
    svc_trip.push_back(roundTripMs(c, line, 500));
    echo_trip.push_back(roundTripMs(e, line, 500));
    svc_rate.push_back(requestsPerSecond(c, line, 8000, 16));
    echo_rate.push_back(requestsPerSecond(e, line, 8000, 16));
  }
  std::printf("GET 17 round trip vs a C server:           %8.2f x (%.1f us vs %.1f us)\n",
              median(svc_trip) / median(echo_trip), median(svc_trip) * 1000,
              median(echo_trip) * 1000);
  std::printf("GET 17 throughput, 16 in flight, vs C:     %8.2f x (%.0f vs %.0f per s)\n",
              median(svc_rate) / median(echo_rate), median(svc_rate), median(echo_rate));
  return true;
}

}  // namespace

int main() {
  TempDir work;
  StoreServer store;
  if (!store.start(work.path())) {
    std::fprintf(stderr, "nelt-store-server did not start\n");
    return 1;
  }
  const int runs = 3;
  std::printf("KavixService benchmark (median of %d runs)\n", runs);
  if (!requestPath(store, 9)) std::fprintf(stderr, "the request path section failed\n");

  std::vector<double> none, answering, stalled;
  for (int r = 0; r < 2 * runs - 1; ++r) {
    store.reset();
    none.push_back(startupMs(store, 0));
    answering.push_back(startupMs(store, 200));
    store.setMode("{\"stall\":true}");
    stalled.push_back(startupMs(store, 200));
    store.reset();
  }
  const double base = median(none);
  std::printf("start-up to port open, no apps:            %8.1f ms (median of %zu)\n", base,
              none.size());
  std::printf("  200 apps, store answering:               %8.2f x\n", median(answering) / base);
  std::printf("  200 apps, store stalled:                 %8.2f x\n", median(stalled) / base);

  for (int apps : {50, 200}) {
    ServiceHarness service;
    installApps(service.root(), apps);
    ServiceOptions options;
    options.host = store.baseUrl();
    options.extra_config = "\"version_reuse_seconds\": 0";
    if (!service.start(options)) return 1;
    ProtoClient c;
    if (!c.connectTo(service.port())) return 1;
    std::string text;
    c.request("GET 7\n", text, std::chrono::seconds(60));  // start-up work done
    store.setMode("{\"latency_ms\":20}");
    std::vector<double> trip, list;
    for (int r = 0; r < runs; ++r) {
      std::string body;
      auto t0 = Clock::now();
      httpRequest("GET", store.baseUrl() + "/api/v1/apps/hello-nelt/detailAppByName", "", body);
      trip.push_back(msSince(t0));
      t0 = Clock::now();
      c.request("GET 6\n", text, std::chrono::seconds(120));
      list.push_back(msSince(t0));
    }
    std::printf(
        "GET 6, %3d apps, 20 ms store latency:      %8.2f x one store round trip "
        "(%.1f ms)\n",
        apps, median(list) / median(trip), median(trip));
    if (apps == 200) {
      ProtoClient window, lister;
      if (!window.connectTo(service.port()) || !lister.connectTo(service.port())) return 1;
      std::vector<double> checks;
      lister.sendRaw("GET 6\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      for (int i = 0; i < 15; ++i) {
        const auto t0 = Clock::now();
        window.request("GET 18\n", text);
        checks.push_back(msSince(t0));
      }
      lister.readReply(text, std::chrono::seconds(120));
      std::printf("GET 18 while a 200-app list runs:          %8.2f ms (median of %zu)\n",
                  median(checks), checks.size());
    }
    store.reset();
  }
  return 0;
}
