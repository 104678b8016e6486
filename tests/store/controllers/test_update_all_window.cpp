// The updates page's "Cập nhật tất cả" and the detail page's facts before
// install, in the real window against the real service, the local store
// server, `nelt-helper` and the stand-ins. Pictures of both pages are kept
// in the build folder to be looked at.
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <algorithm>

#include "app_detail_view.h"
#include "app_facts_view.h"
#include "list_apps_view.h"
#include "package_builder.h"
#include "process.h"
#include "ui_list_apps_view.h"
#include "ui_main_window.h"
#include "update_all_panel.h"
#include "window_stack.h"

using wintest::WindowStack;

class UpdateAllWindow : public QObject {
  Q_OBJECT
  WindowStack stack;
  std::string shots = NELT_UPDATE_ALL_SHOTS_DIR;

  void shot(QWidget* page, const char* name) {
    QDir().mkpath(QString::fromStdString(shots));
    QVERIFY(page->grab().save(QString::fromStdString(shots + "/" + name)));
  }
  QLabel* label(QWidget* in, const char* name) { return in->findChild<QLabel*>(name); }
  static bool shown(QLabel* l) { return l != nullptr && !l->isHidden(); }

 private slots:
  void initTestCase() {
    // The sample store, with a key for lich-viet. Old versions to update
    // from; lich-viet's current package lacks its kavix.json.
    const std::string catalog = stack.work.sub("catalog");
    const std::string shelf = stack.work.sub("packages");
    QCOMPARE(nelt::runProgram({"cp", "-r", NELT_SOURCE_CATALOG, catalog}).exit_code, 0);
    QCOMPARE(nelt::runProgram({"cp", "-r", NELT_SAMPLE_PACKAGES, shelf}).exit_code, 0);
    nelt::test::writeFile(catalog + "/keys.json",
                          "{\"hello-nelt\":\"Hello-Nelt#2024\",\"ghi-chu\":\"ghi chu $HOME & 'x'\","
                          "\"may-tinh\":\"may;tinh|1.0.0\",\"lich-viet\":\"lich viet\"}");
    const std::string scratch = stack.work.path();
    using nelt::test::writeShelfPackage;
    QVERIFY(writeShelfPackage(shelf, scratch, "ghi-chu", "1.5.0", "ghi chu $HOME & 'x'", true));
    QVERIFY(writeShelfPackage(shelf, scratch, "may-tinh", "0.9.0", "may;tinh|1.0.0", true));
    QVERIFY(writeShelfPackage(shelf, scratch, "lich-viet", "3.1.0", "lich viet", true));
    QVERIFY(writeShelfPackage(shelf, scratch, "lich-viet", "3.1.4", "lich viet", false));
    QVERIFY(stack.start(true, catalog, shelf));
  }

  void detailPageShowsTheFactsTheRecordHas() {
    AppDetailView* page = stack.ui->pageDetail;
    stack.app->refreshDetailView("hello-nelt", TYPE_UNKNOW);
    QCOMPARE(label(page, "fact_size")->text(), QString("4,5 KB"));
    QCOMPARE(label(page, "fact_developer")->text(), QString("Nhóm NeltStore"));
    QCOMPARE(label(page, "fact_license")->text(), QString("MIT"));
    QCOMPARE(label(page, "fact_updated")->text(), QString("12/05/2024"));
    QCOMPARE(page->rate_count->text(), QString("(128 lượt đánh giá)"));
    for (const char* name : {"fact_size", "fact_developer", "fact_license", "fact_updated",
                             "fact_size_caption", "rate_count"})
      QVERIFY2(shown(label(page, name)), name);
    shot(stack.ui->pageDetail, "detail-facts.png");

    // A record without them shows none, not empty captions; one whose
    // developer is markup shows it as text.
    stack.proxy.answer("/api/v1/apps/tho/detailAppByName", 200,
                       R"({"code":200,"data":{"id":98,"slug":"tho","name":"Thỏ",)"
                       R"("currentVersion":"1.0","rankAvg":3}})");
    stack.app->refreshDetailView("tho", TYPE_UNKNOW);
    for (const char* name : {"fact_size", "fact_developer", "fact_license", "fact_updated",
                             "fact_size_caption", "fact_developer_caption", "rate_count"})
      QVERIFY2(!shown(label(page, name)), name);
    stack.proxy.answer("/api/v1/apps/rua/detailAppByName", 200,
                       R"({"code":200,"data":{"id":98,"slug":"rua","name":"Rùa",)"
                       R"("developer":"<b>Tho</b>","size":"12","updatedAt":"hôm qua",)"
                       R"("rankCount":-4,"license":7}})");
    stack.app->refreshDetailView("rua", TYPE_UNKNOW);
    QCOMPARE(label(page, "fact_developer")->text(), QString("<b>Tho</b>"));
    QCOMPARE(label(page, "fact_developer")->textFormat(), Qt::PlainText);
    QCOMPARE(label(page, "fact_size")->text(), QString("12 B"));
    QVERIFY(!shown(label(page, "fact_updated")));
    QVERIFY(!shown(label(page, "fact_license")));
    QVERIFY(!shown(page->rate_count));
    stack.proxy.forget("/api/v1/apps/tho/detailAppByName");
    stack.proxy.forget("/api/v1/apps/rua/detailAppByName");
  }

