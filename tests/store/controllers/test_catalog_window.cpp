// The catalog pages of the real window against the real service and the
// local store server: home strips, installed and updates pages, search,
// section lists and the 8001 sign-out. Replies of the wrong shape and widgets
// over many rebuilds are covered against a scripted client in
// test_catalog_pages.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QStackedWidget>
#include <QTest>
#include <QVBoxLayout>

#include "account_view.h"
#include "frame_item_h.h"
#include "frame_item_v.h"
#include "home_view.h"
#include "kavix_model.h"
#include "list_apps_view.h"
#include "manual_clock.h"
#include "protocol.h"
#include "section_frame.h"
#include "ui_account_view.h"
#include "ui_list_apps_view.h"
#include "ui_main_window.h"
#include "user_model.h"
#include "window_stack.h"

using nelt::window::KAVIX_SECTION_CURRENT;

using wintest::WindowStack;

namespace {

bool placed(const TPushButton* button) { return button->parent() != nullptr; }

}  // namespace

class CatalogWindow : public QObject {
  Q_OBJECT
  WindowStack stack;
  ManualClock clock;

  ListAppsView* list() { return stack.ui->pageListApps; }
  QString listTitle() { return list()->ui->label->text(); }

  void search(const QString& text) {
    stack.ui->textEditSearch->setText(text);
    stack.app->refreshListView();
  }

  void installThroughEngine(const std::string& slug, const std::string& version) {
    QCOMPARE(stack.app->model->install(slug, version, 0), 0);
    QTRY_VERIFY_WITH_TIMEOUT(stack.app->model->getStateInstall() == 200, 60000);
  }

 private slots:
  void initTestCase() {
    // Section 12 fails at the store server; the others are served.
    WindowClock::set(&clock);
    QVERIFY(stack.start(true));
    stack.proxy.answer("/api/v1/categories/12/apps", 500,
                       R"({"code":500,"message":"broken section"})");
  }

  void homeStripsAreBoundedAndOrdered() {
    stack.app->flag_refresh = true;
    stack.app->refreshHomeView();
    const std::vector<SectionFrame*>& strips = stack.app->sections;
    QCOMPARE(int(strips.size()), 5);
    const QStringList names = {"Ứng dụng nổi bật", "Tiện ích hệ thống", "Văn phòng và học tập",
                               "Giải trí", "Đồ họa và ảnh"};
    const int tiles[] = {6, 8, 8, 0, 3};  // 13 applications show 8; section 12 fails
    for (int i = 0; i < 5; ++i) {
      QCOMPARE(strips[i]->getName(), names[i]);
      QCOMPARE(int(strips[i]->apps.size()), tiles[i]);
      QCOMPARE(strips[i]->parentWidget() != nullptr, true);
    }
    QCOMPARE(strips[1]->apps[0]->getName(), std::string("hello-nelt"));
    QVERIFY(!stack.app->flag_refresh);
    // Not rebuilt until the refresh flag turns again.
    const SectionFrame* first = strips[0];
    stack.app->refreshHomeView();
    QCOMPARE(stack.app->sections[0], first);
    stack.app->switchRefreshFlag();
    stack.app->switchRefreshFlag();
    stack.app->refreshHomeView();
    QCOMPARE(stack.app->sections[0], first);
  }

  void installedAndUpdatesPagesCountTheirTiles() {
    stack.app->refreshInstalledListView();
    stack.app->refreshUpdateListView();
    QCOMPARE(stack.ui->pageInstalled->ui->label->text(),
             QString("Danh sách ứng dụng đã cài đặt (0)"));
    QCOMPARE(stack.ui->pageUpdates->ui->label->text(), QString("Danh sách ứng dụng cập nhật (0)"));
    QCOMPARE(int(stack.ui->pageInstalled->apps.size()), 0);

    stack.signIn("demo", "demo123");
    QVERIFY(stack.user->f_logined);
    installThroughEngine("hello-nelt", "1.2.0");
    installThroughEngine("may-tinh", "");

    stack.app->refreshInstalledListView();
    stack.app->refreshUpdateListView();
    QCOMPARE(stack.ui->pageInstalled->ui->label->text(),
             QString("Danh sách ứng dụng đã cài đặt (2)"));
    QCOMPARE(stack.ui->pageUpdates->ui->label->text(), QString("Danh sách ứng dụng cập nhật (1)"));
    QCOMPARE(stack.app->num_installeds, 2);
    QCOMPARE(stack.app->num_updates, 1);
    FrameItemV* hello = nullptr;
    for (FrameItemV* tile : stack.ui->pageInstalled->apps) {
      QVERIFY(placed(tile->bt_Launch) && placed(tile->bt_Remove) && !placed(tile->bt_Install));
      if (tile->getName() == "hello-nelt") hello = tile;
    }
    QVERIFY(hello != nullptr);
    QCOMPARE(hello->getCurVer(), std::string("1.2.0"));
    QCOMPARE(hello->getNewVer(), std::string("1.3.0"));
    FrameItemV* update = stack.ui->pageUpdates->apps.at(0);
    QCOMPARE(update->getName(), std::string("hello-nelt"));
    QVERIFY(placed(update->bt_Update) && !placed(update->bt_Launch));
  }

