// The catalog and detail pages of the real window built by the real
// AppController from a scripted service client: what each page shows for
// each reply, replies of the wrong shape, what the detail page offers for
// installed and updatable applications, the timed texts on a hand-driven
// clock, and widgets over many rebuilds. No process is started.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "app_controller.h"
#include "app_detail_view.h"
#include "fake_service_client.h"
#include "frame_item_h.h"
#include "frame_item_v.h"
#include "list_apps_view.h"
#include "list_page_builder.h"
#include "main_window.h"
#include "manual_clock.h"
#include "section_frame.h"
#include "store_globals.h"
#include "ui_app_detail_view.h"
#include "ui_list_apps_view.h"
#include "ui_main_window.h"

using nelt::window::KAVIX_APP_CURRENT;
using nelt::window::KAVIX_SECTION_CURRENT;

namespace {

std::string entry(int id, const std::string& slug, const std::string& name,
                  const std::string& extra = "") {
  return "{\"id\":" + std::to_string(id) + ",\"slug\":\"" + slug + "\",\"name\":\"" + name +
         "\",\"currentVersion\":\"1.0.0\"" + extra + "}";
}

std::string list(const std::vector<std::string>& entries, int total = -1) {
  std::string data;
  for (const std::string& e : entries) data += (data.empty() ? "" : ",") + e;
  if (total < 0) total = static_cast<int>(entries.size());
  return "{\"total\":" + std::to_string(total) + ",\"data\":[" + data + "]}";
}

bool placed(const TPushButton* button) { return button->parent() != nullptr; }

// Resident set size in KiB.
long rssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

int liveWidgets() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return QApplication::allWidgets().size();
}

}  // namespace

class CatalogPages : public QObject {
  Q_OBJECT
  nelt::test::FakeServiceClient api;
  ManualClock clock;
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<AppController> app;
  Ui_MainWindow* ui = nullptr;
  int index_page = 65535;

  ListAppsView* listPage() { return ui->pageListApps; }
  QString listTitle() { return listPage()->ui->label->text(); }
  Ui_AppDetailView* detail() { return ui->pageDetail->ui; }

  void search(const QString& text) {
    ui->textEditSearch->setText(text);
    app->refreshListView();
  }

  void openDetail(const std::string& slug) {
    KAVIX_APP_CURRENT = "0&" + slug;
    app->onAppDetailView();
  }

 private slots:
  void initTestCase() {
    WindowClock::set(&clock);
    // Two installed applications, one with an update; a third whose detail
    // the store no longer serves.
    api.answer(
        "installed", 200,
        R"({"total":3,"data":[{"slug":"hello-nelt","version":"1.2.0","new-version":"1.3.0","update":1},)"
        R"({"slug":"may-tinh","version":"2.0.0"},{"slug":"gone","version":"0.1"}]})");
    api.answer("detail hello-nelt", 200,
               R"({"name":"Xin chào","shortDescription":"Lời chào","longDescription":"Dài",)"
               R"("currentVersion":"1.3.0","rankAvg":4.5,"size":1024})");
    api.answer("detail may-tinh", 200, R"({"name":"Máy tính","currentVersion":"2.0.0"})");
    api.answer("detail nghe-nhac", 200, R"({"name":"Nghe nhạc","currentVersion":"0.9.0"})");
    api.answer("detail gone", 404, "");
    window = std::make_unique<MainWindow>();
    ui = window->ui;
    app = std::make_unique<AppController>();
    app->setOBJECT(ui, &api, &index_page);
    ui->lbNotify->hide();
    app->control();
    window->show();
  }

  void homeStripsShowEachSectionsFirstApplications() {
    api.answer("sections", 200,
               list({R"({"id":1,"name":"Nổi bật"})", R"({"id":2,"name":"Tiện ích"})",
                     R"({"id":3,"name":"Hỏng"})"}));
    std::vector<std::string> many;
    for (int i = 0; i < 11; ++i) many.push_back(entry(10 + i, "app-" + std::to_string(i), "A"));
    api.answer("apps 1", 200, list(many));
    api.answer("apps 2", 200, list({entry(2, "hello-nelt", "Xin chào")}));
    api.breakRequest("apps 3");
    app->flag_refresh = true;
    app->refreshHomeView();
    QCOMPARE(int(app->sections.size()), 3);
    QCOMPARE(app->sections[0]->getName(), QString("Nổi bật"));
    QCOMPARE(int(app->sections[0]->apps.size()), 8);
    QCOMPARE(int(app->sections[1]->apps.size()), 1);
    QCOMPARE(app->sections[1]->apps[0]->getName(), std::string("hello-nelt"));
    QCOMPARE(int(app->sections[2]->apps.size()), 0);
    QVERIFY(!app->flag_refresh);

    // The section link opens the section's list page.
    api.answer("apps 2", 200, list({entry(2, "hello-nelt", "Xin chào"), entry(4, "x", "X")}, 2));
    KAVIX_SECTION_CURRENT = "Tiện ích&2";
    app->onSectionDetailView();
    QCOMPARE(listTitle(), QString("Danh sách ứng dụng Tiện ích (2)"));
    QCOMPARE(ui->pages->currentWidget(), static_cast<QWidget*>(listPage()));
    QCOMPARE(index_page, 65535);
  }

