// nelt-widget-gallery renders every widget and page to a PNG file.
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

class TestWidgetGallery : public QObject {
  Q_OBJECT

 private slots:
  void rendersEveryWidget() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath("gallery");
    QProcess gallery;
    gallery.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    gallery.start(qEnvironmentVariable("NELT_BIN_DIR") + "/nelt-widget-gallery", {out});
    QVERIFY(gallery.waitForFinished(90000));
    QCOMPARE(gallery.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gallery.exitCode(), 0);

    const struct {
      const char* name;
      QSize size;  // invalid: any size
    } expected[] = {
        {"frame_item_v", {}},
        {"frame_item_v_install", {}},
        {"frame_item_h", {}},
        {"section_frame", {}},
        {"app_detail_view", {980, 710}},
        {"app_detail_view_installing", {980, 710}},
        {"home_view", {980, 710}},
        {"list_apps_view", {980, 710}},
        {"account_view", {980, 710}},
        {"account_view_signed_in", {980, 710}},
        {"setting_view", {980, 710}},
    };
    for (const auto& e : expected) {
      const QString path = out + "/" + e.name + ".png";
      QVERIFY2(QFileInfo(path).size() > 0, qPrintable(path));
      QImage img(path);
      QVERIFY2(!img.isNull(), qPrintable(path));
      if (e.size.isValid()) QCOMPARE(img.size(), e.size);
      // Something is drawn: more than a handful of colours.
      QSet<QRgb> colours;
      for (int y = 0; y < img.height() && colours.size() < 16; y += 3) {
        for (int x = 0; x < img.width(); x += 3) colours.insert(img.pixel(x, y));
      }
      QVERIFY2(colours.size() >= 16, qPrintable(path));
    }
  }
};

QTEST_MAIN(TestWidgetGallery)
#include "test_widget_gallery.moc"
