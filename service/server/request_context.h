// One request on its way through the service: made once when the request is
// taken off its connection's queue (or answered on receipt) and handed to
// whatever answers it.
#pragma once

#include <cstdint>
#include <string>

#include "peer_uid.h"
#include "protocol.h"

struct RequestContext {
  // The connection it came on. Socket numbers are reused by the system; the
  // connection number is not, so a reply never goes to a later connection
  // on the same socket.
  int sock = -1;
  uint64_t conn_id = 0;
  nelt::PeerUid peer;  // who opened the connection, looked up at accept
  std::string record;  // "SOCK LINE" as received, line end included
  nelt::RequestRecord req;

  // The argument exactly as sent: everything after the code's space, less
  // the line end.
  std::string rawArgument() const;
};

// What a handler answers: the status word and the reply data.
struct Reply {
  std::string status;
  std::string data;
};

// The record the dispatcher works from: the socket number, a space and the
// request line as received.
std::string recordOf(int sock, const std::string& line);

// Writes the record to the log as the service echoes every request: the
// password of a sign-in masked, control characters replaced.
void echoRecord(const std::string& record, const nelt::RequestRecord& req);

// One write per line, so lines of the threads never interleave; flushed by
// flushLog.
void printLine(const std::string& text);
void flushLog();
