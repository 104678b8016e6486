// Page layouts: the list page title, the home banner, and the forms of the
// account and settings pages.
#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QtTest>

#include "account_view.h"
#include "frame_item_v.h"
#include "home_view.h"
#include "list_apps_view.h"
#include "setting_view.h"
#include "store_globals.h"
#include "ui_account_view.h"
#include "ui_home_view.h"
#include "ui_list_apps_view.h"
#include "ui_setting_view.h"
#include "view_test_util.h"

using nelt::window::URL_HOST;

namespace {

QString vietnamese(int n) {
  return QString::fromUtf8("Danhsáchứngdụngđãcàiđặt").repeated(10).left(n);
}

}  // namespace

class TestPages : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QVERIFY(viewtest::enterRunDirectory()); }

  void listTitleTakesALineFromTheList() {
    ListAppsView page;
    QCOMPARE(page.size(), QSize(980, 710));
    QCOMPARE(page.windowTitle(), QString("Form"));
    QCOMPARE(page.num_apps, 0);
    QVERIFY(page.apps.empty());
    QCOMPARE(page.default_height_name, 31);
    QScrollArea* list = page.ui->scrollAreaListApp;
    const int listHeight = list->height();
    QCOMPARE(listHeight, 671);

    page.setName(vietnamese(100));
    QCOMPARE(page.ui->label->text(), vietnamese(100));
    QCOMPARE(page.ui->label->height(), 31);
    QCOMPARE(list->height(), listHeight);

    page.setName(vietnamese(101));
    QCOMPARE(page.ui->label->text(), vietnamese(101));
    QCOMPARE(page.ui->label->height(), 81);
    QCOMPARE(list->height(), listHeight - 50);

    // A second long title does not take another line.
    page.setName(vietnamese(101));
    QCOMPARE(page.ui->label->height(), 81);
    QCOMPARE(list->height(), listHeight - 50);

    // A short title gives the line back.
    page.setName(QString::fromUtf8("Danh sách ứng dụng đã cài đặt (3)"));
    QCOMPARE(page.ui->label->height(), 31);
    QCOMPARE(list->height(), listHeight);
  }

  void listPageHoldsTiles() {
    auto* page = new ListAppsView();
    QCOMPARE(page->ui->label->styleSheet(), QString("font-weight: bold; color: #404040"));
    QVERIFY(page->ui->label->wordWrap());
    QCOMPARE(page->ui->verticalLayout->alignment(), Qt::AlignTop | Qt::AlignCenter);
    QList<QPointer<FrameItemV>> tiles;
    for (int i = 0; i < 3; ++i) {
      auto* tile = new FrameItemV();
      tile->setSize(890, 130);
      page->apps.push_back(tile);
      page->addItem(tile);
      tiles << tile;
    }
    QCOMPARE(page->ui->verticalLayout->count(), 3);
    QCOMPARE(tiles[0]->parentWidget(), page->ui->scrollAreaWidgetContents);
    delete page;
    for (const auto& t : tiles) QVERIFY(t.isNull());
  }

  void homeBanner() {
    HomeView page;
    QCOMPARE(page.size(), QSize(980, 710));
    QCOMPARE(page.styleSheet(), QString("background-color: rgb(255, 255, 255);"));
    QCOMPARE(page.ui->scrollArea->width(), 980);
    QCOMPARE(page.ui->scrollArea->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(page.ui->verticalLayoutSections_2->spacing(), 10);
    QCOMPARE(page.findChildren<QRadioButton*>().size(), 5);
    QVERIFY(page.ui->banner1_3->isChecked());
    QVERIFY(page.findChild<QObject*>("horizontalLayout_2"));

    page.setBannerLocal("./icon/banner_default.png");
    QCOMPARE(page.ui->bannerView->pixmap(Qt::ReturnByValue).size(), QSize(1000, 210));
    page.setBannerLocal("./icon/no-such-banner.png");
    QVERIFY(page.ui->bannerView->pixmap(Qt::ReturnByValue).isNull());
  }

  void accountForm() {
    URL_HOST = "https://store.example\"><b>x";
    AccountView page;
    Ui_AccountView* ui = page.ui;
    QCOMPARE(page.styleSheet(), QString("border: none;\nbackground-color: rgb(255, 255, 255);"));
    QCOMPARE(ui->label_10->text(), QString::fromUtf8("ĐĂNG NHẬP"));
    QCOMPARE(ui->textEditAcc->placeholderText(), QString::fromUtf8("Tên đăng nhập"));
    QCOMPARE(ui->textEditPass->placeholderText(), QString::fromUtf8("Mật khẩu"));
    QCOMPARE(ui->textEditPass->echoMode(), QLineEdit::Password);
    QCOMPARE(ui->textEditPass->maxLength(), 256);
    QCOMPARE(ui->pushButton_login->text(), QString::fromUtf8("Đăng nhập"));
    QCOMPARE(ui->pushButton_logout->text(), QString::fromUtf8("Đăng xuất"));
    QCOMPARE(ui->lb_name->text(), QString("User Name"));
    QVERIFY(ui->frameLogined->isHidden());
    QVERIFY(!ui->lb_icon->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(ui->textEditAcc->graphicsEffect());
    // The store address cannot add markup to the links.
    QCOMPARE(
        ui->label_signin->text(),
        QString::fromUtf8("<a href=\"https://store.example&quot;&gt;&lt;b&gt;x/user/register\">"
                          "Đăng kí mới</a>"));
    URL_HOST = "http://127.0.0.1:8080";
    page.setLinks();
    QCOMPARE(
        ui->label_forgot->text(),
        QString::fromUtf8("<a href=\"http://127.0.0.1:8080/forgot-password\">Quên mật khẩu</a>"));
    QVERIFY(ui->label_forgot->openExternalLinks());
  }

  void settingsForm() {
    SettingView page;
    Ui_SettingView* ui = page.ui;
    QCOMPARE(ui->label_2->text(), QString::fromUtf8("Cài đặt chung"));
    QCOMPARE(ui->lb_setting->text(), QString::fromUtf8("  Tự động cập nhật :"));
    QCOMPARE(ui->framesetting1->maximumHeight(), 40);
    QCOMPARE(ui->framesetting1->styleSheet(), QString("background-color: #ffffff"));
    QCOMPARE(ui->checkBox_setting->geometry(), QRect(320, 10, 16, 23));
    QVERIFY(ui->framesetting1->graphicsEffect());
  }

  // Names in large type (tall fonts, Vietnamese tone marks and descenders)
  // must get a whole line, or their lower part is cut off.
  void namesGetAWholeLine() {
    const QString name = QString::fromUtf8("Người dùng thử ỹgjp");
    AccountView account;
    account.ui->lb_name->setText(name);
    QVERIFY2(account.ui->lb_name->height() >= lineHeight(account.ui->lb_name),
             qPrintable(QString::number(account.ui->lb_name->height())));
    QCOMPARE(account.ui->lb_name->y(), 50);

    FrameItemV wide;
    wide.setName(name, "slug");
    wide.setSize(890, 130);
    QVERIFY(wide.lb_name->height() >= lineHeight(wide.lb_name));

    // The settings title shares its lower part with the separator line,
    // which paints over it: the text must end above the line.
    SettingView settings;
    QLabel* title = settings.ui->label_2;
    QVERIFY(title->alignment() & Qt::AlignTop);
    QVERIFY(lineHeight(title) <= settings.ui->line->y());
  }
};

QTEST_MAIN(TestPages)
#include "test_pages.moc"
