// nelt-store-tour: the store window, driven through a short tour of its pages
// (home, a section and the bottom of its list, an application, sign-in,
// install, the installed page, a failing install's reason, settings) with a screenshot of the
// screen after each step; then it stays open as the store window until interrupted or for a given
// time. It is the real window (start-up, controllers, pages) with a driver on top, for machines
// without a person in front of them (the run script under Xvfb, CI).
//
//   nelt-store-tour [--shots DIR] [--duration SECONDS] [--account NAME PASSWORD]
//                   [--app SLUG]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <vector>

#include "frame_item_h.h"
#include "frame_item_v.h"
#include "section_frame.h"
#include "store_app.h"
#include "ui_main_window.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;
void onSignal(int) { stop_requested = 1; }

struct Options {
  QString shots;
  int duration = -1;  // seconds to stay open after the tour; -1 until interrupted
  QString account = QStringLiteral("demo");
  QString password = QStringLiteral("demo123");
  QString app = QStringLiteral("hello-nelt");
  // An application the sample store has no package for.
  QString failing_app = QStringLiteral("doc-sach");
};

bool parse(const QStringList& args, Options& o) {
  for (int i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    const bool has1 = i + 1 < args.size();
    if (a == "--shots" && has1) {
      o.shots = args[++i];
    } else if (a == "--duration" && has1) {
      bool ok = false;
      o.duration = args[++i].toInt(&ok);
      if (!ok || o.duration < 0) return false;
    } else if (a == "--account" && i + 2 < args.size()) {
      o.account = args[++i];
      o.password = args[++i];
    } else if (a == "--app" && has1) {
      o.app = args[++i];
    } else {
      return false;
    }
  }
  return true;
}

// Runs the event loop until `done` holds or `ms` have passed.
bool waitFor(const std::function<bool()>& done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms || stop_requested) return false;
    QTest::qWait(50);
  }
  return true;
}

template <typename T>
T* firstVisible(QWidget* root) {
  for (T* w : root->findChildren<T*>())
    if (w->isVisible()) return w;
  return nullptr;
}

// Every scroll area around `w` shows all of it.
bool wholeInView(QWidget* w) {
  for (QWidget* up = w->parentWidget(); up != nullptr; up = up->parentWidget()) {
    auto* area = qobject_cast<QScrollArea*>(up);
    if (area == nullptr) continue;
    QWidget* view = area->viewport();
    const QRect shown(w->mapTo(view, QPoint(0, 0)), w->size());
    if (!view->rect().contains(shown)) return false;
  }
  return true;
}

class Tour {
 public:
  Tour(StoreWindow& store, const Options& options) : store_(store), o_(options) {}

  int run() {
    Ui_MainWindow* ui = store_.window->ui;
    QWidget* detail = ui->pageDetail;

    step("home", [&] { return firstVisible<FrameItemH>(ui->pageAll) != nullptr; });

    if (auto* more = firstVisible<TCommandLinkButton>(ui->pageAll))
      QTest::mouseClick(more, Qt::LeftButton);
    step("section", [&] {
      return ui->pages->currentWidget() == ui->pageListApps &&
             firstVisible<FrameItemV>(ui->pageListApps) != nullptr;
    });

    // The bottom of the list, reached with the keyboard: the focused row
    // scrolls into view whole, however small the screen.
    std::vector<FrameItemV*> rows;
    for (FrameItemV* t : ui->pageListApps->findChildren<FrameItemV*>())
      if (t->isVisible()) rows.push_back(t);
    std::sort(rows.begin(), rows.end(), [](QWidget* a, QWidget* b) { return a->y() < b->y(); });
    if (!rows.empty()) {
      rows.front()->setFocus(Qt::TabFocusReason);
      for (size_t i = 1; i < rows.size(); ++i)
        if (QWidget* focused = QApplication::focusWidget()) QTest::keyClick(focused, Qt::Key_Down);
    }
    step("section-bottom",
         [&] { return !rows.empty() && rows.back()->hasFocus() && wholeInView(rows.back()); });

    FrameItemV* tile = nullptr;
    for (FrameItemV* t : ui->pageListApps->findChildren<FrameItemV*>())
      if (tile == nullptr || t->getName() == o_.app.toStdString()) tile = t;
    if (tile != nullptr) QTest::mouseClick(tile, Qt::LeftButton);
    step("application", [&] { return ui->pages->currentWidget() == detail; });

    QTest::mouseClick(ui->buttonAccount, Qt::LeftButton);
    auto* acc = ui->pageAccount->findChild<QLineEdit*>("textEditAcc");
    auto* pass = ui->pageAccount->findChild<QLineEdit*>("textEditPass");
    auto* login = ui->pageAccount->findChild<QPushButton*>("pushButton_login");
    auto* logout = ui->pageAccount->findChild<QPushButton*>("pushButton_logout");
    if (acc != nullptr && pass != nullptr && login != nullptr) {
      acc->setText(o_.account);
      pass->setText(o_.password);
      QTest::mouseClick(login, Qt::LeftButton);
    }
    step("sign-in", [&] { return logout != nullptr && logout->isVisible(); });

    store_.controller->openapp(o_.app.toStdString());
    auto* install = detail->findChild<QPushButton*>("buttonInstall");
    auto* launch = detail->findChild<QPushButton*>("buttonLaunch");
    const bool installable = install != nullptr && install->isVisible() && install->isEnabled();
    if (installable) QTest::mouseClick(install, Qt::LeftButton);
    step(
        "installing", [&] { return installable && !install->isEnabled(); }, 10000);
    step(
        "installed-application", [&] { return launch != nullptr && launch->isVisible(); }, 120000);

    QTest::mouseClick(ui->buttonInstalled, Qt::LeftButton);
    step("installed-page", [&] {
      return ui->pages->currentWidget() == ui->pageInstalled &&
             firstVisible<FrameItemV>(ui->pageInstalled) != nullptr;
    });

    // An install the store has no package for: the reason under the buttons.
    store_.controller->openapp(o_.failing_app.toStdString());
    auto* reason = detail->findChild<QLabel*>("label_reason");
    if (install != nullptr && install->isVisible() && install->isEnabled())
      QTest::mouseClick(install, Qt::LeftButton);
    step("install-failure-reason", [&] { return reason != nullptr && reason->isVisible(); });

    QTest::mouseClick(ui->buttonSetting, Qt::LeftButton);
    step("settings", [&] { return ui->pages->currentWidget() == ui->pageSetting; });
    return failed_;
  }

