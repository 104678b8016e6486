// Start-up of the store window before any widget exists: finding the store
// service through its port file, offering to start it when it does not
// answer, and the one-window-per-desktop exchange that decides whether this
// process becomes the store window or hands its request to the running one.
//
// Everything that would wait on a person or a clock (message boxes, the
// pauses between connection attempts, the program that starts the service)
// goes through a seam, so tests drive the whole sequence without waiting.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kavix_api.h"
#include "process.h"
#include "store_globals.h"

// Reads the port file at `path` and, when it holds a JSON object with an
// integer "port", stores it in _PORT_LOCAL. Anything else leaves it unchanged.
void kavix_load_port(const std::string& path);

namespace nelt {

// The start-up's message boxes. A test queues the answers it wants; while an
// answer is queued no dialog is shown and the question is recorded instead.
class StartupPrompt {
 public:
  static QMessageBox::StandardButton ask(QMessageBox::Icon icon, const QString& title,
                                         const QString& text, QMessageBox::StandardButtons buttons);
  static void queueAnswer(QMessageBox::StandardButton answer);
  // Texts of the questions answered from the queue, oldest first.
  static QStringList asked();
  static void reset();
};

// Window words of the open-window exchange.
inline constexpr const char* OPEN_WINDOW_FIRST = "@FIRST";
inline constexpr const char* OPEN_WINDOW_HOME = "@HOME";
// Show the updates page ("NeltStore --updates", the update notification).
inline constexpr const char* OPEN_WINDOW_UPDATES = "@UPDATES";

struct StartupOptions {
  std::string port_file;  // empty: the system's port file (below NELT_ROOT when set)
  // Pause between connection attempts once the service start was requested,
  // and how many failed attempts are waited for before giving up.
  std::chrono::milliseconds retry_wait{2000};
  int retry_attempts = 10;
  // Time limit of every request to the service.
  std::chrono::milliseconds request_timeout{30000};
  // Runs the program that starts the service and waits for it.
  std::function<ProcessResult(const std::vector<std::string>& argv)> run_program;
  // Blocks for the given time (the pause between attempts).
  std::function<void(std::chrono::milliseconds)> wait;
};

// The argument vector that asks the system to start the service.
std::vector<std::string> serviceStartCommand();

// Connects a service client, offering to start the service when it does not
// answer. Returns null when the program should end (the user declined, or the
// service did not come up); the caller then exits with status 0.
std::unique_ptr<KavixAPI> connectToService(const StartupOptions& options);

// The application word of the command line (the arguments after the program
// name): with exactly one argument, its text before "?" when it splits at "?"
// into exactly two non-empty pieces, otherwise the whole argument; a
// "neltstore://" link (as the desktop launcher hands it on) is reduced to the
// word it carries; "--updates" is "@UPDATES". Empty when no single argument
// was given.
std::string applicationWord(const QStringList& arguments);

// A word the open-window poll may act on: "@HOME", "@UPDATES", "@FIRST" or a
// store slug.
bool isOpenWindowWord(const std::string& word);

enum class WindowRole {
  StoreWindow,  // no store window runs: this process becomes it
  Forwarded,    // a store window runs and has been handed this start's word
};

// The one-window exchange: asks the service for the pending word. Empty (no
// store window yet): signs the store account out, registers "@FIRST" and
// returns StoreWindow. Otherwise sends `word` ("@HOME" when empty) for the
// running window and returns Forwarded. A failed question counts as no window
// running, so a broken exchange never leaves the user without a window.
WindowRole claimStoreWindow(KavixAPI& api, const std::string& word);

}  // namespace nelt
