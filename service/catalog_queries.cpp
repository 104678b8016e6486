// Catalog queries of the store channel: sections, the applications of a
// section, search, detail records and package keys. Each is one GET whose
// reply waits in `response` for getResponse / getIDResponse.
#include <string>

#include "json_util.h"
#include "service_api.h"
#include "utils.h"

int ServiceAPI::performGet(const std::string& url, const char* where) {
  response.clear();
  id_res.clear();
  // A login leaves the handle in POST mode; every catalog query is a GET.
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  res = curl_easy_perform(curl);
  if (res != CURLE_OK) {
    // Whatever arrived before the failure is no reply.
    response.clear();
    debugE(-1, curl_easy_strerror(res), where);
    return -1;
  }
  readIDRes(response);
  return 0;
}

int ServiceAPI::search(int type, std::string text, int page, int limit) {
  // The window joins its words each followed by a space; the last one is not
  // part of the search.
  if (!text.empty() && text.back() == ' ') text.pop_back();
  // Every character outside the unreserved set is escaped, so "&", "+", "#"
  // and "%" stay inside the text; a space becomes "%20".
  const std::string encoded = nelt::percentEncode(text);

  std::string query;
  const std::string base = "type=" + std::to_string(type) + "&text=" + encoded;
  if (page == -1 && limit == -1)
    query = base;
  else if (page >= 0 && limit == -1)
    query = base + "&page=" + std::to_string(page);
  else if (page >= 0 && limit >= 0)
    query = base + "&page=" + std::to_string(page) + "&limit=" + std::to_string(limit);

  return performGet(getUriGETValue("/api/v1/apps/search", query),
                    "int ServiceAPI::search(int type, std::string text, int page, int limit)");
}

int ServiceAPI::getListSections() {
  return performGet(getUriGET("/api/v1/categories", ""), "int ServiceAPI::getListSections()");
}

int ServiceAPI::getKeyApp(std::string name) {
  return performGet(getUriGET("/api/v1/apps", nelt::percentEncode(name) + "/getKey"),
                    "int ServiceAPI::getKeyApp(std::string name)");
}

int ServiceAPI::getListAppsTest(int id) {
  return performGet(
      getUriGET("/api/v1/categories", nelt::percentEncode(std::to_string(id)) + "/apps"),
      "int ServiceAPI::getListAppsTest()");
}

int ServiceAPI::getDetailApp(int id) {
  return performGet(getUriGET("/api/v1/apps", nelt::percentEncode(std::to_string(id)) + "/detail"),
                    "int ServiceAPI::getDetailApp(int id)");
}

int ServiceAPI::getDetailApp(std::string slug) {
  // The argument goes as it is: a slug, or "$" and the number of the record.
  return performGet(getUriGET("/api/v1/apps", nelt::percentEncode(slug) + "/detailAppByName"),
                    "int ServiceAPI::getDetailApp(std::string slug)");
}
