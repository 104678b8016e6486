// Times and weighs the store window against the sample store (local store
// server and the real KavixService, both started here):
//   1. cold start: a new window process from exec to the first paint of its
//      filled home page, against a bare Qt process that shows an empty window
//      of the same size (the toolkit's own start-up cost);
//   2. resident memory on the home page, after 50 home refreshes and after
//      opening every application of the sample store, against the bare window;
//   3. processor time while the window sits idle (only the open-window poll
//      runs), against the bare window idling alongside.
// Each window runs in its own process (offscreen). Prints medians and ratios;
// asserts nothing.
//
//   nelt-window-bench [--runs N] [--idle SECONDS] [--bin-dir FOLDER]
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMainWindow>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "service_harness.h"
#include "store_app.h"
#include "test_support.h"
#include "ui_main_window.h"

namespace {

long long monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

long rssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

double cpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Catches the first paint of a widget.
class PaintWatch : public QObject {
 public:
  long long painted_ns = 0;
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Paint && painted_ns == 0) painted_ns = monotonicNs();
    return QObject::eventFilter(o, e);
  }
};

// ---- child side: one window process, results as "key=value" lines ----

int runChild(const std::string& kind, int idle_s, const std::vector<std::string>& slugs) {
  int argc = 1;
  char name[] = "nelt-window-bench";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  PaintWatch watch;
  std::unique_ptr<StoreWindow> store;
  std::unique_ptr<QMainWindow> bare;
  QWidget* watched = nullptr;
  if (kind == "store") {
    // The service notices the previous window's exit on its own thread; until
    // then a new window is taken for a second start. Ask again shortly.
    for (int attempt = 0; !store && attempt < 50; ++attempt) {
      store = startStore({});
      if (!store) usleep(100 * 1000);
    }
    if (!store) return 1;
    watched = store->window->ui->pages;
  } else {
    bare = std::make_unique<QMainWindow>();
    bare->setFixedSize(1000, 800);
    bare->setStyleSheet("background-color: rgb(245, 245, 245);");
    bare->setCentralWidget(new QWidget);
    watched = bare->centralWidget();
    bare->show();
  }
  watched->installEventFilter(&watch);
  QElapsedTimer t;
  t.start();
  while (watch.painted_ns == 0 && t.elapsed() < 30000) QTest::qWait(1);
  std::printf("painted_ns=%lld\n", watch.painted_ns);
  QTest::qWait(300);
  std::printf("rss_home_kb=%ld\n", rssKb());

  if (store && !slugs.empty()) {
    AppController& ac = store->controller->app_controller;
    for (int i = 0; i < 50; ++i) {
      ac.flag_refresh = true;
      ac.refreshHomeView();
      QTest::qWait(0);
    }
    QTest::qWait(300);
    std::printf("rss_refreshed_kb=%ld\n", rssKb());
    for (const std::string& slug : slugs) {
      store->controller->openapp(slug);
      QTest::qWait(0);
    }
    QTest::qWait(300);
    std::printf("rss_all_apps_kb=%ld\n", rssKb());
  }

  if (idle_s > 0) {
    const double before = cpuMs();
    // A plain event loop: QTest::qWait wakes every few milliseconds itself.
    QEventLoop idle_loop;
    QTimer::singleShot(idle_s * 1000, &idle_loop, &QEventLoop::quit);
    idle_loop.exec();
    std::printf("idle_cpu_ms=%.1f\n", cpuMs() - before);
  }
  std::fflush(stdout);
  return 0;
}

// ---- parent side ----

std::map<std::string, double> parse(const std::string& out) {
  std::map<std::string, double> values;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || line.find(' ') != std::string::npos) continue;
    values[line.substr(0, eq)] = std::atof(line.c_str() + eq + 1);
  }
  return values;
}

struct Child {
  nelt::test::ChildProcess proc;
  long long started_ns = 0;
};

bool startChild(Child& c, const std::string& self, const std::vector<std::string>& args,
                const std::string& root, const std::string& logs) {
  std::vector<std::string> argv = {self, "--child"};
  argv.insert(argv.end(), args.begin(), args.end());
  c.started_ns = monotonicNs();
  return c.proc.start(argv, {{"NELT_ROOT", root}, {"QT_QPA_PLATFORM", "offscreen"}}, logs);
}

std::map<std::string, double> finish(Child& c, int timeout_s) {
  const int status = c.proc.wait(std::chrono::seconds(timeout_s));
  if (status != 0) {
    std::fprintf(stderr, "window process failed (%d): %s\n", status, c.proc.err().c_str());
    return {};
  }
  auto v = parse(c.proc.out());
  if (v.count("painted_ns")) v["start_ms"] = (v["painted_ns"] - c.started_ns) / 1e6;
  return v;
}

