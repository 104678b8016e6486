// nelt-notify against the real stack on a private session bus: the local
// store server, the real KavixService with applications planted below its
// NELT_ROOT the way the stand-in `snap` keeps them, and this test as the
// desktop's notification service, recording every Notify call and invoking
// the notification's action.
#include <sys/stat.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QtTest>

#include "fsutil.h"
#include "service_harness.h"
#include "test_support.h"

using nelt::test::ChildProcess;
using nelt::test::ServiceHarness;
using nelt::test::ServiceOptions;
using nelt::test::StoreServer;
using nelt::test::TempDir;

namespace {

constexpr int WAIT_MS = 30000;

struct NotifyCall {
  uint replaces_id = 0;
  QString summary;
  QString body;
  QStringList actions;
  uint id = 0;
};

}  // namespace

// The desktop's notification service as far as nelt-notify uses it.
class FakeNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
 public:
  QList<NotifyCall> calls;

  // Emits the signal a notification server sends when the user clicks.
  void invoke(uint id, const QString& key) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
    signal << id << key;
    QDBusConnection::sessionBus().send(signal);
  }

 public slots:
  uint Notify(const QString& app_name, uint replaces_id, const QString& app_icon,
              const QString& summary, const QString& body, const QStringList& actions,
              const QVariantMap& hints, int expire_timeout) {
    Q_UNUSED(app_name);
    Q_UNUSED(app_icon);
    Q_UNUSED(hints);
    Q_UNUSED(expire_timeout);
    NotifyCall call;
    call.replaces_id = replaces_id;
    call.summary = summary;
    call.body = body;
    call.actions = actions;
    call.id = replaces_id != 0 ? replaces_id : ++last_id;
    calls.append(call);
    return call.id;
  }
  QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }
  void CloseNotification(uint) {}

 private:
  uint last_id = 40;
};

class NotifyTest : public QObject {
  Q_OBJECT

 private:
  TempDir work_;
  StoreServer store_;
  ServiceHarness service_;
  FakeNotifications server_;
  ChildProcess notifier_;

  // Installs an application the way the stand-in `snap` and the store leave
  // it: a revision folder with its snap.yaml, the "current" link and the
  // store's "kavix.json".
  void plant(const std::string& slug, const std::string& version) {
    const std::string base = service_.root() + "/snap/" + slug;
    QCOMPARE(nelt::makeDirs(base + "/1/meta"), 0);
    nelt::test::writeFile(base + "/1/meta/snap.yaml", "name: " + slug + "\nversion: " + version +
                                                          "\nsummary: test\napps:\n  " + slug +
                                                          ":\n    command: bin/run\n");
    QCOMPARE(symlink("1", (base + "/current").c_str()), 0);
    nelt::test::writeFile(base + "/kavix.json", "{\"name\":\"" + slug + "\",\"long-name\":\"" +
                                                    slug + "\",\"slug\":\"" + slug +
                                                    "\",\"version\":\"" + version + "\"}");
  }

  size_t checks() { return ServiceHarness::countOf(service_.proc().out(), "GET 6 \n"); }

  // Lets nelt-notify ask the service `n` more times, serving the bus meanwhile.
  void waitForChecks(size_t n) {
    const size_t target = checks() + n;
    QTRY_VERIFY_WITH_TIMEOUT(checks() >= target, WAIT_MS);
  }

