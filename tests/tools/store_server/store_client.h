// A small HTTP(S) client for the store server tests: any method, extra
// request headers, a trusted certificate, and the reply's status, headers
// and body.
#pragma once

#include <rapidjson/document.h>

#include <string>
#include <vector>

namespace nelt::test {

struct HttpReply {
  int status = -1;  // HTTP status, -1 when the transfer failed
  std::string body;
  std::string content_type;
  long long content_length = -1;  // from the header, -1 when absent
  bool ok() const { return status > 0; }
  // The body as JSON (a null document when it is not JSON).
  rapidjson::Document json() const;
};

struct Call {
  std::string method = "GET";
  std::string url;
  std::string body;
  std::vector<std::string> headers;  // "Name: value"
  std::string ca_file;               // trusted certificate for https
  long timeout_ms = 10000;
};

HttpReply fetch(const Call& call);

inline HttpReply get(const std::string& url, const std::vector<std::string>& headers = {}) {
  Call c;
  c.url = url;
  c.headers = headers;
  return fetch(c);
}

inline HttpReply post(const std::string& url, const std::string& body,
                      const std::vector<std::string>& headers = {}) {
  Call c;
  c.method = "POST";
  c.url = url;
  c.body = body;
  c.headers = headers;
  return fetch(c);
}

}  // namespace nelt::test
