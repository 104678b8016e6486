// The detail page of the real window against the real service, the local
// store server and the stand-ins: the button presets, installs followed to
// the end, the account detour, refused authorisation, the remove and launch
// sequences, screenshots, and replies of the wrong shape.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>

#include "account_view.h"
#include "app_detail_view.h"
#include "kavix_model.h"
#include "list_apps_view.h"
#include "protocol.h"
#include "store_globals.h"
#include "ui_account_view.h"
#include "ui_app_detail_view.h"
#include "ui_list_apps_view.h"
#include "ui_main_window.h"
#include "window_stack.h"

using nelt::window::currentInstall;
using nelt::window::setCurrentInstall;

using wintest::WindowStack;

namespace {

// Samples a label every few milliseconds and keeps each new text it shows,
// so that texts shown briefly are seen, in order.
class LabelTrace : public QObject {
 public:
  explicit LabelTrace(QLabel* label) : label_(label) {
    connect(&timer_, &QTimer::timeout, this, [this] {
      if (label_->isHidden()) return;
      if (seen.isEmpty() || seen.last() != label_->text()) seen << label_->text();
    });
    timer_.start(2);
  }
  QStringList seen;

 private:
  QLabel* label_;
  QTimer timer_;
};

bool offered(const TPushButton* b) { return !b->isHidden() && b->isEnabled(); }

int liveThumbnails() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  int n = 0;
  for (QWidget* w : QApplication::allWidgets()) n += qobject_cast<TWallpapperWidget*>(w) != nullptr;
  return n;
}

}  // namespace

class DetailWindow : public QObject {
  Q_OBJECT
  WindowStack stack;

  Ui_AppDetailView* d() { return stack.ui->pageDetail->ui; }
  void open(const std::string& slug) { stack.app->refreshDetailView(slug, TYPE_UNKNOW); }
  QWidget* current() { return stack.ui->pages->currentWidget(); }

