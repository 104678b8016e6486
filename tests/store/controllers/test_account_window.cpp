// The account page and the settings page of the real window against the
// real service and the local store server.
#include <rapidjson/document.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <chrono>

#include "account_view.h"
#include "protocol.h"
#include "setting_view.h"
#include "ui_account_view.h"
#include "ui_main_window.h"
#include "ui_setting_view.h"
#include "user_model.h"
#include "window_stack.h"

using wintest::WindowStack;

class AccountWindow : public QObject {
  Q_OBJECT
  WindowStack stack;

  Ui_AccountView* form() { return stack.ui->pageAccount->ui; }

  void expectNotice(const QString& text, const QString& colour) {
    QTRY_VERIFY(!form()->lb_Notify->isHidden());
    QCOMPARE(form()->lb_Notify->text(), text);
    QCOMPARE(form()->lb_Notify->styleSheet(), QString("color:%1;").arg(colour));
  }

  // What the program does each time the settings page is shown.
  void prepareSettings() {
    SettingView* page = stack.ui->pageSetting;
    page->setPayment(stack.user->isPayment());
    std::string reply;
    if (stack.api->getSetting(reply) != 0 && stack.api->ierr != 200) reply = "{}";
    page->setSetting(reply);
  }

  // The settings text the service holds for the signed-in account.
  QString storedSettings() {
    std::string reply;
    KavixReply r;
    stack.api->getSetting(reply, &r);
    const size_t space = reply.find(' ');
    std::string data = space == std::string::npos ? "" : reply.substr(space + 1);
    while (!data.empty() && (data.back() == '\n' || data.back() == '\r')) data.pop_back();
    return QString::fromStdString(data);
  }

  // "autoUpdate" as stored, after checking that the service got the
  // settings in compact form; -1 when missing.
  int autoUpdateStored() {
    const QString text = storedSettings();
    if (text.contains(' ')) return -2;
    rapidjson::Document doc;
    const std::string bytes = text.toStdString();
    doc.Parse(bytes.c_str());
    if (!doc.IsObject() || !doc.HasMember("setting") || !doc["setting"].IsObject()) return -1;
    const auto& setting = doc["setting"];
    if (!setting.HasMember("autoUpdate") || !setting["autoUpdate"].IsInt()) return -1;
    return setting["autoUpdate"].GetInt();
  }

 private slots:
  void initTestCase() { QVERIFY(stack.start(false)); }

  void failedSignInsShowTheRedMessage() {
    stack.signIn("demo", "sai-mat-khau");
    expectNotice("Đăng nhập thất bại. Vui lòng thử lại", "red");
    QVERIFY(!stack.user->f_logined);
    // A wrong password keeps the account name for the next try.
    QCOMPARE(form()->textEditAcc->text(), QString("demo"));
    QVERIFY(form()->textEditPass->text().isEmpty());
    // Neither the password nor the masked form of it reaches the log.
    QVERIFY(stack.service.proc().out().find("sai-mat-khau") == std::string::npos);

    const size_t logins = stack.serviceRequests(REQ_LOGIN);
    stack.signIn("demo", "");
    expectNotice("Đăng nhập thất bại. Vui lòng thử lại", "red");
    stack.signIn(QString(300, 'x'), "demo123");
    QCOMPARE(stack.serviceRequests(REQ_LOGIN), logins);
    QVERIFY(form()->frameLogined->isHidden());
  }

  void signInShowsTheAccountAndFetchesTheAvatar() {
    const int avatars = stack.storeRequests("/avatar/default.png");
    stack.signIn("demo", "demo123");
    expectNotice("Đăng nhập thành công", "green");
    QVERIFY(stack.user->f_logined);
    QVERIFY(!stack.user->isPayment());
    QCOMPARE(form()->lb_name->text(), QString("Người dùng thử"));
    QVERIFY(!form()->frameLogined->isHidden());
    // The account has an avatar: the configured picture is loaded, once per
    // run (an earlier sign-in of this run may have brought it already).
    QTRY_VERIFY(stack.storeRequests("/avatar/default.png") >= 1);
    QVERIFY(stack.storeRequests("/avatar/default.png") <= avatars + 1);
    QTRY_VERIFY(!form()->lb_icon->pixmap(Qt::ReturnByValue).isNull());

    stack.user->checkUserCurrent();
    expectNotice("Đã được đăng nhập", "green");
    QVERIFY(stack.user->f_logined);
  }

