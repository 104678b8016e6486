// The "Hủy" button of the detail page in the real window, against the real
// service, the local store server (holding the download half way) and the
// stand-ins: offered only while the install can still be cancelled, and
// pressing it brings the page back to how it was before the install.
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>

#include "app_detail_view.h"
#include "kavix_model.h"
#include "store_globals.h"
#include "ui_app_detail_view.h"
#include "ui_main_window.h"
#include "window_stack.h"

using nelt::window::currentInstall;
using wintest::WindowStack;

class InstallCancelWindow : public QObject {
  Q_OBJECT
  WindowStack stack;

  Ui_AppDetailView* d() { return stack.ui->pageDetail->ui; }
  void open(const std::string& slug) { stack.app->refreshDetailView(slug, TYPE_UNKNOW); }
  static bool offered(const QWidget* b) { return !b->isHidden() && b->isEnabled(); }

 private slots:
  void initTestCase() {
    setenv("XDG_CACHE_HOME", stack.work.sub("cache").c_str(), 1);
    QVERIFY(stack.start(false));
    stack.signIn("demo", "demo123");
    QVERIFY(stack.user->f_logined);
  }

  void cancelOfferedWhileDownloadingAndRestoresThePage() {
    open("may-tinh");
    QVERIFY(offered(d()->buttonInstall));
    QVERIFY(d()->buttonCancel->isHidden());
    QCOMPARE(d()->buttonCancel->text(), QString("Hủy"));
    QVERIFY(stack.store.setMode("{\"pause_download_at\":50}"));
    QTest::mouseClick(d()->buttonInstall, Qt::LeftButton);
    QVERIFY(!d()->buttonInstall->isEnabled());
    QVERIFY(!d()->progressBar->isHidden());
    QVERIFY(offered(d()->buttonCancel));
    // Beside the progress bar, inside the page.
    QVERIFY(d()->buttonCancel->geometry().left() >= d()->progressBar->geometry().right());
    QVERIFY(d()->buttonCancel->geometry().right() < d()->buttonCancel->parentWidget()->width());
    // A picture of the page with the button, for a person to look at.
    if (const char* dir = std::getenv("NELT_SCREENSHOT_DIR"))
      QVERIFY(stack.ui->pageDetail->window()->grab().save(QString(dir) + "/install-cancel.png"));

    QTest::mouseClick(d()->buttonCancel, Qt::LeftButton);
    QVERIFY(d()->buttonCancel->isHidden());
    QTRY_VERIFY_WITH_TIMEOUT(offered(d()->buttonInstall), 10000);
    QVERIFY(stack.app->model->lastCancelled());
    QVERIFY(d()->progressBar->isHidden());
    QVERIFY2(d()->label_state->isHidden(), "no failure is shown for a cancel");
    QVERIFY(d()->buttonLaunch->isHidden());
    QVERIFY(d()->buttonCancel->isHidden());
    QVERIFY(!stack.app->timer_install->isActive());
    QVERIFY(currentInstall().empty());

    // The next install runs to its end; the button goes once it cannot be
    // used any more.
    QVERIFY(stack.store.setMode("{\"pause_download_at\":0}"));
    QTest::mouseClick(d()->buttonInstall, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!d()->buttonLaunch->isHidden(), 60000);
    QVERIFY(d()->buttonCancel->isHidden());
    QVERIFY(!stack.app->model->lastCancelled());
  }

  void cleanupTestCase() {
    stack.unwire();
    unsetenv("XDG_CACHE_HOME");
  }
};

QTEST_MAIN(InstallCancelWindow)
#include "test_install_cancel_window.moc"
