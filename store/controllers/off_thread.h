// Waiting for a service exchange without freezing the window.
#pragma once

#include <functional>

// Runs `exchange` on a thread of its own and returns its result. Meanwhile
// the event loop keeps painting and runs its timers and socket notifiers;
// keyboard and mouse input waits until the exchange is done, so no second
// page build can start from a click in between. For the exchanges that take
// tens of milliseconds: the installed list (the service lists the snaps
// first), a section's or a search's applications (thousands of entries,
// parsed on that thread). `exchange` must not touch widgets.
int waitOffThread(const std::function<int()>& exchange);

// Lets the event loop run what is due now (paints, timers, socket
// notifiers), again without keyboard and mouse input, between the steps of
// a build on the GUI thread.
void turnEventLoop();
