// The machine identity sent to the store server with every request.
#pragma once

#include <string>

struct SysInfo {
  std::string os;
  std::string mac_addr;
  std::string ip_addr;
};

namespace nelt {

// The description of `lsb_release -d` without its label and tab; where the
// command is missing, PRETTY_NAME of "/etc/os-release" (or
// "/usr/lib/os-release"), below NELT_ROOT when set; empty when neither says.
std::string readOsDescription();
// PRETTY_NAME of an os-release file's text, unquoted; empty when absent.
std::string parseOsReleasePrettyName(const std::string& text);
// Parses one line of `lsb_release -d` output ("Description:\tName").
std::string parseLsbDescription(const std::string& output);

// Link-layer addresses of every interface but "lo", "%02x" pairs joined by
// ":", interfaces concatenated. Returns false when the interfaces cannot be
// listed.
bool readMacAddresses(std::string& out);

// The public-IP lookup (a plain-text answer) used when nothing else is
// configured, by both programs.
inline constexpr const char* DEFAULT_IP_LOOKUP_URL = "https://api.ipify.org";

}  // namespace nelt
