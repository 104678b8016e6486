#include "request_context.h"

#include <iostream>

namespace {

// The record up to its argument: socket, method and code words as sent, each
// followed by its space (the receive thread lets only single spaces between
// them through).
std::string recordHead(const std::string& record) {
  size_t at = 0;
  for (int word = 0; word < 3 && at != std::string::npos; ++word) {
    at = record.find(' ', at);
    if (at != std::string::npos) ++at;
  }
  return at == std::string::npos ? record : record.substr(0, at);
}

}  // namespace

std::string RequestContext::rawArgument() const {
  // "SOCK METHOD CODE ARGUMENT\n": everything after the code's space, less
  // the line end.
  size_t at = 0;
  for (int word = 0; word < 3; ++word) {
    at = record.find(' ', at);
    if (at == std::string::npos) return std::string();
    ++at;
  }
  std::string argument = record.substr(at);
  if (!argument.empty() && argument.back() == '\n') argument.pop_back();
  return argument;
}

std::string recordOf(int sock, const std::string& line) {
  return std::to_string(sock) + " " + line;
}

// Not flushed here: the threads flush whenever they have worked off what was
// waiting, and the dispatcher at least every few requests, so lines reach the
// log promptly without a write to it per line.
void printLine(const std::string& text) { std::cout << (text + "\n"); }

void flushLog() { std::cout.flush(); }

void echoRecord(const std::string& record, const nelt::RequestRecord& req) {
  std::string text;
  if ((req.code == REQ_LOGIN || req.code == REQ_LOGIN_D) && !req.args.empty()) {
    // The account name is useful in the log; the password never goes there.
    text = recordHead(record);
    const size_t amp = req.args[0].find('&');
    text += req.args[0].substr(0, amp);
    if (amp != std::string::npos || req.args.size() > 1) text += "&***";
    text += '\n';
  } else {
    text = record;
  }
  // Control characters would let a client forge log lines.
  for (char& c : text)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f) c = '?';
  printLine(text);
}
