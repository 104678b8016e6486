// What the machine's snap folders say about one snap: whether it is
// installed, the version of its active revision, and the "kavix.json" the
// store placed beside it. The package engine (before and after a job) and the
// privileged helper (before it acts, after `snap install` and when removing)
// read this the same way.
//
// Everything below "/snap/" is read as untrusted: files are opened without
// following a final link, must be regular files and are read only up to a
// small limit.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace nelt {

// Reads `path` when it is a regular file (not a link) of at most `max_bytes`.
// With `owner` >= 0 the file must also belong to that uid and have one link.
bool readSmallFile(const std::string& path, std::string& out, size_t max_bytes,
                   long long owner = -1);

// The store's metadata file of an installed snap: "/snap/NAME/kavix.json".
std::string installedMetaPath(const std::string& name);

// True when the snap has an active revision ("/snap/NAME/current").
bool snapIsInstalled(const std::string& name);

// The version of the snap's active revision, read from its meta/snap.yaml
// (the same place snapd reads); empty when it is not installed or that
// snap.yaml names another snap.
std::string installedSnapVersion(const std::string& name);

// The "name" and "version" of a snap's meta/snap.yaml text; false with the
// reason in `error` when it names no snap.
bool snapYamlIdentity(const std::string& yaml, std::string& name, std::string& version,
                      std::string& error);

// The state of one snap before a job changes it.
struct SnapState {
  bool installed = false;
  std::string version;    // of the active revision; empty when not installed
  bool has_meta = false;  // an installed snap with a readable kavix.json
  std::string meta;       // that file's text
  std::string owner;      // its "slug" when it parses as an object; else empty
};

SnapState readSnapState(const std::string& name);

// The application that `state` says owns the snap, when that is not `slug`:
// an installed snap whose kavix.json names another application stays that
// application's. Empty when `slug` may take the snap.
std::string foreignOwner(const SnapState& state, const std::string& slug);

}  // namespace nelt
