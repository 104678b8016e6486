// The store server connection: the two channels with their header lists, the
// client identity, account login and the reduction of replies to the text the
// request handlers send back to the window.
#include "service_api.h"

#include <cstdlib>
#include <iostream>

#include "json_util.h"
#include "process.h"
#include "protocol.h"
#include "transfer.h"
#include "utils.h"

namespace {

// Every request of a channel ends within this many seconds, connection
// included; establishing the connection alone may take at most CONNECT_SECONDS.
constexpr long TRANSFER_SECONDS = ServiceAPI::STORE_TRANSFER_SECONDS;
constexpr long CONNECT_SECONDS = ServiceAPI::STORE_CONNECT_SECONDS;
// The public-IP lookup runs before the service listens: a missing network must
// not hold the start for long.
constexpr long IP_LOOKUP_SECONDS = 3;
// Largest reply body kept; a larger one fails the transfer instead of filling
// the memory of the service.
constexpr size_t MAX_REPLY_BYTES = 16u << 20;
// Deepest nesting accepted in a reply. Writing a document back out recurses
// once per level, so an absurdly nested reply must not reach the writer.
constexpr int MAX_JSON_DEPTH = 200;

bool nestingWithin(const std::string& text, int limit) {
  int depth = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

// Each transfer names the string its body goes to (CURLOPT_WRITEDATA) when
// it starts.
void setupChannel(CURL* handle) {
  ServiceAPI::applyTransferLimits(handle, TRANSFER_SECONDS, CONNECT_SECONDS, CA_FILE);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, ServiceAPI::_write_callback_);
}

// Installs `list` on `handle` and frees the list it replaces.
void replaceHeaders(CURL* handle, struct curl_slist*& current, struct curl_slist* list) {
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list);
  if (current != nullptr) curl_slist_free_all(current);
  current = list;
}

}  // namespace

bool ServiceAPI::parseOutsideJson(rapidjson::Document& doc, const std::string& text) {
  if (!nestingWithin(text, MAX_JSON_DEPTH)) {
    doc.SetNull();
    return false;
  }
  doc.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
  return !doc.HasParseError();
}

ServiceAPI::ServiceAPI(std::string addr) {
  curl_global_init(CURL_GLOBAL_ALL);
  getSysInfo();

  curl = curl_easy_init();
  if (curl == nullptr) {
    debugE(-1, "Init curl", "ServiceAPI::ServiceAPI(std::string * addr)");
    exit(-1);
  }
  setupChannel(curl);

  curl_dev = curl_easy_init();
  if (curl_dev == nullptr) {
    debugE(-1, "Init curl_dev", "ServiceAPI::ServiceAPI(std::string * addr)");
    exit(-1);
  }
  setupChannel(curl_dev);

  // Every URL is the base address followed by a path that starts with "/".
  while (!addr.empty() && addr.back() == '/') addr.pop_back();
  server_host = addr;

  // libcurl writes the Host header from the URL itself (host and port), which
  // is what servers expect; the lists only add the identity and content type.
  struct curl_slist* list = nullptr;
  list = curl_slist_append(list, identityLine(nelt::CLIENT_NATIVE_STORE).c_str());
  list = curl_slist_append(list, "Content-Type: application/json");
  list = curl_slist_append(list, "Authorization:");
  replaceHeaders(curl, headers, list);

  list = nullptr;
  list = curl_slist_append(list, identityLine(nelt::CLIENT_CREATOR_TOOL).c_str());
  list = curl_slist_append(list, "Content-Type: application/json");
  list = curl_slist_append(list, "Authorization:");
  replaceHeaders(curl_dev, headers_dev, list);
}

std::vector<std::string> ServiceAPI::storeHeaderLines() const {
  std::vector<std::string> lines;
  for (const curl_slist* item = headers; item != nullptr; item = item->next)
    lines.emplace_back(item->data);
  return lines;
}

ServiceAPI::~ServiceAPI() {
  if (curl != nullptr) curl_easy_cleanup(curl);
  if (curl_dev != nullptr) curl_easy_cleanup(curl_dev);
  if (headers != nullptr) curl_slist_free_all(headers);
  if (headers_dev != nullptr) curl_slist_free_all(headers_dev);
  curl_global_cleanup();
}

