// "Cập nhật tất cả" on the updates page: starts the engine's update of every
// application listed there (one authorisation for all), paints its progress
// per application and overall, and at the end what was updated and what
// failed; then the installed and updates pages are rebuilt.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "kavix_model.h"

class QTimer;
class UpdateAllPanel;
class ListAppsView;

class UpdateAllFlow : public QObject {
  Q_OBJECT
 public:
  struct Hooks {
    // The applications the updates page lists with an update, in its order.
    std::function<std::vector<std::string>()> updates;
    // A single install runs: the batch waits for it rather than hold the window.
    std::function<bool()> busy;
    // Nobody is signed in: show the account page.
    std::function<void()> signed_out;
    // The batch is over: rebuild the installed and updates pages.
    std::function<void()> finished;
  };

  explicit UpdateAllFlow(Hooks hooks);

  // Puts the bar on `updates_page` and creates the progress timer; once.
  void setup(ListAppsView* updates_page, KavixModel* model);
  // The updates page was rebuilt with `count` updates.
  void updatesShown(int count);
  // Starts the batch (the button's press).
  void start();
  // Reads the engine's batch and paints it.
  void poll();

  // Vietnamese line of one application of the batch.
  static QString appLine(const KavixModel::BatchApp& app);

  UpdateAllPanel* panel = nullptr;
  QTimer* timer = nullptr;

 signals:
  // The batch has ended and its summary is shown.
  void batchFinished(int updated, int failed);

 private:
  Hooks hooks;
  KavixModel* model = nullptr;
  bool running = false;
};
