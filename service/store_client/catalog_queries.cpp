// Catalog queries of the store channel: sections, the applications of a
// section, search, detail records and package keys. Each is one GET. The
// fetch* forms return the reply; the int forms keep it in `response` for
// getResponse / getIDResponse.
#include <string>

#include "json_util.h"
#include "service_api.h"
#include "utils.h"

namespace {
const char* const SEARCH_WHERE =
    "int ServiceAPI::search(int type, std::string text, int page, int limit)";
const char* const SECTIONS_WHERE = "int ServiceAPI::getListSections()";
const char* const KEY_WHERE = "int ServiceAPI::getKeyApp(std::string name)";
const char* const SECTION_APPS_WHERE = "int ServiceAPI::getListAppsTest()";
const char* const DETAIL_ID_WHERE = "int ServiceAPI::getDetailApp(int id)";
const char* const DETAIL_SLUG_WHERE = "int ServiceAPI::getDetailApp(std::string slug)";
}  // namespace

int ServiceAPI::performGet(const std::string& url, const char* where, std::string& body) {
  body.clear();
  // A login leaves the handle in POST mode; every catalog query is a GET.
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  res = curl_easy_perform(curl);
  if (res != CURLE_OK) {
    // Whatever arrived before the failure is no reply.
    body.clear();
    debugE(-1, curl_easy_strerror(res), where);
    return -1;
  }
  return 0;
}

int ServiceAPI::keepGet(const std::string& url, const char* where) {
  id_res.clear();
  if (performGet(url, where, response) < 0) return -1;
  readIDRes(response);
  return 0;
}

StoreReply ServiceAPI::fetchGet(const std::string& url, const char* where) {
  StoreReply reply;
  std::string body;
  reply.rc = performGet(url, where, body);
  if (reply.rc == 0) {
    reply.status = replyCode(body);
    reply.data = reduceReply(body);
  }
  return reply;
}

std::string ServiceAPI::searchUrl(int type, std::string text, int page, int limit) {
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
  return getUriGETValue("/api/v1/apps/search", query);
}

std::string ServiceAPI::sectionsUrl() { return getUriGET("/api/v1/categories", ""); }

std::string ServiceAPI::keyUrl(const std::string& name) {
  return getUriGET("/api/v1/apps", nelt::percentEncode(name) + "/getKey");
}

std::string ServiceAPI::sectionAppsUrl(int id) {
  return getUriGET("/api/v1/categories", nelt::percentEncode(std::to_string(id)) + "/apps");
}

std::string ServiceAPI::detailUrl(int id) {
  return getUriGET("/api/v1/apps", nelt::percentEncode(std::to_string(id)) + "/detail");
}

std::string ServiceAPI::detailUrl(const std::string& slug) {
  // The argument goes as it is: a slug, or "$" and the number of the record.
  return getUriGET("/api/v1/apps", nelt::percentEncode(slug) + "/detailAppByName");
}

int ServiceAPI::search(int type, std::string text, int page, int limit) {
  return keepGet(searchUrl(type, std::move(text), page, limit), SEARCH_WHERE);
}
int ServiceAPI::getListSections() { return keepGet(sectionsUrl(), SECTIONS_WHERE); }
int ServiceAPI::getKeyApp(std::string name) { return keepGet(keyUrl(name), KEY_WHERE); }
int ServiceAPI::getListAppsTest(int id) { return keepGet(sectionAppsUrl(id), SECTION_APPS_WHERE); }
int ServiceAPI::getDetailApp(int id) { return keepGet(detailUrl(id), DETAIL_ID_WHERE); }
int ServiceAPI::getDetailApp(std::string slug) {
  return keepGet(detailUrl(slug), DETAIL_SLUG_WHERE);
}

StoreReply ServiceAPI::fetchSearch(int type, const std::string& text, int page, int limit) {
  return fetchGet(searchUrl(type, text, page, limit), SEARCH_WHERE);
}
StoreReply ServiceAPI::fetchSections() { return fetchGet(sectionsUrl(), SECTIONS_WHERE); }
StoreReply ServiceAPI::fetchKey(const std::string& name) {
  return fetchGet(keyUrl(name), KEY_WHERE);
}
StoreReply ServiceAPI::fetchSectionApps(int id) {
  return fetchGet(sectionAppsUrl(id), SECTION_APPS_WHERE);
}
StoreReply ServiceAPI::fetchDetail(const std::string& slug) {
  return fetchGet(detailUrl(slug), DETAIL_SLUG_WHERE);
}
