// The update watcher of `nelt-notify`: asks the store service for updates at
// start and then once per interval, and shows one desktop notification
// (freedesktop notification service on the session bus) when updates appear
// that it has not shown before. Its default action opens the store window on
// the updates page.
//
// Between checks nothing runs: one single-shot timer waits for the next
// check, and the check itself (which waits on the service) runs on a worker
// so the bus stays answered meanwhile.
#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <string>
#include <vector>

#include "update_check.h"

class QDBusPendingCallWatcher;

namespace nelt::notify {

struct NotifierOptions {
  std::chrono::milliseconds interval{std::chrono::hours(6)};
  // First wait after a failed check; it doubles after each further failure
  // up to `interval`.
  std::chrono::milliseconds first_retry{std::chrono::minutes(1)};
  std::chrono::milliseconds request_timeout{std::chrono::seconds(30)};
  // The store window's program; empty: NeltStore next to this program, else
  // /usr/bin/NeltStore.
  QString store_program;
};

// The summary text of the notification for `count` updates.
QString summaryText(int count);

class UpdateNotifier : public QObject {
  Q_OBJECT
 public:
  explicit UpdateNotifier(const NotifierOptions& options, QObject* parent = nullptr);

  // Subscribes to the notification service's signals and runs the first
  // check at once. False when the session bus cannot be reached.
  bool start();
  // The program the default action runs.
  QString storeProgram() const;

 private slots:
  void onActionInvoked(uint id, const QString& action_key);
  void onNotificationClosed(uint id, uint reason);

 private:
  struct Outcome {
    CheckResult result = CheckResult::Unreachable;
    std::vector<PendingUpdate> updates;
    std::string reason;
  };
  void _check();
  void _onChecked();
  void _post(const std::vector<PendingUpdate>& updates);
  void _onPosted(QDBusPendingCallWatcher* call, const std::vector<PendingUpdate>& updates);
  void _schedule(std::chrono::milliseconds delay);
  void _openStore();

  NotifierOptions options;
  QTimer timer;
  QFutureWatcher<Outcome> check_watcher;
  // The updates at the last check (or the last shown, when showing failed):
  // a later check that finds nothing beyond these stays silent.
  std::vector<PendingUpdate> known;
  // The id of the notification on screen, 0 when none; a new one replaces it.
  uint notification_id = 0;
  // A Notify call is under way; its answer decides what is known, so a
  // check that ends meanwhile does not post the same updates again.
  bool posting = false;
  std::chrono::milliseconds retry_delay{0};
  bool reported_failure = false;
};

}  // namespace nelt::notify
