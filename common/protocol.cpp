#include "protocol.h"

#include <cctype>
#include <climits>
#include <cstring>

void stringtok(const std::string& text, const char* delimiters, std::vector<std::string>& pieces) {
  size_t start = 0;
  const size_t n = text.size();
  while (start < n) {
    size_t stop = text.find_first_of(delimiters, start);
    if (stop == std::string::npos) stop = n;
    if (stop > start) pieces.emplace_back(text, start, stop - start);
    start = stop + 1;
  }
}

namespace nelt {

const char* methodWord(METHOD_ID method) {
  switch (method) {
    case POST_METHOD:
      return "POST ";
    case GET_METHOD:
      return "GET ";
    case PUT_METHOD:
      return "PUT ";
  }
  return "GET ";
}

std::string buildRequestLine(METHOD_ID method, int code, const std::string& argument) {
  std::string line = methodWord(method);
  line += std::to_string(code);
  line += ' ';
  line += argument;
  line += '\n';
  return line;
}

std::string frameReply(const std::string& text) {
  const uint32_t len = static_cast<uint32_t>(text.size());
  std::string out;
  out.reserve(text.size() + 4);
  out.push_back(static_cast<char>(len & 0xff));
  out.push_back(static_cast<char>((len >> 8) & 0xff));
  out.push_back(static_cast<char>((len >> 16) & 0xff));
  out.push_back(static_cast<char>((len >> 24) & 0xff));
  out += text;
  return out;
}

std::string replyText(const std::string& status, const std::string& data) {
  std::string text = status;
  text += ' ';
  text += data;
  text += '\n';
  return text;
}

int32_t readLength(const unsigned char* p) {
  const uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                     (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  return static_cast<int32_t>(v);
}

bool splitReplyText(const std::string& text, std::string& status, std::string& data,
                    bool& has_data) {
  status.clear();
  data.clear();
  has_data = false;
  if (text.empty()) return false;
  std::string body = text.substr(0, text.size() - 1);  // drop the line feed
  size_t i = 0;
  while (i < body.size() && body[i] == ' ') ++i;
  size_t end = body.find(' ', i);
  if (end == std::string::npos) end = body.size();
  status = body.substr(i, end - i);
  if (status.empty()) return false;
  if (end < body.size() && end + 1 < body.size()) {
    data = body.substr(end + 1);
    has_data = true;
  }
  return true;
}

bool RequestAssembler::feed(const char* data, size_t len, std::vector<std::string>& lines) {
  if (overflow_) return false;
  buf_.append(data, len);
  size_t start = 0;
  for (;;) {
    size_t nl = buf_.find('\n', start);
    if (nl == std::string::npos) break;
    if (nl - start + 1 > MAX_REQUEST_LINE) {
      overflow_ = true;
      buf_.clear();
      return false;
    }
    lines.emplace_back(buf_, start, nl - start + 1);
    start = nl + 1;
  }
  buf_.erase(0, start);
  if (buf_.size() >= MAX_REQUEST_LINE) {
    overflow_ = true;
    buf_.clear();
    return false;
  }
  return true;
}

bool isProtocolRequestLine(const std::string& line) {
  size_t sp = line.find(' ');
  if (sp == std::string::npos) return false;
  const std::string method = line.substr(0, sp);
  if (method != "GET" && method != "POST" && method != "PUT") return false;
  size_t i = sp + 1;
  size_t digits = 0;
  while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) {
    ++i;
    ++digits;
  }
  if (digits == 0 || digits > 9) return false;
  // The code ends the line or is followed by its separating space.
  return i == line.size() || line[i] == ' ' || line[i] == '\n' ||
         (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n');
}

int atoiLike(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool neg = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    neg = text[i] == '-';
    ++i;
  }
  long long v = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
    ++i;
  }
  if (neg) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return static_cast<int>(v);
}

bool parseRequestRecord(const std::string& record, RequestRecord& out) {
  std::vector<std::string> words;
  stringtok(record, " \n", words);
  if (words.size() < 3) return false;
  out.sock = atoiLike(words[0]);
  out.method = words[1];
  out.code = atoiLike(words[2]);
  out.args.assign(words.begin() + 3, words.end());
  return true;
}

}  // namespace nelt
