// The store window against the real stack (local store server, the real
// service, the stand-ins): the application argument, the menu's page
// switching and highlight, and later starts of the real NeltStore program
// handing their request to the running window.
#include <QApplication>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QtTest>

#include "service_harness.h"
#include "startup.h"
#include "store_app.h"
#include "test_support.h"
#include "ui_main_window.h"

using nelt::test::ChildProcess;
using nelt::test::ServiceHarness;
using nelt::test::ServiceOptions;
using nelt::test::StoreServer;
using nelt::test::TempDir;

namespace {

constexpr auto WAIT = std::chrono::seconds(20);

const char* const HIGHLIGHT = "color: #53C41B";

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  TempDir work_;
  StoreServer store_;
  std::unique_ptr<ServiceHarness> service_;
  std::unique_ptr<StoreWindow> window_;

  // Starts the real NeltStore program against `service` and waits for it to
  // end; returns its exit status.
  int runSecondStart(ServiceHarness& service, const std::vector<std::string>& args,
                     ChildProcess& proc) {
    std::vector<std::string> argv = {nelt::test::binDir() + "/NeltStore"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!proc.start(argv, {{"NELT_ROOT", service.root()}}, work_.path())) return -2;
    // The event loop keeps running while it waits: the running window must
    // answer the service's open-window question meanwhile.
    QDeadlineTimer deadline(20000);
    for (;;) {
      const int status = proc.wait(std::chrono::milliseconds(0));
      if (status != -1 || deadline.hasExpired()) return status;
      QTest::qWait(20);
    }
  }

  ServiceOptions storeOptions() const {
    ServiceOptions options;
    options.host = store_.baseUrl();
    return options;
  }

 private slots:
  void initTestCase() {
    QVERIFY(store_.start(work_.path()));
    service_ = std::make_unique<ServiceHarness>();
    QVERIFY(service_->start(storeOptions()));
    qputenv("NELT_ROOT", QByteArray::fromStdString(service_->root()));
    nelt::StartupOptions options;
    options.port_file = service_->portFile();
    window_ = startStore({}, options);
    QVERIFY(window_ != nullptr);
    window_->controller->setOpenWindowInterval(std::chrono::milliseconds(100));
  }

  void cleanupTestCase() {
    window_.reset();
    qunsetenv("NELT_ROOT");
  }

  // The first window opens the application its argument names; each run is
  // the real program as the first window of its own service.
  void argumentOpensItsApplication_data() {
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("word");
    QTest::newRow("with query") << "hello-nelt?ref=1"
                                << "hello-nelt";
    QTest::newRow("plain") << "hello-nelt"
                           << "hello-nelt";
    QTest::newRow("three pieces") << "a?b?c"
                                  << "a?b?c";
  }
  void argumentOpensItsApplication() {
    QFETCH(QString, argument);
    QFETCH(QString, word);
    ServiceHarness service;
    QVERIFY(service.start(storeOptions()));
    ChildProcess proc;
    QVERIFY(proc.start({nelt::test::binDir() + "/NeltStore", argument.toStdString()},
                       {{"NELT_ROOT", service.root()}}, work_.path()));
    QVERIFY2(proc.waitForOutput("APP" + word.toStdString() + "\n", WAIT), proc.err().c_str());
    // The detail request carries the word as it is.
    QVERIFY(service.waitForOutCount("GET 16 " + word.toStdString() + "\n", 1, WAIT));
    QVERIFY(proc.running());
    proc.terminate();
  }

  // A first start with "--updates" opens on the updates page.
  void updatesArgumentOpensTheUpdatesPage() {
    ServiceHarness service;
    QVERIFY(service.start(storeOptions()));
    nelt::StartupOptions options;
    options.port_file = service.portFile();
    std::unique_ptr<StoreWindow> other = startStore({QStringLiteral("--updates")}, options);
    QVERIFY(other != nullptr);
    QCOMPARE(other->window->ui->pages->currentWidget(),
             static_cast<QWidget*>(other->window->ui->pageUpdates));
    QCOMPARE(other->controller->index_page_menu, 2);
  }

