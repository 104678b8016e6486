// The one set-up of every libcurl transfer of both programs: time limits,
// allowed protocols, trusted certificates, the checks of header values and
// the client identity text sent to the store server.
#pragma once

#include <curl/curl.h>

#include <string>

#include "sysinfo.h"

namespace nelt {

// Limits of one kind of transfer. A zero leaves libcurl's default, which for
// the time limits means no limit at all: each caller sets the ones that bound
// its waits.
struct TransferLimits {
  long total_seconds = 0;    // the whole transfer, connection included
  long connect_seconds = 0;  // establishing the connection alone
  // A transfer that moves fewer than low_speed_bytes per second for
  // low_speed_seconds has failed (downloads of any size, without a total).
  long low_speed_bytes = 0;
  long low_speed_seconds = 0;
  long buffer_bytes = 0;  // receive buffer; 0 keeps libcurl's
};

// Sets `handle` up the way every transfer runs: `limits`, no signals (the
// handles run on worker threads), http and https only (a configured address
// must never read a local file or speak another protocol), and the
// certificates of `ca_file` trusted besides the system's. Returns 0, or -1
// when `ca_file` cannot be read (the system's trust store then stays alone).
int setUpTransfer(CURL* handle, const TransferLimits& limits, const std::string& ca_file = "");

// Makes `handle` trust the certificates of `ca_file` in addition to the
// system's trust store. An empty name leaves libcurl's defaults. Returns 0,
// or -1 when the file cannot be read (the defaults then stay in force).
int trustCertificates(CURL* handle, const std::string& ca_file);

// An identity value (a command's output, the IP lookup's body) made fit for a
// header line: control characters (line ends, NUL) dropped, then surrounding
// blanks trimmed, so that every program sends the same bytes.
std::string headerSafe(const std::string& value);

// A value sent as it is, such as an account token: usable only when it is not
// empty and holds no blank and no control character, which would split the
// header line or be cut by the server.
bool headerValueUsable(const std::string& value);

// "OS:<os>, MacAddr:<mac>, IPAddr:<ip>, User: <kind>"; each program appends
// its own status part.
std::string identityText(const SysInfo& info, const std::string& kind);

// Body of a GET of `url` (the public-IP lookup), bounded by `timeout_sec`,
// over http or https only. Empty on any failure or when `url` is empty.
std::string fetchPublicIp(const std::string& url, long timeout_sec,
                          const std::string& ca_file = "");

}  // namespace nelt
