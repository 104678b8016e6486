// Folders that only this process's user may use: the store's runtime folder
// (root's "/run/nelt") and the users' own lock and work folders. A folder
// found in place is used only when it is really a folder (not a link to
// one) owned by this user; anything else is refused, never adopted.
#pragma once

#include <string>

namespace nelt {

// The store's runtime folder: "/run/nelt" (below NELT_ROOT when set). Only
// root works there: the privileged helper's install copies and snap locks,
// and root's own install locks.
inline constexpr const char* RUNTIME_FOLDER = "/run/nelt";

// Creates `path` (mode 0700; missing parents 0755) or checks the folder in
// place: a folder, not a link, owned by the effective uid. A folder of this
// user that others may enter is closed (0700). false with the reason in
// `error` otherwise.
bool ensureOwnFolder(const std::string& path, std::string& error);

}  // namespace nelt