  void menuSwitchesPagesAndHighlightsItsButton() {
    Ui_MainWindow* ui = window_->window->ui;
    MainController& mc = *window_->controller;
    QCOMPARE(ui->pages->currentWidget(), static_cast<QWidget*>(ui->pageAll));
    QCOMPARE(mc.index_page_menu, 0);

    struct Step {
      QPushButton* button;
      QWidget* page;
      int index;
    };
    const Step steps[] = {{ui->buttonInstalled, ui->pageInstalled, 1},
                          {ui->buttonUpdates, ui->pageUpdates, 2},
                          {ui->buttonAccount, ui->pageAccount, 3},
                          {ui->buttonSetting, ui->pageSetting, 5},
                          {ui->buttonAll, ui->pageAll, 0}};
    QPushButton* const menu[] = {ui->buttonAll, ui->buttonInstalled, ui->buttonUpdates,
                                 ui->buttonAccount, ui->buttonSetting};
    for (const Step& step : steps) {
      ui->textEditSearch->setText("ghi");
      QTest::mouseClick(step.button, Qt::LeftButton);
      QCOMPARE(mc.index_page_menu, step.index);
      QCOMPARE(ui->pages->currentWidget(), step.page);
      QVERIFY(ui->textEditSearch->text().isEmpty());
      for (QPushButton* b : menu) QCOMPARE(b->styleSheet().contains(HIGHLIGHT), b == step.button);
    }

    // Installed twice: one refresh. Account and Settings: a reload each time.
    QSignalSpy installed(&mc.app_controller, &AppController::installedRefreshed);
    QTest::mouseClick(ui->buttonInstalled, Qt::LeftButton);
    QTest::mouseClick(ui->buttonInstalled, Qt::LeftButton);
    QTRY_COMPARE(installed.count(), 1);
    QTest::qWait(200);
    QCOMPARE(installed.count(), 1);

    const std::string out = service_->proc().out();
    const size_t accounts = ServiceHarness::countOf(out, "GET 10 \n");
    const size_t settings = ServiceHarness::countOf(out, "GET 21 \n");
    for (int i = 0; i < 2; ++i) {
      QTest::mouseClick(ui->buttonAccount, Qt::LeftButton);
      QTest::mouseClick(ui->buttonSetting, Qt::LeftButton);
    }
    QVERIFY(service_->waitForOutCount("GET 10 \n", accounts + 2, WAIT));
    QVERIFY(service_->waitForOutCount("GET 21 \n", settings + 2, WAIT));
  }

  // Later starts of the real program hand their request to this window and
  // end with status 0 without a window of their own.
  void secondStartBringsThisWindowForward() {
    Ui_MainWindow* ui = window_->window->ui;
    MainController& mc = *window_->controller;
    QSignalSpy handled(&mc, &MainController::openWindowHandled);
    QTest::mouseClick(ui->buttonInstalled, Qt::LeftButton);
    QCOMPARE(ui->pages->currentWidget(), static_cast<QWidget*>(ui->pageInstalled));
    // Coming to the front includes leaving the task bar.
    window_->window->showMinimized();

    ChildProcess home;
    QCOMPARE(runSecondStart(*service_, {}, home), 0);
    QVERIFY(home.out().find("APP") == std::string::npos);
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 1, 10000);
    QCOMPARE(handled.takeFirst().at(0).toString(), QStringLiteral("@HOME"));
    QCOMPARE(ui->pages->currentWidget(), static_cast<QWidget*>(ui->pageAll));
    QCOMPARE(mc.index_page_menu, 0);
    QVERIFY(!window_->window->isMinimized());
    QVERIFY(window_->window->isVisible());

    ChildProcess app;
    QCOMPARE(runSecondStart(*service_, {"hello-nelt?ref=mail"}, app), 0);
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 1, 10000);
    QCOMPARE(handled.takeFirst().at(0).toString(), QStringLiteral("hello-nelt"));
    QCOMPARE(ui->pages->currentWidget(), static_cast<QWidget*>(ui->pageDetail));
    QCOMPARE(mc.app_controller.name_app_detail_current, std::string("hello-nelt"));

    // "--updates" (the update notification's action) shows the updates
    // page; it is refreshed when it is already shown.
    QSignalSpy updates_built(&mc.app_controller, &AppController::updatesRefreshed);
    window_->window->showMinimized();
    ChildProcess updates;
    QCOMPARE(runSecondStart(*service_, {"--updates"}, updates), 0);
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 1, 10000);
    QCOMPARE(handled.takeFirst().at(0).toString(), QStringLiteral("@UPDATES"));
    QCOMPARE(ui->pages->currentWidget(), static_cast<QWidget*>(ui->pageUpdates));
    QCOMPARE(mc.index_page_menu, 2);
    QVERIFY(ui->buttonUpdates->styleSheet().contains(HIGHLIGHT));
    QVERIFY(!window_->window->isMinimized());
    QCOMPARE(updates_built.count(), 1);
    ChildProcess again;
    QCOMPARE(runSecondStart(*service_, {"--updates"}, again), 0);
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 1, 10000);
    QCOMPARE(handled.takeFirst().at(0).toString(), QStringLiteral("@UPDATES"));
    QCOMPARE(updates_built.count(), 2);

    // Words that are no application are not acted on; the next good one is.
    nelt::test::ProtoClient raw;
    QVERIFY(service_->connect(raw));
    std::string reply;
    QVERIFY(raw.request("POST 19 ../../etc\n", reply));
    QTest::qWait(500);
    QVERIFY(raw.request("POST 19 @HOME\n", reply));
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 1, 10000);
    QCOMPARE(handled.takeFirst().at(0).toString(), QStringLiteral("@HOME"));
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
