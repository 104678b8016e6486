// A scripted stand-in for the window's service client: each request gets
// the reply set for it (a status and the data's JSON text), and every
// request is logged. Controller tests use it to build the pages in
// milliseconds, without the service or the store server.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "service_client.h"

namespace nelt {
namespace test {

class FakeServiceClient : public ServiceClient {
 public:
  // Requests are named "sections", "apps <id>", "search <text>",
  // "installed", "detail <slug>", "account", "login <account>", "logout",
  // "setting" and "set-setting". A request answers with the reply set for
  // its whole name, else for its first word, else with status 8888 and no
  // data. `data` is the JSON text of the reply's data.
  void answer(const std::string& request, int status, const std::string& data);
  // The request fails as if the service were gone (-1, no reply).
  void breakRequest(const std::string& request);
  void forget(const std::string& request);
  // A held request (whole name or first word) does not answer until it is
  // released: the window's workers wait in it as on a slow service.
  // `waiting` counts the requests held right now.
  void hold(const std::string& request);
  void release(const std::string& request);
  int waiting() const;

  // How many requests named `request` (whole name, or first word) were made.
  // Requests may come from the window's workers: everything here is guarded
  // by `mutex`; read `log` only while no worker runs.
  int count(const std::string& request) const;
  std::vector<std::string> log;

  int loginAcc(const std::string& account, const std::string& password,
               KavixReply* reply = nullptr) override;
  int logoutAcc(KavixReply* reply = nullptr) override;
  int getListSections(KavixReply* reply = nullptr) override;
  int searchAll(const std::string& text, KavixReply* reply = nullptr) override;
  int getListInstalleds(KavixReply* reply = nullptr) override;
  int getListApps(int section, KavixReply* reply = nullptr) override;
  int getAccCurrent(KavixReply* reply = nullptr) override;
  int getDetailApp(const std::string& slug, KavixReply* reply = nullptr) override;
  int getSetting(std::string& text, KavixReply* reply = nullptr) override;
  int setSetting(const std::string& text, KavixReply* reply = nullptr) override;

 private:
  struct Canned {
    int status = 0;
    std::string data;
    bool broken = false;
  };
  int serve(const std::string& request, KavixReply* reply, std::string* text = nullptr);

  bool held(const std::string& request) const;

  std::map<std::string, Canned> canned;
  std::set<std::string> holds;
  int num_waiting = 0;
  mutable std::mutex mutex;
  std::condition_variable released;
};

}  // namespace test
}  // namespace nelt