 private slots:
  void initTestCase() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY2(bus.isConnected(), "run under dbus-run-session");
    QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server_,
                               QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
    QVERIFY(store_.start(work_.path()));
    ServiceOptions options;
    options.host = store_.baseUrl();
    // Every check asks the store for the versions again.
    options.extra_config = "\"version_reuse_seconds\": 0";
    QVERIFY(service_.start(options));
    QCOMPARE(nelt::makeDirs(service_.root() + "/snap"), 0);
  }

  void notifiesOncePerNewSetAndOpensTheUpdatesPage() {
    // An application that is up to date: nothing to tell.
    plant("may-tinh", "1.0.0");
    const std::string recorder = work_.sub("store-standin");
    const std::string record = work_.sub("store-args");
    nelt::test::writeFile(recorder, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + record + "'\n");
    QCOMPARE(chmod(recorder.c_str(), 0755), 0);
    QVERIFY(notifier_.start({nelt::test::binDir() + "/nelt-notify", "--interval", "1s"},
                            {{"NELT_ROOT", service_.root()}, {"NELT_NOTIFY_STORE", recorder}},
                            work_.path()));
    waitForChecks(2);
    QCOMPARE(server_.calls.size(), 0);

    // An update appears: one notification, not repeated while it stays.
    plant("hello-nelt", "1.2.0");
    QTRY_COMPARE_WITH_TIMEOUT(server_.calls.size(), 1, WAIT_MS);
    const NotifyCall first = server_.calls.at(0);
    QCOMPARE(first.summary, QStringLiteral("1 ứng dụng có bản cập nhật"));
    QCOMPARE(first.body, QStringLiteral("hello-nelt"));
    QCOMPARE(first.replaces_id, 0u);
    QVERIFY(first.actions.size() >= 2 && first.actions.at(0) == QStringLiteral("default"));
    waitForChecks(3);
    QCOMPARE(server_.calls.size(), 1);

    // A second update: the set changed, the notification is replaced.
    plant("ghi-chu", "2.0.0");
    QTRY_COMPARE_WITH_TIMEOUT(server_.calls.size(), 2, WAIT_MS);
    QCOMPARE(server_.calls.at(1).summary, QStringLiteral("2 ứng dụng có bản cập nhật"));
    QCOMPARE(server_.calls.at(1).body, QStringLiteral("ghi-chu, hello-nelt"));
    QCOMPARE(server_.calls.at(1).replaces_id, first.id);
    waitForChecks(2);
    QCOMPARE(server_.calls.size(), 2);

    // Another program's notification clicked: not ours. Then ours: the store
    // is started on its updates page.
    server_.invoke(first.id + 100, QStringLiteral("default"));
    server_.invoke(first.id, QStringLiteral("default"));
    QTRY_VERIFY_WITH_TIMEOUT(nelt::fileExists(record) && !nelt::test::readFile(record).empty(),
                             WAIT_MS);
    waitForChecks(1);
    QCOMPARE(nelt::test::readFile(record), std::string("--updates\n"));
    QVERIFY(notifier_.running());
    notifier_.terminate();
  }

  void unreachableServiceOneInstanceAndBadOptions() {
    // A second watcher in the same session leaves the first alone.
    ChildProcess first, second;
    TempDir empty_root;
    QVERIFY(first.start({nelt::test::binDir() + "/nelt-notify", "--interval", "1s"},
                        {{"NELT_ROOT", empty_root.path()}}, work_.path()));
    QTRY_VERIFY_WITH_TIMEOUT(first.err().find("asking again later") != std::string::npos, WAIT_MS);
    QVERIFY(second.start({nelt::test::binDir() + "/nelt-notify"},
                         {{"NELT_ROOT", empty_root.path()}}, work_.path()));
    QCOMPARE(second.wait(std::chrono::seconds(20)), 0);
    QVERIFY(second.err().find("already running") != std::string::npos);
    QVERIFY(first.running());

    // The service comes up: the next retry (the interval, 1 s, caps it)
    // finds it and tells about the updates planted before.
    const int shown = server_.calls.size();
    QCOMPARE(nelt::makeDirs(empty_root.sub("usr/bin/nelt")), 0);
    nelt::test::writeFile(empty_root.sub("usr/bin/nelt/.port.conf"),
                          "{\"port\": " + std::to_string(service_.port()) + "}");
    QTRY_COMPARE_WITH_TIMEOUT(server_.calls.size(), shown + 1, WAIT_MS);
    QCOMPARE(server_.calls.last().summary, QStringLiteral("2 ứng dụng có bản cập nhật"));
    QVERIFY(first.err().find("answers again") != std::string::npos);
    first.terminate();

    for (const char* bad : {"0", "8d", "6x", "h", "-5"}) {
      ChildProcess proc;
      QVERIFY(
          proc.start({nelt::test::binDir() + "/nelt-notify", "--interval", bad}, {}, work_.path()));
      QCOMPARE(proc.wait(std::chrono::seconds(20)), 2);
    }
  }
};

QTEST_GUILESS_MAIN(NotifyTest)
#include "notify_test.moc"
