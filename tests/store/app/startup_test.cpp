// Start-up of the store window against the real service and the platform
// stand-ins: the port file, the service-start offer with its waits, and the
// way the attempt loop ends. The message boxes and the waits go through the
// start-up seams; nothing here waits on a person or a clock.
#include "startup.h"

#include <unistd.h>

#include <QApplication>
#include <QtTest>

#include "kavix_model.h"
#include "service_harness.h"
#include "store_app.h"
#include "test_support.h"
#include "ui_main_window.h"

using nelt::window::_PORT_LOCAL;

using nelt::StartupOptions;
using nelt::StartupPrompt;
using nelt::test::ServiceHarness;
using nelt::test::TempDir;

namespace {

const QString QUESTION =
    QStringLiteral("Nelt service chưa được khởi động! Bạn có muốn khởi động lại không?");
const QString GAVE_UP = QStringLiteral("Nelt service chưa được khởi động!Kết thúc!");

// Points the stand-ins at `root` for the rest of the test function.
class RootEnv {
 public:
  explicit RootEnv(const std::string& root) {
    qputenv("NELT_ROOT", QByteArray::fromStdString(root));
  }
  ~RootEnv() {
    qunsetenv("NELT_ROOT");
    qunsetenv("NELT_PKEXEC_REFUSE");
    qunsetenv("NELT_PKEXEC_LOG");
  }
};

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    StartupPrompt::reset();
    _PORT_LOCAL = 0;
  }

  void portFileAndApplicationWord() {
    TempDir dir;
    const std::string path = dir.sub("port.conf");
    nelt::test::writeFile(path, "{\"port\":\n 8123}\n");
    kavix_load_port(path);
    QCOMPARE(_PORT_LOCAL, 8123);
    // Anything that is not a port leaves the last one in place.
    for (const char* text : {"{\"port\": \"8124\"}", "not json", "{\"other\": 1}", "[8125]"}) {
      nelt::test::writeFile(path, text);
      kavix_load_port(path);
      QCOMPARE(_PORT_LOCAL, 8123);
    }
    kavix_load_port(dir.sub("missing"));
    QCOMPARE(_PORT_LOCAL, 8123);

    using nelt::applicationWord;
    QCOMPARE(applicationWord({"hello?ref=1"}), std::string("hello"));
    QCOMPARE(applicationWord({"hello"}), std::string("hello"));
    QCOMPARE(applicationWord({"a?b?c"}), std::string("a?b?c"));
    QCOMPARE(applicationWord({"?hello?ref"}), std::string("hello"));
    QCOMPARE(applicationWord({"hello?"}), std::string("hello?"));
    QCOMPARE(applicationWord({"neltstore://ghi-chu/"}), std::string("ghi-chu"));
    QCOMPARE(applicationWord({"neltstore:ghi-chu?from=web"}), std::string("ghi-chu"));
    QCOMPARE(applicationWord({"hello", "world"}), std::string());
    QCOMPARE(applicationWord({}), std::string());
  }

  // No service and the user declines: nothing is started, no window exists.
  void declinedStartEndsWithoutAWindow() {
    TempDir dir;
    StartupOptions options;
    options.port_file = dir.sub("no-port-file");
    int runs = 0, waits = 0;
    options.run_program = [&](const std::vector<std::string>&) {
      ++runs;
      return nelt::ProcessResult{true, 0, "", ""};
    };
    options.wait = [&](std::chrono::milliseconds) { ++waits; };
    StartupPrompt::queueAnswer(QMessageBox::No);
    QVERIFY(startStore({}, options) == nullptr);
    QCOMPARE(StartupPrompt::asked(), QStringList{QUESTION});
    QCOMPARE(runs, 0);
    QCOMPARE(waits, 0);
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
  }

  // The user accepts but the authorisation is dismissed (the real pkexec
  // stand-in declines): no twenty seconds of polling, straight to the end.
  void refusedAuthorisationEndsAtOnce() {
    ServiceHarness service;  // its root, never started
    RootEnv env(service.root());
    const std::string log = service.root() + "/pkexec.log";
    qputenv("NELT_PKEXEC_REFUSE", "1");
    qputenv("NELT_PKEXEC_LOG", QByteArray::fromStdString(log));
    StartupOptions options;
    options.port_file = service.portFile();
    int waits = 0;
    options.wait = [&](std::chrono::milliseconds) { ++waits; };
    StartupPrompt::queueAnswer(QMessageBox::Yes);
    StartupPrompt::queueAnswer(QMessageBox::Cancel);
    QVERIFY(startStore({"hello"}, options) == nullptr);
    QCOMPARE(StartupPrompt::asked(), (QStringList{QUESTION, GAVE_UP}));
    QCOMPARE(waits, 0);
    QCOMPARE(nelt::test::readFile(log), std::string("systemctl start nelt\n"));
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
  }

  // A start that never brings the service up: ten waits of the configured
  // length, then the final message, whatever its answer.
  void serviceThatNeverComesUpEndsAfterTenWaits() {
    TempDir dir;
    StartupOptions options;
    options.port_file = dir.sub("no-port-file");
    options.run_program = [](const std::vector<std::string>&) {
      return nelt::ProcessResult{true, 0, "", ""};
    };
    std::vector<long long> waits;
    options.wait = [&](std::chrono::milliseconds ms) { waits.push_back(ms.count()); };
    StartupPrompt::queueAnswer(QMessageBox::Yes);
    StartupPrompt::queueAnswer(QMessageBox::Ok);
    QVERIFY(nelt::connectToService(options) == nullptr);
    QCOMPARE(waits, std::vector<long long>(10, 2000));
    QCOMPARE(StartupPrompt::asked(), (QStringList{QUESTION, GAVE_UP}));
  }

  // The service comes up while the window waits for it: it is found on the
  // third attempt after the start, and the store window opens.
  void serviceAppearingOnTheThirdAttemptOpensTheWindow() {
    ServiceHarness service;
    RootEnv env(service.root());
    StartupOptions options;
    options.port_file = service.portFile();
    std::vector<std::string> command;
    options.run_program = [&](const std::vector<std::string>& argv) {
      command = argv;
      return nelt::ProcessResult{true, 0, "", ""};
    };
    int waits = 0;
    options.wait = [&](std::chrono::milliseconds) {
      if (++waits == 2) QVERIFY(service.start());
    };
    StartupPrompt::queueAnswer(QMessageBox::Yes);
    std::unique_ptr<StoreWindow> store = startStore({}, options);
    QVERIFY(store != nullptr);
    // The engine's identity thread starts programs with the environment the
    // next test changes.
    store->controller->app_controller.model->getSysInfo();
    QCOMPARE(command, (std::vector<std::string>{"pkexec", "systemctl", "start", "nelt"}));
    QCOMPARE(waits, 2);
    QVERIFY(store->window->isVisible());
    QCOMPARE(store->window->windowTitle(), QStringLiteral("NELT Store"));
    QCOMPARE(store->api->getPort(), service.port());
    // The first window signed the store account out and registered itself.
    QVERIFY(service.waitForOutCount("GET 2 \n", 1, std::chrono::seconds(10)));
  }

  // On a real system pkexec gets systemctl's full path: polkit matches it
  // against the service-start action, and a PATH with /bin first would give
  // "/bin/systemctl", which falls under the generic one.
  void serviceStartNamesSystemctlByItsFullPath() {
    const QByteArray root = qgetenv("NELT_ROOT");
    qunsetenv("NELT_ROOT");
    const std::vector<std::string> command = nelt::serviceStartCommand();
    if (!root.isNull()) qputenv("NELT_ROOT", root);
    QCOMPARE(command, (std::vector<std::string>{"pkexec", "/usr/bin/systemctl", "start", "nelt"}));
  }

  // The whole offer through the stand-ins: pkexec runs systemctl, which
  // starts the real service below NELT_ROOT; the window finds its port.
  void acceptedStartRunsTheServiceThroughPkexec() {
    ServiceHarness service;
    RootEnv env(service.root());
    // Writes the configuration, then stops: the unit start brings it back.
    QVERIFY(service.start());
    const int port = service.port();
    service.proc().terminate();
    ::unlink(service.portFile().c_str());
    StartupOptions options;
    options.port_file = service.portFile();
    options.retry_wait = std::chrono::milliseconds(500);
    StartupPrompt::queueAnswer(QMessageBox::Yes);
    std::unique_ptr<KavixAPI> api = nelt::connectToService(options);
    const nelt::ProcessResult stop = nelt::runProgram({"systemctl", "stop", "nelt"});
    QVERIFY(api != nullptr);
    QCOMPARE(api->getPort(), port);
    QCOMPARE(stop.exit_code, 0);
  }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
