#include "account_access.h"

#include "caller_policy.h"
#include "utils.h"

bool callerMayUseAccount(const nelt::PeerUid& peer, std::string& why) {
  return nelt::callerMayUseAccount(peer, ALLOWED_GROUP, why);
}

void logRefusal(int code, const std::string& why, const nelt::PeerUid& peer) {
  debugW("Refused request " + std::to_string(code) + " of uid " +
             (peer.known ? std::to_string(peer.uid) : std::string("unknown")) + ": " + why,
         "void ServiceController::handleRequest(");
}