 private slots:
  void initTestCase() {
    QVERIFY(stack.start(true));
    // The snap install and remove take a moment, as real ones do: the
    // page's once-a-second poll sees the install running, and the window
    // can be seen answering while a removal waits.
    const std::string bin = stack.work.sub("slow-snap");
    QVERIFY(QDir().mkpath(QString::fromStdString(bin)));
    nelt::test::writeFile(bin + "/snap",
                          "#!/bin/sh\ncase \"$1\" in install) sleep 2 ;; remove) sleep 1 ;; esac\n"
                          "exec \"$NELT_STANDINS_DIR/snap\" \"$@\"\n");
    QFile::setPermissions(QString::fromStdString(bin + "/snap"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
    stack.signIn("demo", "demo123");
    QVERIFY(stack.user->f_logined);
  }

  void installedApplicationWithUpdateOffersAllThree() {
    QCOMPARE(stack.app->model->install("hello-nelt", "1.2.0", 0), 0);
    QTRY_VERIFY_WITH_TIMEOUT(stack.app->model->getStateInstall() == 200, 60000);
    stack.app->refreshInstalledListView();
    stack.app->refreshUpdateListView();
    open("hello-nelt");
    QCOMPARE(current(), static_cast<QWidget*>(stack.ui->pageDetail));
    QVERIFY(offered(d()->buttonLaunch) && offered(d()->buttonRemove) && offered(d()->buttonUpdate));
    QVERIFY(d()->buttonInstall->isHidden());
    QCOMPARE(stack.app->lb_newversion->text(), QString("Có phiên bản mới\n1.3.0"));
    QCOMPARE(d()->version->text(), QString("1.2.0"));
    QCOMPARE(d()->nameapp->text(), QString("Xin chào Nelt"));
    QCOMPARE(stack.index_page, 65535);
  }

  void refusedAuthorisationFailsTheInstall() {
    open("ghi-chu");
    QVERIFY(offered(d()->buttonInstall) && d()->buttonLaunch->isHidden());
    setenv("NELT_PKEXEC_REFUSE", "1", 1);
    LabelTrace trace(d()->label_state);
    QTest::mouseClick(d()->buttonInstall, Qt::LeftButton);
    QVERIFY(!d()->buttonInstall->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(trace.seen.contains("Cài đặt lỗi"), 60000);
    unsetenv("NELT_PKEXEC_REFUSE");
    QTRY_VERIFY(offered(d()->buttonInstall));
    QVERIFY(d()->progressBar->isHidden());
    QCOMPARE(d()->label_state->styleSheet(), QString("color : red"));
    QVERIFY(!stack.app->timer_install->isActive());
  }

  void installFromTheDetailPageRunsToTheEnd() {
    open("may-tinh");
    QVERIFY(offered(d()->buttonInstall));
    LabelTrace trace(d()->label_state);
    QTest::mouseClick(d()->buttonInstall, Qt::LeftButton);
    QVERIFY(!d()->buttonInstall->isEnabled());
    QVERIFY(!d()->progressBar->isHidden());
    QCOMPARE(d()->progressBar->value(), 0);
    QVERIFY(stack.app->timer_install->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(!d()->buttonLaunch->isHidden(), 60000);
    QVERIFY(trace.seen.contains("Đang cài đặt"));
    QVERIFY(offered(d()->buttonLaunch) && offered(d()->buttonRemove));
    QVERIFY(d()->buttonInstall->isHidden());
    // The version of this application, not of the one opened before.
    QCOMPARE(d()->version->text(), QString("1.0.0"));
    QCOMPARE(stack.ui->pageInstalled->ui->label->text(),
             QString("Danh sách ứng dụng đã cài đặt (2)"));
    QVERIFY(currentInstall().empty());
  }

  void anotherApplicationWaitsForTheRunningInstall() {
    open("ghi-chu");
    QTest::mouseClick(d()->buttonInstall, Qt::LeftButton);
    QVERIFY(stack.app->timer_install->isActive());
    open("nghe-nhac");
    QVERIFY(!d()->buttonInstall->isHidden());
    // Pressed before the next poll: refused at once, not queued behind the
    // running install.
    const size_t tokens = stack.serviceRequests(REQ_GETTOKEN);
    QTest::mouseClick(d()->buttonInstall, Qt::LeftButton);
    QVERIFY(!d()->buttonInstall->isEnabled());
    QCOMPARE(stack.serviceRequests(REQ_GETTOKEN), tokens);
    // Every tick while ghi-chu installs keeps this Install disabled.
    QTRY_VERIFY_WITH_TIMEOUT(!d()->buttonInstall->isEnabled(), 3000);
    // Back on the installing application: its install is followed, with the
    // bar while downloading or "Đang cài đặt" while the snap installs.
    open("ghi-chu");
    QVERIFY(!d()->buttonInstall->isEnabled() || !d()->buttonLaunch->isHidden());
    QVERIFY(!d()->progressBar->isHidden() || !d()->label_state->isHidden() ||
            !d()->buttonLaunch->isHidden());
    QTRY_VERIFY_WITH_TIMEOUT(!d()->buttonLaunch->isHidden(), 60000);
    QCOMPARE(d()->version->text(), QString("2.0.1"));
    QVERIFY(!stack.app->timer_install->isActive());
  }

  void signedOutInstallGoesThroughTheAccountPage() {
    stack.signOut();
    QVERIFY(!stack.user->f_logined);
    open("doc-sach");
    QTest::mouseClick(d()->buttonInstall, Qt::LeftButton);
    QCOMPARE(current(), static_cast<QWidget*>(stack.ui->pageAccount));
    QVERIFY(stack.ui->pageAccount->flag_installing);
    QVERIFY(!stack.app->timer_install->isActive());
    // The sign-in page says why it is shown.
    QCOMPARE(stack.ui->pageAccount->ui->lb_Notify->text(),
             QString("Vui lòng đăng nhập để cài đặt ứng dụng."));
    QVERIFY(!stack.ui->pageAccount->ui->lb_Notify->isHidden());
    LabelTrace trace(d()->label_state);
    stack.signIn("demo", "demo123");
    QCOMPARE(current(), static_cast<QWidget*>(stack.ui->pageDetail));
    QVERIFY(!stack.ui->pageAccount->flag_installing);
    // Back on the application, its install goes on without a second press.
    QCOMPARE(stack.app->name_app_detail_current, std::string("doc-sach"));
    QVERIFY(stack.app->timer_install->isActive());
    QTRY_COMPARE(stack.ui->lbNotify->text(), QString("Đăng nhập thành công"));
    // The store has no package for it: the notice stays as it was, and the
    // reason shows in a line of its own until the next action on the page.
    QTRY_VERIFY_WITH_TIMEOUT(trace.seen.contains("Cài đặt lỗi"), 30000);
    QLabel* reason = stack.ui->pageDetail->label_reason;
    QTRY_VERIFY(!reason->isHidden());
    QCOMPARE(reason->text(), QString("Lý do: không tải được gói ứng dụng từ cửa hàng."));
    QVERIFY(offered(d()->buttonInstall));
    QTest::mouseClick(d()->buttonBack, Qt::LeftButton);
    QVERIFY(reason->isHidden());
    setCurrentInstall("");
  }

  // An install that ends while another page is shown leaves that page
  // alone, and the next install is not refused.
  void anInstallEndingElsewhereStaysQuiet() {
    open("doc-sach");
    QTest::mouseClick(d()->buttonInstall, Qt::LeftButton);
    QVERIFY(stack.app->timer_install->isActive());
    // Another application's page: the engine's end of the job is seen there
    // too, and that page's Install works again.
    open("nghe-nhac");
    QTRY_VERIFY_WITH_TIMEOUT(!stack.app->timer_install->isActive(), 30000);
    QCOMPARE(stack.app->name_app_detail_current, std::string("nghe-nhac"));
    QVERIFY(offered(d()->buttonInstall));

    open("doc-sach");
    QTest::mouseClick(d()->buttonInstall, Qt::LeftButton);
    QVERIFY(stack.app->timer_install->isActive());
    stack.ui->pages->setCurrentWidget(stack.ui->pageInstalled);
    QSignalSpy detail(stack.app.get(), &AppController::detailRefreshed);
    QTRY_VERIFY_WITH_TIMEOUT(!stack.app->timer_install->isActive(), 30000);
    QCOMPARE(current(), static_cast<QWidget*>(stack.ui->pageInstalled));
    QCOMPARE(detail.count(), 0);
    // Another application's Install starts at once.
    open("doc-sach");
    const size_t tokens = stack.serviceRequests(REQ_GETTOKEN);
    QTest::mouseClick(d()->buttonInstall, Qt::LeftButton);
    QCOMPARE(stack.serviceRequests(REQ_GETTOKEN), tokens + 1);
    QVERIFY(stack.app->timer_install->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(!stack.app->timer_install->isActive(), 30000);
    setCurrentInstall("");
  }

  void launchAndRemoveShowTheirStepsInOrder() {
    open("may-tinh");
    const std::string marker = stack.work.sub("launched");
    setenv("NELT_LAUNCH_MARKER", marker.c_str(), 1);
    {
      LabelTrace trace(d()->label_state);
      QSignalSpy done(stack.app.get(), &AppController::launchFinished);
      QTest::mouseClick(d()->buttonLaunch, Qt::LeftButton);
      QTRY_VERIFY(!d()->buttonLaunch->isEnabled() && !d()->buttonRemove->isEnabled());
      QVERIFY(done.wait(20000));
      QVERIFY(done.at(0).at(0).toInt() >= 0);
      QTRY_COMPARE(trace.seen, QStringList({"Đang mở ứng dụng", "Mở ứng dụng thành công"}));
      QVERIFY(offered(d()->buttonLaunch) && offered(d()->buttonRemove));
    }
    unsetenv("NELT_LAUNCH_MARKER");
    QTRY_VERIFY(QFile::exists(QString::fromStdString(marker)));
    {
      LabelTrace trace(d()->label_state);
      QSignalSpy done(stack.app.get(), &AppController::removeFinished);
      int ticks = 0;
      QTimer alive;
      connect(&alive, &QTimer::timeout, this, [&] { ++ticks; });
      alive.start(10);
      QTest::mouseClick(d()->buttonRemove, Qt::LeftButton);
      QVERIFY(done.wait(20000));
      QVERIFY(done.at(0).at(0).toInt() >= 0);
      // The event loop kept turning while the removal ran.
      QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
      QTRY_COMPARE(trace.seen, QStringList({"Đang gỡ ứng dụng", "Đã gỡ ứng dụng"}));
      QVERIFY(offered(d()->buttonInstall) && d()->buttonLaunch->isHidden());
      QCOMPARE(stack.ui->pageInstalled->ui->label->text(),
               QString("Danh sách ứng dụng đã cài đặt (2)"));
    }
  }

  void failedRemoveAndLaunchRestoreTheButtons() {
    stack.app->refreshUpdateListView();
    open("hello-nelt");
    QVERIFY(offered(d()->buttonUpdate));
    setenv("NELT_PKEXEC_REFUSE", "1", 1);
    {
      LabelTrace trace(d()->label_state);
      QSignalSpy done(stack.app.get(), &AppController::removeFinished);
      QTest::mouseClick(d()->buttonRemove, Qt::LeftButton);
      QVERIFY(done.wait(20000));
      QVERIFY(done.at(0).at(0).toInt() < 0);
      QTRY_COMPARE(trace.seen, QStringList({"Đang gỡ ứng dụng", "Gỡ ứng dụng lỗi"}));
    }
    unsetenv("NELT_PKEXEC_REFUSE");
    QVERIFY(offered(d()->buttonLaunch) && offered(d()->buttonRemove) && offered(d()->buttonUpdate));

    // The application disappears behind the window's back: launching fails.
    QProcess snap;
    snap.start("snap", {"remove", "hello-nelt"});
    QVERIFY(snap.waitForFinished(20000));
    {
      LabelTrace trace(d()->label_state);
      QSignalSpy done(stack.app.get(), &AppController::launchFinished);
      QTest::mouseClick(d()->buttonLaunch, Qt::LeftButton);
      QVERIFY(done.wait(20000));
      QVERIFY(done.at(0).at(0).toInt() < 0);
      QTRY_VERIFY2(trace.seen == QStringList({"Đang mở ứng dụng", "Mở ứng dụng lỗi"}),
                   qPrintable(trace.seen.join(" | ")));
    }
    QVERIFY(offered(d()->buttonLaunch) && offered(d()->buttonRemove) && offered(d()->buttonUpdate));
  }

  void screenshotsAndHeights() {
    open("chinh-sua-anh");
    AppDetailView* page = stack.ui->pageDetail;
    QCOMPARE(int(page->wallpapers.size()), 4);
    QCOMPARE(d()->horizontalLayout_2->count(), 4);
    QCOMPARE(page->wallpapers[0]->styleSheet(), QString("border: 3px solid #75FF08"));
    // Shown large once its download arrives.
    QTRY_VERIFY(!d()->wallpaper->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(d()->description->maximumHeight() > 100);
    TWallpapperWidget* third = page->wallpapers[2];
    QTest::mousePress(third, Qt::LeftButton);
    QTest::mouseRelease(third, Qt::LeftButton);
    for (int i = 0; i < 4; ++i) {
      QCOMPARE(page->wallpapers[i]->styleSheet(),
               QString(i == 2 ? "border: 3px solid #75FF08" : "border: 2px solid white;"));
    }

    open("sudoku");
    QVERIFY(page->wallpapers.empty());
    QVERIFY(d()->wallpaper->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(liveThumbnails(), 0);
    QCOMPARE(d()->nameapp->maximumHeight(), 30);
    QCOMPARE(d()->description->maximumHeight(), 100);

    open("thoi-gian-bieu");  // a 64-character name: 6 estimated lines
    // Six lines of at least 21 pixels, more when the font needs it.
    QCOMPARE(d()->nameapp->maximumHeight(), 6 * qMax(21, lineHeight(d()->nameapp)));
    QCOMPARE(AppController::estimateLines(QString(140, 'a'), 70), 4);
    QCOMPARE(AppController::estimateLines(QString(350, 'a'), 70), 7);
    QCOMPARE(AppController::estimateLines("a\nb", 70), 2);
  }

  void detailRepliesOfTheWrongShape() {
    const char* bodies[] = {
        R"({"code":200,"data":{"id":99,"slug":"hong","name":"Hỏng","rankAvg":"cao",)"
        R"("longDescription":7,"currentVersion":1,"images":{"icon":5,"screenshot":"x"},)"
        R"("size":"lớn"}})",
        R"({"code":200,"data":{"slug":"hong","images":{"screenshot":[1,null,{},"x"]}}})",
        R"({"code":200,"data":{"slug":"hong","images":[]}})",
        R"({"code":200,"data":[1,2]})",
        R"({"code":200,"data":"hong"})",
    };
    for (const char* body : bodies) {
      stack.proxy.answer("/api/v1/apps/hong/detailAppByName", 200, body);
      open("hong");
      QCOMPARE(d()->rate_number->text(), QString("0"));
      QVERIFY(stack.ui->pageDetail->wallpapers.size() <= 1);
    }
    stack.proxy.forget("/api/v1/apps/hong/detailAppByName");
  }

  void cleanupTestCase() { stack.unwire(); }
};

QTEST_MAIN(DetailWindow)
#include "test_detail_window.moc"
