// The whole store window (top controller included) used with the keyboard
// only, against the real service and the local store server: a tile is
// reached, opened, installed (through the sign-in the install asks for),
// left again and a search made; every control has a name a screen reader
// announces; and the window survives its service stopping and starting on
// another port. Pictures of the focus ring, the reason line and the
// service-down sheet stay in the build folder to be looked at.
#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>

#include "account_view.h"
#include "app_detail_view.h"
#include "app_tile.h"
#include "failure_text.h"
#include "frame_item_h.h"
#include "frame_item_v.h"
#include "keyboard.h"
#include "list_apps_view.h"
#include "main_controller.h"
#include "protocol.h"
#include "service_down_view.h"
#include "startup.h"
#include "store_app.h"
#include "store_globals.h"
#include "ui_account_view.h"
#include "ui_app_detail_view.h"
#include "ui_list_apps_view.h"
#include "ui_main_window.h"
#include "window_stack.h"

using nelt::window::setCurrentInstall;
using wintest::WindowStack;

class KeyboardWindow : public QObject {
  Q_OBJECT
  WindowStack stack;
  std::unique_ptr<KavixAPI> api;
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<MainController> main;
  Ui_MainWindow* ui = nullptr;

  QWidget* focused() { return QApplication::focusWidget(); }
  QWidget* current() { return ui->pages->currentWidget(); }
  Ui_AppDetailView* d() { return ui->pageDetail->ui; }

  void key(int k, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWidget* target = focused() != nullptr ? focused() : window.get();
    QTest::keyClick(target, static_cast<Qt::Key>(k), mods);
  }

  void reactivate() {
    if (QApplication::activeWindow() == window.get()) return;
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
  }

  // Tabs forward until `found` holds for the focused widget.
  bool tabTo(const std::function<bool(QWidget*)>& found, int presses = 80) {
    for (int i = 0; i < presses; ++i) {
      if (focused() != nullptr && found(focused())) return true;
      key(Qt::Key_Tab);
    }
    return focused() != nullptr && found(focused());
  }

  // The ring is drawn on the focused widget, above its children.
  bool ringOn(QWidget* w) {
    if (window->focus_ring->target() != w) return false;
    QWidget* ring = w->findChild<QWidget*>("focusRing", Qt::FindDirectChildrenOnly);
    return ring != nullptr && ring->isVisible() && ring->geometry() == w->rect();
  }

  void picture(const QString& name) {
    QDir().mkpath(NELT_KEYBOARD_GALLERY_DIR);
    QVERIFY(window->grab().save(QDir(NELT_KEYBOARD_GALLERY_DIR).filePath(name + ".png")));
  }

 private slots:
  void initTestCase() {
    QVERIFY(stack.start(false));
    stack.unwire();
    // As the program wires it: a client that finds the service through its
    // port file, the window and the top controller.
    api = std::make_unique<KavixAPI>(stack.service.port(), true);
    api->setPortFile(stack.service.portFile());
    QCOMPARE(api->init(), 1);
    api->setOpenWindow(nelt::OPEN_WINDOW_FIRST);
    window = std::make_unique<MainWindow>();
    ui = window->ui;
    main = std::make_unique<MainController>();
    main->setOpenWindowInterval(std::chrono::milliseconds(200));
    main->setOBJECT(window.get(), api.get());
    main->control();
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    // The home strips fill after the window shows, as their replies come.
    QTRY_VERIFY_WITH_TIMEOUT(!window->findChildren<FrameItemH*>().isEmpty(), 15000);
  }

  void cleanupTestCase() {
    main.reset();
    window.reset();
    api.reset();
  }

