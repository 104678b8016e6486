#include "fake_service_client.h"

#include <algorithm>

namespace nelt {
namespace test {

namespace {

std::string firstWord(const std::string& request) { return request.substr(0, request.find(' ')); }

}  // namespace

void FakeServiceClient::answer(const std::string& request, int status, const std::string& data) {
  std::lock_guard<std::mutex> lock(mutex);
  canned[request] = Canned{status, data, false};
}

void FakeServiceClient::breakRequest(const std::string& request) {
  std::lock_guard<std::mutex> lock(mutex);
  canned[request] = Canned{0, "", true};
}

void FakeServiceClient::forget(const std::string& request) {
  std::lock_guard<std::mutex> lock(mutex);
  canned.erase(request);
}

void FakeServiceClient::hold(const std::string& request) {
  std::lock_guard<std::mutex> lock(mutex);
  holds.insert(request);
}

void FakeServiceClient::release(const std::string& request) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    holds.erase(request);
  }
  released.notify_all();
}

int FakeServiceClient::waiting() const {
  std::lock_guard<std::mutex> lock(mutex);
  return num_waiting;
}

bool FakeServiceClient::held(const std::string& request) const {
  return holds.count(request) != 0 || holds.count(firstWord(request)) != 0;
}

int FakeServiceClient::count(const std::string& request) const {
  std::lock_guard<std::mutex> lock(mutex);
  return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& r) {
    return r == request || firstWord(r) == request;
  }));
}

int FakeServiceClient::serve(const std::string& request, KavixReply* reply, std::string* text) {
  std::unique_lock<std::mutex> lock(mutex);
  log.push_back(request);
  if (held(request)) {
    ++num_waiting;
    released.wait(lock, [&] { return !held(request); });
    --num_waiting;
  }
  auto it = canned.find(request);
  if (it == canned.end()) it = canned.find(firstWord(request));
  const Canned c = it != canned.end() ? it->second : Canned{REPLY_FAILED, "", false};
  if (c.broken) return -1;
  const std::string whole = std::to_string(c.status) + " " + c.data + "\n";
  if (text != nullptr) *text = whole;
  if (reply != nullptr) {
    reply->status = c.status;
    reply->text = whole;
    reply->doc.SetObject();
    if (!c.data.empty()) reply->doc.Parse(c.data.c_str());
  }
  return 0;
}

int FakeServiceClient::loginAcc(const std::string& account, const std::string&, KavixReply* reply) {
  return serve("login " + account, reply);
}
int FakeServiceClient::logoutAcc(KavixReply* reply) { return serve("logout", reply); }
int FakeServiceClient::getListSections(KavixReply* reply) { return serve("sections", reply); }
int FakeServiceClient::searchAll(const std::string& text, KavixReply* reply) {
  return serve("search " + text, reply);
}
int FakeServiceClient::getListInstalleds(KavixReply* reply) { return serve("installed", reply); }
int FakeServiceClient::getListApps(int section, KavixReply* reply) {
  return serve("apps " + std::to_string(section), reply);
}
int FakeServiceClient::getAccCurrent(KavixReply* reply) { return serve("account", reply); }
int FakeServiceClient::getDetailApp(const std::string& slug, KavixReply* reply) {
  return serve("detail " + slug, reply);
}
int FakeServiceClient::getSetting(std::string& text, KavixReply* reply) {
  return serve("setting", reply, &text);
}
int FakeServiceClient::setSetting(const std::string& text, KavixReply* reply) {
  return serve("set-setting " + text, reply);
}

}  // namespace test
}  // namespace nelt
