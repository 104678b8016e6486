// System paths of the store. When the environment variable NELT_ROOT is set,
// every fixed system path ("/etc/nelt/...", "/usr/bin/nelt/...", "/snap/",
// "/var/snap/") resolves below that folder instead; unset, nothing changes.
#pragma once

#include <string>

namespace nelt {

// The NELT_ROOT prefix without a trailing "/", or empty when unset.
std::string rootPrefix();

// Maps an absolute system path (for example "/snap/") below NELT_ROOT.
std::string systemPath(const std::string& absolute);

inline std::string configFilePath() { return systemPath("/etc/nelt/nelt_store.conf"); }
inline std::string portFilePath() { return systemPath("/usr/bin/nelt/.port.conf"); }
inline std::string kavixWorkRoot() { return systemPath("/usr/bin/nelt/kavix/"); }
inline std::string snapRoot() { return systemPath("/snap/"); }
inline std::string varSnapRoot() { return systemPath("/var/snap/"); }

}  // namespace nelt
