#include "account_view.h"

#include <QGraphicsDropShadowEffect>
#include <QPixmap>

#include "icon_path.h"
#include "keyboard.h"
#include "store_globals.h"
#include "twidget.h"
#include "ui_account_view.h"

using nelt::window::URL_HOST;

namespace {

void addShadow(QWidget* w) {
  auto* shadow = new QGraphicsDropShadowEffect(w);
  shadow->setColor(QColor("#cfcfcf"));
  shadow->setBlurRadius(10);
  shadow->setOffset(5, 5);
  w->setGraphicsEffect(shadow);
}

}  // namespace

AccountView::AccountView(QWidget* parent) : QWidget(parent), ui(new Ui_AccountView) {
  ui->setupUi(this);
  ui->frameLogined->hide();
  ui->lb_icon->setPixmap(QPixmap(iconPath("./icon/icon-user.png")));
  ui->textEditAcc->setCursorPosition(0);
  ui->textEditPass->setCursorPosition(0);
  setLinks();
  ui->lb_name->setWordWrap(true);
  fitLineHeight(ui->lb_name);
  addShadow(ui->textEditAcc);
  addShadow(ui->textEditPass);
  ui->textEditAcc->setAccessibleName(QString::fromUtf8("Tên đăng nhập"));
  ui->textEditPass->setAccessibleName(QString::fromUtf8("Mật khẩu"));
  ui->lb_icon->setAccessibleName(QString::fromUtf8("Ảnh đại diện"));
  clickOnEnter(ui->pushButton_login);
  clickOnEnter(ui->pushButton_logout);
}

AccountView::~AccountView() { delete ui; }

void AccountView::setLinks() {
  // The address comes from the service; it must not be able to add markup.
  QString host = QString::fromStdString(URL_HOST).toHtmlEscaped();
  ui->label_signin->setText(QString("<a href=\"%1/user/register\">Đăng kí mới</a>").arg(host));
  ui->label_forgot->setText(QString("<a href=\"%1/forgot-password\">Quên mật khẩu</a>").arg(host));
  ui->label_signin->setOpenExternalLinks(true);
  ui->label_forgot->setOpenExternalLinks(true);
}
