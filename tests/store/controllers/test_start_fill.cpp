// The window's start against a scripted service client that holds its
// replies: the window is up and its event loop turns while the home's
// section list has not arrived, the strips fill once it does, and the
// installed list read at start tells the detail page what is installed
// without building the installed and updates pages. No process is started.
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app_controller.h"
#include "app_detail_view.h"
#include "fake_service_client.h"
#include "list_apps_view.h"
#include "list_page_builder.h"
#include "main_window.h"
#include "section_frame.h"
#include "store_globals.h"
#include "ui_app_detail_view.h"
#include "ui_list_apps_view.h"
#include "ui_main_window.h"

using nelt::window::KAVIX_APP_CURRENT;

namespace {

std::string entry(int id, const std::string& slug, const std::string& name) {
  return "{\"id\":" + std::to_string(id) + ",\"slug\":\"" + slug + "\",\"name\":\"" + name +
         "\",\"currentVersion\":\"1.0.0\"}";
}

std::string list(const std::vector<std::string>& entries) {
  std::string data;
  for (const std::string& e : entries) data += (data.empty() ? "" : ",") + e;
  return "{\"total\":" + std::to_string(entries.size()) + ",\"data\":[" + data + "]}";
}

}  // namespace

class StartFill : public QObject {
  Q_OBJECT

 private slots:
  void windowIsUpBeforeTheHomeAndTheInstalledPageWaitsToBeOpened() {
    nelt::test::FakeServiceClient api;
    api.answer("sections", 200,
               list({R"({"id":1,"name":"Nổi bật"})", R"({"id":2,"name":"Tiện ích"})"}));
    api.answer("apps 1", 200, list({entry(10, "hello-nelt", "Xin chào"), entry(11, "x", "X")}));
    api.answer("apps 2", 200, list({entry(12, "may-tinh", "Máy tính")}));
    std::string installed;
    for (int i = 0; i < 300; ++i)
      installed += ",{\"slug\":\"app-" + std::to_string(i) + "\",\"version\":\"1.0\"}";
    api.answer("installed", 200,
               R"({"total":302,"data":[{"slug":"hello-nelt","version":"1.2.0",)"
               R"("new-version":"1.3.0","update":1},{"slug":"may-tinh","version":"2.0.0"})" +
                   installed + "]}");
    api.answer("detail", 200, R"({"name":"Ứng dụng","currentVersion":"2.0.0"})");
    api.hold("sections");

    int index_page = 0;
    auto window = std::make_unique<MainWindow>();
    Ui_MainWindow* ui = window->ui;
    auto app = std::make_unique<AppController>();
    QSignalSpy home(app.get(), &AppController::homeRefreshed);
    QSignalSpy catalog(app.get(), &AppController::catalogRead);
    app->setOBJECT(ui, &api, &index_page);
    ui->lbNotify->hide();
    // As the window's start does it: the home page shown empty, the reads
    // on their way, the window shown.
    app->flag_refresh = false;
    ui->pages->setCurrentWidget(ui->pageAll);
    app->control();
    app->startFill(true);
    window->show();

    // The service has not answered; the window is painted and the event
    // loop serves timers meanwhile.
    QTRY_COMPARE(api.waiting(), 1);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    int ticks = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
    tick.start(5);
    QTRY_VERIFY(ticks >= 5);
    QCOMPARE(api.waiting(), 1);
    QVERIFY(app->sections.empty());
    QCOMPARE(home.count(), 0);

    api.release("sections");
    QVERIFY(home.wait(5000));
    QCOMPARE(int(app->sections.size()), 2);
    QCOMPARE(int(app->sections[0]->apps.size()), 2);
    QCOMPARE(int(app->sections[1]->apps.size()), 1);
    QTRY_COMPARE(catalog.count(), 1);
    // The start read the list of 302 installed applications once and asked
    // the store for none of their details: no installed or updates tile.
    QCOMPARE(api.count("installed"), 1);
    QCOMPARE(api.count("detail"), 0);
    QCOMPARE(int(ui->pageInstalled->apps.size()), 0);
    QCOMPARE(int(ui->pageUpdates->apps.size()), 0);
    QCOMPARE(app->num_installeds, 302);
    QCOMPARE(app->num_updates, 1);

    // The detail page still knows: launch and remove for an installed
    // application, the update for the one that has it, install for others.
    Ui_AppDetailView* detail = ui->pageDetail->ui;
    KAVIX_APP_CURRENT = "0&may-tinh";
    app->onAppDetailView();
    QCOMPARE(ui->pages->currentWidget(), static_cast<QWidget*>(ui->pageDetail));
    QVERIFY(detail->buttonLaunch->isEnabled() && detail->buttonRemove->isEnabled());
    QVERIFY(!detail->buttonLaunch->isHidden() && detail->buttonInstall->isHidden());
    QCOMPARE(detail->version->text(), QString("2.0.0"));
    KAVIX_APP_CURRENT = "0&hello-nelt";
    app->onAppDetailView();
    QVERIFY(detail->buttonUpdate->isEnabled() && detail->buttonLaunch->isEnabled());
    QCOMPARE(app->lb_newversion->text(), QString("Có phiên bản mới\n1.3.0"));
    KAVIX_APP_CURRENT = "0&x";
    app->onAppDetailView();
    QVERIFY(!detail->buttonInstall->isHidden() && detail->buttonLaunch->isHidden());

    // Opened, the installed page is built: its first screen only.
    app->refreshInstalledListView();
    QCOMPARE(ui->pageInstalled->ui->label->text(), QString("Danh sách ứng dụng đã cài đặt (302)"));
    QVERIFY(!ui->pageInstalled->apps.empty());
    QVERIFY(ListPageBuilder::waitingTiles(ui->pageInstalled) > 0);
    QCOMPARE(api.count("installed"), 2);
  }
};

QTEST_MAIN(StartFill)

#include "test_start_fill.moc"