  void signingOutTwiceSendsOneRequest() {
    const size_t logouts = stack.serviceRequests(REQ_LOGOUT);
    stack.signOut();
    expectNotice("Đăng xuất thành công", "green");
    QVERIFY(!stack.user->f_logined);
    QVERIFY(form()->frameLogined->isHidden());
    QTRY_COMPARE(stack.serviceRequests(REQ_LOGOUT), logouts + 1);
    stack.signOut();
    expectNotice("Đăng xuất thất bại. Vui lòng thử lại", "red");
    QTest::qWait(200);
    QCOMPARE(stack.serviceRequests(REQ_LOGOUT), logouts + 1);
  }

  void payingAccountChangesTheStoredSetting() {
    stack.signIn("vip", "vip-2024");
    QVERIFY(stack.user->isPayment());
    prepareSettings();
    SettingView* page = stack.ui->pageSetting;
    QVERIFY(page->ui->framesetting1->isEnabled());
    const bool was = page->ui->checkBox_setting->isChecked();
    QTest::mouseClick(page->ui->checkBox_setting, Qt::LeftButton);
    QCOMPARE(page->ui->checkBox_setting->isChecked(), !was);
    QCOMPARE(autoUpdateStored(), was ? 0 : 1);
    QTest::mouseClick(page->ui->checkBox_setting, Qt::LeftButton);
    QCOMPARE(autoUpdateStored(), was ? 1 : 0);

    // A forced sign-out (the store revoked the token) forgets the flag too.
    QCOMPARE(stack.user->logout(), 0);
    QVERIFY(!stack.user->isPayment());
    QVERIFY(!stack.user->user->isPayment);
  }

  void nonPayingAccountSeesButCannotChange() {
    stack.signIn("demo", "demo123");
    QVERIFY(!stack.user->isPayment());
    QCOMPARE(stack.api->setSetting(R"({"setting":{"autoUpdate":1}})"), 0);
    SettingView* page = stack.ui->pageSetting;
    // Unticked with nothing to send, as a fresh page would be.
    page->save_setting.clear();
    page->ui->checkBox_setting->setChecked(false);
    prepareSettings();
    QVERIFY(!page->ui->framesetting1->isEnabled());
    QVERIFY(page->ui->checkBox_setting->isChecked());

    // A reply without a space keeps nothing: a toggle sends nothing.
    page->setSetting("garbage");
    QVERIFY(page->save_setting.empty());
    const size_t saves = stack.serviceRequests(REQ_SAVE_SETTING);
    page->onAutoUpdate(Qt::Unchecked);
    QTest::qWait(200);
    QCOMPARE(stack.serviceRequests(REQ_SAVE_SETTING), saves);
  }

  void restartedServiceShowsSignedOut() {
    QVERIFY(stack.user->f_logined);
    const int port = stack.service.port();
    stack.service.proc().terminate();
    nelt::test::ServiceOptions options;
    options.host = stack.store.baseUrl();
    options.port = port;
    QVERIFY(stack.service.start(options));
    auto fresh = std::make_unique<KavixAPI>(port, true);
    QTRY_VERIFY_WITH_TIMEOUT(fresh->init() == 1, 10000);
    stack.user->user->api = fresh.get();
    stack.user->checkUserCurrent();
    QVERIFY(!stack.user->f_logined);
    QVERIFY(form()->frameLogined->isHidden());
    stack.user->user->api = stack.api.get();
    stack.unwire();
  }
};

QTEST_MAIN(AccountWindow)
#include "test_account_window.moc"
