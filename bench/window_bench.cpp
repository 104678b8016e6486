// Times and weighs the store window against the sample store (local store
// server and the real KavixService, both started here):
//   1. cold start: a new window process from exec to the first paint of its
//      filled home page, against a bare Qt process that shows an empty window
//      of the same size (the toolkit's own start-up cost);
//   2. resident memory on the home page, after 50 home refreshes and after
//      opening every application of the sample store, against the bare window;
//   3. processor time while the window sits idle (only the open-window poll
//      runs), against the bare window idling alongside;
//   4. long lists: the section page at 25 and 1,300 applications, a search
//      with 500 matches, the installed page at 1,000 applications and the
//      controllers' start with 0 and 1,000 installed applications, built by
//      the real controllers from generated replies of a scripted service
//      client (the window's own cost, without the service's exchanges):
//      time to the first painted screen, the longest stall of a 1 ms
//      heartbeat on the event loop, and resident memory growth;
//   5. the real NeltStore program from exec to its first paint, its filled
//      home and its applied installed list, paired run by run with the bare
//      window, against the real service with 0 and with 1,000 installed
//      applications, and the longest event-loop stall while it fills;
//   6. the same pages in the real NeltStore sequence against the real
//      service and a generated catalog (1,300 applications in one section,
//      500 search matches, 1,000 installed applications planted below a
//      private NELT_ROOT), exchanges included: time to the first painted
//      screen, the longest stall and resident memory growth; and the home
//      built again on that catalog, as a restarted service has it built.
// Each window runs in its own process (offscreen). Prints medians and ratios;
// asserts nothing.
//
//   nelt-window-bench [--runs N] [--idle SECONDS] [--bin-dir FOLDER]
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
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

#include "app_controller.h"
#include "fake_service_client.h"
#include "fsutil.h"
#include "list_apps_view.h"
#include "main_window.h"
#include "service_harness.h"
#include "store_app.h"
#include "store_globals.h"
#include "test_support.h"
#include "ui_list_apps_view.h"
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

std::string generatedList(int count, bool search) {
  std::string out = "{\"total\":" + std::to_string(count) + ",\"data\":[";
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    out += std::string(i ? "," : "") + "{\"id\":" + std::to_string(1000 + i) + ",\"slug\":\"app-" +
           n + "\",\"name\":\"Ứng dụng " + n + "\",\"currentVersion\":\"1.0." + n + "\"," +
           (search ? "\"data_version\":{\"shortDescription\":\"Mô tả ngắn " + n + "\"}"
                   : "\"shortDescription\":\"Mô tả ngắn " + n + "\"") +
           "}";
  }
  return out + "]}";
}

std::string generatedInstalled(int count) {
  std::string out = "{\"total\":" + std::to_string(count) + ",\"data\":[";
  for (int i = 0; i < count; ++i)
    out += std::string(i ? "," : "") + "{\"slug\":\"app-" + std::to_string(i) +
           "\",\"version\":\"1.0\"" + (i % 10 == 0 ? ",\"new-version\":\"1.1\",\"update\":1" : "") +
           "}";
  return out + "]}";
}

// Longest gap between ticks of a 1 ms timer, from start() on.
class Heartbeat : public QObject {
 public:
  Heartbeat() {
    connect(&timer, &QTimer::timeout, this, [this] {
      const long long now = monotonicNs();
      longest_ns = std::max(longest_ns, now - last_ns);
      last_ns = now;
    });
  }
  void start() {
    longest_ns = 0;
    last_ns = monotonicNs();
    timer.start(1);
  }
  // The gap still open counts too: a stall in progress.
  double longestMs() const { return std::max(longest_ns, monotonicNs() - last_ns) / 1e6; }
  QTimer timer;
  long long last_ns = 0, longest_ns = 0;
};

// Opens the list page `which` names as the search band ("search500", for
// `words`) or a strip's link ("section25" for the section `few`, otherwise
// `many`, both "name&id") does; the list's viewport.
QWidget* openListPage(AppController& ac, Ui_MainWindow* ui, const std::string& which,
                      const char* words, const char* few, const char* many) {
  if (which == "search500") {
    ui->textEditSearch->setText(QString::fromUtf8(words));
    ac.refreshListView();
  } else {
    nelt::window::KAVIX_SECTION_CURRENT = which == "section25" ? few : many;
    ac.onSectionDetailView();
  }
  return ui->pageListApps->ui->scrollAreaListApp->viewport();
}