  void everyControlHasANameAndIconButtonsATip() {
    for (QPushButton* icon_only : {ui->buttonAccount, ui->buttonSetting, d()->buttonBack}) {
      QVERIFY(icon_only->text().isEmpty());
      QVERIFY(!icon_only->toolTip().isEmpty());
    }
    QCOMPARE(ui->buttonAccount->toolTip(), QString("Tài khoản"));
    QCOMPARE(ui->buttonSetting->toolTip(), QString("Cài đặt"));
    QCOMPARE(d()->buttonBack->toolTip(), QString("Quay lại"));
    QStringList unnamed;
    int checked = 0;
    for (QWidget* w : window->findChildren<QWidget*>()) {
      const bool control =
          qobject_cast<QAbstractButton*>(w) != nullptr || qobject_cast<QLineEdit*>(w) != nullptr ||
          qobject_cast<AppTile*>(w) != nullptr || qobject_cast<QProgressBar*>(w) != nullptr;
      if (!control) continue;
      QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w);
      QVERIFY(face != nullptr);
      ++checked;
      if (face->text(QAccessible::Name).trimmed().isEmpty())
        unnamed << w->objectName() + "/" + w->metaObject()->className() + "/" + w->accessibleName();
    }
    QVERIFY(checked > 20);
    QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(", ")));
    // The tiles announce their application.
    auto* tile = window->findChild<FrameItemH*>();
    QVERIFY(tile != nullptr);
    QVERIFY(!QAccessible::queryAccessibleInterface(tile)->text(QAccessible::Name).isEmpty());
  }

  void qtButtonsAndReasonsReadVietnamese() {
    loadQtTranslations();
    QMessageBox box(QMessageBox::Question, "NeltStore", "?", QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box.button(QMessageBox::Yes)->text(), QString("&Có"));
    QCOMPARE(box.button(QMessageBox::No)->text(), QString("&Không"));
    QCOMPARE(installFailureReason("authorisation refused: the install was not authorised"),
             QString("Lý do: việc cài đặt không được cấp quyền (đã huỷ hoặc bị từ chối)."));
    QCOMPARE(installFailureReason("download failed: cannot write /tmp/x: No space left on device"),
             QString("Lý do: không ghi được gói tải về (ổ đĩa có thể đã đầy)."));
    QCOMPARE(installFailureReason("package refused: not a .kavix file"),
             QString("Lý do: gói ứng dụng không hợp lệ nên đã bị từ chối."));
    QCOMPARE(installFailureReason(""), QString("Lý do: lỗi không xác định khi cài đặt."));
  }

  void menuAndTilesByKeyboard() {
    ui->buttonAll->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(ringOn(ui->buttonAll));
    key(Qt::Key_Tab);
    QCOMPARE(focused(), static_cast<QWidget*>(ui->buttonInstalled));
    QTRY_VERIFY(ringOn(ui->buttonInstalled));
    // Enter on a menu button opens its page.
    key(Qt::Key_Return);
    QCOMPARE(current(), static_cast<QWidget*>(ui->pageInstalled));
    ui->buttonAll->setFocus(Qt::TabFocusReason);
    key(Qt::Key_Enter);
    QCOMPARE(current(), static_cast<QWidget*>(ui->pageAll));

    // Tab reaches the home page's tiles; the arrows move along a strip.
    QVERIFY(tabTo([](QWidget* w) { return qobject_cast<FrameItemH*>(w) != nullptr; }));
    auto* first = qobject_cast<FrameItemH*>(focused());
    key(Qt::Key_Right);
    auto* second = qobject_cast<FrameItemH*>(focused());
    QVERIFY(second != nullptr && second != first);
    QCOMPARE(second->parentWidget(), first->parentWidget());
    QVERIFY(second->x() > first->x());
    key(Qt::Key_Left);
    QCOMPARE(focused(), static_cast<QWidget*>(first));
    QTRY_VERIFY(ringOn(first));
    picture("focus-ring-home-tile");

    // Space opens the tile; Alt+Left comes back to it.
    key(Qt::Key_Space);
    QTRY_COMPARE(current(), static_cast<QWidget*>(ui->pageDetail));
    QCOMPARE(main->app_controller.name_app_detail_current, first->getName());
    QVERIFY(ui->pageDetail->isAncestorOf(focused()));
    key(Qt::Key_Left, Qt::AltModifier);
    QCOMPARE(current(), static_cast<QWidget*>(ui->pageAll));
    QCOMPARE(focused(), static_cast<QWidget*>(first));

    // The "all" link of a strip opens its section with Enter.
    QVERIFY(tabTo([](QWidget* w) { return w->inherits("TCommandLinkButton"); }));
    key(Qt::Key_Return);
    QTRY_COMPARE(current(), static_cast<QWidget*>(ui->pageListApps));
    QVERIFY(ui->pageListApps->ui->label->text().startsWith("Danh sách ứng dụng"));
  }

  void searchOpenInstallThroughSignInAndBack() {
    // Ctrl+F reaches the search field from anywhere.
    ui->buttonSetting->setFocus(Qt::TabFocusReason);
    key(Qt::Key_F, Qt::ControlModifier);
    QCOMPARE(focused(), static_cast<QWidget*>(ui->textEditSearch));
    QTest::keyClicks(ui->textEditSearch, "may tinh");
    key(Qt::Key_Return);
    QTRY_COMPARE(current(), static_cast<QWidget*>(ui->pageListApps));
    QTRY_VERIFY(ui->pageListApps->ui->label->text().startsWith("Danh sách tìm kiếm"));

    QVERIFY(tabTo([](QWidget* w) {
      auto* row = qobject_cast<FrameItemV*>(w);
      return row != nullptr && row->getName() == "may-tinh";
    }));
    QWidget* row = focused();
    key(Qt::Key_Return);
    QTRY_COMPARE(current(), static_cast<QWidget*>(ui->pageDetail));
    QCOMPARE(main->app_controller.name_app_detail_current, std::string("may-tinh"));
    // The detail page takes the focus on its main action.
    QTRY_COMPARE(focused(), static_cast<QWidget*>(d()->buttonInstall));
    QTRY_VERIFY(ringOn(d()->buttonInstall));
    picture("focus-ring-install-button");

    // Signed out: the install asks for the sign-in and says why.
    QVERIFY(!main->user_controller.f_logined);
    key(Qt::Key_Return);
    QTRY_COMPARE(current(), static_cast<QWidget*>(ui->pageAccount));
    Ui_AccountView* acc = ui->pageAccount->ui;
    QCOMPARE(acc->lb_Notify->text(), QString("Vui lòng đăng nhập để cài đặt ứng dụng."));
    QCOMPARE(focused(), static_cast<QWidget*>(acc->textEditAcc));
    QTest::keyClicks(acc->textEditAcc, "demo");
    // Enter in the name field moves on; Enter in the password signs in.
    key(Qt::Key_Return);
    QCOMPARE(focused(), static_cast<QWidget*>(acc->textEditPass));
    QTest::keyClicks(acc->textEditPass, "demo123");
    key(Qt::Key_Return);
    QVERIFY(main->user_controller.f_logined);
    // Back on the application, the install goes on by itself.
    QCOMPARE(current(), static_cast<QWidget*>(ui->pageDetail));
    QCOMPARE(main->app_controller.name_app_detail_current, std::string("may-tinh"));
    QVERIFY(main->app_controller.timer_install->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(!d()->buttonLaunch->isHidden(), 60000);

    // On the offscreen platform the window loses its activation while the
    // install ends; a person's window keeps it. Give it back.
    reactivate();
    // Escape goes back to the row the page was opened from.
    QTRY_VERIFY(ui->pageDetail->isAncestorOf(focused()));
    key(Qt::Key_Escape);
    QCOMPARE(current(), static_cast<QWidget*>(ui->pageListApps));
    QCOMPARE(focused(), row);
    setCurrentInstall("");
  }

  void failedInstallShowsItsReasonUntilTheNextAction() {
    reactivate();
    main->openapp("doc-sach");
    QTRY_COMPARE(focused(), static_cast<QWidget*>(d()->buttonInstall));
    key(Qt::Key_Space);
    QLabel* reason = ui->pageDetail->label_reason;
    QTRY_VERIFY_WITH_TIMEOUT(!reason->isHidden(), 30000);
    // The job has ended: nothing is left to cancel.
    QTRY_VERIFY(d()->buttonCancel->isHidden());
    QCOMPARE(reason->text(), QString("Lý do: không tải được gói ứng dụng từ cửa hàng."));
    QVERIFY(reason->y() >= d()->frame->geometry().bottom());
    QVERIFY(d()->scrollArea->y() >= reason->geometry().bottom());
    QTest::qWait(300);
    picture("reason-line");
    // Still there after the two-second notice is gone.
    QTRY_VERIFY_WITH_TIMEOUT(d()->label_state->isHidden(), 5000);
    QVERIFY(!reason->isHidden());
    key(Qt::Key_Escape);
    QVERIFY(reason->isHidden());
    setCurrentInstall("");
  }

  void updatesMenuCountsAndSaysUpToDate() {
    main->app_controller.refreshUpdateListView();
    const int count = main->app_controller.num_updates;
    QCOMPARE(ui->buttonUpdates->text(),
             count > 0 ? QString("CẬP NHẬT (%1)").arg(count) : QString("CẬP NHẬT"));
    auto* label = ui->pageUpdates->findChild<QLabel*>("label_up_to_date");
    QVERIFY(label != nullptr);
    QCOMPARE(label->isHidden(), count > 0);
    QCOMPARE(label->text(), QString("Tất cả ứng dụng đã được cập nhật."));
    // A second press on the menu reads the list again.
    QTest::mouseClick(ui->buttonUpdates, Qt::LeftButton);
    const size_t before = stack.serviceRequests(REQ_LISTINSTALLED);
    QTest::mouseClick(ui->buttonUpdates, Qt::LeftButton);
    QTRY_VERIFY(stack.serviceRequests(REQ_LISTINSTALLED) > before);
  }

  void theServiceStopsAndComesBackOnAnotherPort() {
    reactivate();
    QSignalSpy lost(main.get(), &MainController::serviceLost);
    QSignalSpy back(main.get(), &MainController::serviceBack);
    ui->buttonInstalled->click();
    stack.service.proc().terminate();
    QVERIFY(lost.wait(10000));
    QVERIFY(main->service_down->isVisible());
    QCOMPARE(main->service_down->label_title->text(), QString("Dịch vụ NeltStore không chạy."));
    QCOMPARE(focused(), static_cast<QWidget*>(main->service_down->button_retry));
    QTest::qWait(300);
    picture("service-down");
    // A retry while it is still away changes nothing.
    key(Qt::Key_Return);
    QVERIFY(main->service_down->isVisible());

    const int old_port = stack.service.port();
    nelt::test::ServiceOptions options;
    // Another port: the client finds it in the port file, written anew.
    options.port = nelt::test::freeLoopbackPort();
    std::remove(stack.service.portFile().c_str());
    options.host = stack.store.baseUrl();
    options.ip_lookup_url = stack.store.baseUrl() + "/ip";
    QVERIFY(stack.service.start(options));
    QVERIFY(stack.service.port() != old_port);
    QVERIFY(back.wait(15000));
    QVERIFY(main->service_down->isHidden());
    QCOMPARE(api->getPort(), stack.service.port());
    // This window is registered again, on the new connection, and the pages
    // are filled from the new service.
    QTRY_VERIFY(stack.serviceRequests(REQ_SETOPENWINDOW) >= 1);
    QTRY_VERIFY(stack.serviceRequests(REQ_LISTINSTALLED) >= 1);
    QTRY_VERIFY(ui->pageInstalled->ui->label->text().startsWith(
        QString("Danh sách ứng dụng đã cài đặt (")));
    QCOMPARE(
        ui->pageInstalled->ui->label->text(),
        QString("Danh sách ứng dụng đã cài đặt (%1)").arg(main->app_controller.num_installeds));
    // The restarted service forgot the sign-in; the account page says so.
    QVERIFY(!main->user_controller.f_logined);

    // A restart quicker than the window looks: the service forgetting the
    // window is enough for both connections to be renewed.
    back.clear();
    stack.service.proc().terminate();
    options.port = nelt::test::freeLoopbackPort();
    std::remove(stack.service.portFile().c_str());
    QVERIFY(stack.service.start(options));
    QVERIFY(back.wait(15000));
    QTRY_VERIFY(main->service_down->isHidden());
    QCOMPARE(api->getPort(), stack.service.port());
    KavixReply reply;
    QCOMPARE(api->getListInstalleds(&reply), 0);
    QCOMPARE(reply.status, nelt::REPLY_OK);
  }
};

QTEST_MAIN(KeyboardWindow)
#include "test_keyboard_window.moc"
