// Application tiles and section strips: texts and their limits, buttons,
// highlight, mouse handling, local icons, ownership and shadows.
#include <QGraphicsDropShadowEffect>
#include <QLayout>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "drop_shadow.h"
#include "frame_item_h.h"
#include "frame_item_v.h"
#include "section_frame.h"
#include "store_globals.h"
#include "view_test_util.h"

using nelt::window::KAVIX_APP_CURRENT;
using nelt::window::KAVIX_SECTION_CURRENT;
using nelt::window::setCurrentInstall;

namespace {

// `n` Vietnamese letters (multi-byte in UTF-8).
QString vietnamese(int n) {
  return QString::fromUtf8("Trìnhsoạnthảovănbảnđẹpvàdễdùng").repeated(20).left(n);
}

QPixmap labelPixmap(QLabel* label) { return label->pixmap(Qt::ReturnByValue); }

// A grey page with one white card of round corners at (40, 30), as tiles
// sit on their lists.
struct CardPage {
  QWidget page;
  QFrame* card;
  CardPage() {
    page.setFixedSize(260, 260);
    page.setStyleSheet("background-color: rgb(245, 245, 245);");
    card = new QFrame(&page);
    card->setStyleSheet("background-color: #ffffff; border-radius: 10px;");
    card->setGeometry(40, 30, 113, 150);
    page.show();
  }
};

// How many pixels differ by more than `tolerance` in a channel.
int differing(const QImage& a, const QImage& b, int tolerance) {
  if (a.size() != b.size()) return a.width() * a.height();
  int n = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
      if (qAbs(qRed(p) - qRed(q)) > tolerance || qAbs(qGreen(p) - qGreen(q)) > tolerance ||
          qAbs(qBlue(p) - qBlue(q)) > tolerance)
        ++n;
    }
  return n;
}

// What the window shows: its backing store after the repaints asked for,
// so that a shadow left behind where its card was counts too.
QImage grabbed(QWidget& w) {
  QTest::qWait(30);
  return QGuiApplication::primaryScreen()->grabWindow(w.winId()).toImage().convertToFormat(
      QImage::Format_RGB32);
}

}  // namespace

