#include "sysinfo.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstdio>
#include <vector>

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

std::string readOsDescription() {
  ProcessResult r = runProgram({"lsb_release", "-d"});
  if (!r.started) return std::string();
  return parseLsbDescription(r.out);
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
