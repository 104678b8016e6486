#include "off_thread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <atomic>
#include <thread>

int waitOffThread(const std::function<int()>& exchange) {
  QEventLoop loop;
  std::atomic<bool> done{false};
  int result = -1;
  std::thread worker([&] {
    result = exchange();
    done = true;
    // Posted to the loop: it ends once it runs, also when it starts later.
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  if (!done) loop.exec(QEventLoop::ExcludeUserInputEvents);
  // The loop also ends when the application quits: the exchange's reply
  // still belongs to the caller, so its thread is waited for.
  worker.join();
  return result;
}

void turnEventLoop() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }
