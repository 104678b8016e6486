// What the window asks of the store service: the catalog, account and
// settings requests of the main connection. `KavixAPI` is the real client;
// tests of the window's controllers put a scripted one in its place, so the
// pages can be built without starting the service.
#pragma once

#include <rapidjson/document.h>

#include <string>

#include "protocol.h"

// One received reply, copied out under the connection's lock.
struct KavixReply {
  int status = 0;           // the status word (200, 8888, 9998, ...)
  rapidjson::Document doc;  // the data; an empty object when there was none
  std::string text;         // the whole reply text: status, space, data, line feed
};

namespace nelt {

// The status words as the numbers `KavixReply::status` holds.
constexpr int statusNumber(const char* word) {
  int n = 0;
  for (; *word != '\0'; ++word) n = n * 10 + (*word - '0');
  return n;
}
inline constexpr int REPLY_OK = statusNumber(STATUS_OK);
inline constexpr int REPLY_FAILED = statusNumber(STATUS_FAILED);
inline constexpr int REPLY_NO_TOKEN = statusNumber(STATUS_NO_TOKEN);
inline constexpr int REPLY_TOKEN_INVALID = statusNumber(STATUS_TOKEN_INVALID);

}  // namespace nelt

class ServiceClient {
 public:
  virtual ~ServiceClient() = default;

  // 0 when a reply arrived (whatever its status), -1 when the request could
  // not be sent or the reply not read. With `reply` the status and document
  // of this very exchange are copied into it.
  virtual int loginAcc(const std::string& account, const std::string& password,
                       KavixReply* reply = nullptr) = 0;
  virtual int logoutAcc(KavixReply* reply = nullptr) = 0;
  virtual int getListSections(KavixReply* reply = nullptr) = 0;
  virtual int searchAll(const std::string& text, KavixReply* reply = nullptr) = 0;
  virtual int getListInstalleds(KavixReply* reply = nullptr) = 0;
  virtual int getListApps(int section, KavixReply* reply = nullptr) = 0;
  virtual int getAccCurrent(KavixReply* reply = nullptr) = 0;
  virtual int getDetailApp(const std::string& slug, KavixReply* reply = nullptr) = 0;
  // `text` receives the whole reply text (status word, space, data, line feed).
  virtual int getSetting(std::string& text, KavixReply* reply = nullptr) = 0;
  virtual int setSetting(const std::string& text, KavixReply* reply = nullptr) = 0;
};
