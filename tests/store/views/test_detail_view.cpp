// Detail page widgets: the form, the star rating, local icons and
// screenshots, and the thumbnails' mouse handling.
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <limits>

#include "app_detail_view.h"
#include "ui_app_detail_view.h"
#include "view_test_util.h"

namespace {

bool isGold(QRgb p) { return qAlpha(p) > 160 && qRed(p) > 180 && qGreen(p) > 130 && qBlue(p) < 90; }
bool isGrey(QRgb p) {
  return qAlpha(p) > 160 && std::abs(qRed(p) - qGreen(p)) < 25 &&
         std::abs(qGreen(p) - qBlue(p)) < 25;
}

struct StarCount {
  int gold_left = 0, gold_right = 0, grey_left = 0, grey_right = 0;
};

StarCount countStars(QLabel* rate, int split) {
  StarCount c;
  QImage img = rate->pixmap(Qt::ReturnByValue).toImage();
  for (int y = 0; y < img.height(); ++y) {
    for (int x = 0; x < img.width(); ++x) {
      QRgb p = img.pixel(x, y);
      if (isGold(p)) (x < split ? c.gold_left : c.gold_right)++;
      if (isGrey(p)) (x < split ? c.grey_left : c.grey_right)++;
    }
  }
  return c;
}

void writeImage(const QString& path, const QColor& colour, int w, int h, const char* format) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(viewtest::encodedImage(colour, w, h, format));
}

}  // namespace

class TestDetailView : public QObject {
  Q_OBJECT

  QTemporaryDir dir;
  QString png, jpeg;

 private slots:
  void initTestCase() {
    QVERIFY(viewtest::enterRunDirectory());
    QVERIFY(dir.isValid());
    png = dir.filePath("shot.png");
    jpeg = dir.filePath("shot.jpg");
    writeImage(png, QColor(20, 200, 40), 320, 180, "PNG");
    writeImage(jpeg, QColor(30, 60, 220), 320, 180, "JPEG");
  }

  void formAsBuilt() {
    AppDetailView page;
    QCOMPARE(page.size(), QSize(980, 710));
    QCOMPARE(page.windowTitle(), QString("Form"));
    for (const char* name : {"buttonLaunch", "buttonInstall", "buttonRemove", "buttonUpdate"}) {
      QVERIFY2(page.findChild<TPushButton*>(name), name);
    }
    for (const char* name : {"frame",
                             "buttonBack",
                             "progressBar",
                             "label_state",
                             "scrollArea",
                             "frameall",
                             "icon",
                             "nameapp",
                             "label_3",
                             "version",
                             "label_url",
                             "label_2",
                             "label_4",
                             "rate",
                             "rate_number",
                             "description",
                             "wallpaper",
                             "scrollAreaWallpapers",
                             "verticalLayoutName",
                             "verticalLayoutDesc",
                             "horizontalLayout_2"}) {
      QVERIFY2(page.findChild<QObject*>(name), name);
    }
    QCOMPARE(page.ui->buttonInstall->geometry(), QRect(340, 5, 100, 30));
    QCOMPARE(page.ui->buttonLaunch->geometry(), QRect(340, 5, 100, 30));
    QCOMPARE(page.ui->buttonRemove->text(), QString::fromUtf8("Xóa"));
    QCOMPARE(page.ui->label_state->text(), QString::fromUtf8("Đang cài đặt"));
    QCOMPARE(page.ui->rate_number->text(), QString("0.0"));
    QCOMPARE(page.ui->rate->width(), 100);
    QVERIFY(!page.ui->buttonBack->icon().isNull());
    QVERIFY(page.ui->label_url->isHidden());
    QCOMPARE(
        page.ui->buttonUpdate->defaultStyle(),
        QString("color: rgb(255, 255, 255);\nbackground-color: rgb(252, 175, 62);\nborder-radius: "
                "5px;\n"));
    page.ui->buttonRemove->enable(false);
    page.ui->buttonRemove->enable(true);
    QCOMPARE(page.ui->buttonRemove->styleSheet(),
             QString("background-color: #D51535;\ncolor: #ffffff;\nborder-radius: 5px;"));
  }

  void ratingClampsAndColours_data() {
    QTest::addColumn<double>("rating");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("style");
    QTest::addColumn<int>("goldWidth");  // expected gold columns of 100
    QTest::newRow("above five") << 7.0 << "5"
                                << "color: rgb(235, 193, 0)" << 100;
    QTest::newRow("below zero") << -1.0 << "0"
                                << "color: rgb(107, 107, 107)" << 0;
    QTest::newRow("zero") << 0.0 << "0"
                          << "color: rgb(107, 107, 107)" << 0;
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << "0"
                                  << "color: rgb(107, 107, 107)" << 0;
    QTest::newRow("two and a half") << 2.5 << "2.5"
                                    << "color: rgb(171, 150, 53)" << 50;
    QTest::newRow("four") << 4.0 << "4"
                          << "color: rgb(209, 175, 21)" << 80;
    QTest::newRow("three and a half") << 3.5 << "3.5"
                                      << "color: rgb(196, 167, 32)" << 70;
  }

