// Who may use the store account through the service: the account's token,
// package keys, stored login, sign-in and sign-out, and its settings.
#pragma once

#include <sys/types.h>

#include <string>

#include "peer_uid.h"

namespace nelt {

// The group whose members are allowed besides root and the active session's
// user, when the configuration names none.
inline constexpr const char* DEFAULT_ALLOWED_GROUP = "sudo";

// The uid of the user whose session is active on seat0, from logind's seat
// state file "/run/systemd/seats/seat0" (below NELT_ROOT when set). false
// when no session is active or logind keeps no such file.
bool activeSeatUid(uid_t& uid);

// Whether the account of `uid` belongs to `group` (as its primary group or a
// supplementary one).
bool uidInGroup(uid_t uid, const std::string& group);

// Root, the active session's user, or a member of `allowed_group`. An
// unidentified caller is nobody's. `why` says which rule allowed or that
// none did (for the log).
bool callerMayUseAccount(const PeerUid& peer, const std::string& allowed_group, std::string& why);

}  // namespace nelt
