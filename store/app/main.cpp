// NeltStore: the store window. One optional argument names an application to
// open ("hello", "hello?ref=mail" or the link "neltstore://hello"); when a
// store window already runs, it is brought forward with that request instead.
// "--updates" opens the updates page.
#include <time.h>

#include <QApplication>
#include <QStackedWidget>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "store_app.h"
#include "ui_main_window.h"

namespace {

long long monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// With NELT_TRACE_START set, the window writes "painted=<ns>" at the first
// paint of its pages and "home_filled=<ns>" once the home's strips are
// filled, and "catalog_read=<ns>" once the installed list read at start is
// applied, all on the system's monotonic clock, for the window benchmark.
// Half a second after both, "stall_ms=<ms>" gives the longest gap between
// two ticks of a 1 ms timer on the event loop since the window was built:
// how long the window could not answer while it filled.
class StartTrace : public QObject {
 public:
  explicit StartTrace(StoreWindow& store) {
    last_tick_ns = monotonicNs();
    connect(&heartbeat, &QTimer::timeout, this, [this] {
      const long long now = monotonicNs();
      if (now - last_tick_ns > longest_ns) {
        longest_ns = now - last_tick_ns;
        longest_at_ns = last_tick_ns;
      }
      last_tick_ns = now;
    });
    heartbeat.start(1);
    store.window->ui->pages->installEventFilter(this);
    connect(&store.controller->app_controller, &AppController::homeRefreshed, this, [this] {
      if (home_done) return;
      home_done = true;
      std::printf("home_filled=%lld\n", monotonicNs());
      std::fflush(stdout);
      reportStallLater();
    });
    connect(&store.controller->app_controller, &AppController::catalogRead, this, [this] {
      std::printf("catalog_read=%lld\n", monotonicNs());
      std::fflush(stdout);
      catalog_done = true;
      reportStallLater();
    });
  }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !painted) {
      painted = true;
      std::printf("painted=%lld\n", monotonicNs());
      std::fflush(stdout);
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  void reportStallLater() {
    if (!home_done || !catalog_done) return;
    QTimer::singleShot(500, this, [this] {
      heartbeat.stop();
      std::printf("stall_at=%lld\nstall_ms=%.2f\n", longest_at_ns, longest_ns / 1e6);
      std::fflush(stdout);
    });
  }

  QTimer heartbeat;
  long long last_tick_ns = 0;
  long long longest_ns = 0;
  long long longest_at_ns = 0;
  bool painted = false;
  bool home_done = false;
  bool catalog_done = false;
};

}  // namespace

int main(int argc, char** argv) {
  quietNetworkPolling();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("NeltStore"));
  QStringList arguments = QApplication::arguments();
  if (!arguments.isEmpty()) arguments.removeFirst();
  std::unique_ptr<StoreWindow> store = startStore(arguments);
  if (!store) return 0;
  std::unique_ptr<StartTrace> trace;
  if (std::getenv("NELT_TRACE_START") != nullptr) trace = std::make_unique<StartTrace>(*store);
  QApplication::exec();
  return 0;
}