// One list case on the real window and controllers, fed by a scripted client.
int runPageChild(const std::string& which) {
  int argc = 1;
  char name[] = "nelt-window-bench";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  nelt::test::FakeServiceClient api;
  const int installed = which == "installed1000" || which == "start1000" ? 1000 : 0;
  api.answer("installed", 200, generatedInstalled(installed));
  api.answer("detail", 200,
             R"({"name":"Ứng dụng","shortDescription":"Mô tả","currentVersion":"1.0"})");
  api.answer("sections", 200, "{\"total\":0,\"data\":[]}");
  api.answer("apps 25", 200, generatedList(25, false));
  api.answer("apps 1300", 200, generatedList(1300, false));
  api.answer("search nhiều", 200, generatedList(500, true));
  MainWindow window;
  AppController controller;
  int index_page = 65535;
  controller.setOBJECT(window.ui, &api, &index_page);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;
  QTest::qWait(100);
  const long rss_before = rssKb();
  Heartbeat beat;
  PaintWatch watch;
  beat.start();
  QTest::qWait(5);
  const long long t0 = monotonicNs();
  QWidget* painted = nullptr;
  if (which == "start0" || which == "start1000") {
    controller.control();
    painted = window.ui->pages;
  } else if (which == "installed1000") {
    controller.control();
    const long long t1 = monotonicNs();
    // Opened, the page is built (as the menu button does it).
    window.ui->pages->setCurrentWidget(window.ui->pageInstalled);
    controller.refreshInstalledListView();
    painted = window.ui->pageInstalled->ui->scrollAreaListApp->viewport();
    painted->installEventFilter(&watch);
    while (watch.painted_ns == 0 && monotonicNs() - t1 < 30000000000LL) QTest::qWait(1);
    std::printf("first_screen_ms=%.2f\n", (watch.painted_ns - t1) / 1e6);
    std::printf("start_ms=%.2f\n", (t1 - t0) / 1e6);
    painted = nullptr;
  } else {
    painted = openListPage(controller, window.ui, which, "nhiều", "Ít&25", "Nhiều&1300");
  }
  if (painted != nullptr) {
    const long long built = monotonicNs();
    painted->installEventFilter(&watch);
    painted->update();
    while (watch.painted_ns == 0 && monotonicNs() - t0 < 30000000000LL) QTest::qWait(1);
    std::printf("built_ms=%.2f\n", (built - t0) / 1e6);
    std::printf("first_screen_ms=%.2f\n", (watch.painted_ns - t0) / 1e6);
  }
  QTest::qWait(300);
  std::printf("stall_ms=%.2f\n", beat.longest_ns / 1e6);
  std::printf("rss_growth_kb=%ld\n", rssKb() - rss_before);
  std::fflush(stdout);
  return 0;
}

// One list page in the real window against the real service: the home is
// filled first, then the page is opened as the menu, the search band or a
// strip's link opens it.
int runRealPageChild(const std::string& which) {
  quietNetworkPolling();
  int argc = 1;
  char name[] = "nelt-window-bench";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  std::unique_ptr<StoreWindow> store;
  for (int attempt = 0; !store && attempt < 50; ++attempt) {
    store = startStore({});
    if (!store) usleep(100 * 1000);
  }
  if (!store) return 1;
  AppController& ac = store->controller->app_controller;
  bool home = false, catalog = false;
  QObject::connect(&ac, &AppController::homeRefreshed, [&home] { home = true; });
  QObject::connect(&ac, &AppController::catalogRead, [&catalog] { catalog = true; });
  QElapsedTimer waited;
  waited.start();
  while (!(home && catalog) && waited.elapsed() < 60000) QTest::qWait(5);
  QTest::qWait(300);
  Ui_MainWindow* ui = store->window->ui;
  const long rss_before = rssKb();
  Heartbeat beat;
  PaintWatch watch;
  beat.start();
  QTest::qWait(5);
  const long long t0 = monotonicNs();
  QWidget* painted = nullptr;
  if (which == "installed1000") {
    ui->pages->setCurrentWidget(ui->pageInstalled);
    ac.refreshInstalledListView();
    painted = ui->pageInstalled->ui->scrollAreaListApp->viewport();
  } else if (which == "home") {
    // Built again, as when the service is back after a restart.
    ac.switchRefreshFlag();
    ac.refreshHomeView();
    painted = ui->pageAll;
  } else {
    painted = openListPage(ac, ui, which, "zmau", "Vừa&98", "Nhiều&99");
  }
  const long long built = monotonicNs();
  painted->installEventFilter(&watch);
  painted->update();
  while (watch.painted_ns == 0 && monotonicNs() - t0 < 60000000000LL) QTest::qWait(1);
  // The home is shown while it is built again: what counts is when it is
  // whole.
  std::printf("first_screen_ms=%.2f\n", ((which == "home" ? built : watch.painted_ns) - t0) / 1e6);
  QTest::qWait(500);
  std::printf("stall_ms=%.2f\n", beat.longest_ns / 1e6);
  std::printf("rss_growth_kb=%ld\n", rssKb() - rss_before);
  std::fflush(stdout);
  return 0;
}

