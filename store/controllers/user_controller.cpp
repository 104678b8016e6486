#include "user_controller.h"

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>

#include "account_view.h"
#include "app_detail_view.h"
#include "icon_path.h"
#include "image_fetch.h"
#include "main_window.h"
#include "store_globals.h"
#include "ui_account_view.h"
#include "ui_main_window.h"
#include "user_model.h"

using nelt::window::currentInstall;

namespace {

// One picture for every account that has an avatar.
const char* const DEFAULT_AVATAR_URL = "https://www.gravatar.com/avatar/?d=mp&s=200";

}  // namespace

UserController::UserController() : user(new UserModel) {}

UserController::~UserController() { delete user; }

QString UserController::avatarAddress() {
  QString env = qEnvironmentVariable("NELT_AVATAR_URL");
  return env.isEmpty() ? QString(DEFAULT_AVATAR_URL) : env;
}

void UserController::setOBJECT(Ui_MainWindow* ui_main_window, KavixAPI* api) {
  ui_main = ui_main_window;
  ui = ui_main->pageAccount->ui;
  ui_detail = ui_main->pageDetail->ui;
  user->api = api;
}

void UserController::control() {
  ui_main->pageAccount->setLinks();
  connect(ui->pushButton_login, &QPushButton::clicked, this, &UserController::onLogin);
  connect(ui->pushButton_logout, &QPushButton::clicked, this, &UserController::onLogout);
  // Enter in the password field signs in, as the button does; in the name
  // field it moves on to the password.
  connect(ui->textEditPass, &QLineEdit::returnPressed, this, &UserController::onLogin);
  connect(ui->textEditAcc, &QLineEdit::returnPressed, ui->textEditPass,
          [this] { ui->textEditPass->setFocus(Qt::TabFocusReason); });
}

void UserController::_showSignedOut(bool keep_name) {
  ui->frameLogined->hide();
  f_logined = false;
  // Whoever is signed out pays for nothing until the next sign-in says so.
  hasPayment = false;
  if (!keep_name) ui->textEditAcc->setText("");
  ui->textEditPass->setText("");
}

void UserController::checkUserCurrent() {
  if (user->checkLogin() != 0) {
    _showSignedOut();
    return;
  }
  ui->lb_name->setText(displayText(QString::fromStdString(user->name_acc)));
  ui->frameLogined->show();
  setNotify("Đã được đăng nhập", "green");
  f_logined = true;
}

void UserController::onLogin() {
  std::string acc = ui->textEditAcc->text().toStdString();
  std::string pass = ui->textEditPass->text().toStdString();
  std::string avatar;
  const int r = user->login(acc, pass, avatar);
  // The password is not kept any longer than the request needs it.
  std::fill(pass.begin(), pass.end(), '\0');
  if (r != 0) {
    // A mistyped password keeps the account name for the next try.
    _showSignedOut(true);
    ui->textEditPass->setFocus(Qt::OtherFocusReason);
    setNotify("Đăng nhập thất bại. Vui lòng thử lại", "red");
    return;
  }
  ui->lb_name->setText(displayText(QString::fromStdString(user->name_acc)));
  ui->frameLogined->show();
  f_logined = true;
  hasPayment = user->isPayment;
  if (!avatar.empty()) {
    setAvatar(avatarAddress());
  } else {
    ui->lb_icon->setPixmap(QPixmap(iconPath("./icon/icon-user.png")));
  }
  setNotify("Đăng nhập thành công", "green");
  AccountView* page = ui_main->pageAccount;
  if (page->flag_installing) {
    page->flag_installing = false;
    // Back to the application whose install asked for the sign-in, and on
    // with that install.
    if (!currentInstall().empty()) {
      ui_main->pages->setCurrentWidget(ui_main->pageDetail);
      emit signedInForInstall(QString::fromStdString(currentInstall()));
    }
  }
}

void UserController::onLogout() {
  if (user->logout() != 0) {
    setNotify("Đăng xuất thất bại. Vui lòng thử lại", "red");
    return;
  }
  setNotify("Đăng xuất thành công", "green");
  _showSignedOut();
  hasPayment = false;
}

int UserController::logout() {
  if (user->logout() != 0) return -1;
  _showSignedOut();
  return 0;
}

void UserController::setNotify(QString text, QString color) {
  QLabel* label = ui->lb_Notify;
  label->setText(text);
  label->setStyleSheet(QString("color:%1;").arg(color));
  QTimer::singleShot(0, label, [label] {
    label->show();
    QTimer::singleShot(2000, label, [label] { label->hide(); });
  });
}

void UserController::setAvatar(QString url) {
  QLabel* label = ui->lb_icon;
  const QSize size(label->width(), label->height());
  // Same time limit as every other image; the label may go away meanwhile.
  ImageFetch::fetch(url, label, [label, size](int result, const QByteArray& bytes) {
    if (result != ImageFetch::FETCH_OK) return;
    QPixmap pix = QPixmap::fromImage(decodeImage(bytes));
    if (pix.isNull()) return;
    label->clear();
    label->setAttribute(Qt::WA_TranslucentBackground);
    label->setWindowOpacity(0.5);
    label->setPixmap(pix.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  });
}
