#include "notifier.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QProcess>
#include <QVariantMap>
#include <QtConcurrent>
#include <algorithm>
#include <cstdio>

namespace nelt::notify {

namespace {

const QString NOTIFY_SERVICE = QStringLiteral("org.freedesktop.Notifications");
const QString NOTIFY_PATH = QStringLiteral("/org/freedesktop/Notifications");
const QString NOTIFY_INTERFACE = QStringLiteral("org.freedesktop.Notifications");
const QString DEFAULT_ACTION = QStringLiteral("default");
// At most this many application names in the body; the count is in the
// summary anyway.
constexpr int MAX_NAMES_SHOWN = 5;

void logLine(const std::string& text) {
  std::fprintf(stderr, "nelt-notify: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace

QString summaryText(int count) { return QStringLiteral("%1 ứng dụng có bản cập nhật").arg(count); }

UpdateNotifier::UpdateNotifier(const NotifierOptions& opts, QObject* parent)
    : QObject(parent), options(opts) {
  timer.setSingleShot(true);
  connect(&timer, &QTimer::timeout, this, &UpdateNotifier::_check);
  connect(&check_watcher, &QFutureWatcher<Outcome>::finished, this, &UpdateNotifier::_onChecked);
  retry_delay = std::min(options.first_retry, options.interval);
}

bool UpdateNotifier::start() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  // The notification service's signals go to every client; only those about
  // this program's own notification are acted on.
  bus.connect(NOTIFY_SERVICE, NOTIFY_PATH, NOTIFY_INTERFACE, QStringLiteral("ActionInvoked"), this,
              SLOT(onActionInvoked(uint, QString)));
  bus.connect(NOTIFY_SERVICE, NOTIFY_PATH, NOTIFY_INTERFACE, QStringLiteral("NotificationClosed"),
              this, SLOT(onNotificationClosed(uint, uint)));
  _schedule(std::chrono::milliseconds(0));
  return true;
}

QString UpdateNotifier::storeProgram() const {
  if (!options.store_program.isEmpty()) return options.store_program;
  const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/NeltStore");
  const QFileInfo info(beside);
  if (info.isFile() && info.isExecutable()) return beside;
  return QStringLiteral("/usr/bin/NeltStore");
}

void UpdateNotifier::_schedule(std::chrono::milliseconds delay) {
  timer.start(static_cast<int>(delay.count()));
}

void UpdateNotifier::_check() {
  const std::chrono::milliseconds timeout = options.request_timeout;
  check_watcher.setFuture(QtConcurrent::run([timeout]() {
    Outcome outcome;
    outcome.result = fetchUpdates(timeout, outcome.updates, outcome.reason);
    return outcome;
  }));
}

void UpdateNotifier::_onChecked() {
  const Outcome outcome = check_watcher.result();
  if (outcome.result != CheckResult::Ok) {
    // The service is down or restarting (after an upgrade, at boot before
    // it listens): ask again soon, then less and less often.
    if (!reported_failure) logLine(outcome.reason + "; asking again later");
    reported_failure = true;
    _schedule(retry_delay);
    retry_delay = std::min(retry_delay * 2, options.interval);
    return;
  }
  if (reported_failure) logLine("the store service answers again");
  reported_failure = false;
  retry_delay = std::min(options.first_retry, options.interval);
  if (posting) {
    // Decided when the notification service answers.
  } else if (!outcome.updates.empty() && hasNews(known, outcome.updates)) {
    _post(outcome.updates);
  } else {
    known = outcome.updates;
  }
  _schedule(options.interval);
}

void UpdateNotifier::_post(const std::vector<PendingUpdate>& updates) {
  QStringList names;
  for (const PendingUpdate& u : updates) {
    if (names.size() == MAX_NAMES_SHOWN) {
      names.append(QStringLiteral("…"));
      break;
    }
    // Slugs are checked names (letters, digits, ".", "_", "-"), so nothing
    // in the body can read as markup.
    names.append(QString::fromStdString(u.slug));
  }
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("neltstore"));
  QDBusMessage call =
      QDBusMessage::createMethodCall(NOTIFY_SERVICE, NOTIFY_PATH, NOTIFY_INTERFACE, "Notify");
  call << QStringLiteral("NeltStore") << notification_id << QStringLiteral("neltstore")
       << summaryText(static_cast<int>(updates.size())) << names.join(QStringLiteral(", "))
       << QStringList{DEFAULT_ACTION, QStringLiteral("Xem các bản cập nhật")} << hints
       << static_cast<int>(-1);
  posting = true;
  auto* watcher =
      new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 10000), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, updates](QDBusPendingCallWatcher* w) { _onPosted(w, updates); });
}

void UpdateNotifier::_onPosted(QDBusPendingCallWatcher* call,
                               const std::vector<PendingUpdate>& updates) {
  call->deleteLater();
  posting = false;
  QDBusPendingReply<uint> reply = *call;
  if (reply.isError()) {
    // No notification service (yet): the same updates are news at the next
    // check.
    logLine("cannot show the notification: " + reply.error().message().toStdString());
    return;
  }
  notification_id = reply.value();
  known = updates;
}

void UpdateNotifier::onActionInvoked(uint id, const QString& action_key) {
  if (id == 0 || id != notification_id || action_key != DEFAULT_ACTION) return;
  _openStore();
}

void UpdateNotifier::onNotificationClosed(uint id, uint) {
  if (id != 0 && id == notification_id) notification_id = 0;
}

void UpdateNotifier::_openStore() {
  // Started directly with its argument, never through a shell. A store
  // window that already runs is handed the request and comes to the front.
  const QString program = storeProgram();
  if (!QProcess::startDetached(program, {QStringLiteral("--updates")}))
    logLine("cannot start " + program.toStdString());
}

}  // namespace nelt::notify