std::vector<std::string> sampleSlugs() {
  const std::string text =
      nelt::test::readFile(nelt::test::sourceDir() + "/catalog/sample/apps.json");
  std::vector<std::string> slugs;
  const std::string key = "\"slug\"";
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    const size_t q1 = text.find('"', text.find(':', at) + 1);
    const size_t q2 = text.find('"', q1 + 1);
    if (q1 == std::string::npos || q2 == std::string::npos) break;
    slugs.push_back(text.substr(q1 + 1, q2 - q1 - 1));
  }
  return slugs;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5, idle = 10;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--child") {
    // --child KIND IDLE [SLUG...]
    if (args.size() < 3) return 2;
    return runChild(args[1], std::atoi(args[2].c_str()),
                    std::vector<std::string>(args.begin() + 3, args.end()));
  }
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    if (args[i] == "--runs")
      runs = std::max(1, std::atoi(args[i + 1].c_str()));
    else if (args[i] == "--idle")
      idle = std::max(1, std::atoi(args[i + 1].c_str()));
    else if (args[i] == "--bin-dir")
      setenv("NELT_BIN_DIR", args[i + 1].c_str(), 1);
    else {
      std::fprintf(stderr,
                   "usage: nelt-window-bench [--runs N] [--idle SECONDS] [--bin-dir DIR]\n");
      return 2;
    }
  }
  if (args.size() % 2 != 0) return 2;
  unsetenv("DISPLAY");
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = '\0';

  nelt::test::TempDir work;
  nelt::test::StoreServer store_server;
  if (!store_server.start(work.path())) {
    std::fprintf(stderr, "the local store server did not start\n");
    return 1;
  }
  nelt::test::ServiceHarness service;
  nelt::test::ServiceOptions options;
  options.host = store_server.baseUrl();
  if (!service.start(options)) {
    std::fprintf(stderr, "KavixService did not start\n");
    return 1;
  }
  const std::string root = service.root();
  const std::vector<std::string> slugs = sampleSlugs();
  std::printf("Store window benchmark: sample store (%zu applications), %d runs, offscreen\n\n",
              slugs.size(), runs);

  // 1. Cold start, alternating the bare window and the store window.
  std::vector<double> bare_ms, store_ms;
  Child warm;  // fills the service's cache and the file cache once
  if (startChild(warm, self, {"store", "0"}, root, work.path())) finish(warm, 120);
  for (int i = 0; i < runs; ++i) {
    Child b, s;
    if (startChild(b, self, {"bare", "0"}, root, work.path())) {
      auto v = finish(b, 60);
      if (v.count("start_ms")) bare_ms.push_back(v["start_ms"]);
    }
    if (startChild(s, self, {"store", "0"}, root, work.path())) {
      auto v = finish(s, 120);
      if (v.count("start_ms")) store_ms.push_back(v["start_ms"]);
    }
  }
  const double mb = median(bare_ms), ms = median(store_ms);
  std::printf("Cold start to the first paint (median of %d)\n", runs);
  std::printf("  bare Qt window              %8.1f ms\n", mb);
  std::printf("  store window, home filled   %8.1f ms   (%.2fx the bare window)\n\n", ms,
              mb > 0 ? ms / mb : 0.0);

  // 2 and 3. Memory along the way, then idle processor time, both windows at once.
  Child b, s;
  std::vector<std::string> store_args = {"store", std::to_string(idle)};
  store_args.insert(store_args.end(), slugs.begin(), slugs.end());
  const bool b_ok = startChild(b, self, {"bare", std::to_string(idle)}, root, work.path());
  const bool s_ok = startChild(s, self, store_args, root, work.path());
  auto bv = b_ok ? finish(b, idle + 120) : std::map<std::string, double>{};
  auto sv = s_ok ? finish(s, idle + 300) : std::map<std::string, double>{};
  const double base_rss = bv["rss_home_kb"] / 1024.0;
  auto rssLine = [&](const char* label, const char* key) {
    const double mib = sv[key] / 1024.0;
    std::printf("  %-34s %7.1f MiB   (%.2fx the bare window)\n", label, mib,
                base_rss > 0 ? mib / base_rss : 0.0);
  };
  std::printf("Resident memory\n");
  std::printf("  %-34s %7.1f MiB\n", "bare Qt window", base_rss);
  rssLine("store window, home page", "rss_home_kb");
  rssLine("after 50 home refreshes", "rss_refreshed_kb");
  char label[64];
  std::snprintf(label, sizeof label, "after opening all %zu applications", slugs.size());
  rssLine(label, "rss_all_apps_kb");
  std::printf("\nProcessor time over %d s idle\n", idle);
  std::printf("  bare Qt window              %8.1f ms  (%.3f%% of one core)\n", bv["idle_cpu_ms"],
              bv["idle_cpu_ms"] / (idle * 10.0));
  std::printf("  store window (1 s poll)     %8.1f ms  (%.3f%% of one core)\n", sv["idle_cpu_ms"],
              sv["idle_cpu_ms"] / (idle * 10.0));
  return 0;
}