  void installedAndUpdatesPagesDecideWhatTheDetailPageOffers() {
    app->refreshInstalledListView();
    app->refreshUpdateListView();
    QCOMPARE(ui->pageInstalled->ui->label->text(), QString("Danh sách ứng dụng đã cài đặt (2)"));
    QCOMPARE(ui->pageUpdates->ui->label->text(), QString("Danh sách ứng dụng cập nhật (1)"));
    QCOMPARE(app->num_installeds, 3);
    QCOMPARE(app->num_updates, 1);
    FrameItemV* hello = ui->pageInstalled->apps.at(0);
    QVERIFY(placed(hello->bt_Launch) && placed(hello->bt_Remove) && !placed(hello->bt_Install));
    QCOMPARE(hello->getCurVer(), std::string("1.2.0"));
    QCOMPARE(hello->getNewVer(), std::string("1.3.0"));
    QVERIFY(placed(ui->pageUpdates->apps.at(0)->bt_Update));

    openDetail("hello-nelt");
    QCOMPARE(ui->pages->currentWidget(), static_cast<QWidget*>(ui->pageDetail));
    QCOMPARE(detail()->version->text(), QString("1.2.0"));
    QCOMPARE(app->lb_newversion->text(), QString("Có phiên bản mới\n1.3.0"));
    QVERIFY(detail()->buttonLaunch->isEnabled() && detail()->buttonUpdate->isEnabled());
    QVERIFY(detail()->buttonInstall->isHidden());

    openDetail("may-tinh");
    QCOMPARE(detail()->version->text(), QString("2.0.0"));
    QVERIFY(!detail()->buttonUpdate->isEnabled() && detail()->buttonRemove->isEnabled());
    QVERIFY(app->lb_newversion->text().isEmpty());

    // Installed, but without a tile: offered as not installed.
    for (const char* slug : {"gone", "nghe-nhac"}) {
      openDetail(slug);
      QVERIFY(!detail()->buttonInstall->isHidden());
      QVERIFY(detail()->buttonInstall->isEnabled());
      QVERIFY(detail()->buttonLaunch->isHidden());
    }
  }

  void missingApplicationNoticeHidesAfterTwoSeconds() {
    openDetail("gone");
    QCOMPARE(ui->pages->currentWidget(), static_cast<QWidget*>(ui->pageAll));
    QTRY_VERIFY(ui->lbNotify->isVisible());
    QCOMPARE(ui->lbNotify->text(), QString("Lỗi mở ứng dụng gone!"));
    clock.advance(1999);
    QVERIFY(ui->lbNotify->isVisible());
    clock.advance(1);
    QVERIFY(!ui->lbNotify->isVisible());
  }

  void searchSendsSingleSpacesAndMarksInstalledResults() {
    api.answer("search xin chào nelt", 200,
               list({entry(2, "hello-nelt", "Xin chào",
                           R"(,"data_version":{"shortDescription":"Lời chào"})")}));
    search("xin   chào  nelt");
    QCOMPARE(api.count("search xin chào nelt"), 1);
    QCOMPARE(listTitle(), QString("Danh sách tìm kiếm \"xin chào nelt\" (1)"));
    FrameItemV* hello = listPage()->apps.at(0);
    QVERIFY(placed(hello->bt_Launch) && !placed(hello->bt_Install));
    QCOMPARE(hello->getCurVer(), std::string("1.2.0"));
    QCOMPARE(hello->lb_desc->text(), QString("Lời chào"));

    for (const QString& blank : {QString(" "), QString(""), QString("   ")}) {
      search(blank);
      const QString shown = blank.isEmpty() ? QString() : QString(" ");
      QCOMPARE(listTitle(), QString("Không tìm thấy ứng dụng liên quan \"%1\" ").arg(shown));
      QCOMPARE(int(listPage()->apps.size()), 0);
    }
    QCOMPARE(api.count("search @null"), 3);
  }

