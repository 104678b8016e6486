// Folders that only this process's user may use: the store's runtime folder
// (root's "/run/nelt") and the users' own lock and work folders. A folder
// found in place is used only when it is really a folder (not a link to
// one) owned by this user; anything else is refused, never adopted.
#pragma once

#include <string>

namespace nelt {

// The store's runtime folder: "/run/nelt" (below NELT_ROOT when set). It is
// root's and nobody else may write in it, but every user may read it: the
// service's port file lives there. What only root may see is in folders
// below it that only root may enter ("install": the privileged helper's
// copies, "locks": its snap locks); root's own install locks there are
// files of mode 0600.
inline constexpr const char* RUNTIME_FOLDER = "/run/nelt";
inline constexpr unsigned RUNTIME_FOLDER_MODE = 0755;

// Creates `path` (at most `mode`, 0700 unless said; missing parents 0755) or
// checks the folder in place: a folder, not a link, owned by the effective
// uid. Permissions beyond `mode` on a folder of this user are taken away.
// false with the reason in `error` otherwise.
bool ensureOwnFolder(const std::string& path, std::string& error, unsigned mode = 0700);

}  // namespace nelt