 private:
  void step(const char* name, const std::function<bool()>& done, int ms = 20000) {
    ++number_;
    const bool ok = waitFor(done, ms);
    // Lets pending paints and image loads land before the picture is taken.
    QTest::qWait(400);
    const QString file = QDir(o_.shots).filePath(QString::asprintf("%02d-%s.png", number_, name));
    QPixmap shot;
    if (QScreen* screen = QGuiApplication::primaryScreen()) shot = screen->grabWindow(0);
    if (shot.isNull()) shot = store_.window->grab();
    const bool saved = shot.save(file);
    std::printf("tour step %d %-22s %s  %s\n", number_, name, ok ? "ok    " : "FAILED",
                saved ? qPrintable(file) : "(no screenshot)");
    std::fflush(stdout);
    if (!ok || !saved) ++failed_;
  }

  StoreWindow& store_;
  const Options& o_;
  int number_ = 0;
  int failed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("NeltStore"));
  Options options;
  if (!parse(QApplication::arguments(), options)) {
    std::fprintf(stderr,
                 "usage: nelt-store-tour [--shots DIR] [--duration SECONDS] "
                 "[--account NAME PASSWORD] [--app SLUG]\n");
    return 2;
  }
  if (options.shots.isEmpty()) {
    options.shots = QDir::temp().filePath(
        QStringLiteral("neltstore-tour-%1").arg(QCoreApplication::applicationPid()));
  }
  if (!QDir().mkpath(options.shots)) {
    std::fprintf(stderr, "cannot create %s\n", qPrintable(options.shots));
    return 1;
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);

  // No questions here: an unreachable service ends the tour at once.
  nelt::StartupOptions startup;
  startup.run_program = [](const std::vector<std::string>&) {
    return nelt::ProcessResult{false, -1, "", ""};
  };
  nelt::StartupPrompt::queueAnswer(QMessageBox::No);
  std::unique_ptr<StoreWindow> store = startStore({}, startup);
  nelt::StartupPrompt::reset();
  if (!store) {
    std::fprintf(stderr,
                 "nelt-store-tour: no store window (service unreachable, or a store "
                 "window already runs)\n");
    return 1;
  }
  std::printf("Screenshots: %s\n", qPrintable(options.shots));
  std::fflush(stdout);
  const int failed = Tour(*store, options).run();
  std::printf("tour %s (%d step(s) failed)\n", failed == 0 ? "done" : "FAILED", failed);
  std::fflush(stdout);

  if (options.duration != 0 && !stop_requested) {
    QTimer watch;
    QElapsedTimer open;
    open.start();
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (stop_requested || (options.duration > 0 && open.elapsed() >= options.duration * 1000LL))
        QApplication::quit();
    });
    watch.start(200);
    QApplication::exec();
  }
  return failed == 0 ? 0 : 1;
}
