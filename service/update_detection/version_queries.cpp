#include "version_queries.h"

#include <curl/curl.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <memory>

#include "json_util.h"
#include "protocol.h"
#include "service_api.h"
#include "utils.h"

namespace {

struct Transfer {
  CURL* handle = nullptr;
  size_t index = 0;
  std::string body;
  std::string url;
};

// The version in one detail reply: code 200 and a "currentVersion" text in
// its data, read the way the store channel reduces any reply.
bool versionOfReply(const std::string& body, std::string& version) {
  rapidjson::Document whole;
  int code = 0;
  if (!ServiceAPI::parseOutsideJson(whole, body) || !nelt::getInt(whole, "code", code) ||
      std::to_string(code) != nelt::STATUS_OK)
    return false;
  const std::string data = ServiceAPI::reduceReply(body);
  rapidjson::Document doc;
  doc.Parse(data.c_str(), data.size());
  if (doc.HasParseError()) return false;
  return nelt::getString(doc, "currentVersion", version);
}

}  // namespace

std::string detailByNameUrl(const std::string& base_url, const std::string& slug) {
  return base_url + "/api/v1/apps/" + nelt::percentEncode(slug) + "/detailAppByName";
}

namespace {

// One run of version queries on a curl multi handle.
class VersionRun {
 public:
  VersionRun(std::vector<VersionQuery>& queries, const VersionQuerySetup& setup)
      : queries(queries), setup(setup), parallel(std::max(1, setup.parallel)) {
    for (size_t i = 0; i < queries.size(); ++i)
      if (!queries[i].answered) pending.push_back(i);
  }
  ~VersionRun() {
    for (auto& t : running) {
      curl_multi_remove_handle(multi, t->handle);
      curl_easy_cleanup(t->handle);
    }
    if (multi != nullptr) curl_multi_cleanup(multi);
    if (headers != nullptr) curl_slist_free_all(headers);
  }
  VersionRun(const VersionRun&) = delete;
  VersionRun& operator=(const VersionRun&) = delete;

  void run(std::chrono::steady_clock::time_point deadline) {
    if (pending.empty()) return;
    multi = curl_multi_init();
    if (multi == nullptr) return;
    for (const std::string& line : setup.header_lines)
      headers = curl_slist_append(headers, line.c_str());
    // Connections are shared between the transfers, like the channel's own.
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(setup.parallel));
    startMore();
    while (!running.empty()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) break;
      int still = 0;
      curl_multi_perform(multi, &still);
      collectDone();
      if (!name_known && first != nullptr) {
        curl_off_t lookup_us = 0;
        name_known = curl_easy_getinfo(first, CURLINFO_NAMELOOKUP_TIME_T, &lookup_us) == CURLE_OK &&
                     lookup_us > 0;
      }
      startMore();
      if (running.empty()) break;
      const auto wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      curl_multi_poll(multi, nullptr, 0,
                      static_cast<int>(std::clamp<long long>(wait_ms.count(), 0, 200)), nullptr);
    }
  }

 private:
  std::vector<VersionQuery>& queries;
  const VersionQuerySetup& setup;
  const int parallel;
  std::vector<size_t> pending;
  size_t next = 0;
  CURLM* multi = nullptr;
  struct curl_slist* headers = nullptr;
  std::vector<std::unique_ptr<Transfer>> running;
  // Each transfer resolves the store's name on a thread of its own until the
  // answer is in the shared cache: the first one goes alone until its name
  // is resolved, so a detection never holds more than one resolver thread.
  CURL* first = nullptr;
  bool name_known = false;

  void startMore() {
    const int limit = name_known ? parallel : 1;
    while (next < pending.size() && static_cast<int>(running.size()) < limit) {
      auto t = std::make_unique<Transfer>();
      t->index = pending[next++];
      t->url = detailByNameUrl(setup.base_url, queries[t->index].slug);
      t->handle = curl_easy_init();
      if (t->handle == nullptr) continue;
      ServiceAPI::applyTransferLimits(t->handle, setup.transfer_seconds, setup.connect_seconds,
                                      setup.ca_file);
      curl_easy_setopt(t->handle, CURLOPT_WRITEFUNCTION, ServiceAPI::_write_callback_);
      curl_easy_setopt(t->handle, CURLOPT_WRITEDATA, &t->body);
      curl_easy_setopt(t->handle, CURLOPT_HTTPHEADER, headers);
      curl_easy_setopt(t->handle, CURLOPT_URL, t->url.c_str());
      curl_easy_setopt(t->handle, CURLOPT_PRIVATE, t.get());
      curl_multi_add_handle(multi, t->handle);
      if (first == nullptr) first = t->handle;
      running.push_back(std::move(t));
    }
  }

  void collectDone() {
    CURLMsg* msg = nullptr;
    int left = 0;
    while ((msg = curl_multi_info_read(multi, &left)) != nullptr) {
      if (msg->msg != CURLMSG_DONE) continue;
      Transfer* t = nullptr;
      curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&t));
      if (t == nullptr) continue;
      if (msg->data.result == CURLE_OK) {
        VersionQuery& q = queries[t->index];
        q.answered = versionOfReply(t->body, q.version);
      } else {
        debugE(-1, curl_easy_strerror(msg->data.result),
               "void queryVersions(" + queries[t->index].slug + ")");
      }
      if (t->handle == first) name_known = true;
      curl_multi_remove_handle(multi, t->handle);
      curl_easy_cleanup(t->handle);
      t->handle = nullptr;
      running.erase(std::find_if(running.begin(), running.end(),
                                 [t](const std::unique_ptr<Transfer>& r) { return r.get() == t; }));
    }
  }
};

}  // namespace

void queryVersions(std::vector<VersionQuery>& queries, const VersionQuerySetup& setup,
                   std::chrono::steady_clock::time_point deadline) {
  VersionRun run(queries, setup);
  run.run(deadline);
}

size_t VersionCache::fill(std::vector<VersionQuery>& queries, std::chrono::seconds max_age) {
  if (max_age.count() <= 0) return 0;
  const auto now = clock_();
  size_t filled = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  for (VersionQuery& q : queries) {
    auto it = entries_.find(q.slug);
    if (it == entries_.end() || now - it->second.at >= max_age) continue;
    q.version = it->second.version;
    q.answered = true;
    ++filled;
  }
  return filled;
}

void VersionCache::store(const std::vector<VersionQuery>& queries) {
  const auto now = clock_();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const VersionQuery& q : queries)
    if (q.answered) entries_[q.slug] = Entry{q.version, now};
}
