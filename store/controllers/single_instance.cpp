#include "single_instance.h"

#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include "kavix_api.h"
#include "startup.h"

OpenWindowPoll::OpenWindowPoll(QObject* parent) : QObject(parent) {
  connect(&watcher, &QFutureWatcher<PollResult>::finished, this, &OpenWindowPoll::_onAnswer);
}

OpenWindowPoll::~OpenWindowPoll() { stop(); }

void OpenWindowPoll::setInterval(std::chrono::milliseconds value) {
  interval = value;
  if (timer != nullptr) timer->setInterval(static_cast<int>(interval.count()));
}

void OpenWindowPoll::start() {
  timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this, &OpenWindowPoll::check);
  timer->start(static_cast<int>(interval.count()));
}

void OpenWindowPoll::resume() {
  if (timer == nullptr) {
    start();
    return;
  }
  timer->start(static_cast<int>(interval.count()));
}

void OpenWindowPoll::stop() {
  if (timer != nullptr) timer->stop();
  watcher.waitForFinished();
}

void OpenWindowPoll::check() {
  if (api == nullptr || holding || watcher.isRunning()) return;
  KavixAPI* client = api;
  watcher.setFuture(QtConcurrent::run([client]() {
    PollResult result;
    // A question that got no answer in time costs the connection; a new one
    // is opened for the next tick (the service then has forgotten this
    // window and answers with the empty word).
    if (client->reopenOpenWindow() != 0) return result;
    result.status = client->checkOpenWindow(result.word);
    // An empty word: the service no longer knows this window (its
    // connections were renewed, or it restarted). Registering again lets
    // later starts find it instead of opening a second window.
    if (result.status == 0 && result.word.empty()) client->setOpenWindow(nelt::OPEN_WINDOW_FIRST);
    return result;
  }));
}

void OpenWindowPoll::_onAnswer() {
  const PollResult result = watcher.result();
  if (result.status != 0) {
    emit unanswered();
    return;
  }
  emit wordArrived(result.word);
}