  void updateAllUpdatesEveryApplicationWithOneAuthorisation() {
    KavixReply login;
    QCOMPARE(stack.api->loginAcc("demo", "demo123", &login), 0);
    for (const char* app :
         {"hello-nelt@1.2.0", "ghi-chu@1.5.0", "may-tinh@0.9.0", "lich-viet@3.1.0"}) {
      const std::string spec = app;
      const std::string slug = spec.substr(0, spec.find('@'));
      const nelt::ProcessResult r =
          nelt::runProgram({nelt::test::binDir() + "/nelt", "install", slug, "--version",
                            spec.substr(slug.size() + 1)});
      QVERIFY2(r.exit_code == 0, app);
    }
    QSignalSpy updates(stack.app.get(), &AppController::updatesRefreshed);
    stack.app->refreshUpdateListView();
    QTRY_VERIFY(updates.count() >= 1);
    ListAppsView* page = stack.ui->pageUpdates;
    stack.ui->pages->setCurrentWidget(page);
    QCOMPARE(page->ui->label->text(), QString("Danh sách ứng dụng cập nhật (4)"));
    UpdateAllPanel* panel = page->findChild<UpdateAllPanel*>("updateAllPanel");
    QVERIFY(panel != nullptr);
    QVERIFY(panel->button->isEnabled());

    const std::string pkexec_log = stack.work.sub("pkexec.log");
    setenv("NELT_PKEXEC_LOG", pkexec_log.c_str(), 1);
    // Slow enough to be seen at work.
    QVERIFY(stack.store.setMode("{\"latency_ms\":400}"));
    QSignalSpy finished(&stack.app->updateAll(), &UpdateAllFlow::batchFinished);
    QSignalSpy installed(stack.app.get(), &AppController::installedRefreshed);
    QTest::mouseClick(panel->button, Qt::LeftButton);
    QVERIFY(!panel->button->isEnabled());
    QVERIFY(!panel->progress->isHidden());
    // One checked and waiting for the others while the next downloads.
    QTRY_VERIFY_WITH_TIMEOUT(panel->apps->text().contains("Đã kiểm tra, chờ cài đặt"), 30000);
    shot(page, "update-all-running.png");
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, 120000);
    QVERIFY(stack.store.setMode("{\"latency_ms\":0}"));
    unsetenv("NELT_PKEXEC_LOG");
    QCOMPARE(finished.first().at(0).toInt(), 3);
    QCOMPARE(finished.first().at(1).toInt(), 1);

    QCOMPARE(panel->state->text(), QString("Đã cập nhật 3/4 ứng dụng, lỗi 1: lich-viet"));
    const QString lines = panel->apps->text();
    QVERIFY2(lines.contains("hello-nelt: Đã cập nhật lên 1.3.0"), qPrintable(lines));
    QVERIFY2(lines.contains("ghi-chu: Đã cập nhật lên 2.0.1"), qPrintable(lines));
    QVERIFY2(lines.contains("may-tinh: Đã cập nhật lên 1.0.0"), qPrintable(lines));
    QVERIFY2(lines.contains("lich-viet: Bỏ qua: package refused: no kavix.json beside the snap"),
             qPrintable(lines));
    // One authorisation for the three, none for the skipped one.
    const std::string log = nelt::test::readFile(pkexec_log);
    QCOMPARE(std::count(log.begin(), log.end(), '\n'), 1L);
    QVERIFY(log.find("install-batch") != std::string::npos);
    QVERIFY(log.find("lich-viet") == std::string::npos);

    // Both pages are rebuilt: lich-viet alone still has an update.
    QTRY_VERIFY(installed.count() >= 1);
    QTRY_COMPARE(page->ui->label->text(), QString("Danh sách ứng dụng cập nhật (1)"));
    QVERIFY(panel->button->isEnabled());
    QVERIFY2(!panel->apps->isHidden(), "the summary stays");
    shot(page, "update-all-done.png");
  }

  void cleanupTestCase() { stack.unwire(); }
};

QTEST_MAIN(UpdateAllWindow)
#include "test_update_all_window.moc"
