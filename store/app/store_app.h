// The store window program without its event loop: start-up, the
// one-window exchange, and the window with its controllers. `main` runs the
// event loop around it; tests drive the same sequence with the start-up seams.
#pragma once

#include <QStringList>
#include <memory>

#include "kavix_api.h"
#include "main_controller.h"
#include "main_window.h"
#include "startup.h"

struct StoreWindow {
  // Destroyed in reverse order: the controller before the window, the client
  // last.
  std::unique_ptr<KavixAPI> api;
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<MainController> controller;
};

// Gives Qt's own texts (standard buttons, text field menus) in Vietnamese,
// once per process: the system's Qt translations when they hold Vietnamese
// (true), and the window's own table of the texts it shows in any case.
bool loadQtTranslations();

// Turns off Qt's network interface scan (every 10 s on a thread of its own,
// for the first network access manager): the window only talks to the store
// server and the service, and idles without waking. A value the user set in
// QT_BEARER_POLL_TIMEOUT stays. Call before the QApplication exists, while
// the process has one thread (it sets an environment variable).
void quietNetworkPolling();

// Connects to the service and claims the store window. Null when the process
// ends without a window (the service could not be reached, or a running store
// window was handed this start's request); the exit status is then 0.
// Otherwise the window is built and wired, the argument's application opened,
// and the window shown.
std::unique_ptr<StoreWindow> startStore(const QStringList& arguments,
                                        const nelt::StartupOptions& options = {});
