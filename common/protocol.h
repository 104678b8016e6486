// The local request protocol shared by KavixService and NeltStore: request
// codes, client kinds, methods, status words, reply framing and the parsing of
// request lines. Nothing here touches sockets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum REQUEST_ID {
  REQ_INFO = 0,
  REQ_LOGIN = 1,
  REQ_LOGOUT = 2,
  REQ_SECTIONS = 3,
  REQ_SEARCH = 4,
  REQ_GETTOKEN = 5,
  REQ_LISTINSTALLED = 6,
  REQ_LISTUPDATE = 7,
  REQ_GETKEY = 8,
  REQ_LISTAPPS = 9,
  REQ_GETACCCURENT = 10,
  REQ_LOGIN_D = 11,
  REQ_LOGOUT_D = 12,
  REQ_CHECKKEY_D = 13,
  REQ_LISTAPPS_D = 14,
  REQ_TEST_LISTAPPS = 15,
  REQ_TEST_DETAILAPP = 16,
  REQ_GETHOST = 17,
  REQ_CHECKOPENWINDOW = 18,
  REQ_SETOPENWINDOW = 19,
  REQ_SAVE_SETTING = 20,
  REQ_GET_SETTING = 21,
};

enum CLIENT_ID {
  CLI_UNKNOW = 0,
  CLI_IS_USER = 1,
  CLI_IS_DEV = 2,
};

enum METHOD_ID {
  POST_METHOD = 0,
  GET_METHOD = 1,
  PUT_METHOD = 2,
};

namespace nelt {

inline constexpr const char* STATUS_OK = "200";
inline constexpr const char* STATUS_FAILED = "8888";
inline constexpr const char* STATUS_NO_TOKEN = "9998";
inline constexpr const char* STATUS_NO_CODE = "9999";
inline constexpr const char* STATUS_TOKEN_INVALID = "8001";

inline constexpr const char* CLIENT_NATIVE_STORE = "NativeStore";
inline constexpr const char* CLIENT_CREATOR_TOOL = "CreatorTool";

// Largest request line (line feed included) a connection may send.
inline constexpr size_t MAX_REQUEST_LINE = 1024;

// The method word of a METHOD_ID followed by its space ("POST ", "GET ", "PUT ").
const char* methodWord(METHOD_ID method);

// One request line: method word, space, decimal code, space, argument, line feed.
std::string buildRequestLine(METHOD_ID method, int code, const std::string& argument);

// A reply on the wire: 4-byte little-endian length, then the text.
std::string frameReply(const std::string& text);
// Reply text: status word, space, data, line feed.
std::string replyText(const std::string& status, const std::string& data);

// Reads the 4-byte little-endian length at p.
int32_t readLength(const unsigned char* p);

// Splits a received reply text (status, space, data, line feed) into status
// word and data, as the client reads it. Returns false when there is no status.
bool splitReplyText(const std::string& text, std::string& status, std::string& data,
                    bool& has_data);

// Reassembles a byte stream into request lines. Each complete line, its line
// feed included, is one request. A line longer than MAX_REQUEST_LINE bytes
// (line feed included) puts the assembler into the overflow state.
class RequestAssembler {
 public:
  // Appends bytes; complete lines are appended to `lines`. Returns false once
  // the connection has overflowed (then nothing more is produced).
  bool feed(const char* data, size_t len, std::vector<std::string>& lines);
  bool overflowed() const { return overflow_; }
  size_t pending() const { return buf_.size(); }

 private:
  std::string buf_;
  bool overflow_ = false;
};

// True when `line` is a request of this protocol: first word "GET", "POST" or
// "PUT", second word a decimal code, separated by single spaces.
bool isProtocolRequestLine(const std::string& line);

// A queued request record: socket number, space, request line.
struct RequestRecord {
  int sock = -1;
  std::string method;
  int code = 0;
  std::vector<std::string> args;  // words 3 and onwards
};

// Splits a record into words at spaces and line feeds (empty words dropped).
// Returns false when the record has fewer than three words.
bool parseRequestRecord(const std::string& record, RequestRecord& out);

// Reads a decimal integer the way atoi does (leading blanks, sign, digits).
int atoiLike(const std::string& text);

}  // namespace nelt

// Splits `text` at every character of `delimiters`, drops empty pieces and
// appends the pieces in order. Keeps no state between calls.
void stringtok(const std::string& text, const char* delimiters, std::vector<std::string>& pieces);
