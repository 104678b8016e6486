// Process-wide settings of KavixService, its log lines and the version
// helpers.
#pragma once

#include <string>
#include <vector>

#include "sysinfo.h"

// Filled once by kavix_load_config before anything else is created; read-only
// afterwards.
namespace nelt::service {
// The store server's base address (key "host"). In its own namespace because
// the window has a URL_HOST of its own, received from this service, and one
// program may link both.
extern std::string URL_HOST;
}  // namespace nelt::service
extern int PORT_LOCAL;
extern int* PORT_LOCAL_A;
extern int LEN_PORT_LOCAL_A;
extern std::string KAVIX_PATH;
extern std::string DATA_CACHE_PATH;
// Address of the public-IP lookup (plain-text answer). Configuration key
// "ip_lookup_url".
extern std::string IP_LOOKUP_URL;
// A certificate file trusted besides the system's store. Key "ca_file".
extern std::string CA_FILE;
// Members of this group may use the store account besides root and the
// active session's user. Key "allowed_group", default "sudo".
extern std::string ALLOWED_GROUP;
// Installed lists asked for within this many seconds of a version answer
// reuse it instead of asking the store again. Key "version_reuse_seconds",
// default 60; 0 asks every time.
extern int VERSION_REUSE_SECONDS;
// Where the port file is written (key "port_file", an absolute path). Empty:
// the system's port file "/usr/bin/nelt/.port.conf" (below NELT_ROOT when
// set), where the window and `nelt` look for it. The package points it below
// /run/nelt and ships the system path as a link to it.
extern std::string PORT_FILE_PATH;

// The port file this service writes and removes.
std::string servicePortFile();

// The public-IP lookup used when the configuration names none (the window's
// default too).
using nelt::DEFAULT_IP_LOOKUP_URL;

// Reads the configuration file at `path`. A missing file or a syntax error
// changes nothing; keys of another JSON type are treated as absent.
void kavix_load_config(const std::string& path);

// "[ERROR][" func " _ " code "]" msg on standard error.
void debugE(int code, const std::string& msg, const std::string& func);
// "[WARNING][" func " ]" msg on standard output.
void debugW(const std::string& msg, const std::string& func);
// "[LOG][" func " ]" msg on standard output.
void debugL(const std::string& msg, const std::string& func);
// "[LOG][" func " ]" msg number on standard output.
void debugL(const std::string& msg, int number, const std::string& func);

// Reads a version text into its numeric components. Negative when invalid,
// otherwise 0 or the number of components.
int parserVersion(const std::string& version, std::vector<int>& numbers);
// 0 equal, 1 when a is newer, 2 when a is older, -1 when not comparable.
// Missing components count as zero; with equal numbers a pre-release
// (1.0.0-RC1) is older than the release.
int compareVersion(const std::string& a, const std::string& b);
