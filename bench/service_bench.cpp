// KavixService under load: prints figures, asserts nothing. Each figure is a
// ratio against a baseline measured in the same run, as the median of
// several runs.
//   start-up to port open with 200 installed apps (store answering, store
//     stalled) against the figure with none;
//   `GET 6` with 50 and 200 installed apps against one store round trip,
//     with 20 ms of added store latency;
//   `GET 18` while a 200-app list runs, in milliseconds.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "fsutil.h"
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
  static const char* const kSlugs[] = {"hello-nelt", "ghi-chu", "may-tinh", "lich-viet",
                                       "doc-sach",   "sao-luu", "sudoku",   "nen-tep"};
  for (int i = 0; i < count; ++i) {
    const std::string slug = i < 8 ? kSlugs[i] : "bench-app-" + std::to_string(i);
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
  if (!service.start(options)) return -1;
  ProtoClient c;
  if (!c.connectTo(service.port())) return -1;
  return msSince(t0);
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

  std::vector<double> none, answering, stalled;
  for (int r = 0; r < runs; ++r) {
    store.reset();
    none.push_back(startupMs(store, 0));
    answering.push_back(startupMs(store, 200));
    store.setMode("{\"stall\":true}");
    stalled.push_back(startupMs(store, 200));
    store.reset();
  }
  const double base = median(none);
  std::printf("start-up to port open, no apps:            %8.1f ms\n", base);
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
