// Where the window's service client and package engine write their messages.
//
// `debugLog` is the window's debug stream (failure messages such as
// "Error download"); `consoleLog` is the few progress lines that go to
// standard output ("Start download", the download address). The window routes
// the first to the Qt debug stream; the command line keeps its standard output
// for results and silences both unless asked to be verbose.
#pragma once

#include <functional>
#include <string>

namespace nelt {

using LogSink = std::function<void(const std::string&)>;

void debugLog(const std::string& message);
void consoleLog(const std::string& message);
// What snap, pkexec or the helper wrote on standard error ("Warning:
// /snap/bin was not found in your $PATH" and the like) goes to the debug log
// line by line, never into a user's output: the result and its reason are the
// engine's. pkexec's password prompt uses the terminal itself, not standard
// error.
void logChatter(const std::string& err);

// Replaces a sink; an empty function discards the messages. Set them before
// any other thread logs (at start-up).
void setDebugLogSink(LogSink sink);
void setConsoleLogSink(LogSink sink);

}  // namespace nelt
