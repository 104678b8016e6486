// A window clock moved by the test: the timed texts' hiding runs when the
// test advances the clock past it, not after seconds of waiting.
#pragma once

#include <QPointer>
#include <functional>
#include <map>

#include "window_clock.h"

class ManualClock : public WindowClock {
 public:
  void after(int ms, QObject* context, std::function<void()> fn) override {
    due.emplace(now + ms, Pending{QPointer<QObject>(context), std::move(fn)});
  }
  void advance(int ms) {
    now += ms;
    while (!due.empty() && due.begin()->first <= now) {
      Pending p = due.begin()->second;
      due.erase(due.begin());
      if (!p.context.isNull()) p.fn();
    }
  }

 private:
  struct Pending {
    QPointer<QObject> context;
    std::function<void()> fn;
  };
  long long now = 0;
  std::multimap<long long, Pending> due;
};
