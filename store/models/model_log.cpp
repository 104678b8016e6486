#include "model_log.h"

#include <cstdio>
#include <mutex>

namespace nelt {

namespace {

std::mutex sink_mutex;

void toStream(FILE* stream, const std::string& message) {
  std::fwrite(message.data(), 1, message.size(), stream);
  if (message.empty() || message.back() != '\n') std::fputc('\n', stream);
  std::fflush(stream);
}

LogSink& debugSink() {
  static LogSink sink = [](const std::string& m) { toStream(stderr, m); };
  return sink;
}

LogSink& consoleSink() {
  static LogSink sink = [](const std::string& m) { toStream(stdout, m); };
  return sink;
}

}  // namespace

void debugLog(const std::string& message) {
  std::lock_guard<std::mutex> lock(sink_mutex);
  if (debugSink()) debugSink()(message);
}

void consoleLog(const std::string& message) {
  std::lock_guard<std::mutex> lock(sink_mutex);
  if (consoleSink()) consoleSink()(message);
}

void setDebugLogSink(LogSink sink) {
  std::lock_guard<std::mutex> lock(sink_mutex);
  debugSink() = std::move(sink);
}

void setConsoleLogSink(LogSink sink) {
  std::lock_guard<std::mutex> lock(sink_mutex);
  consoleSink() = std::move(sink);
}

void logChatter(const std::string& err) {
  size_t start = 0;
  while (start < err.size()) {
    size_t end = err.find('\n', start);
    if (end == std::string::npos) end = err.size();
    if (end > start) debugLog(err.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace nelt
