#include "transfer.h"

#include "fsutil.h"

namespace nelt {

namespace {
const char* const SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt";

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }
}  // namespace

int setUpTransfer(CURL* handle, const TransferLimits& limits, const std::string& ca_file) {
  if (handle == nullptr) return -1;
  if (limits.total_seconds > 0) curl_easy_setopt(handle, CURLOPT_TIMEOUT, limits.total_seconds);
  if (limits.connect_seconds > 0)
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limits.connect_seconds);
  if (limits.low_speed_bytes > 0 && limits.low_speed_seconds > 0) {
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_bytes);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limits.low_speed_seconds);
  }
  if (limits.buffer_bytes > 0) curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, limits.buffer_bytes);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
  return trustCertificates(handle, ca_file);
}

int trustCertificates(CURL* handle, const std::string& ca_file) {
  if (handle == nullptr || ca_file.empty()) return 0;
  std::string extra;
  if (!readWholeFile(ca_file, extra) || extra.empty()) return -1;
  // A certificate blob takes the place of the bundle file, so the blob holds
  // the system's bundle followed by the extra certificates.
  const char* system_bundle = nullptr;
#if LIBCURL_VERSION_NUM >= 0x075400
  curl_easy_getinfo(handle, CURLINFO_CAINFO, &system_bundle);
#endif
  std::string bundle;
  readWholeFile(system_bundle != nullptr && *system_bundle ? system_bundle : SYSTEM_BUNDLE, bundle);
  if (!bundle.empty() && bundle.back() != '\n') bundle += '\n';
  bundle += extra;
  struct curl_blob blob;
  blob.data = bundle.data();
  blob.len = bundle.size();
  blob.flags = CURL_BLOB_COPY;
  if (curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob) != CURLE_OK) {
    // Without blob support the file itself is the bundle; the system's
    // certificate folder still applies where the TLS library consults it.
    curl_easy_setopt(handle, CURLOPT_CAINFO, ca_file.c_str());
  }
  return 0;
}

std::string headerSafe(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value)
    if (!isControl(c)) out.push_back(static_cast<char>(c));
  const size_t b = out.find_first_not_of(' ');
  if (b == std::string::npos) return std::string();
  const size_t e = out.find_last_not_of(' ');
  return out.substr(b, e - b + 1);
}

bool headerValueUsable(const std::string& value) {
  if (value.empty()) return false;
  for (unsigned char c : value)
    if (c == ' ' || isControl(c)) return false;
  return true;
}

std::string identityText(const SysInfo& info, const std::string& kind) {
  return "OS:" + info.os + ", MacAddr:" + info.mac_addr + ", IPAddr:" + info.ip_addr +
         ", User: " + kind;
}

namespace {
size_t appendToString(char* ptr, size_t size, size_t nmemb, void* userp) {
  const size_t n = size * nmemb;
  auto* s = static_cast<std::string*>(userp);
  if (s->size() + n > 4096) return 0;  // an IP answer is tiny; refuse floods
  s->append(ptr, n);
  return n;
}
}  // namespace

std::string fetchPublicIp(const std::string& url, long timeout_sec, const std::string& ca_file) {
  std::string body;
  if (url.empty()) return body;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return body;
  TransferLimits limits;
  limits.total_seconds = timeout_sec;
  limits.connect_seconds = timeout_sec;
  setUpTransfer(curl, limits, ca_file);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendToString);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK || status >= 400) body.clear();
  return body;
}

}  // namespace nelt