  void listsOfTheWrongShapeGiveEmptyPages() {
    const std::string one = entry(3, "may-tinh", "Máy tính");
    struct Case {
      std::string body;
      int tiles;
    } cases[] = {
        {R"({"total":50,"data":[)" + one + "]}", 1},
        {R"({"total":"7","data":[)" + one + "]}", 0},
        {R"({"total":2,"data":{"0":1}})", 0},
        {R"({"total":-4,"data":[]})", 0},
        {R"([1,2,3])", 0},
        {R"(null)", 0},
    };
    for (const Case& c : cases) {
      api.answer("search may", 200, c.body);
      search("may");
      QCOMPARE(int(listPage()->apps.size()), c.tiles);
      if (c.tiles == 0)
        QCOMPARE(listTitle(), QString("Không tìm thấy ứng dụng liên quan \"may\" "));
    }
    api.answer("apps 7", 200, R"({"total":9})");
    KAVIX_SECTION_CURRENT = "Văn phòng&7";
    app->onSectionDetailView();
    QCOMPARE(listTitle(), QString("Danh sách ứng dụng Văn phòng (0)"));
    QCOMPARE(int(listPage()->apps.size()), 0);
  }

  // A store the service cannot reach is told apart from a search that
  // finds nothing; the section notice stays as it was.
  void unreachableStoreIsNotNoResult() {
    const QString unreachable(
        "Không kết nối được với cửa hàng. Vui lòng kiểm tra mạng và thử lại.");
    api.answer("search zzz", 200, R"({"total":0})");
    search("zzz");
    QCOMPARE(listTitle(), QString("Không tìm thấy ứng dụng liên quan \"zzz\" "));
    api.answer("search may", 8888, "");
    search("may");
    QCOMPARE(listTitle(), unreachable);
    api.breakRequest("search may");
    search("may");
    QCOMPARE(listTitle(), unreachable);
    api.forget("search may");

    api.answer("apps 8", 8888, "");
    KAVIX_SECTION_CURRENT = "Trò chơi&8";
    app->onSectionDetailView();
    QCOMPARE(ui->pages->currentWidget(), static_cast<QWidget*>(ui->pageListApps));
    QCOMPARE(listTitle(), unreachable);
    QTRY_COMPARE(ui->lbNotify->text(), QString("Open sections 8 failed!"));
    api.forget("apps 8");
  }

  void revokedTokenWithoutAccountControllerEndsTheBuild() {
    api.answer("search sudoku", 8001, "");
    search("sudoku");
    // Nobody to sign out: no second attempt.
    QCOMPARE(api.count("search sudoku"), 1);
  }

  void widgetsStayFlatOverRepeatedRebuilds() {
    const std::vector<std::function<void()>> pages = {
        [this] {
          app->flag_refresh = true;
          app->refreshHomeView();
        },
        [this] { app->refreshInstalledListView(); },
        [this] { app->refreshUpdateListView(); },
        [this] { search("xin chào nelt"); },
        [this] {
          KAVIX_SECTION_CURRENT = "Tiện ích&2";
          app->onSectionDetailView();
        },
        [this] { openDetail("hello-nelt"); },
    };
    for (const auto& refresh : pages) {
      for (int i = 0; i < 5; ++i) refresh();
      const int widgets = liveWidgets();
      const long rss = rssKiB();
      for (int i = 0; i < 30; ++i) refresh();
      const int after = liveWidgets();
      std::printf("widgets %d -> %d, RSS %ld -> %ld KiB over 30 rebuilds\n", widgets, after, rss,
                  rssKiB());
      QCOMPARE(after, widgets);
    }
  }

