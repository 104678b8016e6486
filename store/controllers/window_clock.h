// The clock of the window's timed texts (the notice under the menu, the
// detail page's result label): they hide themselves some seconds after they
// were shown. The real clock is Qt's timers; tests install a clock they
// advance by hand instead of waiting out the seconds.
#pragma once

#include <QObject>
#include <functional>

class WindowClock {
 public:
  virtual ~WindowClock() = default;
  // Runs `fn` in `context`'s thread `ms` milliseconds from now, unless
  // `context` is destroyed first.
  virtual void after(int ms, QObject* context, std::function<void()> fn);

  // The clock in use; the real one unless a test set another.
  static WindowClock& current();
  // Null puts the real clock back. The caller keeps ownership.
  static void set(WindowClock* clock);
};
