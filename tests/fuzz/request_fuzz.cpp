// Feeds arbitrary bytes, cut into arbitrary reads, through what the request
// server runs on everything a client sends: the request-line reassembly, the
// check that a line is a request of this protocol (the first other line ends
// the connection) and the parsing of each line's record ("SOCK LINE"), which
// the receive thread does for every line it got (to spot open-window
// requests) and the dispatcher again for each request it answers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// False when the line ends the connection.
bool checkLine(const std::string& line) {
  check(!line.empty() && line.back() == '\n');
  check(line.size() <= nelt::MAX_REQUEST_LINE);
  check(line.find('\n') == line.size() - 1);
  const std::string record = "7 " + line;
  nelt::RequestRecord any;
  if (nelt::parseRequestRecord(record, any)) check(any.sock == 7);
  if (!nelt::isProtocolRequestLine(line)) return false;
  nelt::RequestRecord req;
  check(nelt::parseRequestRecord(record, req));
  check(req.sock == 7);
  check(req.method == "GET" || req.method == "POST" || req.method == "PUT");
  check(req.code >= 0);
  for (const auto& word : req.args)
    check(!word.empty() && word.find(' ') == std::string::npos &&
          word.find('\n') == std::string::npos);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte sets the size of each read, as recv would cut them: 1 to
  // 64 bytes, or (from 192 on) whole reads of the server's buffer.
  const size_t step = data[0] >= 192 ? nelt::MAX_REQUEST_LINE : 1 + data[0] % 64;
  ++data;
  --size;
  nelt::RequestAssembler assembler;
  std::vector<std::string> lines;
  size_t total_in_lines = 0;
  for (size_t off = 0; off < size; off += step) {
    const size_t n = size - off < step ? size - off : step;
    const size_t before = lines.size();
    const bool alive = assembler.feed(reinterpret_cast<const char*>(data) + off, n, lines);
    for (size_t i = before; i < lines.size(); ++i) {
      if (!checkLine(lines[i])) return 0;
      total_in_lines += lines[i].size();
    }
    if (!alive) {
      check(assembler.overflowed());
      return 0;
    }
    check(assembler.pending() < nelt::MAX_REQUEST_LINE);
  }
  // Every byte fed is either in a line or still waiting for its line feed.
  check(total_in_lines + assembler.pending() == size);
  return 0;
}
