// HTTPS client of the store server: two long-lived channels (the store
// window's "NativeStore" and the developer tool's "CreatorTool"), the client
// identity header, account login and token header, and the catalog queries.
// Used by the request-handling thread only.
#pragma once

#include <curl/curl.h>
#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "sysinfo.h"

// One reply of the store channel as the request handlers pass it on.
struct StoreReply {
  int rc = -1;         // 0 when a reply arrived (whatever its code), -1 when the transfer failed
  std::string status;  // the reply's code as text; "9999" when it had none
  std::string data;    // the reply reduced as reduceReply does it
};

class ServiceAPI {
 public:
  explicit ServiceAPI(std::string addr);
  ~ServiceAPI();
  ServiceAPI(const ServiceAPI&) = delete;
  ServiceAPI& operator=(const ServiceAPI&) = delete;

  void getSysInfo();

  // 0 when a reply arrived (whatever its code), -1 when the transfer failed
  // or the kind is neither "NativeStore" nor "CreatorTool". The reply waits
  // for getResponse / getResponseDev and getIDResponse.
  int login(std::string user, std::string acc, std::string pass);
  // The same, returning the reply of the kind's channel.
  StoreReply signIn(const std::string& kind, const std::string& acc, const std::string& pass);
  // Rebuilds the channel's header list; an empty token signs the channel out.
  int addHeaderToken(std::string user, std::string token);

  std::string getUriGET(std::string path, std::string args);
  std::string getUriGETValue(std::string path, std::string args);
  std::string getUriPOST(std::string path);

  // Reduced reply of the store / creator channel: compact "data" of a code-200
  // reply, "" for another reply, "null" when the body is not JSON.
  std::string getResponse();
  std::string getResponseDev();
  int readIDRes(std::string res);
  // Code of the last reply as text; "9999" when the last reply had none.
  std::string getIDResponse();

  // Catalog queries returning their reply; nothing is kept in the client.
  StoreReply fetchSearch(int type, const std::string& text, int page, int limit);
  StoreReply fetchSections();
  StoreReply fetchKey(const std::string& name);
  StoreReply fetchSectionApps(int id);
  StoreReply fetchDetail(const std::string& slug);

  // The same catalog queries keeping the reply for getResponse and
  // getIDResponse (0 reply arrived, -1 transfer failed).
  int search(int type, std::string text, int page, int limit);
  int getListSections();
  int getKeyApp(std::string name);
  int getListAppsTest(int id);
  int getDetailApp(int id);
  int getDetailApp(std::string slug);
  void checkKeyDev() {}
  void getListRecomm() {}

  static size_t _write_callback_(void* contents, size_t size, size_t nmemb, void* userp);

  // The shared transfer set-up with the service's whole-transfer and connect
  // time-outs; an unreadable `ca_file` is reported in the service's log.
  static void applyTransferLimits(CURL* handle, long total_sec, long connect_sec,
                                  const std::string& ca_file);

  // The code of a reply body as text; "9999" when it has none.
  static std::string replyCode(const std::string& body);

  // Parses JSON received from outside (bounded nesting, no recursion in the
  // parser). False when it is not JSON.
  static bool parseOutsideJson(rapidjson::Document& doc, const std::string& text);
  // The reduction of one reply body done by getResponse.
  static std::string reduceReply(const std::string& body);

  // Header lines currently installed on a channel (for tests and logs).
  const std::string& serverHost() const { return server_host; }
  const SysInfo& sysInfo() const { return sys_info; }
  // The identity line ("User-Agent: OS:..., User: <kind>, Status: 0").
  std::string identityLine(const std::string& kind) const;
  // The header lines the store channel sends now, in order (a copy, so
  // another thread can build the same requests).
  std::vector<std::string> storeHeaderLines() const;

  // Time limits of every store-channel request, in seconds.
  static constexpr long STORE_TRANSFER_SECONDS = 10;
  static constexpr long STORE_CONNECT_SECONDS = 5;

 private:
  CURL* curl = nullptr;
  CURLcode res = CURLE_FAILED_INIT;
  CURL* curl_dev = nullptr;
  CURLcode res_dev = CURLE_FAILED_INIT;
  CURL* curl_download = nullptr;
  CURLcode res_download = CURLE_FAILED_INIT;
  std::string server_host;
  SysInfo sys_info;
  // The replies kept by the int forms of the queries and login.
  std::string response;
  std::string response_dev;
  std::string id_res;

  struct curl_slist* headers = nullptr;      // store channel's list
  struct curl_slist* headers_dev = nullptr;  // creator channel's list

  // One GET on the store channel into `body`; 0, or -1 when it failed.
  int performGet(const std::string& url, const char* where, std::string& body);
  int keepGet(const std::string& url, const char* where);
  StoreReply fetchGet(const std::string& url, const char* where);
  int loginInto(const std::string& user, const std::string& acc, const std::string& pass,
                std::string& body_out);
  std::string searchUrl(int type, std::string text, int page, int limit);
  std::string sectionsUrl();
  std::string keyUrl(const std::string& name);
  std::string sectionAppsUrl(int id);
  std::string detailUrl(int id);
  std::string detailUrl(const std::string& slug);
};
