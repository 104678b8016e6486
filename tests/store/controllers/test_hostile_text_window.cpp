// A store whose names, versions, descriptions, section titles and account
// names carry markup, terminal controls, bidirectional overrides and broken
// UTF-8, served by the local store server through the real service to the
// real window and to `nelt`: every label shows the text as it is written
// (no tag is obeyed, no local file is read, not even /dev/zero), nothing a
// person sees carries a control character, and `nelt search` / `nelt info`
// print no raw control bytes.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QStackedWidget>
#include <QTest>
#include <QTextDocument>
#include <fstream>
#include <functional>

#include "account_view.h"
#include "app_detail_view.h"
#include "frame_item_h.h"
#include "frame_item_v.h"
#include "list_apps_view.h"
#include "section_frame.h"
#include "test_support.h"
#include "ui_account_view.h"
#include "ui_app_detail_view.h"
#include "ui_list_apps_view.h"
#include "ui_main_window.h"
#include "window_stack.h"

using wintest::WindowStack;

namespace {

const QString FFFD = QString(QChar(0xFFFD));
// The colour of the marker image: nothing the window draws itself uses it.
const QRgb MARKER = qRgb(255, 0, 255);

long rssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// The hostile texts, as the store serves them.
struct Hostile {
  QString marker_path;  // a magenta PNG: drawn only if a tag is obeyed
  QString name;         // ghi-chu
  QString summary;      // ghi-chu
  QString description;  // ghi-chu
  QString version;      // ghi-chu
  QString section;      // section 2
  QString zero_name;    // may-tinh
  QString account;      // account demo
};

Hostile hostileTexts(const QString& marker) {
  Hostile h;
  h.marker_path = marker;
  const QString img = QString("<img src=\"file://%1\" width=64 height=64>").arg(marker);
  h.name = "<b>x</b>" + img + "\x1b[2J\x07" + QChar(0x202E) + "gnp.exe";
  h.summary = "<table><tr><td>T</td></tr></table>\x01" + QString(QChar(0x9B)) + "31m";
  h.description = "<h1>Tiêu đề</h1>" + img +
                  "\n<a href=\"file:///etc/passwd\">liên kết</a>\r\nDòng ba\x1b]0;pwned\x07" +
                  QChar(0x2066) + "x" + QChar(0x2069);
  h.version = "<i>2.0.1</i>\x1b[0m";
  h.section = "<h1>Nổi bật</h1>\x1b]0;t\x07";
  h.zero_name = "<img src=\"file:///dev/zero\" width=10 height=10>";
  h.account = "<b>Người</b> dùng" + QString(QChar(0x202E)) + " thử\x1b[5m";
  return h;
}

// A copy of the sample catalog with the hostile texts put in. The
// description of may-tinh also carries a raw 0x9B byte (not UTF-8 at all).
bool writeHostileCatalog(const QString& dir, const Hostile& h) {
  const QString sample = QString::fromStdString(nelt::test::sourceDir() + "/catalog/sample");
  if (QProcess::execute("cp", {"-r", sample, dir}) != 0) return false;
  auto rewrite = [&](const char* file, const std::function<void(QJsonObject&)>& change,
                     const QByteArray& raw_from = {}, const QByteArray& raw_to = {}) {
    QFile f(dir + "/" + file);
    if (!f.open(QIODevice::ReadOnly)) return false;
    QJsonObject root = QJsonDocument::fromJson(f.readAll()).object();
    f.close();
    change(root);
    QByteArray text = QJsonDocument(root).toJson();
    if (!raw_from.isEmpty()) text.replace(raw_from, raw_to);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return f.write(text) == text.size();
  };
  auto apps = [&](QJsonObject& root) {
    QJsonArray list = root["apps"].toArray();
    for (int i = 0; i < list.size(); ++i) {
      QJsonObject app = list[i].toObject();
      if (app["slug"] == "ghi-chu") {
        app["name"] = h.name;
        app["shortDescription"] = h.summary;
        app["longDescription"] = h.description;
        app["currentVersion"] = h.version;
      } else if (app["slug"] == "may-tinh") {
        app["name"] = h.zero_name;
        app["shortDescription"] = "RAW9B";
      }
      list[i] = app;
    }
    root["apps"] = list;
  };
  auto sections = [&](QJsonObject& root) {
    QJsonArray list = root["sections"].toArray();
    QJsonObject first = list[0].toObject();
    first["name"] = h.section;
    list[0] = first;
    root["sections"] = list;
  };
  auto accounts = [&](QJsonObject& root) {
    QJsonArray list = root["accounts"].toArray();
    QJsonObject demo = list[0].toObject();
    demo["name"] = h.account;
    list[0] = demo;
    root["accounts"] = list;
  };
  return rewrite("apps.json", apps, "\"RAW9B\"",
                 "\"a\x9b"
                 "2Jb\"") &&
         rewrite("sections.json", sections) && rewrite("accounts.json", accounts);
}

// Characters that must never reach a person: C0 controls but the line feed,
// DEL, C1 controls, bidirectional embeddings, overrides and isolates.
bool hasControl(const QString& text) {
  for (QChar c : text) {
    const ushort u = c.unicode();
    if ((u < 0x20 && u != '\n') || (u >= 0x7F && u <= 0x9F) || (u >= 0x202A && u <= 0x202E) ||
        (u >= 0x2066 && u <= 0x2069))
      return true;
  }
  return false;
}

// Every label of the window that would obey markup or shows a control
// character. Only the window's own links are rich text, built from escaped
// values.
QStringList badLabels(QWidget* root) {
  static const QStringList OWN_LINKS = {"label_url", "label_signin", "label_forgot"};
  QStringList bad;
  for (QLabel* label : root->findChildren<QLabel*>()) {
    const QString text = label->text();
    const QString who = label->objectName() + " (" + label->metaObject()->className() + ")";
    if (label->textFormat() == Qt::RichText && !OWN_LINKS.contains(label->objectName()))
      bad << who + " is rich text: " + text;
    if (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(text))
      bad << who + " would take markup: " + text;
    if (hasControl(text)) bad << who + " shows a control character: " + text.toHtmlEscaped();
  }
  return bad;
}

int markerPixels(QWidget* w) {
  const QImage image = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
  int n = 0;
  for (int y = 0; y < image.height(); ++y) {
    const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width(); ++x) n += (line[x] & 0xFFFFFF) == (MARKER & 0xFFFFFF);
  }
  return n;
}

