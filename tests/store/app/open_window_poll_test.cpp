// The open-window poll against a service that stops answering it: the
// window keeps painting, and ticks are skipped instead of piling up requests
// behind the one under way.
#include <QApplication>
#include <QtTest>
#include <algorithm>
#include <atomic>

#include "fake_service.h"
#include "kavix_api.h"
#include "main_controller.h"
#include "main_window.h"
#include "protocol.h"

using nelt::test::FakeReply;
using nelt::test::FakeService;
using nelt::test::framed;

class OpenWindowPollTest : public QObject {
  Q_OBJECT

 private slots:
  void silentServiceNeitherFreezesNorFloods() {
    FakeService service;
    std::atomic<int> checks{0};
    QVERIFY(service.start([&](const std::string& line) -> FakeReply {
      if (line == "GET 18 \n") {
        // The first question gets no answer at all. On the new connection the
        // service has forgotten the window (empty word), then a request comes.
        const int n = checks++;
        if (n == 0) {
          FakeReply r;
          r.silent = true;
          return r;
        }
        return framed("200", n == 1 ? "" : n == 2 ? "@HOME" : "@FIRST");
      }
      if (line == "GET 17 \n") return framed("200", "{\"url\":\"http://127.0.0.1:9\"}");
      return framed("200", "{}");
    }));
    KavixAPI api(service.port(), true);
    api.setReceiveTimeout(std::chrono::milliseconds(1500));
    QCOMPARE(api.init(), 1);
    MainWindow window;
    MainController controller;
    controller.setOpenWindowInterval(std::chrono::milliseconds(20));
    controller.setOBJECT(&window, &api);
    controller.control();
    window.show();

    // While the question hangs the event loop runs freely.
    int ticks = 0;
    QTimer beat;
    connect(&beat, &QTimer::timeout, [&] { ++ticks; });
    beat.start(10);
    QTRY_VERIFY(ticks >= 50);
    QCOMPARE(checks.load(), 1);

    // The time limit ends the hung question and costs its connection; the
    // next tick opens a new one. The empty word makes the window register
    // again; the request after it is acted on.
    QSignalSpy handled(&controller, &MainController::openWindowHandled);
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 1, 10000);
    QCOMPARE(handled.at(0).at(0).toString(), QStringLiteral("@HOME"));
    const auto lines = service.lines();
    const auto registered = std::count(lines.begin(), lines.end(), "POST 19 @FIRST\n");
    QCOMPARE(registered, 1L);
  }
};

QTEST_MAIN(OpenWindowPollTest)
#include "open_window_poll_test.moc"
