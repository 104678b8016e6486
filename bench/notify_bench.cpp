// Weighs nelt-notify while it waits between checks: resident memory and
// processor time over an idle period after its first check against the real
// service (local store server, KavixService started here), each against a
// bare Qt Core process holding a session-bus connection (the toolkit's own
// floor), idling alongside. Runs itself under dbus-run-session when no session
// bus is there. Prints medians and ratios; asserts nothing.
//
//   nelt-notify-bench [--runs N] [--idle SECONDS] [--bin-dir FOLDER]
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service_harness.h"
#include "test_support.h"

using nelt::test::ChildProcess;
using nelt::test::ServiceHarness;
using nelt::test::ServiceOptions;
using nelt::test::StoreServer;
using nelt::test::TempDir;

namespace {

long rssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// User plus system time in clock ticks (fields 14 and 15 of /proc/PID/stat).
long cpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::atol(f.c_str());
    if (i == 15) stime = std::atol(f.c_str());
  }
  return utime + stime;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int bare(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QDBusConnection::sessionBus().registerService(QStringLiteral("vn.nelt.BenchBare"));
  return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--bare") return bare(argc, argv);
  int runs = 3, idle = 10;
  std::string bin_dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (opt == "--idle") idle = std::max(1, std::atoi(argv[i + 1]));
    if (opt == "--bin-dir") bin_dir = argv[i + 1];
  }
  if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
    std::vector<char*> args = {const_cast<char*>("dbus-run-session"), const_cast<char*>("--")};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("dbus-run-session", args.data());
    std::perror("dbus-run-session");
    return 1;
  }
  if (!bin_dir.empty()) setenv("NELT_BIN_DIR", bin_dir.c_str(), 1);
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = '\0';

  TempDir work;
  StoreServer store;
  if (!store.start(work.path())) {
    std::fprintf(stderr, "the local store server did not start\n");
    return 1;
  }
  ServiceHarness service;
  ServiceOptions options;
  options.host = store.baseUrl();
  if (!service.start(options)) {
    std::fprintf(stderr, "the service did not start\n");
    return 1;
  }
  const long hz = sysconf(_SC_CLK_TCK);
  std::vector<double> rss_notify, rss_bare, cpu_notify, cpu_bare;
  for (int run = 0; run < runs; ++run) {
    const size_t checks = ServiceHarness::countOf(service.proc().out(), "GET 6 \n");
    ChildProcess notify, floor;
    if (!notify.start({nelt::test::binDir() + "/nelt-notify", "--interval", "6h"},
                      {{"NELT_ROOT", service.root()}}, work.path()) ||
        !floor.start({self, "--bare"}, {}, work.path()))
      return 1;
    if (!service.waitForOutCount("GET 6 \n", checks + 1, std::chrono::seconds(30))) {
      std::fprintf(stderr, "nelt-notify made no check\n");
      return 1;
    }
    // Let the check's reply be handled and the worker go idle.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long n0 = cpuTicks(notify.pid()), b0 = cpuTicks(floor.pid());
    std::this_thread::sleep_for(std::chrono::seconds(idle));
    cpu_notify.push_back((cpuTicks(notify.pid()) - n0) * 1000.0 / hz);
    cpu_bare.push_back((cpuTicks(floor.pid()) - b0) * 1000.0 / hz);
    rss_notify.push_back(rssKb(notify.pid()) / 1024.0);
    rss_bare.push_back(rssKb(floor.pid()) / 1024.0);
    notify.terminate();
    floor.terminate();
  }
  const double rn = median(rss_notify), rb = median(rss_bare);
  std::printf("nelt-notify idle after its first check (median of %d, %d s idle)\n", runs, idle);
  std::printf("  resident memory: %.1f MiB, bare Qt Core + D-Bus process %.1f MiB (%.2f x)\n", rn,
              rb, rb > 0 ? rn / rb : 0);
  std::printf("  processor time while idle: %.0f ms, bare process %.0f ms\n", median(cpu_notify),
              median(cpu_bare));
  return 0;
}
