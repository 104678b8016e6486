// One store window per desktop, the running window's half: every interval
// it asks the service for the word a later start of the store left
// ("@HOME" or an application), and registers again when the service has
// forgotten this window. The later start's half is in `startup` (it hands
// its word to the service and ends).
//
// Each question costs one send and, when the socket notifier reports the
// reply, one read, both on the event loop's thread: nothing waits and no
// thread is involved.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <chrono>
#include <string>

class KavixAPI;
class QSocketNotifier;
class QTimer;

class OpenWindowPoll : public QObject {
  Q_OBJECT
 public:
  explicit OpenWindowPoll(QObject* parent = nullptr);
  ~OpenWindowPoll() override;

  void setClient(KavixAPI* client) { api = client; }
  void setInterval(std::chrono::milliseconds interval);
  // Starts asking every interval.
  void start();
  // Stops asking; a reply still under way is not read.
  void stop();
  // Asks every interval again after `stop`.
  void resume();
  // Asks once, unless a question is under way or `holding`.
  void check();
  // While held (a word is being acted on) no new question is asked.
  void hold(bool on) { holding = on; }

 signals:
  // The service answered with a word (possibly empty).
  void wordArrived(const std::string& word);
  // The service could not be asked (it is not running, or went away).
  void unanswered();

 private:
  enum Awaited { NOTHING, WORD, REGISTERED };
  void _onReadable();
  // Watches the open-window socket (a new one after a reconnection).
  bool _watch();
  void _unwatch();

  KavixAPI* api = nullptr;
  QTimer* timer = nullptr;
  std::chrono::milliseconds interval{1000};
  QSocketNotifier* notifier = nullptr;
  int watched_fd = -1;
  // The reply under way; while one is, further ticks are skipped instead of
  // queueing behind it, until the client's time limit gives it up.
  Awaited awaited = NOTHING;
  QElapsedTimer asked;
  bool holding = false;
};