  void searchSendsSingleSpacesAndMarksInstalledResults() {
    const size_t before = stack.serviceRequests(REQ_SEARCH);
    search("xin   chào  nelt");
    QCOMPARE(stack.ui->pages->currentWidget(), static_cast<QWidget*>(list()));
    QCOMPARE(stack.index_page, 65535);
    QCOMPARE(stack.serviceRequests(REQ_SEARCH), before + 1);
    const std::string out = stack.service.proc().out();
    QVERIFY(out.find(" " + std::to_string(REQ_SEARCH) + " xin chào nelt\n") != std::string::npos);
    QCOMPARE(listTitle(), QString("Danh sách tìm kiếm \"xin chào nelt\" (1)"));
    FrameItemV* hello = list()->apps.at(0);
    QVERIFY(placed(hello->bt_Launch) && placed(hello->bt_Remove) && !placed(hello->bt_Install));
    QCOMPARE(hello->getCurVer(), std::string("1.2.0"));
    QCOMPARE(hello->getNewVer(), std::string("1.3.0"));

    search("Nghe nhạc");
    QVERIFY(list()->apps.size() >= 1);
    FrameItemV* music = list()->apps.at(0);
    QCOMPARE(music->getName(), std::string("nghe-nhac"));
    QVERIFY(placed(music->bt_Install) && !placed(music->bt_Launch));

    for (const QString& blank : {QString(" "), QString(""), QString("   ")}) {
      search(blank);
      const QString shown = blank.isEmpty() ? QString() : QString(" ");
      QCOMPARE(listTitle(), QString("Không tìm thấy ứng dụng liên quan \"%1\" ").arg(shown));
      QCOMPARE(int(list()->apps.size()), 0);
    }
    QVERIFY(stack.service.proc().out().find(" " + std::to_string(REQ_SEARCH) + " @null\n") !=
            std::string::npos);
  }

  void sectionListFollowsTheLinkAndIgnoresMalformedOnes() {
    KAVIX_SECTION_CURRENT = "Tiện ích hệ thống&5";
    stack.app->onSectionDetailView();
    QCOMPARE(listTitle(), QString("Danh sách ứng dụng Tiện ích hệ thống (13)"));
    // The first screen at once, the rest of a short list on the next turns.
    QTRY_COMPARE(int(list()->apps.size()), 13);
    QCOMPARE(stack.app->id_section_current, 5);

    const size_t before = stack.serviceRequests(REQ_LISTAPPS);
    for (const char* bad : {"Tiện ích hệ thống", "Office&", "Office&1x", "&", "Office&-3"}) {
      KAVIX_SECTION_CURRENT = bad;
      stack.app->onSectionDetailView();
    }
    QCOMPARE(stack.serviceRequests(REQ_LISTAPPS), before);
    QCOMPARE(listTitle(), QString("Danh sách ứng dụng Tiện ích hệ thống (13)"));

    // A section the store cannot list: a short notice, then home.
    KAVIX_SECTION_CURRENT = "Giải trí&12";
    stack.app->onSectionDetailView();
    QCOMPARE(stack.ui->pages->currentWidget(), static_cast<QWidget*>(stack.ui->pageAll));
    QTRY_VERIFY(stack.ui->lbNotify->isVisible());
    QCOMPARE(stack.ui->lbNotify->text(), QString("Open sections 12 failed!"));
    clock.advance(2000);
    QVERIFY(!stack.ui->lbNotify->isVisible());
  }

  void revokedTokenSignsOutAndRetriesOnce() {
    if (!stack.user->f_logined) stack.signIn("demo", "demo123");
    QVERIFY(stack.user->f_logined);
    const int before = stack.storeRequests("/api/v1/apps/search");
    std::string body;
    QCOMPARE(nelt::test::httpRequest("POST", stack.store.baseUrl() + "/_test/revoke", "{}", body),
             200);
    search("sudoku");
    QCOMPARE(stack.user->user->id_acc, -1);
    QVERIFY(!stack.user->f_logined);
    QVERIFY(stack.ui->pageAccount->ui->frameLogined->isHidden());
    QCOMPARE(stack.storeRequests("/api/v1/apps/search"), before + 2);
    QCOMPARE(listTitle(), QString("Danh sách tìm kiếm \"sudoku\" (1)"));
  }

  void cleanupTestCase() {
    stack.unwire();
    WindowClock::set(nullptr);
  }
};

QTEST_MAIN(CatalogWindow)
#include "test_catalog_window.moc"
