// Installing, updating, removing and launching from the window: the package
// engine, the progress timer of the install under way and the states the
// detail page shows for it. One install at a time; remove and launch wait
// on the engine off the GUI thread (a pkexec prompt can wait for minutes).
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <string>
#include <thread>

class DetailPage;
class KavixModel;
class QTimer;
class ServiceClient;
class Ui_MainWindow;

class InstallFlow : public QObject {
  Q_OBJECT
 public:
  // What the flow asks of the rest of the window. `detail_name` names the
  // application the detail page shows.
  struct Hooks {
    const std::string* detail_name = nullptr;
    // An install ended well (the lists are rebuilt, and the detail page
    // too when `shown`: the application's own page is on screen).
    std::function<void(const std::string& slug, bool shown)> installed;
    // A remove ended well; `same_page` when the detail page shows it.
    std::function<void(const std::string& slug, bool same_page)> removed;
  };

  InstallFlow(DetailPage& detail, Hooks hooks);
  ~InstallFlow() override;

  void setObjects(Ui_MainWindow* ui, ServiceClient* api);
  // Creates the progress timer; once.
  void setup();

  // Starts installing (or updating) the application the detail page names.
  void start(bool update);
  // Reads the engine's progress and paints it.
  void poll();
  // Paints a progress state of the engine (0..100 downloading, 102
  // installing, 200 installed, 101 or negative failed).
  void showState(int state);
  // Cancels the install under way while it still downloads or unpacks
  // (the "Hủy" button beside the progress bar, shown only then).
  void cancel();
  void remove();
  void launch();

  // The application whose install runs; empty when none does.
  const std::string& installingName() const { return name_installing; }

  KavixModel* model;
  QTimer* timer_install = nullptr;
  int per_download = 0;

 signals:
  void removeFinished(int result);
  void launchFinished(int result);

 private:
  void runEngine(std::function<int()> call, std::function<void(int)> done);
  void engineStep(const QString& label, bool label_at_once, int (KavixModel::*call)(std::string),
                  void (InstallFlow::*done)(const std::string&, int));
  void disableInstalledButtons(int line);
  void failed();
  // Winds up a job the engine reports ended (`state` installed or failed):
  // painted on the application's page when that is shown, quietly
  // otherwise. False while the job runs.
  bool settle(int state);
  // The detail page is on screen and shows the application being installed.
  bool shown() const;
  // Shows "Hủy" while the detail page shows the install under way and the
  // engine can still cancel it.
  void updateCancelButton();
  void removeDone(const std::string& slug, int r);
  void launchDone(const std::string& slug, int r);

  DetailPage& detail;
  Hooks hooks;
  Ui_MainWindow* ui = nullptr;
  std::string name_installing;
  double size_installing = 0;
  bool installing_update = false;
  bool engine_busy = false;
  std::thread engine_thread;
};