  void ratingClampsAndColours() {
    QFETCH(double, rating);
    QFETCH(QString, text);
    QFETCH(QString, style);
    QFETCH(int, goldWidth);
    AppDetailView page;
    page.ui->rate->setFixedSize(100, 20);
    page.setRating(rating);
    QCOMPARE(page.ui->rate_number->text(), text);
    QCOMPARE(page.ui->rate_number->styleSheet(), style);
    QCOMPARE(page.ui->rate_number->geometry(), QRect(410, 14, 50, 25));
    QCOMPARE(page.ui->rate->pixmap(Qt::ReturnByValue).size(), QSize(100, 20));

    StarCount c = countStars(page.ui->rate, goldWidth);
    QCOMPARE(c.gold_right, 0);  // no gold past the full-star width
    if (goldWidth > 0) QVERIFY(c.gold_left > 50);
    if (goldWidth < 100) QVERIFY(c.grey_right > 50);
    if (goldWidth > 2) {
      // Gold reaches right up to the cut: the last star column before it.
      StarCount near = countStars(page.ui->rate, goldWidth - 3);
      QVERIFY(near.gold_right > 0);
    }
  }

  void localIconPngAndJpeg() {
    AppDetailView page;
    page.setIcon("local://" + png);
    QPixmap shown = page.ui->icon->pixmap(Qt::ReturnByValue);
    QCOMPARE(shown.size(), page.ui->icon->size());
    QVERIFY(viewtest::near(viewtest::centreColour(shown), QColor(20, 200, 40), 2));
    page.setIcon("local://" + jpeg);
    QVERIFY(viewtest::near(viewtest::centreColour(page.ui->icon->pixmap(Qt::ReturnByValue)),
                           QColor(30, 60, 220)));
    page.setIcon("local://" + dir.filePath("none.png"));
    QVERIFY(page.ui->icon->pixmap(Qt::ReturnByValue).isNull());
  }

  void thumbnailsKeepTheFullImage() {
    TWallpapperWidget thumb;
    thumb.setSize(140, 80);
    QCOMPARE(thumb.size(), QSize(140, 80));
    QCOMPARE(thumb.minimumHeight(), 80);
    QCOMPARE(thumb.maximumHeight(), 80);
    QCOMPARE(thumb.styleSheet(), QString("border: 2px solid white"));

    thumb.setWallpaper("local://" + jpeg);
    QCOMPARE(thumb.pixmap(Qt::ReturnByValue).size(), QSize(140, 80));
    QCOMPARE(thumb.getWallpaper()->size(), QSize(320, 180));
    QVERIFY(viewtest::near(viewtest::centreColour(*thumb.getWallpaper()), QColor(30, 60, 220)));

    thumb.setWallpaper("local://" + png);
    QVERIFY(viewtest::near(viewtest::centreColour(*thumb.getWallpaper()), QColor(20, 200, 40), 2));

    AppDetailView page;
    page.setWallpaper(thumb.getWallpaper());
    QCOMPARE(page.ui->wallpaper->pixmap(Qt::ReturnByValue).size(), QSize(739, 370));
    QPixmap none;
    page.setWallpaper(&none);
    QVERIFY(page.ui->wallpaper->pixmap(Qt::ReturnByValue).isNull());
  }

  void thumbnailPressMarksIt() {
    TWallpapperWidget thumb;
    thumb.setSize(140, 80);
    QSignalSpy left(&thumb, &TWallpapperWidget::clickLeft);
    QSignalSpy leftUp(&thumb, &TLabel::clickLeftUp);
    QSignalSpy rightUp(&thumb, &TLabel::clickRightUp);

    QTest::mousePress(&thumb, Qt::RightButton);
    QVERIFY(!thumb.event);
    QTest::mouseRelease(&thumb, Qt::RightButton);
    QCOMPARE(rightUp.count(), 1);
    QCOMPARE(left.count(), 0);

    QTest::mousePress(&thumb, Qt::LeftButton);
    QVERIFY(thumb.event);
    QCOMPARE(left.count(), 1);
    QTest::mouseRelease(&thumb, Qt::LeftButton);
    QCOMPARE(leftUp.count(), 1);
    // Taking the image clears the mark; a null image stays null.
    QVERIFY(thumb.getWallpaper()->isNull());
    QVERIFY(!thumb.event);
  }

  void pageReleasesItsThumbnails() {
    auto* page = new AppDetailView();
    QList<QPointer<TWallpapperWidget>> watched;
    for (int i = 0; i < 4; ++i) {
      auto* thumb = new TWallpapperWidget();
      thumb->setSize(140, 80);
      page->ui->horizontalLayout_2->addWidget(thumb);
      page->wallpapers.push_back(thumb);
      watched << thumb;
    }
    delete page;
    for (const auto& w : watched) QVERIFY(w.isNull());
  }
};

QTEST_MAIN(TestDetailView)
#include "test_detail_view.moc"