class TestTiles : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    KAVIX_APP_CURRENT.clear();
    KAVIX_SECTION_CURRENT.clear();
    setCurrentInstall("");
  }
  void cleanup() { setCurrentInstall(""); }

  void textLimits_data() {
    QTest::addColumn<int>("limit");
    QTest::newRow("wide tile name") << 50;
    QTest::newRow("wide tile description") << 200;
    QTest::newRow("small tile name") << 20;
    QTest::newRow("strip title") << 40;
  }

  void textLimits() {
    QFETCH(int, limit);
    const QString at = vietnamese(limit);
    const QString past = vietnamese(limit + 1);
    QVERIFY(at.toUtf8().size() > limit);  // bytes would cut too early

    auto shown = [limit](const QString& text) -> QString {
      if (limit == 50) {
        FrameItemV tile;
        tile.setName(text, "slug");
        return tile.lb_name->text();
      }
      if (limit == 200) {
        FrameItemV tile;
        tile.setDesc(text);
        return tile.lb_desc->text();
      }
      if (limit == 20) {
        FrameItemH tile;
        tile.setName(text, "slug");
        return tile.lb_name->text();
      }
      SectionFrame strip;
      strip.init(990, 200, text);
      return strip.getName();
    };
    QCOMPARE(shown(at), at);
    QCOMPARE(shown(past), at + "...");
  }

  void wideTileFields() {
    FrameItemV tile;
    tile.setID(12);
    tile.setName(QString::fromUtf8("Ghi chú"), "ghi-chu");
    QCOMPARE(tile.getName(), std::string("ghi-chu"));
    QCOMPARE(tile.getID(), 12);
    QCOMPARE(tile.bt_Launch->idApp(), 12);
    QCOMPARE(tile.bt_Remove->idApp(), 12);
    QCOMPARE(tile.bt_Update->idApp(), 12);
    QCOMPARE(tile.bt_Install->idApp(), 0);
    for (TPushButton* bt : {tile.bt_Launch, tile.bt_Remove, tile.bt_Update, tile.bt_Install}) {
      QCOMPARE(bt->nameApp(), std::string("ghi-chu"));
    }
    QCOMPARE(tile.bt_Launch->text(), QString::fromUtf8("Mở"));
    QCOMPARE(tile.bt_Remove->text(), QString::fromUtf8("Xóa"));
    QCOMPARE(tile.bt_Update->text(), QString::fromUtf8("Cập nhật"));
    QCOMPARE(tile.bt_Install->text(), QString::fromUtf8("Cài đặt"));

    tile.setVersion("2.0.0");
    QCOMPARE(tile.lb_vesion->text(), QString::fromUtf8("Phiên bản: 2.0.0"));
    QCOMPARE(tile.getCurVer(), std::string("2.0.0"));

    // An empty new version: no text, but styled and in place under the version.
    tile.setNewVersion("");
    QCOMPARE(tile.lb_new_version->text(), QString());
    QCOMPARE(tile.lb_new_version->parentWidget(), tile.fr_name);
    tile.lb_new_version->ensurePolished();
    QCOMPARE(tile.lb_new_version->palette().color(QPalette::WindowText), QColor("#52C41A"));
    tile.setNewVersion("2.0.1");
    QCOMPARE(tile.lb_new_version->text(), QString::fromUtf8("Phiên bản mới v2.0.1"));
    QCOMPARE(tile.getNewVer(), std::string("2.0.1"));

    tile.setSize(890, 130);
    QCOMPARE(tile.size(), QSize(890, 130));
    QCOMPARE(tile.lb_icon->size(), QSize(120, 120));
    QCOMPARE(tile.fr_name->size(), QSize(260, 110));
    QCOMPARE(tile.lb_desc->size(), QSize(890 - 390 - 20, 100));
    QCOMPARE(tile.bt_Launch->height(), 32);
    QCOMPARE(tile.fr_button->height(), 0);
    QVERIFY(tile.line_v2->isHidden());
  }

  void useButtonPlacesOnlyTheFourWords() {
    FrameItemV tile;
    tile.useButton("launch");
    tile.useButton("INSTALL");
    tile.useButton("Remove ");
    tile.useButton("");
    for (TPushButton* bt : {tile.bt_Launch, tile.bt_Remove, tile.bt_Update, tile.bt_Install}) {
      QVERIFY2(bt->parent() == nullptr, qPrintable(bt->objectName()));
    }
    tile.useButton("Launch");
    tile.useButton("Remove");
    tile.useButton("Update");
    tile.useButton("Install");
    tile.useButton("Install");  // twice is still one place
    for (TPushButton* bt : {tile.bt_Launch, tile.bt_Remove, tile.bt_Update, tile.bt_Install}) {
      QCOMPARE(bt->parentWidget(), tile.fr_button);
    }
    QCOMPARE(tile.fr_button->layout()->count(), 4);
  }

  void tilesReleaseEverythingOnce() {
    // Placed buttons go with the tile as children, the others are deleted by
    // the tile itself; a double delete or a leak shows under the sanitizer.
    for (int placed = 0; placed <= 4; ++placed) {
      auto* tile = new FrameItemV();
      QList<QPointer<TPushButton>> buttons = {tile->bt_Launch, tile->bt_Remove, tile->bt_Update,
                                              tile->bt_Install};
      const char* words[] = {"Launch", "Remove", "Update", "Install"};
      for (int i = 0; i < placed; ++i) tile->useButton(words[i]);
      QPointer<TLabel> newVersion = tile->lb_new_version;
      delete tile;
      for (const auto& bt : buttons) QVERIFY(bt.isNull());
      QVERIFY(newVersion.isNull());
    }
    {
      auto* strip = new SectionFrame();
      strip->init(990, 200, "Games");
      auto* tile = new FrameItemH();
      QPointer<FrameItemH> watch = tile;
      strip->apps.push_back(tile);
      strip->addItem(tile);
      delete strip;
      QVERIFY(watch.isNull());
    }
  }

  void rightClickTogglesTheHighlight() {
    FrameItemV tile;
    tile.setName("Ghi", "ghi-chu");
    tile.setStyleSheet("background-color: rgb(10, 20, 30)");
    tile.ensurePolished();
    QCOMPARE(tile.palette().color(tile.backgroundRole()), QColor(10, 20, 30));
    QSignalSpy right(&tile, &FrameItemV::clickRight);
    // The colour the tile and its parts are painted on.
    auto background = [&tile] {
      tile.ensurePolished();
      return tile.palette().color(tile.backgroundRole());
    };

    QTest::mousePress(&tile, Qt::RightButton);
    QCOMPARE(right.count(), 1);
    QVERIFY(tile.isHighlighted());
    QCOMPARE(background(), QColor(Qt::white));
    tile.lb_desc->ensurePolished();
    QCOMPARE(tile.lb_desc->palette().color(tile.lb_desc->backgroundRole()), QColor(Qt::white));
    QCOMPARE(tile.savedColor(), QColor(10, 20, 30));

    QTest::mousePress(&tile, Qt::RightButton);
    QVERIFY(!tile.isHighlighted());
    QCOMPARE(background(), QColor(10, 20, 30));
    // The parts keep their own looks through it.
    tile.lb_name->ensurePolished();
    QCOMPARE(tile.lb_name->palette().color(QPalette::WindowText), QColor("#000000"));
    QCOMPARE(tile.lb_name->font().pointSize(), 15);

    // Leaving the highlighted tile restores it the same way.
    QTest::mousePress(&tile, Qt::RightButton);
    QVERIFY(tile.isHighlighted());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&tile, &leave);
    QVERIFY(!tile.isHighlighted());
    QCOMPARE(tile.fr_button->height(), 0);
    QVERIFY(tile.line_v2->isHidden());
    QCOMPARE(background(), QColor(10, 20, 30));
    // Leaving a plain tile changes nothing.
    tile.setStyleSheet("background-color: rgb(1, 2, 3)");
    QApplication::sendEvent(&tile, &leave);
    QCOMPARE(tile.styleSheet(), QString("background-color: rgb(1, 2, 3)"));
  }

  void installButtonFollowsTheInstallUnderWay() {
    FrameItemV tile;
    tile.setName("Ghi", "ghi-chu");
    auto highlight = [&tile] {
      if (tile.isHighlighted()) QTest::mousePress(&tile, Qt::RightButton);
      QTest::mousePress(&tile, Qt::RightButton);
      QVERIFY(tile.isHighlighted());
    };

    highlight();
    QVERIFY(tile.bt_Install->isEnabled());
    QCOMPARE(tile.bt_Install->text(), QString::fromUtf8("Cài đặt"));

    setCurrentInstall("may-tinh");
    highlight();
    QVERIFY(!tile.bt_Install->isEnabled());
    QCOMPARE(tile.bt_Install->text(), QString::fromUtf8("Cài đặt"));

    setCurrentInstall("ghi-chu");
    highlight();
    QVERIFY(!tile.bt_Install->isEnabled());
    QCOMPARE(tile.bt_Install->text(), QString::fromUtf8("Đang cài đặt"));

    setCurrentInstall("");
    highlight();
    QVERIFY(tile.bt_Install->isEnabled());
    QCOMPARE(tile.bt_Install->text(), QString::fromUtf8("Cài đặt"));

    // A tile without a slug while nothing installs is not "being installed".
    FrameItemV bare;
    QTest::mousePress(&bare, Qt::RightButton);
    QVERIFY(bare.bt_Install->isEnabled());
    QCOMPARE(bare.bt_Install->text(), QString::fromUtf8("Cài đặt"));
  }

  void leftPressRecordsTheApplication() {
    FrameItemV wide;
    wide.setID(5);
    wide.setName("Ghi", "ghi-chu");
    QSignalSpy wideLeft(&wide, &FrameItemV::clickLeft);
    QTest::mousePress(&wide, Qt::MiddleButton);
    QCOMPARE(KAVIX_APP_CURRENT, std::string());
    QTest::mousePress(&wide, Qt::LeftButton);
    QCOMPARE(wideLeft.count(), 1);
    QCOMPARE(KAVIX_APP_CURRENT, std::string("5&ghi-chu"));

    FrameItemH small;
    small.setID(9);
    small.setName(QString::fromUtf8("Cờ tướng"), "co-tuong");
    QSignalSpy smallLeft(&small, &FrameItemH::clickLeft);
    QTest::mousePress(&small, Qt::RightButton);
    QCOMPARE(smallLeft.count(), 0);
    QCOMPARE(KAVIX_APP_CURRENT, std::string("5&ghi-chu"));
    QTest::mousePress(&small, Qt::LeftButton);
    QCOMPARE(smallLeft.count(), 1);
    QCOMPARE(KAVIX_APP_CURRENT, std::string("9&co-tuong"));
  }

  void sectionLinkRecordsTheSection() {
    SectionFrame strip;
    strip.init(990, 200, "Games");
    strip.setID(7);
    QCOMPARE(strip.getID(), 7);
    QCOMPARE(strip.lb_more->text(), QString::fromUtf8("Tất cả"));
    QCOMPARE(strip.lb_more->width(), 15 * 6);
    std::string seen;
    connect(strip.lb_more, &TCommandLinkButton::clickMore, this,
            [&seen] { seen = KAVIX_SECTION_CURRENT; });

    QTest::mousePress(strip.lb_more, Qt::RightButton);
    QCOMPARE(KAVIX_SECTION_CURRENT, std::string());
    QCOMPARE(seen, std::string());
    QTest::mousePress(strip.lb_more, Qt::LeftButton);
    QCOMPARE(seen, std::string("Games&7"));

    // The full name travels, not the shortened title.
    QString longName = QString::fromUtf8("Ứng dụng văn phòng, học tập và làm việc nhóm");
    strip.setName(longName);
    QTest::mousePress(strip.lb_more, Qt::LeftButton);
    QCOMPARE(QString::fromStdString(KAVIX_SECTION_CURRENT), longName + "&7");
  }

  void stripGeometry() {
    SectionFrame strip;
    strip.init(990, 200, QString::fromUtf8("Giải trí"));
    strip.resizeItemLayout(980, 180);
    QCOMPARE(strip.size(), QSize(980, 200));
    QCOMPARE(strip.frame_name->height(), 30);
    QCOMPARE(strip.frame_name->width(), 960);
    QCOMPARE(strip.lb_name->height(), 35);
    QCOMPARE(strip.lb_null->height(), 5);
    QCOMPARE(strip.lb_null->width(), 990 - 15 * 8 - 90 - 30);
    QCOMPARE(strip.scroll_area->maximumSize(), QSize(980, 180));
    // A tiny strip never asks for a negative spacer.
    SectionFrame small;
    small.init(100, 80, vietnamese(40));
    QCOMPARE(small.lb_null->width(), 0);
  }

  // The shadow layer paints what the graphics effect painted, follows its
  // card when it moves, grows or hides, and leaves nothing when it goes.
  void shadowsLookAsTheEffectDrewThemAndFollowTheirCard() {
    CardPage with_effect, with_layer;
    auto* effect = new QGraphicsDropShadowEffect(with_effect.card);
    effect->setColor(QColor("#cfcfcf"));
    effect->setBlurRadius(10);
    effect->setOffset(5, 5);
    with_effect.card->setGraphicsEffect(effect);
    shadows::cast(with_layer.card, QColor("#cfcfcf"), 10, QPoint(5, 5));
    QVERIFY(QTest::qWaitForWindowExposed(&with_layer.page));
    CardPage bare;
    QVERIFY(differing(grabbed(with_effect.page), grabbed(bare.page), 0) > 500);
    QCOMPARE(differing(grabbed(with_layer.page), grabbed(with_effect.page), 2), 0);

    for (CardPage* p : {&with_effect, &with_layer}) p->card->setGeometry(90, 80, 130, 120);
    QCOMPARE(differing(grabbed(with_layer.page), grabbed(with_effect.page), 2), 0);
    // Square corners: the shape is taken again when asked.
    for (CardPage* p : {&with_effect, &with_layer})
      p->card->setStyleSheet("background-color: #ffffff;");
    shadows::refresh(with_layer.card);
    QCOMPARE(differing(grabbed(with_layer.page), grabbed(with_effect.page), 2), 0);

    with_layer.card->hide();
    bare.card->hide();
    QCOMPARE(differing(grabbed(with_layer.page), grabbed(bare.page), 0), 0);
    with_layer.card->show();
    delete with_layer.card;
    QCOMPARE(differing(grabbed(with_layer.page), grabbed(bare.page), 0), 0);
  }

  void localIcons() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString png = dir.filePath("a.png");
    QFile file(png);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(viewtest::encodedImage(QColor(200, 30, 40), 64, 64, "PNG"));
    file.close();

    FrameItemV wide;
    wide.setSize(890, 130);
    wide.setIcon("local://" + png);
    QPixmap shown = labelPixmap(wide.lb_icon);
    QCOMPARE(shown.size(), QSize(120, 120));
    QVERIFY(viewtest::near(viewtest::centreColour(shown), QColor(200, 30, 40), 2));
    wide.setIcon("local://" + dir.filePath("missing.png"));
    QVERIFY(labelPixmap(wide.lb_icon).isNull());

    FrameItemH small;
    small.setSize(113, 150);
    small.setIcon("local://" + png);
    QCOMPARE(labelPixmap(small.lb_icon).size(), QSize(98, 98));
  }
};

QTEST_MAIN(TestTiles)
#include "test_tiles.moc"