  // A section of 1,300 applications and 1,000 installed ones: the page
  // shows its first screen of tiles at once, asks the service only for the
  // details of those, keeps the event loop turning, and grows one batch at a
  // time as the list is scrolled to its end, in the catalog's order.
  void longListsShowTheirFirstScreenAndGrowAsTheyScroll() {
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    std::vector<std::string> many;
    for (int i = 0; i < 1300; ++i)
      many.push_back(entry(1000 + i, "app-" + std::to_string(i), "Ứng dụng " + std::to_string(i)));
    api.answer("apps 42", 200, list(many));
    KAVIX_SECTION_CURRENT = "Rất nhiều&42";
    const int first = ListPageBuilder::FIRST_TILES, more = ListPageBuilder::MORE_TILES;
    app->onSectionDetailView();
    QCOMPARE(listTitle(), QString("Danh sách ứng dụng Rất nhiều (1300)"));
    QCOMPARE(int(listPage()->apps.size()), first);
    QCOMPARE(ListPageBuilder::waitingTiles(listPage()), 1300 - first);

    // The page builds a screen ahead by itself, on later turns of the loop;
    // then each scroll to the end brings one batch, never the whole list.
    QScrollBar* bar = listPage()->ui->scrollAreaListApp->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    QTest::qWait(50);
    int have = int(listPage()->apps.size());
    QVERIFY(have >= first && have <= first + 3 * more);
    for (int batch = 1; batch <= 3; ++batch) {
      bool turned = false;
      QTimer::singleShot(0, this, [&turned] { turned = true; });
      bar->setValue(bar->maximum());
      QTRY_COMPARE(int(listPage()->apps.size()), have + more);
      QVERIFY(turned);
      QTest::qWait(20);
      have += more;
      QCOMPARE(int(listPage()->apps.size()), have);
      QCOMPARE(ListPageBuilder::waitingTiles(listPage()), 1300 - have);
    }
    for (int i = 0; i < have; ++i)
      QCOMPARE(listPage()->apps[size_t(i)]->getName(), "app-" + std::to_string(i));
    // A new list drops what the old one still had to build.
    search("xin chào nelt");
    QCOMPARE(ListPageBuilder::waitingTiles(listPage()), 0);
    QCOMPARE(int(listPage()->apps.size()), 1);

    std::string records;
    for (int i = 0; i < 1000; ++i)
      records += std::string(i ? "," : "") + "{\"slug\":\"app-" + std::to_string(i) +
                 "\",\"version\":\"1.0\"}";
    api.answer("installed", 200, "{\"total\":1000,\"data\":[" + records + "]}");
    api.answer("detail", 200, R"({"name":"Ứng dụng","currentVersion":"1.0"})");
    const int details = api.count("detail");
    app->refreshInstalledListView();
    QCOMPARE(ui->pageInstalled->ui->label->text(), QString("Danh sách ứng dụng đã cài đặt (1000)"));
    QCOMPARE(int(ui->pageInstalled->apps.size()), first);
    QCOMPARE(api.count("detail") - details, first);
    QCOMPARE(ListPageBuilder::waitingTiles(ui->pageInstalled), 1000 - first);
    // The applications not built yet still open as installed.
    QCOMPARE(app->num_installeds, 1000);
    window->hide();
  }

  // While the service takes its time over the installed list (it lists
  // the snaps first), the window keeps turning its event loop: timers run
  // and it paints. The page is built from the list once it comes.
  void aSlowInstalledListKeepsTheWindowTurning() {
    api.answer("installed", 200, R"({"total":1,"data":[{"slug":"ghi-chu","version":"2.0.1"}]})");
    api.answer("detail", 200, R"({"name":"Ghi chú","currentVersion":"2.0.1"})");
    api.hold("installed");
    int ticks = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] {
      if (++ticks == 20) api.release("installed");
    });
    tick.start(1);
    // Should the window wait without turning, the list still comes, late.
    std::thread late([this] {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      api.release("installed");
    });
    app->refreshInstalledListView();
    late.join();
    QVERIFY(ticks >= 20);
    QCOMPARE(ui->pageInstalled->ui->label->text(), QString("Danh sách ứng dụng đã cài đặt (1)"));
    QCOMPARE(int(ui->pageInstalled->apps.size()), 1);
  }

  // The home built again (a restarted service, a revoked token) waits for
  // its replies off the GUI thread and builds its tiles a few at a time:
  // timers keep firing, and a refresh asked for meanwhile runs once the
  // build is done, on strips it builds anew.
  void aSlowHomeKeepsTheWindowTurning() {
    api.answer("sections", 200,
               list({R"({"id":1,"name":"Nổi bật"})", R"({"id":2,"name":"Tiện ích"})"}));
    std::vector<std::string> many;
    for (int i = 0; i < 11; ++i) many.push_back(entry(10 + i, "app-" + std::to_string(i), "A"));
    api.answer("apps 1", 200, list(many));
    api.answer("apps 2", 200, list({entry(2, "hello-nelt", "Xin chào")}));
    api.hold("apps 1");
    const int asked = api.count("sections");
    int ticks = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] {
      if (++ticks != 20) return;
      app->flag_refresh = true;
      app->refreshHomeView();
      api.release("apps 1");
    });
    tick.start(1);
    std::thread late([this] {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      api.release("apps 1");
    });
    app->flag_refresh = true;
    app->refreshHomeView();
    late.join();
    tick.stop();
    QVERIFY(ticks >= 20);
    QCOMPARE(api.count("sections") - asked, 2);
    QCOMPARE(int(app->sections.size()), 2);
    QCOMPARE(int(app->sections[0]->apps.size()), 8);
    QCOMPARE(app->sections[0]->apps[7]->getName(), std::string("app-7"));
    QCOMPARE(int(app->sections[1]->apps.size()), 1);
    QVERIFY(!app->flag_refresh);
  }

  void cleanupTestCase() {
    app.reset();
    window.reset();
    WindowClock::set(nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
};

QTEST_MAIN(CatalogPages)
#include "test_catalog_pages.moc"
