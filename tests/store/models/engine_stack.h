// The engine's tests against the real service and the local store server:
// the steps every such fixture starts with.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "kavix_api.h"
#include "model_log.h"
#include "service_harness.h"
#include "test_support.h"

namespace nelt::test {

// No proxy in the way of the loopback servers, and the engine's messages
// only with NELT_TEST_VERBOSE=1.
inline void quietEngine() {
  unsetenv("http_proxy");
  unsetenv("HTTP_PROXY");
  if (std::getenv("NELT_TEST_VERBOSE") == nullptr) {
    setDebugLogSink(nullptr);
    setConsoleLogSink(nullptr);
  }
}

// Starts `service` against `store` and points this process's engine at
// both: its system paths below the service's NELT_ROOT, its IP lookup at
// the store server.
inline bool startServiceOn(const StoreServer& store, ServiceHarness& service) {
  setenv("NELT_ROOT", service.root().c_str(), 1);
  setenv("NELT_IP_LOOKUP_URL", (store.baseUrl() + "/ip").c_str(), 1);
  ServiceOptions options;
  options.host = store.baseUrl();
  options.ip_lookup_url = store.baseUrl() + "/ip";
  return service.start(options);
}

// A window-side client of `service`, signed in as the sample account when
// `sign_in`; null when either fails.
inline std::unique_ptr<KavixAPI> serviceClient(const ServiceHarness& service, bool sign_in) {
  auto api = std::make_unique<KavixAPI>(service.port(), true);
  if (api->init() != 1) return nullptr;
  KavixReply login;
  if (sign_in && (api->loginAcc("demo", "demo123", &login) != 0 || login.status != 200))
    return nullptr;
  return api;
}

}  // namespace nelt::test