int runChild(const std::string& kind, int idle_s, const std::vector<std::string>& slugs) {
  // As the program's main does.
  if (kind == "store") quietNetworkPolling();
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

// Installed applications as the snap stand-in leaves them below `root`.
void plantInstalled(const std::string& root, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string name = "bench" + std::to_string(i);
    const std::string base = root + "/snap/" + name;
    nelt::makeDirs(base + "/1/meta");
    nelt::test::writeFile(base + "/1/meta/snap.yaml", "name: " + name +
                                                          "\nversion: 0.1\nsummary: b\napps:\n  " +
                                                          name + ":\n    command: bin/run\n");
    symlink("1", (base + "/current").c_str());
    nelt::test::writeFile(base + "/kavix.json", "{\"name\":\"" + name +
                                                    "\",\"long-name\":\"A\",\"slug\":\"bench-app-" +
                                                    std::to_string(i) + "\",\"version\":\"0.1\"}");
  }
}

// The real NeltStore program from exec against the service at `root`: first
// paint, filled home and the installed list applied, in ms after exec. A
// start taken for a second window (the service has not yet noticed the
// previous one's exit) ends at once; it is tried again.
std::map<std::string, double> runRealStore(const std::string& root, const std::string& logs) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    nelt::test::ChildProcess proc;
    const long long t0 = monotonicNs();
    if (!proc.start(
            {nelt::test::binDir() + "/NeltStore"},
            {{"NELT_ROOT", root}, {"QT_QPA_PLATFORM", "offscreen"}, {"NELT_TRACE_START", "1"}},
            logs))
      return {};
    const long long deadline = t0 + 60000000000LL;
    while (proc.out().find("stall_ms=") == std::string::npos && proc.running() &&
           monotonicNs() < deadline)
      usleep(2000);
    auto v = parse(proc.out());
    proc.terminate();
    proc.wait(std::chrono::seconds(10));
    if (!v.count("painted")) {
      usleep(100 * 1000);
      continue;
    }
    std::map<std::string, double> ms;
    for (const char* key : {"painted", "home_filled", "catalog_read"})
      if (v.count(key)) ms[key] = (v[key] - t0) / 1e6;
    if (v.count("stall_ms")) ms["stall"] = v["stall_ms"];
    return ms;
  }
  return {};
}

