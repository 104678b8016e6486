// Feeds arbitrary bytes, cut into arbitrary reads, through the request-line
// reassembly and the record parsing that the request server runs on
// everything a client sends.
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

void checkLine(const std::string& line) {
  check(!line.empty() && line.back() == '\n');
  check(line.size() <= nelt::MAX_REQUEST_LINE);
  check(line.find('\n') == line.size() - 1);
  if (!nelt::isProtocolRequestLine(line)) return;
  nelt::RequestRecord record;
  check(nelt::parseRequestRecord("7 " + line, record));
  check(record.sock == 7);
  check(record.method == "GET" || record.method == "POST" || record.method == "PUT");
  check(record.code >= 0);
  for (const auto& word : record.args)
    check(!word.empty() && word.find(' ') == std::string::npos &&
          word.find('\n') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte sets the size of each read (as recv would cut them).
  const size_t step = 1 + data[0] % 64;
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
      checkLine(lines[i]);
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
  // Any record, well-formed or not, parses without harm.
  nelt::RequestRecord record;
  nelt::parseRequestRecord(std::string(reinterpret_cast<const char*>(data), size), record);
  return 0;
}
