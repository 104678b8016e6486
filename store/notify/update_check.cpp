#include "update_check.h"

#include <rapidjson/document.h>

#include <algorithm>

#include "fsutil.h"
#include "installed_list.h"
#include "json_util.h"
#include "kavix_api.h"
#include "paths.h"

namespace nelt::notify {

CheckResult fetchUpdates(std::chrono::milliseconds timeout, std::vector<PendingUpdate>& updates,
                         std::string& reason) {
  updates.clear();
  reason.clear();
  const std::string path = portFilePath();
  const std::string text = readJoinedLines(path);
  rapidjson::Document port_doc;
  port_doc.Parse(text.c_str(), text.size());
  int port = 0;
  if (port_doc.HasParseError() || !getInt(port_doc, "port", port) || port <= 0 || port > 65535) {
    reason = "no service port in " + path;
    return CheckResult::Unreachable;
  }
  // Identifies itself like the window and the command line, but never asks
  // for the open-window word: it neither becomes nor disturbs a store window.
  KavixAPI api(port, true);
  api.setReceiveTimeout(timeout);
  if (api.init() != 1) {
    reason = api.serviceRefusal().empty()
                 ? "cannot connect to the store service on port " + std::to_string(port)
                 : api.serviceRefusal();
    return CheckResult::Unreachable;
  }
  KavixReply reply;
  if (api.getListInstalleds(&reply) != 0) {
    reason = "the store service did not answer";
    return CheckResult::Unreachable;
  }
  std::vector<InfoAppInstalled> entries;
  if (reply.status != 200 || !readInstalledList(reply.doc, entries)) {
    reason = "no installed list from the service (status " + std::to_string(reply.status) + ")";
    return CheckResult::Refused;
  }
  for (const InfoAppInstalled& e : entries) {
    if (e.update == 1 && isValidSlug(e.slug)) updates.push_back({e.slug, e.ver_new});
  }
  std::sort(updates.begin(), updates.end());
  updates.erase(std::unique(updates.begin(), updates.end()), updates.end());
  return CheckResult::Ok;
}

bool hasNews(const std::vector<PendingUpdate>& before, const std::vector<PendingUpdate>& now) {
  return !std::includes(before.begin(), before.end(), now.begin(), now.end());
}

}  // namespace nelt::notify

namespace nelt::notify {

bool parseInterval(const std::string& text, std::chrono::seconds& out) {
  constexpr long long MAX_SECONDS = 7LL * 24 * 3600;
  size_t digits = 0;
  long long value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + (text[digits] - '0');
    if (value > MAX_SECONDS) return false;
    ++digits;
  }
  if (digits == 0 || text.size() - digits > 1) return false;
  long long unit = 1;
  if (digits < text.size()) {
    switch (text[digits]) {
      case 's':
        unit = 1;
        break;
      case 'm':
        unit = 60;
        break;
      case 'h':
        unit = 3600;
        break;
      default:
        return false;
    }
  }
  const long long seconds = value * unit;
  if (seconds < 1 || seconds > MAX_SECONDS) return false;
  out = std::chrono::seconds(seconds);
  return true;
}

}  // namespace nelt::notify
