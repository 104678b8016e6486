#include "store_client.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdlib>

namespace nelt::test {

namespace {

size_t collectBody(char* ptr, size_t size, size_t nmemb, void* userp) {
  static_cast<std::string*>(userp)->append(ptr, size * nmemb);
  return size * nmemb;
}

size_t collectHeader(char* ptr, size_t size, size_t nmemb, void* userp) {
  auto* reply = static_cast<HttpReply*>(userp);
  std::string line(ptr, size * nmemb);
  const size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "content-length") {
      reply->content_length = std::atoll(line.c_str() + colon + 1);
    }
  }
  return size * nmemb;
}

}  // namespace

rapidjson::Document HttpReply::json() const {
  rapidjson::Document d;
  d.Parse(body.c_str(), body.size());
  if (d.HasParseError()) d.SetNull();
  return d;
}

HttpReply fetch(const Call& call) {
  HttpReply reply;
  CURL* c = curl_easy_init();
  if (c == nullptr) return reply;
  curl_slist* headers = nullptr;
  for (const auto& h : call.headers) headers = curl_slist_append(headers, h.c_str());
  curl_easy_setopt(c, CURLOPT_URL, call.url.c_str());
  curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, call.method.c_str());
  if (call.method == "POST" || call.method == "PUT") {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, call.body.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(call.body.size()));
  }
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collectBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, collectHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &reply);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, call.timeout_ms);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  if (!call.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, call.ca_file.c_str());
  if (curl_easy_perform(c) == CURLE_OK) {
    long status = -1;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    reply.status = static_cast<int>(status);
    char* type = nullptr;
    curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type);
    if (type != nullptr) reply.content_type = type;
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(c);
  return reply;
}

}  // namespace nelt::test