void ServiceAPI::getSysInfo() {
  // lsb_release, else os-release's PRETTY_NAME (a minimal system has no
  // lsb_release). Without either the store still works; the identity simply
  // carries no operating system description.
  sys_info.os = nelt::headerSafe(nelt::readOsDescription());
  if (sys_info.os.empty()) debugE(-1, "Get OS name, popen", "void ServiceAPI::getSysInfo()");

  std::string mac;
  if (!nelt::readMacAddresses(mac))
    debugE(-1, "Get MAC address, getifaddrs", "void ServiceAPI::getSysInfo()");
  sys_info.mac_addr = nelt::headerSafe(mac);

  sys_info.ip_addr = nelt::headerSafe(nelt::fetchPublicIp(IP_LOOKUP_URL, IP_LOOKUP_SECONDS));
}

std::string ServiceAPI::identityLine(const std::string& kind) const {
  return "User-Agent: " + nelt::identityText(sys_info, kind) + ", Status: 0";
}

int ServiceAPI::login(std::string user, std::string acc, std::string pass) {
  std::string* target = nullptr;
  if (user == nelt::CLIENT_NATIVE_STORE)
    target = &response;
  else if (user == nelt::CLIENT_CREATOR_TOOL)
    target = &response_dev;
  else
    return -1;
  id_res.clear();
  const int rc = loginInto(user, acc, pass, *target);
  if (rc == 0) readIDRes(*target);
  return rc;
}

StoreReply ServiceAPI::signIn(const std::string& kind, const std::string& acc,
                              const std::string& pass) {
  StoreReply reply;
  if (kind != nelt::CLIENT_NATIVE_STORE && kind != nelt::CLIENT_CREATOR_TOOL) return reply;
  std::string body;
  reply.rc = loginInto(kind, acc, pass, body);
  if (reply.rc == 0) {
    reply.status = replyCode(body);
    reply.data = reduceReply(body);
  }
  return reply;
}

int ServiceAPI::loginInto(const std::string& user, const std::string& acc, const std::string& pass,
                          std::string& body_out) {
  CURL* handle = user == nelt::CLIENT_NATIVE_STORE ? curl : curl_dev;
  struct curl_slist** list = user == nelt::CLIENT_NATIVE_STORE ? &headers : &headers_dev;
  std::string* target = &body_out;

  const std::string body = "{\"username\": \"" + nelt::jsonEscape(acc) + "\", \"password\": \"" +
                           nelt::jsonEscape(pass) + "\"}";
  // The password never reaches the log.
  std::cout << "{\"username\": \"" << nelt::jsonEscape(acc) << "\", \"password\": \"***\"}"
            << std::endl;

  target->clear();
  const std::string url = getUriPOST("/api/v1/login");
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, target);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(handle, CURLOPT_COPYPOSTFIELDS, body.c_str());
  res = curl_easy_perform(handle);
  // The handle keeps its own copy of the body until the next request; replace
  // it right away so the password does not linger in memory.
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, -1L);
  curl_easy_setopt(handle, CURLOPT_COPYPOSTFIELDS, "");
  curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  if (res != CURLE_OK) {
    target->clear();
    debugE(-1, curl_easy_strerror(res),
           "int ServiceAPI::login(std::string user, std::string acc, std::string pass)");
    // Whoever was signed in before is not any more.
    addHeaderToken(user, "");
    return -1;
  }

  rapidjson::Document doc;
  bool signed_in = false;
  if (parseOutsideJson(doc, *target)) {
    const rapidjson::Value* data = nelt::getObject(doc, "data");
    std::string token;
    if (data != nullptr && nelt::getString(*data, "token", token)) {
      if (nelt::headerValueUsable(token)) {
        struct curl_slist* bearer =
            curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str());
        replaceHeaders(handle, *list, bearer);
        signed_in = true;
      } else {
        debugW("The login reply carries a token that cannot be sent in a header",
               "int ServiceAPI::login(std::string user, std::string acc, std::string pass)");
      }
    }
  }
  // A refused sign-in leaves the channel anonymous, not with the token of the
  // account signed in before.
  if (!signed_in) addHeaderToken(user, "");
  return 0;
}

