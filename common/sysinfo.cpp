#include "sysinfo.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstdio>
#include <vector>

#include "paths.h"
#include "process.h"
#include "protocol.h"

namespace nelt {

std::string parseLsbDescription(const std::string& output) {
  std::string line = output.substr(0, output.find('\n'));
  if (line.size() > 1023) line.resize(1023);
  std::vector<std::string> pieces;
  stringtok(line, ":", pieces);
  if (pieces.size() < 2) return std::string();
  std::string os = pieces[1];
  if (!os.empty()) os.erase(0, 1);  // the tab after the label
  while (!os.empty() && (os.back() == '\r' || os.back() == '\n')) os.pop_back();
  return os;
}

std::string parseOsReleasePrettyName(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.compare(0, 12, "PRETTY_NAME=") != 0) continue;
    std::string value = line.substr(12);
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
    // Shell-style quoting: "…" (with backslash escapes) or '…'.
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      const char quote = value[0];
      const std::string inner = value.substr(1, value.size() - 2);
      value.clear();
      for (size_t i = 0; i < inner.size(); ++i) {
        if (quote == '"' && inner[i] == '\\' && i + 1 < inner.size()) ++i;
        value += inner[i];
      }
    }
    if (value.size() > 1023) value.resize(1023);
    return value;
  }
  return std::string();
}

std::string readOsDescription() {
  ProcessResult r = runProgram({"lsb_release", "-d"});
  if (r.started) return parseLsbDescription(r.out);
  // A minimal system has no lsb_release; os-release holds the same name.
  std::FILE* file = std::fopen(systemPath("/etc/os-release").c_str(), "re");
  if (file == nullptr) file = std::fopen(systemPath("/usr/lib/os-release").c_str(), "re");
  if (file == nullptr) return std::string();
  std::string text;
  char buf[4096];
  size_t n = 0;
  while (text.size() < 65536 && (n = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
  std::fclose(file);
  return parseOsReleasePrettyName(text);
}

bool readMacAddresses(std::string& out) {
  out.clear();
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  for (struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_name == nullptr) continue;
    if (std::string(ifa->ifa_name) == "lo") continue;
    if (ifa->ifa_addr->sa_family != AF_PACKET) continue;
    const auto* ll = reinterpret_cast<const struct sockaddr_ll*>(ifa->ifa_addr);
    for (int i = 0; i < ll->sll_halen && i < 8; ++i) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%02x", ll->sll_addr[i]);
      out += buf;
      if (i + 1 < ll->sll_halen) out += ':';
    }
  }
  freeifaddrs(list);
  return true;
}

}  // namespace nelt
