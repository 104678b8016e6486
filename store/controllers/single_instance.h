// One store window per desktop, the running window's half: every interval
// it asks the service, off the event loop, for the word a later start of
// the store left ("@HOME" or an application), and registers again when the
// service has forgotten this window. The later start's half is in
// `startup` (it hands its word to the service and ends).
#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <chrono>
#include <string>

class KavixAPI;
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
  // Stops asking and waits for the question under way; it ends within the
  // client's request time limit.
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
  struct PollResult {
    int status = -1;
    std::string word;
  };
  void _onAnswer();

  KavixAPI* api = nullptr;
  QTimer* timer = nullptr;
  std::chrono::milliseconds interval{1000};
  // While one question is under way further ticks are skipped instead of
  // queueing behind it.
  QFutureWatcher<PollResult> watcher;
  bool holding = false;
};
