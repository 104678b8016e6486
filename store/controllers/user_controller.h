// Account page controller: sign-in, sign-out, who is signed in, and the short
// coloured notification of the page.
#pragma once

#include <QObject>
#include <QString>

class KavixAPI;
class UserModel;
class Ui_AccountView;
class Ui_AppDetailView;
class Ui_MainWindow;

class UserController : public QObject {
  Q_OBJECT
 public:
  UserController();
  ~UserController() override;
  UserController(const UserController&) = delete;
  UserController& operator=(const UserController&) = delete;

  void setOBJECT(Ui_MainWindow* ui_main_window, KavixAPI* api);
  // Sets the page's links and connects its buttons; once.
  void control();
  // Refreshes the page from the account the service holds.
  void checkUserCurrent();
  // Signs out without a message (on request of another controller).
  // 0 signed out, -1 otherwise.
  int logout();
  bool isPayment() const { return hasPayment; }
  // Shows `text` in `color` on the page for two seconds.
  void setNotify(QString text, QString color);
  // Loads the picture at `url` into the page's avatar label; on any failure
  // the picture shown before stays.
  void setAvatar(QString url);

  // Address of the picture shown for an account that has an avatar:
  // $NELT_AVATAR_URL, or a public default.
  static QString avatarAddress();

  bool f_logined = false;
  Ui_AccountView* ui = nullptr;
  Ui_MainWindow* ui_main = nullptr;
  Ui_AppDetailView* ui_detail = nullptr;
  UserModel* user;
  bool hasPayment = false;

 public slots:
  void onLogin();
  void onLogout();

 signals:
  // A sign-in asked for by the install of `slug` succeeded.
  void signedInForInstall(const QString& slug);

 private:
  // Empties the page's fields (the account name stays with `keep_name`)
  // and forgets the paying flag.
  void _showSignedOut(bool keep_name = false);
};
