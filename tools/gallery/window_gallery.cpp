// nelt-window-gallery OUTDIR --port N [--account A --password P] [--detail SLUG]
//
// Opens the real store window on a running service (its port given), fills
// every page from the store the service talks to, and saves the whole
// window on each page as a PNG file in OUTDIR: home, a section list, a
// search, the account page signed out and signed in, the installed and
// updates pages, an application's detail page and the settings page. Prints
// the time until the home page was filled and the window's resident memory
// after it and after 50 home refreshes.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QStackedWidget>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "account_view.h"
#include "app_controller.h"
#include "frame_item_h.h"
#include "kavix_api.h"
#include "main_window.h"
#include "section_frame.h"
#include "setting_view.h"
#include "ui_account_view.h"
#include "ui_main_window.h"
#include "user_controller.h"

using nelt::window::KAVIX_SECTION_CURRENT;

namespace {

long rssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

int failures = 0;

void settle() {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

void save(MainWindow& window, const QDir& dir, const char* name) {
  settle();
  const QString path = dir.filePath(QString(name) + ".png");
  if (!window.grab().save(path, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    ++failures;
    return;
  }
  std::printf("%s\n", qPrintable(path));
}

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer clock;
  clock.start();
  QApplication application(argc, argv);
  QStringList args = application.arguments();
  auto option = [&](const QString& name) {
    const int i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : QString();
  };
  const int port = option("--port").toInt();
  if (args.size() < 2 || args.at(1).startsWith("--") || port <= 0) {
    std::fprintf(stderr,
                 "usage: nelt-window-gallery OUTDIR --port N [--account A --password P] "
                 "[--detail SLUG]\n");
    return 2;
  }
  QDir dir(args.at(1));
  if (!dir.mkpath(".")) return 1;

  KavixAPI api(port, true);
  if (api.init() != 1) {
    std::fprintf(stderr, "no store service answers on port %d\n", port);
    return 1;
  }
  MainWindow window;
  Ui_MainWindow* ui = window.ui;
  int index_page = 65535;
  UserController user;
  AppController app;
  app.setOBJECT(ui, &api, &index_page);
  user.setOBJECT(ui, &api);
  ui->pageSetting->setAPI(&api);
  ui->lbNotify->hide();
  user.control();
  app.control();
  app.user_controller_callback = &user;
  window.show();

  app.refreshHomeView();
  ui->pages->setCurrentWidget(ui->pageAll);
  settle();
  std::printf("home filled %lld ms after start, RSS %ld KiB\n",
              static_cast<long long>(clock.elapsed()), rssKiB());
  save(window, dir, "window_home");

  if (!app.sections.empty()) {
    SectionFrame* strip = app.sections.front();
    KAVIX_SECTION_CURRENT = strip->getName().toStdString() + "&" + std::to_string(strip->getID());
    app.onSectionDetailView();
    save(window, dir, "window_section");
  }
  ui->textEditSearch->setText("a");
  app.refreshListView();
  save(window, dir, "window_search");

  user.checkUserCurrent();
  ui->pages->setCurrentWidget(ui->pageAccount);
  save(window, dir, "window_account");
  const QString account = option("--account");
  if (!account.isEmpty()) {
    ui->pageAccount->ui->textEditAcc->setText(account);
    ui->pageAccount->ui->textEditPass->setText(option("--password"));
    user.onLogin();
    save(window, dir, "window_account_signed_in");
  }

  app.refreshInstalledListView();
  ui->pages->setCurrentWidget(ui->pageInstalled);
  save(window, dir, "window_installed");
  app.refreshUpdateListView();
  ui->pages->setCurrentWidget(ui->pageUpdates);
  save(window, dir, "window_updates");

  QString detail = option("--detail");
  if (detail.isEmpty() && !app.sections.empty() && !app.sections.front()->apps.empty()) {
    detail = QString::fromStdString(app.sections.front()->apps.front()->getName());
  }
  if (!detail.isEmpty()) {
    app.refreshDetailView(detail.toStdString(), TYPE_UNKNOW);
    save(window, dir, "window_detail");
  }

  ui->pageSetting->setPayment(user.isPayment());
  std::string settings;
  if (api.getSetting(settings) != 0 && api.ierr != 200) settings = "{}";
  ui->pageSetting->setSetting(settings);
  ui->pages->setCurrentWidget(ui->pageSetting);
  save(window, dir, "window_settings");

  for (int i = 0; i < 50; ++i) {
    app.flag_refresh = true;
    app.refreshHomeView();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  std::printf("RSS after 50 home refreshes %ld KiB\n", rssKiB());
  return failures == 0 ? 0 : 1;
}
