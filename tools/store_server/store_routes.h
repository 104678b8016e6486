// The store endpoints of the local store server ("/api/v1/...", the IP
// answer, the default avatar) and the test endpoints ("/_test/...").
#pragma once

#include <httplib.h>

#include <mutex>
#include <set>
#include <string>

#include "catalog.h"
#include "package_shelf.h"
#include "test_switches.h"

namespace nelt::store_server {

// Account tokens handed out at login. They live as long as the server
// process, or until a test revokes them all.
class TokenBook {
 public:
  std::string issue();
  bool valid(const std::string& token) const;
  void revokeAll();

 private:
  mutable std::mutex mutex_;  // guards tokens_
  std::set<std::string> tokens_;
};

struct StoreContext {
  const StoreCatalog& catalog;
  const PackageShelf& shelf;
  TestSwitches& switches;
  TokenBook& tokens;
  // This server's own address ("http://127.0.0.1:PORT"), used for the
  // avatar address in login replies.
  std::string base_url;
};

// Registers every endpoint on `server`. `ctx` must outlive the server.
void installRoutes(httplib::Server& server, StoreContext& ctx);

}  // namespace nelt::store_server
