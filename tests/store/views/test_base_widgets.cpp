// Base widgets: mouse signals of labels and buttons, the pressed-application
// record, the enabled/disabled look, and the shortening of texts.
#include <QSignalSpy>
#include <QtTest>

#include "twidget.h"

using nelt::window::KAVIX_APP_CURRENT;

class TestBaseWidgets : public QObject {
  Q_OBJECT

 private slots:
  void init() { KAVIX_APP_CURRENT.clear(); }

  void labelSignalsFollowTheButton() {
    TLabel label;
    label.resize(50, 20);
    QSignalSpy leftDown(&label, &TLabel::clickLeftDown);
    QSignalSpy leftUp(&label, &TLabel::clickLeftUp);
    QSignalSpy rightDown(&label, &TLabel::clickRightDown);
    QSignalSpy rightUp(&label, &TLabel::clickRightUp);

    QTest::mousePress(&label, Qt::LeftButton);
    QTest::mouseRelease(&label, Qt::LeftButton);
    QCOMPARE(leftDown.count(), 1);
    QCOMPARE(leftUp.count(), 1);
    QCOMPARE(rightDown.count() + rightUp.count(), 0);

    QTest::mousePress(&label, Qt::RightButton);
    QTest::mouseRelease(&label, Qt::RightButton);
    QCOMPARE(rightDown.count(), 1);
    QCOMPARE(rightUp.count(), 1);
    QCOMPARE(leftDown.count() + leftUp.count(), 2);

    QTest::mousePress(&label, Qt::MiddleButton);
    QTest::mouseRelease(&label, Qt::MiddleButton);
    QCOMPARE(leftDown.count() + leftUp.count() + rightDown.count() + rightUp.count(), 4);
  }

  void buttonActsOnLeftPressOnly() {
    TPushButton button("Mở");
    QCOMPARE(button.text(), QString::fromUtf8("Mở"));
    button.resize(80, 30);
    button.setIDApp(42);
    button.setNameApp("hello");
    QSignalSpy clicked(&button, &QPushButton::clicked);

    KAVIX_APP_CURRENT = "7&before";
    QTest::mousePress(&button, Qt::RightButton);
    QTest::mousePress(&button, Qt::MiddleButton);
    QCOMPARE(clicked.count(), 0);
    QCOMPARE(KAVIX_APP_CURRENT, std::string("7&before"));

    QTest::mousePress(&button, Qt::LeftButton);
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(clicked.at(0).at(0).toBool(), false);
    QCOMPARE(KAVIX_APP_CURRENT, std::string("42&hello"));
    // Acting on the press: the button never shows itself pressed.
    QVERIFY(!button.isDown());
    QTest::mouseRelease(&button, Qt::LeftButton);
    QCOMPARE(clicked.count(), 1);
  }

  void buttonWithoutIdentityRecordsZero() {
    QWidget parent;
    TPushButton button(&parent);
    QSignalSpy clicked(&button, &QPushButton::clicked);
    QTest::mousePress(&button, Qt::LeftButton);
    QCOMPARE(KAVIX_APP_CURRENT, std::string("0&"));
    QCOMPARE(clicked.count(), 1);
  }

  void enableAppliesTheSavedOrTheGreyLook() {
    TPushButton button("Cài đặt");
    button.enable(true);
    QVERIFY(button.isEnabled());
    QCOMPARE(button.styleSheet(), QString());

    button.setDefaultStyle("background-color: #52C41A;");
    QCOMPARE(button.styleSheet(), QString());  // stored, not applied
    button.enable(false);
    QVERIFY(!button.isEnabled());
    QCOMPARE(button.styleSheet(),
             QString("color: #cfcfcf; background-color: #afafaf; border-radius: 5px;"));
    button.enable(true);
    QVERIFY(button.isEnabled());
    QCOMPARE(button.styleSheet(), QString("background-color: #52C41A;"));
  }

  void shorteningCountsCharactersNotBytes() {
    // 50 Vietnamese letters, each two or three bytes in UTF-8.
    QString fifty = QString::fromUtf8("ỨngdụngViệtNamđẹp").repeated(3).left(50);
    QCOMPARE(fifty.size(), 50);
    QVERIFY(fifty.toUtf8().size() > 60);
    QCOMPARE(shortenText(fifty, 50), fifty);
    QString fiftyOne = fifty + QString::fromUtf8("ệ");
    QCOMPARE(shortenText(fiftyOne, 50), fifty + "...");
    QCOMPARE(textLength(fiftyOne), 51);

    // A letter stored as base plus combining marks is still one character,
    // and is never split from its marks.
    QString decomposed = QString::fromUtf8("e\u0323\u0302");  // ệ
    QCOMPARE(textLength(decomposed), 1);
    QString text = QString("a").repeated(19) + decomposed + "b";
    QCOMPARE(shortenText(text, 20), QString("a").repeated(19) + decomposed + "...");
    QCOMPARE(shortenText("", 20), QString());
  }
};

QTEST_MAIN(TestBaseWidgets)
#include "test_base_widgets.moc"