// The sample catalog with generated applications added: 1,300 in the
// section "Nhiều" (id 99), the first 500 of them named "zmau N" (the only
// ones a search for "zmau" finds), 25 of them also in "Vừa" (id 98), and
// "bench-app-N" for the installed applications plantInstalled leaves. Icons
// and images are the sample's own.
bool makeBigCatalog(const std::string& dir) {
  const std::string sample = nelt::test::sourceDir() + "/catalog/sample";
  rapidjson::Document apps, sections;
  apps.Parse(nelt::test::readFile(sample + "/apps.json").c_str());
  sections.Parse(nelt::test::readFile(sample + "/sections.json").c_str());
  if (apps.HasParseError() || sections.HasParseError() || !apps.HasMember("apps") ||
      !sections.HasMember("sections"))
    return false;
  auto& alloc = apps.GetAllocator();
  rapidjson::Value& list = apps["apps"];
  const rapidjson::Value model(list[0], alloc);
  rapidjson::Value many(rapidjson::kArrayType), some(rapidjson::kArrayType);
  auto add = [&](const std::string& slug, const std::string& name, int id) {
    rapidjson::Value record(model, alloc);
    record["id"].SetInt(id);
    record["slug"].SetString(slug.c_str(), alloc);
    record["name"].SetString(name.c_str(), alloc);
    record["shortDescription"].SetString(("Mô tả ngắn của " + name).c_str(), alloc);
    list.PushBack(record, alloc);
  };
  for (int i = 0; i < 1300; ++i) {
    const std::string slug = "many-" + std::to_string(i);
    add(slug, (i < 500 ? "zmau " : "Bản sao ") + std::to_string(i), 10000 + i);
    many.PushBack(rapidjson::Value(slug.c_str(), sections.GetAllocator()), sections.GetAllocator());
    if (i < 25)
      some.PushBack(rapidjson::Value(slug.c_str(), sections.GetAllocator()),
                    sections.GetAllocator());
  }
  for (int i = 0; i < 1000; ++i)
    add("bench-app-" + std::to_string(i), "Cài sẵn " + std::to_string(i), 20000 + i);
  auto section = [&](int id, const char* name, rapidjson::Value& slugs) {
    rapidjson::Value entry(rapidjson::kObjectType);
    auto& sa = sections.GetAllocator();
    entry.AddMember("id", id, sa);
    entry.AddMember("name", rapidjson::Value(name, sa), sa);
    entry.AddMember("apps", slugs, sa);
    sections["sections"].PushBack(entry, sa);
  };
  section(98, "Vừa", some);
  section(99, "Nhiều", many);
  auto text = [](const rapidjson::Document& doc) {
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> writer(out);
    doc.Accept(writer);
    return std::string(out.GetString(), out.GetSize());
  };
  nelt::makeDirs(dir);
  nelt::test::writeFile(dir + "/apps.json", text(apps));
  nelt::test::writeFile(dir + "/sections.json", text(sections));
  for (const char* file : {"accounts.json", "keys.json"})
    nelt::test::writeFile(dir + "/" + file, nelt::test::readFile(sample + "/" + file));
  return symlink((sample + "/images").c_str(), (dir + "/images").c_str()) == 0;
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
    if (args[1] == "page") return runPageChild(args[2]);
    if (args[1] == "realpage") return runRealPageChild(args[2]);
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
  std::printf("  store window (in-process)   %8.1f ms   (%.2fx the bare window)\n\n", ms,
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
  std::printf(
      "  store window (1 s poll)     %8.1f ms  (%.3f%% of one core)   (%.1fx the bare window)\n",
      sv["idle_cpu_ms"], sv["idle_cpu_ms"] / (idle * 10.0),
      bv["idle_cpu_ms"] > 0 ? sv["idle_cpu_ms"] / bv["idle_cpu_ms"] : 0.0);

  // 4. Long lists, each case in its own process; medians over the runs.
  std::printf(
      "\nLong lists (scripted client; first screen, longest stall, RSS growth; median of %d)\n",
      runs);
  std::map<std::string, std::map<std::string, double>> page;
  for (const char* which :
       {"start0", "start1000", "section25", "section1300", "search500", "installed1000"}) {
    std::map<std::string, std::vector<double>> got;
    for (int i = 0; i < runs; ++i) {
      Child c;
      if (!startChild(c, self, {"page", which}, root, work.path())) continue;
      for (const auto& kv : finish(c, 300)) got[kv.first].push_back(kv.second);
    }
    for (const auto& kv : got) page[which][kv.first] = median(kv.second);
    auto& v = page[which];
    std::printf("  %-14s first screen %8.1f ms   longest stall %7.1f ms   RSS +%6.1f MiB\n", which,
                v["first_screen_ms"], v["stall_ms"], v["rss_growth_kb"] / 1024.0);
  }
  const double s0 = page["start0"]["first_screen_ms"], s1000 = page["start1000"]["first_screen_ms"];
  std::printf("  controllers' start, 1,000 installed / none: %.2fx\n", s0 > 0 ? s1000 / s0 : 0.0);
  const double sec25 = page["section25"]["first_screen_ms"];
  std::printf("  section 1,300 / 25 apps, first screen: %.2fx\n",
              sec25 > 0 ? page["section1300"]["first_screen_ms"] / sec25 : 0.0);

  // 5. The real NeltStore program from exec, paired run by run with the bare
  // window, against the real service with 0 and with 1,000 installed
  // applications (a second service with its own NELT_ROOT).
  nelt::test::ServiceHarness service1000;
  plantInstalled(service1000.root(), 1000);
  if (!service1000.start(options)) {
    std::fprintf(stderr, "KavixService with 1,000 applications did not start\n");
    return 1;
  }
  runRealStore(root, work.path());  // warms the caches
  runRealStore(service1000.root(), work.path());
  std::map<std::string, std::vector<double>> real;
  for (int i = 0; i < runs; ++i) {
    Child b;
    if (startChild(b, self, {"bare", "0"}, root, work.path())) {
      auto v = finish(b, 60);
      if (v.count("start_ms")) real["bare"].push_back(v["start_ms"]);
    }
    for (const auto& kv : runRealStore(root, work.path()))
      real["0 " + kv.first].push_back(kv.second);
    for (const auto& kv : runRealStore(service1000.root(), work.path()))
      real["1000 " + kv.first].push_back(kv.second);
  }
  const double bare = median(real["bare"]);
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  std::printf("\nReal NeltStore from exec, real service (median of %d, offscreen)\n", runs);
  std::printf("  bare Qt window, first paint          %8.1f ms\n", bare);
  for (const char* apps : {"0", "1000"}) {
    const std::string k = apps;
    const double p = median(real[k + " painted"]), h = median(real[k + " home_filled"]),
                 c = median(real[k + " catalog_read"]), st = median(real[k + " stall"]);
    std::printf(
        "  %4s installed: painted %8.1f ms (%.2fx)  home filled %8.1f ms (%.2fx)  "
        "installed list applied %8.1f ms  longest stall %6.1f ms\n",
        apps, p, ratio(p, bare), h, ratio(h, bare), c, st);
  }
  std::printf("  1,000 / 0 installed: painted %.2fx, home filled %.2fx, installed list %.2fx\n",
              ratio(median(real["1000 painted"]), median(real["0 painted"])),
              ratio(median(real["1000 home_filled"]), median(real["0 home_filled"])),
              ratio(median(real["1000 catalog_read"]), median(real["0 catalog_read"])));

  // 6. The list pages against the real service and a generated catalog.
  nelt::test::StoreServer big_server;
  const std::string big_catalog = work.path() + "/big-catalog";
  if (!makeBigCatalog(big_catalog) || !big_server.start(work.path(), big_catalog)) {
    std::fprintf(stderr, "the generated catalog's store server did not start\n");
    return 1;
  }
  nelt::test::ServiceOptions big_options;
  big_options.host = big_server.baseUrl();
  nelt::test::ServiceHarness big0, big1000;
  plantInstalled(big1000.root(), 1000);
  if (!big0.start(big_options) || !big1000.start(big_options)) {
    std::fprintf(stderr, "KavixService on the generated catalog did not start\n");
    return 1;
  }
  std::printf(
      "\nList pages, real window and service, generated catalog (first screen, longest stall, "
      "RSS growth; median of %d)\n",
      runs);
  for (const char* which : {"home", "section25", "section1300", "search500", "installed1000"}) {
    const std::string r = std::string(which) == "installed1000" ? big1000.root() : big0.root();
    std::map<std::string, std::vector<double>> got;
    // One run first fills the service's cache of the store's replies.
    for (int i = 0; i <= runs; ++i) {
      Child c;
      if (!startChild(c, self, {"realpage", which}, r, work.path())) continue;
      const auto v = finish(c, 300);
      if (i == 0) continue;
      for (const auto& kv : v) got[kv.first].push_back(kv.second);
    }
    // "home": the home built again (as after a service restart), whole.
    std::printf("  %-14s %s %8.1f ms   longest stall %7.1f ms   RSS +%6.1f MiB\n", which,
                std::string(which) == "home" ? "built again " : "first screen",
                median(got["first_screen_ms"]), median(got["stall_ms"]),
                median(got["rss_growth_kb"]) / 1024.0);
  }
  return 0;
}