// Saves the whole window as it is now in the build folder, to be looked at.
void savePicture(QWidget* window, const char* name) {
  QDir().mkpath(NELT_HOSTILE_GALLERY_DIR);
  QVERIFY(window->grab().save(QDir(NELT_HOSTILE_GALLERY_DIR).filePath(name + QString(".png"))));
}

// Runs the built `nelt` against the running service; stdout and stderr.
bool runNelt(const QStringList& args, QByteArray& out, QByteArray& err) {
  QProcess p;
  p.start(QString::fromStdString(nelt::test::binDir() + "/nelt"), args);
  if (!p.waitForFinished(60000)) return false;
  out = p.readAllStandardOutput();
  err = p.readAllStandardError();
  return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// What in `bytes` a terminal would act on: anything that is not UTF-8, C0
// controls but the line feed, DEL, C1 controls and bidirectional controls.
// JSON output is only held to the controls its escaping covers (C0).
QString rawControls(const QByteArray& bytes, bool json = false) {
  for (int i = 0; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F)
      return QString("byte 0x%1 at %2").arg(c, 0, 16).arg(i);
  }
  if (json) return QString();
  const QString text = QString::fromUtf8(bytes);
  if (text.toUtf8() != bytes) return "bytes that are not UTF-8";
  if (hasControl(text)) return "a C1 or bidirectional control";
  return QString();
}

}  // namespace

class HostileTextWindow : public QObject {
  Q_OBJECT
  WindowStack stack;
  Hostile h;
  long rss_start = 0;

  Ui_AppDetailView* d() { return stack.ui->pageDetail->ui; }
  ListAppsView* list() { return stack.ui->pageListApps; }

 private slots:
  void initTestCase() {
    const QString marker = QString::fromStdString(stack.work.sub("marker.png"));
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(MARKER);
    QVERIFY(image.save(marker, "PNG"));
    h = hostileTexts(marker);
    const QString catalog = QString::fromStdString(stack.work.sub("hostile-catalog"));
    QVERIFY(writeHostileCatalog(catalog, h));
    QVERIFY(stack.start(false, catalog.toStdString()));
    stack.window->resize(1000, 800);
    rss_start = rssKiB();
  }

