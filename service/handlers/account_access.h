// Who may use the store account: root, the active session's user or a
// member of the allowed group.
#pragma once

#include <string>

#include "peer_uid.h"

// `why` names the rule that applies, or says why none does.
bool callerMayUseAccount(const nelt::PeerUid& peer, std::string& why);
// The log line of a request refused for its caller.
void logRefusal(int code, const std::string& why, const nelt::PeerUid& peer);
