// The main window's frame: fixed size, the seven pages in order, and its
// images found from any working folder (or missing without harm).
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>

#include "icon_path.h"
#include "main_window.h"
#include "ui_main_window.h"

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void keepsItsSizeAndPageOrder() {
    MainWindow window;
    window.show();
    window.resize(1400, 500);
    QTest::qWait(20);
    QCOMPARE(window.size(), QSize(1000, 800));
    QStackedWidget* pages = window.ui->pages;
    QCOMPARE(pages->count(), 7);
    const char* names[] = {"pageAll",     "pageInstalled", "pageUpdates", "pageDetail",
                           "pageSetting", "pageAccount",   "pageListApps"};
    for (int i = 0; i < 7; ++i) QCOMPARE(pages->widget(i)->objectName(), QString(names[i]));
    QCOMPARE(pages->currentIndex(), 0);
  }

  void findsItsImagesFromAnyFolder() {
    QTemporaryDir elsewhere;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    qunsetenv("NELT_ICON_DIR");
    iconDir(true);
    {
      MainWindow window;
      QVERIFY(!window.ui->labelIcon->pixmap(Qt::ReturnByValue).isNull());
      QVERIFY(!window.ui->buttonAccount->icon().isNull());
      QCOMPARE(iconPath("./icon/logo.png"),
               QCoreApplication::applicationDirPath() + "/icon/logo.png");
    }
    // A configured folder without the images: the window still opens.
    qputenv("NELT_ICON_DIR", elsewhere.path().toUtf8());
    iconDir(true);
    {
      MainWindow window;
      window.show();
      QVERIFY(window.ui->labelIcon->pixmap(Qt::ReturnByValue).isNull());
      QCOMPARE(iconPath("icon/logo.png"), elsewhere.path() + "/logo.png");
    }
    qunsetenv("NELT_ICON_DIR");
    iconDir(true);
    QVERIFY(QDir::setCurrent(before));
  }
};

QTEST_MAIN(MainWindowTest)
#include "test_main_window.moc"
