#include "window_clock.h"

#include <QTimer>

namespace {

WindowClock real_clock;
WindowClock* clock_in_use = &real_clock;

}  // namespace

void WindowClock::after(int ms, QObject* context, std::function<void()> fn) {
  QTimer::singleShot(ms, context, std::move(fn));
}

WindowClock& WindowClock::current() { return *clock_in_use; }

void WindowClock::set(WindowClock* clock) { clock_in_use = clock != nullptr ? clock : &real_clock; }