int ServiceAPI::addHeaderToken(std::string user, std::string token) {
  CURL* handle = nullptr;
  struct curl_slist** current = nullptr;
  if (user == nelt::CLIENT_NATIVE_STORE) {
    handle = curl;
    current = &headers;
  } else if (user == nelt::CLIENT_CREATOR_TOOL) {
    handle = curl_dev;
    current = &headers_dev;
  } else {
    return -1;
  }
  // A token that would break the header line is not attached.
  std::string first = "Authorization: ";
  if (nelt::headerValueUsable(token)) first += "Bearer " + token;
  struct curl_slist* list = nullptr;
  list = curl_slist_append(list, first.c_str());
  list = curl_slist_append(list, identityLine(user).c_str());
  list = curl_slist_append(list, "Content-Type: application/json");
  list = curl_slist_append(list, "Authorization:");
  replaceHeaders(handle, *current, list);
  return 0;
}

namespace {
std::string joinBase(const std::string& base, const std::string& path) {
  if (!path.empty() && path[0] == '/') return base + path;
  return base + "/" + path;
}
}  // namespace

std::string ServiceAPI::getUriGET(std::string path, std::string args) {
  return joinBase(server_host, path) + "/" + args;
}

std::string ServiceAPI::getUriGETValue(std::string path, std::string args) {
  std::string url = joinBase(server_host, path) + "?" + args;
  std::cout << url << std::endl;
  return url;
}

std::string ServiceAPI::getUriPOST(std::string path) {
  std::string url = joinBase(server_host, path);
  std::cout << url << std::endl;
  return url;
}

std::string ServiceAPI::reduceReply(const std::string& body) {
  rapidjson::Document doc;
  if (!parseOutsideJson(doc, body)) return "null";
  int code = 0;
  if (!nelt::getInt(doc, "code", code) || std::to_string(code) != nelt::STATUS_OK)
    return std::string();
  auto it = doc.FindMember("data");
  if (it == doc.MemberEnd()) return std::string();
  return nelt::toCompactJson(it->value);
}

std::string ServiceAPI::getResponse() {
  std::string body;
  body.swap(response);
  return reduceReply(body);
}

std::string ServiceAPI::getResponseDev() {
  std::string body;
  body.swap(response_dev);
  return reduceReply(body);
}

std::string ServiceAPI::replyCode(const std::string& body) {
  rapidjson::Document doc;
  int code = 0;
  if (parseOutsideJson(doc, body) && nelt::getInt(doc, "code", code)) return std::to_string(code);
  return nelt::STATUS_NO_CODE;
}

int ServiceAPI::readIDRes(std::string res_body) {
  rapidjson::Document doc;
  int code = 0;
  if (parseOutsideJson(doc, res_body) && nelt::getInt(doc, "code", code)) {
    id_res = std::to_string(code);
    return 0;
  }
  // A reply without a code is never reported with the code of an earlier one.
  id_res.clear();
  return -1;
}

std::string ServiceAPI::getIDResponse() {
  if (id_res.empty()) id_res = nelt::STATUS_NO_CODE;
  return id_res;
}

size_t ServiceAPI::_write_callback_(void* contents, size_t size, size_t nmemb, void* userp) {
  const size_t n = size * nmemb;
  auto* target = static_cast<std::string*>(userp);
  if (target->size() + n > MAX_REPLY_BYTES) return 0;  // ends the transfer as failed
  target->append(static_cast<const char*>(contents), n);
  return n;
}

void ServiceAPI::applyTransferLimits(CURL* handle, long total_sec, long connect_sec,
                                     const std::string& ca_file) {
  nelt::TransferLimits limits;
  limits.total_seconds = total_sec;
  limits.connect_seconds = connect_sec;
  if (nelt::setUpTransfer(handle, limits, ca_file) != 0)
    debugW(
        "Cannot read the certificate file " + ca_file + "; only the system's trust store is used",
        "static int ServiceAPI::trustCertificates(CURL* handle, const std::string& ca_file)");
}
