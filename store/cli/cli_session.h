// What the command line's commands share: the parsed command line, the
// session with the store service, and how results and failures are told.
#pragma once

#include <rapidjson/document.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fsutil.h"
#include "installed_list.h"
#include "kavix_api.h"
#include "kavix_model.h"
#include "nelt_cli.h"
#include "paths.h"

namespace nelt {
namespace cli {

// A script must never hang on a stuck service; the longest honest exchange is
// the installed list, whose update check asks the store for every application.
constexpr auto RECEIVE_TIMEOUT = std::chrono::seconds(180);

struct Options {
  bool json = false;
  bool verbose = false;
  std::string command;
  std::vector<std::string> args;
  std::string version;
  bool all = false;  // update --all
};

// Text that goes to a terminal goes through displayText: names, versions and
// descriptions come from the store and may carry escape sequences, and a
// reason may quote them. --json output relies on JSON escaping instead.
std::string shown(const std::string& text);

// Prints "nelt: REASON" on stderr; `status`.
int fail(int status, const std::string& reason);

void printJson(const rapidjson::Value& value);

class Session {
 public:
  Session() = default;

  int connect() {
    const std::string path = portFilePath();
    int port = 0;
    if (!readPortFile(path, port))
      return fail(CLI_NO_SERVICE,
                  "cannot read the service port from " + path + " (is the store service running?)");
    api_ = std::make_unique<KavixAPI>(port, true);
    api_->setPortFile(path);
    api_->setReceiveTimeout(RECEIVE_TIMEOUT);
    // The command line identifies itself like the window but is no window: it
    // never takes part in the open-window exchange, so it neither signs the
    // account out nor disturbs a running store window.
    if (api_->init() != 1) {
      // Someone other than the service holds the port: nothing was sent.
      if (!api_->serviceRefusal().empty())
        return fail(CLI_NO_SERVICE,
                    "not talking to port " + std::to_string(port) + ": " + api_->serviceRefusal());
      return fail(CLI_NO_SERVICE,
                  "cannot connect to the store service on port " + std::to_string(port));
    }
    return CLI_OK;
  }

  KavixAPI& api() { return *api_; }

  // A request that got no reply: a service that went away (its connection
  // closed or reset, as during a restart) is not reachable; anything else
  // failed with `reason`.
  int failedExchange(const std::string& reason) {
    if (api_->connectionLost())
      return fail(CLI_NO_SERVICE, "the store service is not reachable (the connection was lost)");
    return fail(CLI_FAILED, reason);
  }

  KavixModel& engine() {
    if (!engine_) {
      engine_ = std::make_unique<KavixModel>();
      engine_->api = api_.get();
    }
    return *engine_;
  }

  // The installed list, or a failure status with its reason printed.
  int installed(KavixReply& reply, std::vector<InstalledEntry>& entries) {
    if (api_->getListInstalleds(&reply) < 0)
      return failedExchange("the store service did not answer");
    if (reply.status != 200 || !readInstalledList(reply.doc, entries))
      return fail(CLI_FAILED,
                  "cannot read the installed list (status " + std::to_string(reply.status) + ")");
    return CLI_OK;
  }

 private:
  std::unique_ptr<KavixAPI> api_;
  std::unique_ptr<KavixModel> engine_;
};

}  // namespace cli
}  // namespace nelt
