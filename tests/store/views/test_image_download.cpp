// Image downloads of the tiles, the detail page and the banner: success,
// failure leaving the widget as it was, the time limit against a server
// that never answers, one transfer per image however many tiles show it,
// and widgets gone before their image arrives. Served by an in-test HTTP
// responder and, when it is built, by the project's local store server.
#include <QBuffer>
#include <QDataStream>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageReader>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>
#include <vector>

#include "app_detail_view.h"
#include "frame_item_h.h"
#include "frame_item_v.h"
#include "home_view.h"
#include "image_fetch.h"
#include "store_globals.h"
#include "test_support.h"
#include "ui_app_detail_view.h"
#include "ui_home_view.h"
#include "view_test_util.h"

using nelt::window::URL_HOST;

using viewtest::centreColour;
using viewtest::near;

namespace {

const QColor RED(220, 20, 30);
const QColor BLUE(20, 40, 230);
const QColor GREEN(20, 200, 40);

QPixmap shownBy(QLabel* label) { return label->pixmap(Qt::ReturnByValue); }

quint32 crc32(const QByteArray& data) {
  quint32 crc = 0xffffffffu;
  for (char ch : data) {
    crc ^= quint8(ch);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

QByteArray pngChunk(const char* type, const QByteArray& data) {
  QByteArray body = QByteArray(type) + data;
  QByteArray chunk;
  QDataStream out(&chunk, QIODevice::WriteOnly);
  out << quint32(data.size());
  out.writeRawData(body.constData(), body.size());
  out << crc32(body);
  return chunk;
}

// A few bytes of PNG whose header announces 20000 x 20000 pixels.
QByteArray oversizedPng() {
  QByteArray header;
  QDataStream out(&header, QIODevice::WriteOnly);
  out << quint32(20000) << quint32(20000) << quint8(8) << quint8(6) << quint8(0) << quint8(0)
      << quint8(0);
  QByteArray pixels = qCompress(QByteArray(256, '\0')).mid(4);  // a zlib stream
  return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", pixels) +
         pngChunk("IEND", {});
}

}  // namespace

// Downloads end in `finished` handlers: wait until none is under way.
#define SETTLE() QTRY_COMPARE_WITH_TIMEOUT(ImageFetch::pending(), 0, 20000)

class TestImageDownload : public QObject {
  Q_OBJECT

  viewtest::TinyHttp http;
  QTemporaryDir dir;
  QString localGreen;

  void useResponder() { URL_HOST = http.baseUrl().toStdString(); }

 private slots:
  void initTestCase() {
    QVERIFY(viewtest::enterRunDirectory());
    QVERIFY(dir.isValid());
    QVERIFY(http.start());
    const QString icon = "/api/v1/uploads/app/icon/";
    const QString shot = "/api/v1/uploads/app/screenshot/";
    http.files[icon + "red.png"] = viewtest::encodedImage(RED, 64, 64, "PNG");
    http.files[icon + "blue.jpg"] = viewtest::encodedImage(BLUE, 64, 64, "JPEG");
    http.files[icon + "garbage.png"] = "this is not an image";
    http.files[icon + "huge.png"] = oversizedPng();
    http.files[shot + "shot.png"] = viewtest::encodedImage(RED, 320, 180, "PNG");
    http.files["/banner.png"] = viewtest::encodedImage(BLUE, 2000, 300, "PNG");
    http.stalled << icon + "stall.png" << shot + "stall.png"
                 << "/stall-banner.png";
    localGreen = dir.filePath("green.png");
    QFile file(localGreen);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(viewtest::encodedImage(GREEN, 64, 64, "PNG"));
  }

  void init() {
    useResponder();
    ImageFetch::setTimeLimit(ImageFetch::DEFAULT_TIME_LIMIT_MS);
  }

  void cleanupTestCase() { ImageFetch::setTimeLimit(ImageFetch::DEFAULT_TIME_LIMIT_MS); }

  void downloadsShowTheImage() {
    FrameItemV wide;
    wide.setSize(890, 130);
    wide.setIcon("red.png");
    SETTLE();
    QCOMPARE(shownBy(wide.lb_icon).size(), QSize(120, 120));
    QVERIFY(near(centreColour(shownBy(wide.lb_icon)), RED, 2));
    QVERIFY(http.requested.contains("/api/v1/uploads/app/icon/red.png"));

    FrameItemH small;
    small.setSize(113, 150);
    small.setIcon("blue.jpg");
    SETTLE();
    QCOMPARE(shownBy(small.lb_icon).size(), QSize(98, 98));
    QVERIFY(near(centreColour(shownBy(small.lb_icon)), BLUE));
    QVERIFY(small.lb_icon->testAttribute(Qt::WA_TranslucentBackground));

    AppDetailView page;
    page.setIcon("blue.jpg");
    QCOMPARE(shownBy(page.ui->icon).size(), page.ui->icon->size());
    QVERIFY(near(centreColour(shownBy(page.ui->icon)), BLUE));

    TWallpapperWidget thumb;
    thumb.setSize(140, 80);
    QSignalSpy arrived(&thumb, &TWallpapperWidget::wallpaperArrived);
    thumb.setWallpaper("shot.png");
    QVERIFY(arrived.count() == 1 || arrived.wait(20000));
    QCOMPARE(thumb.getWallpaper()->size(), QSize(320, 180));
    QCOMPARE(shownBy(&thumb).size(), QSize(140, 80));
    // The frame marking the thumbnail shown large stays visible around a
    // downloaded picture.
    thumb.setStyleSheet("border: 3px solid #75FF08");
    QImage drawn = thumb.grab().toImage();
    QVERIFY(near(QColor(drawn.pixel(1, 1)), QColor(0x75, 0xFF, 0x08), 2));
    QVERIFY(near(QColor(drawn.pixel(70, 40)), RED, 2));

    HomeView home;
    home.setBanner(http.baseUrl() + "/banner.png");
    SETTLE();
    QPixmap banner = shownBy(home.ui->bannerView);
    // Aspect ratio kept by expanding: covers 1000 x 210.
    QVERIFY(banner.width() >= 1000 && banner.height() >= 210);
    QVERIFY(banner.width() == 1000 || banner.height() == 210);
    QVERIFY(near(centreColour(banner), BLUE, 2));
  }

  void failedDownloadsLeaveTheWidget_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("closedPort");
    QTest::newRow("not found") << "missing.png" << false;
    QTest::newRow("not an image") << "garbage.png" << false;
    QTest::newRow("announces too many pixels") << "huge.png" << false;
    QTest::newRow("nobody listening") << "red.png" << true;
  }

  void failedDownloadsLeaveTheWidget() {
    QFETCH(QString, name);
    QFETCH(bool, closedPort);

    FrameItemV wide;
    wide.setSize(890, 130);
    wide.setIcon("local://" + localGreen);
    FrameItemH small;
    small.setSize(113, 150);
    small.setIcon("local://" + localGreen);
    FrameItemH bare;  // never had an icon: the grey square stays
    bare.setSize(113, 150);
    AppDetailView page;
    page.setIcon("local://" + localGreen);
    TWallpapperWidget thumb;
    thumb.setSize(140, 80);
    HomeView home;
    home.setBannerLocal("./icon/banner_default.png");
    const qint64 bannerKey = shownBy(home.ui->bannerView).cacheKey();
    QVERIFY(bannerKey != 0);

    if (closedPort) {
      QTcpServer probe;
      QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
      URL_HOST = QString("http://127.0.0.1:%1").arg(probe.serverPort()).toStdString();
      probe.close();
    }
    wide.setIcon(name);
    small.setIcon(name);
    bare.setIcon(name);
    page.setIcon(name);
    thumb.setWallpaper(name);
    home.setBanner(QString::fromStdString(URL_HOST) + "/" + name);
    SETTLE();

    QVERIFY(near(centreColour(shownBy(wide.lb_icon)), GREEN, 2));
    QVERIFY(near(centreColour(shownBy(small.lb_icon)), GREEN, 2));
    QVERIFY(!small.lb_icon->testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(shownBy(bare.lb_icon).isNull());
    QCOMPARE(bare.lb_icon->styleSheet(), QString("background-color: grey"));
    QVERIFY(near(centreColour(shownBy(page.ui->icon)), GREEN, 2));
    QVERIFY(shownBy(&thumb).isNull());
    QVERIFY(thumb.getWallpaper()->isNull());
    QCOMPARE(shownBy(home.ui->bannerView).cacheKey(), bannerKey);
  }

  void oversizedImagesAreRefusedUndecoded() {
    QByteArray bytes = oversizedPng();
    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QImageReader reader(&buffer);
    QCOMPARE(reader.size(), QSize(20000, 20000));  // a well-formed header
    QVERIFY(decodeImage(bytes).isNull());
    QVERIFY(!decodeImage(viewtest::encodedImage(RED, 64, 64, "PNG")).isNull());
  }

  void timeLimitEndsAStalledDownload() {
    ImageFetch::setTimeLimit(300);
    QCOMPARE(ImageFetch::timeLimit(), 300);

    int result = 1;
    QByteArray body = "x";
    QElapsedTimer clock;
    clock.start();
    ImageFetch::fetch(ImageFetch::storeAddress("icon", "stall.png"), nullptr,
                      [&](int r, const QByteArray& b) {
                        result = r;
                        body = b;
                      });
    // Nothing waits: the caller goes on at once.
    QVERIFY(clock.elapsed() < 300);
    QTRY_COMPARE_WITH_TIMEOUT(result, int(ImageFetch::FETCH_TIMEOUT), 5000);
    QVERIFY(body.isEmpty());

    AppDetailView page;
    page.setIcon("local://" + localGreen);
    page.setIcon("stall.png");

    FrameItemV wide;
    wide.setSize(890, 130);
    wide.setIcon("local://" + localGreen);
    wide.setIcon("stall.png");

    TWallpapperWidget thumb;
    thumb.setSize(140, 80);
    thumb.setWallpaper("stall.png");

    HomeView home;
    home.setBannerLocal("./icon/banner_default.png");
    const qint64 key = shownBy(home.ui->bannerView).cacheKey();
    home.setBanner(http.baseUrl() + "/stall-banner.png");
    SETTLE();
    QVERIFY(near(centreColour(shownBy(page.ui->icon)), GREEN, 2));
    QVERIFY(near(centreColour(shownBy(wide.lb_icon)), GREEN, 2));
    QVERIFY(thumb.getWallpaper()->isNull());
    QCOMPARE(shownBy(home.ui->bannerView).cacheKey(), key);
    QVERIFY(http.requested.contains("/stall-banner.png"));
  }

  void widgetDestroyedWhileWaiting() {
    // Something else (a page refresh, say) deletes the tile while its
    // download is under way: nothing touches the dead tile.
    ImageFetch::setTimeLimit(300);
    auto* tile = new FrameItemH();
    QPointer<FrameItemH> watch = tile;
    tile->setIcon("stall.png");
    QTimer::singleShot(50, this, [tile] { delete tile; });
    QTRY_VERIFY(watch.isNull());
    SETTLE();
  }

  void downloadsFromTheStoreServer() {
    const std::string server_bin = nelt::test::binDir() + "/nelt-store-server";
    if (!QFileInfo::exists(QString::fromStdString(server_bin))) {
      QSKIP("nelt-store-server is not built");
    }
    nelt::test::TempDir work;
    nelt::test::StoreServer server;
    QVERIFY(server.start(work.path()));
    URL_HOST = server.baseUrl();

    const QString sample = QString::fromStdString(nelt::test::sourceDir()) +
                           "/catalog/sample/images/hello-nelt-icon.png";
    QImage expected =
        QImage(sample).scaled(120, 120, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QVERIFY(!expected.isNull());

    FrameItemV wide;
    wide.setSize(890, 130);
    wide.setIcon("hello-nelt-icon.png");
    SETTLE();
    QImage shown = shownBy(wide.lb_icon).toImage();
    QCOMPARE(shown.size(), QSize(120, 120));
    QVERIFY(near(shown.pixelColor(60, 60), expected.pixelColor(60, 60), 2));

    TWallpapperWidget thumb;
    thumb.setSize(140, 80);
    thumb.setWallpaper("hello-nelt-screen-1.png");
    SETTLE();
    QVERIFY(!thumb.getWallpaper()->isNull());

    // A missing upload leaves the tile as it was.
    const qint64 key = shownBy(wide.lb_icon).cacheKey();
    wide.setIcon("no-such-icon.png");
    SETTLE();
    QCOMPARE(shownBy(wide.lb_icon).cacheKey(), key);

    // Forty tiles and the detail page show the same icon: one transfer.
    // A tile removed before the image arrives is not touched, while the
    // others sharing its transfer get the picture.
    ImageFetch::clearCache();
    QVERIFY(server.setMode("{\"latency_ms\":300}"));
    int gone_calls = 0;
    auto* gone = new QObject();
    ImageFetch::fetch(ImageFetch::storeAddress("icon", "hello-nelt-screen-2.png"), gone,
                      [&gone_calls](int, const QByteArray&) { ++gone_calls; });
    std::vector<std::unique_ptr<FrameItemH>> tiles;
    for (int i = 0; i < 40; ++i) {
      tiles.emplace_back(new FrameItemH());
      tiles.back()->setSize(113, 150);
      tiles.back()->setIcon(i == 0 ? "hello-nelt-screen-2.png" : "hello-nelt-screen-1.png");
    }
    AppDetailView same;
    same.setIcon("hello-nelt-screen-1.png");
    delete gone;
    QPointer<FrameItemH> first = tiles[0].get();
    tiles[0].reset();
    SETTLE();
    server.setMode("{\"latency_ms\":0}");
    QVERIFY(first.isNull());
    QCOMPARE(gone_calls, 0);
    for (size_t i = 1; i < tiles.size(); ++i) QVERIFY(!shownBy(tiles[i]->lb_icon).isNull());
    QVERIFY(!shownBy(same.ui->icon).isNull());
    // Shown again later (a page rebuilt): from memory, no transfer.
    FrameItemV again;
    again.setSize(890, 130);
    again.setIcon("hello-nelt-screen-1.png");
    QVERIFY(!shownBy(again.lb_icon).isNull());
    const std::string log = server.requests();
    auto count = [&log](const std::string& path) {
      int n = 0;
      for (size_t at = log.find(path); at != std::string::npos; at = log.find(path, at + 1)) ++n;
      return n;
    };
    QCOMPARE(count("\"path\":\"/api/v1/uploads/app/icon/hello-nelt-screen-1.png\""), 1);
    QCOMPARE(count("\"path\":\"/api/v1/uploads/app/icon/hello-nelt-screen-2.png\""), 1);

    // A server that stops answering: the time limit ends the wait.
    QVERIFY(server.setMode("{\"stall\":true}"));
    ImageFetch::setTimeLimit(300);
    AppDetailView page;
    page.setIcon("local://" + localGreen);
    page.setIcon("hello-nelt-icon.png");
    SETTLE();
    QVERIFY(near(centreColour(shownBy(page.ui->icon)), GREEN, 2));
    server.setMode("{\"stall\":false}");
  }
};

QTEST_MAIN(TestImageDownload)
#include "test_image_download.moc"