  // Home strips, a search, the detail page and the account page all filled
  // from the hostile store, then the whole window checked label by label.
  void everyPageShowsStoreTextAsWritten() {
    stack.app->flag_refresh = true;
    stack.app->refreshHomeView();
    SectionFrame* strip = stack.app->sections.at(0);
    QVERIFY(strip->lb_name->text().startsWith("<h1>Nổi bật</h1>" + FFFD + "]0;t" + FFFD));
    FrameItemH* tile = nullptr;
    for (FrameItemH* t : strip->apps)
      if (t->getName() == "ghi-chu") tile = t;
    QVERIFY(tile != nullptr);
    QVERIFY(tile->lb_name->text().startsWith("<b>x</b><img src="));

    stack.ui->textEditSearch->setText("ghi-chu");
    stack.app->refreshListView();
    QCOMPARE(stack.ui->pages->currentWidget(), static_cast<QWidget*>(list()));
    FrameItemV* row = list()->apps.at(0);
    QCOMPARE(row->getName(), std::string("ghi-chu"));
    QVERIFY(row->lb_name->text().startsWith("<b>x</b><img src=\"file://"));
    QCOMPARE(row->lb_desc->text(), "<table><tr><td>T</td></tr></table>" + FFFD + FFFD + "31m");
    QCOMPARE(row->lb_vesion->text(), "Phiên bản: <i>2.0.1</i>" + FFFD + "[0m");
    QCOMPARE(markerPixels(list()), 0);
    savePicture(stack.window.get(), "search");

    stack.app->refreshDetailView("ghi-chu", TYPE_UNKNOW);
    QCOMPARE(stack.ui->pages->currentWidget(), static_cast<QWidget*>(stack.ui->pageDetail));
    const QString img = QString("<img src=\"file://%1\" width=64 height=64>").arg(h.marker_path);
    QCOMPARE(d()->nameapp->text(), "<b>x</b>" + img + FFFD + "[2J" + FFFD + FFFD + "gnp.exe");
    QCOMPARE(d()->version->text(), "<i>2.0.1</i>" + FFFD + "[0m");
    // The description keeps its lines.
    QCOMPARE(d()->description->text(),
             "<h1>Tiêu đề</h1>" + img + "\n<a href=\"file:///etc/passwd\">liên kết</a>\nDòng ba" +
                 FFFD + "]0;pwned" + FFFD + FFFD + "x" + FFFD);
    QCOMPARE(markerPixels(stack.ui->pageDetail), 0);
    savePicture(stack.window.get(), "detail");

    stack.signIn("demo", "demo123");
    QVERIFY(stack.user->f_logined);
    QCOMPARE(stack.ui->pageAccount->ui->lb_name->text(),
             "<b>Người</b> dùng" + FFFD + " thử" + FFFD + "[5m");
    stack.ui->pages->setCurrentWidget(stack.ui->pageAccount);
    savePicture(stack.window.get(), "account");

    // Ordinary text still reads as before.
    QCOMPARE(stack.app->sections.at(1)->lb_name->text(), QString("Tiện ích hệ thống"));

    const QStringList bad = badLabels(stack.window.get());
    QVERIFY2(bad.isEmpty(), qPrintable(bad.join("\n")));
    stack.ui->pages->setCurrentWidget(stack.ui->pageAll);
    QCOMPARE(markerPixels(stack.window.get()), 0);
    savePicture(stack.window.get(), "home");
  }

  // A name that would read /dev/zero as an image: the page is built and
  // painted at once and the window's memory stays where it was.
  void aNameNamingDevZeroReadsNothing() {
    stack.app->refreshDetailView("may-tinh", TYPE_UNKNOW);
    QCOMPARE(d()->nameapp->text(), h.zero_name);
    savePicture(stack.window.get(), "detail_dev_zero");
    stack.ui->textEditSearch->setText("may-tinh");
    stack.app->refreshListView();
    FrameItemV* row = list()->apps.at(0);
    QCOMPARE(row->lb_name->text(), h.zero_name);
    // The raw 0x9B byte of its summary is a replacement character.
    QCOMPARE(row->lb_desc->text(), "a" + FFFD + "2Jb");
    savePicture(stack.window.get(), "search_dev_zero");
    const QStringList bad = badLabels(stack.window.get());
    QVERIFY2(bad.isEmpty(), qPrintable(bad.join("\n")));
    const long grown = rssKiB() - rss_start;
    qInfo("resident memory grew by %ld KiB while the hostile pages were built", grown);
    QVERIFY2(grown < 150 * 1024, qPrintable(QString("grew by %1 KiB").arg(grown)));
  }

  // nelt prints the same store text without a byte a terminal would act on;
  // --json keeps the store's text exactly, escaped.
  void neltPrintsNoRawControls() {
    QByteArray out, err;
    QVERIFY2(runNelt({"search", "ghi-chu"}, out, err), err.constData());
    QVERIFY2(rawControls(out).isEmpty(), qPrintable(rawControls(out)));
    QVERIFY(out.contains("ghi-chu  <i>2.0.1</i>\xEF\xBF\xBD[0m  <b>x</b><img src="));

    QVERIFY2(runNelt({"info", "ghi-chu"}, out, err), err.constData());
    QVERIFY2(rawControls(out).isEmpty(), qPrintable(rawControls(out)));
    QVERIFY(out.contains("name:        <b>x</b><img src="));
    // Each description line indented under its heading.
    QVERIFY(out.contains("description:\n  <h1>Tiêu đề</h1>"));
    QVERIFY(
        out.contains("\n  <a href=\"file:///etc/passwd\">liên kết</a>\n  Dòng ba\xEF\xBF\xBD]0;"));

    QVERIFY2(runNelt({"search", "may-tinh"}, out, err), err.constData());
    QVERIFY2(rawControls(out).isEmpty(), qPrintable(rawControls(out)));
    QVERIFY(
        out.contains("a\xEF\xBF\xBD"
                     "2Jb"));

    QVERIFY2(runNelt({"--json", "info", "ghi-chu"}, out, err), err.constData());
    QVERIFY2(rawControls(out, true).isEmpty(), qPrintable(rawControls(out, true)));
    const QJsonObject doc = QJsonDocument::fromJson(out).object();
    QCOMPARE(doc["name"].toString(), h.name);
    QCOMPARE(doc["longDescription"].toString(), h.description);
  }

  void cleanupTestCase() { stack.unwire(); }
};

QTEST_MAIN(HostileTextWindow)
#include "test_hostile_text_window.moc"
