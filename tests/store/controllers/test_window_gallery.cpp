// nelt-window-gallery renders the real window on every page from a running
// service and store; the pictures stay in the build folder to be looked at.
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTest>

#include "service_harness.h"
#include "test_support.h"

class WindowGallery : public QObject {
  Q_OBJECT

 private slots:
  void rendersEveryPageFromTheSampleStore() {
    nelt::test::TempDir work;
    nelt::test::StoreServer store;
    QVERIFY(store.start(work.path()));
    nelt::test::ServiceHarness service;
    nelt::test::ServiceOptions options;
    options.host = store.baseUrl();
    QVERIFY(service.start(options));

    const QString out = QStringLiteral(NELT_WINDOW_GALLERY_DIR);
    QDir(out).removeRecursively();
    QProcess gallery;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NELT_ROOT", QString::fromStdString(service.root()));
    env.insert("NELT_AVATAR_URL", QString::fromStdString(store.baseUrl() + "/avatar/default.png"));
    gallery.setProcessEnvironment(env);
    gallery.setProcessChannelMode(QProcess::ForwardedChannels);
    gallery.start(qEnvironmentVariable("NELT_BIN_DIR") + "/nelt-window-gallery",
                  {out, "--port", QString::number(service.port()), "--account", "demo",
                   "--password", "demo123", "--detail", "chinh-sua-anh"});
    QVERIFY(gallery.waitForFinished(120000));
    QCOMPARE(gallery.exitCode(), 0);

    for (const char* page : {"home", "section", "search", "account", "account_signed_in",
                             "installed", "updates", "detail", "settings"}) {
      QImage shot(QDir(out).filePath(QString("window_%1.png").arg(page)));
      QVERIFY2(!shot.isNull(), page);
      QCOMPARE(shot.size(), QSize(1000, 800));
      // Something is drawn below the menu band: the page is not one colour.
      const QRgb corner = shot.pixel(5, 795);
      bool varied = false;
      for (int y = 100; y < 800 && !varied; y += 7) {
        for (int x = 0; x < 1000 && !varied; x += 7) varied = shot.pixel(x, y) != corner;
      }
      QVERIFY2(varied, page);
    }
  }
};

QTEST_MAIN(WindowGallery)
#include "test_window_gallery.moc"
