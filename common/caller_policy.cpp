#include "caller_policy.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "paths.h"

namespace nelt {

bool activeSeatUid(uid_t& uid) {
  std::ifstream in(systemPath("/run/systemd/seats/seat0"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("ACTIVE_UID=", 0) != 0) continue;
    const std::string value = line.substr(11);
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || errno != 0 || *end != '\0' || v > 0xfffffffeUL) return false;
    uid = static_cast<uid_t>(v);
    return true;
  }
  return false;
}

bool uidInGroup(uid_t uid, const std::string& group) {
  if (group.empty()) return false;
  std::vector<char> pbuf(16384), gbuf(16384);
  struct passwd pw {};
  struct passwd* user = nullptr;
  if (getpwuid_r(uid, &pw, pbuf.data(), pbuf.size(), &user) != 0 || user == nullptr) return false;
  struct group gr {};
  struct group* found = nullptr;
  if (getgrnam_r(group.c_str(), &gr, gbuf.data(), gbuf.size(), &found) != 0 || found == nullptr)
    return false;
  if (user->pw_gid == found->gr_gid) return true;
  int n = 64;
  std::vector<gid_t> groups(static_cast<size_t>(n));
  if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &n) < 0) {
    groups.resize(static_cast<size_t>(n));
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &n) < 0) return false;
  }
  for (int i = 0; i < n; ++i)
    if (groups[static_cast<size_t>(i)] == found->gr_gid) return true;
  return false;
}

bool callerMayUseAccount(const PeerUid& peer, const std::string& allowed_group, std::string& why) {
  if (!peer.known) {
    why = "caller unknown (" + peer.reason + ")";
    return false;
  }
  if (peer.uid == 0) {
    why = "root";
    return true;
  }
  uid_t active = 0;
  if (activeSeatUid(active) && active == peer.uid) {
    why = "active session";
    return true;
  }
  if (uidInGroup(peer.uid, allowed_group)) {
    why = "group " + allowed_group;
    return true;
  }
  why = "uid " + std::to_string(peer.uid) +
        " is neither root, the active session's user nor in group " + allowed_group;
  return false;
}

}  // namespace nelt
