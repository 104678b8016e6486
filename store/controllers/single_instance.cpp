#include "single_instance.h"

#include <QSocketNotifier>
#include <QTimer>

#include "kavix_api.h"
#include "startup.h"

OpenWindowPoll::OpenWindowPoll(QObject* parent) : QObject(parent) {}

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
  _unwatch();
  awaited = NOTHING;
}

bool OpenWindowPoll::_watch() {
  const int fd = api->openWindowSocket();
  if (fd < 0) {
    _unwatch();
    return false;
  }
  if (notifier != nullptr && watched_fd == fd) return true;
  _unwatch();
  watched_fd = fd;
  notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, &OpenWindowPoll::_onReadable);
  return true;
}

void OpenWindowPoll::_unwatch() {
  // Before the socket is closed: a notifier must never watch a closed one.
  delete notifier;
  notifier = nullptr;
  watched_fd = -1;
}

void OpenWindowPoll::check() {
  if (api == nullptr) return;
  if (awaited != NOTHING) {
    const auto limit = api->receiveTimeout();
    if (limit.count() == 0 || asked.elapsed() < limit.count()) return;
    // A question that got no answer in time costs the connection; a new one
    // is opened for a later tick (the service then has forgotten this
    // window and answers with the empty word).
    _unwatch();
    api->dropOpenWindow();
    awaited = NOTHING;
    emit unanswered();
    return;
  }
  if (holding) return;
  if (api->reopenOpenWindow() != 0 || !_watch() ||
      api->sendOpenWindowRequest(false, std::string()) != 0) {
    emit unanswered();
    return;
  }
  awaited = WORD;
  asked.start();
}

void OpenWindowPoll::_onReadable() {
  const Awaited was = awaited;
  awaited = NOTHING;
  std::string word;
  // A readable socket with no question under way: the service closed it
  // (the read fails and closes ours) or sent something unasked for.
  if (notifier != nullptr) notifier->setEnabled(false);
  const int r = api->readOpenWindowReply(word);
  if (r != 0) {
    if (api->openWindowSocket() < 0)
      _unwatch();
    else if (notifier != nullptr)
      notifier->setEnabled(true);
    // The service went away (it closed the connection) while it was asked.
    if (was != NOTHING) emit unanswered();
    return;
  }
  if (notifier != nullptr) notifier->setEnabled(true);
  if (was != WORD) return;
  // An empty word: the service no longer knows this window (its
  // connections were renewed, or it restarted). Registering again lets
  // later starts find it instead of opening a second window.
  if (word.empty() && api->sendOpenWindowRequest(true, nelt::OPEN_WINDOW_FIRST) == 0) {
    awaited = REGISTERED;
    asked.start();
  }
  emit wordArrived(word);
}
