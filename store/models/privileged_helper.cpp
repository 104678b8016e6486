#include "privileged_helper.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nelt {

std::string privilegedHelperPath() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    std::string dir(exe, static_cast<size_t>(n));
    dir.erase(dir.rfind('/') + 1);
    const std::string beside = dir + "nelt-helper";
    struct stat st;
    if (stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return beside;
  }
  return "/usr/bin/nelt-helper";
}

std::string helperReason(const std::string& out) {
  size_t end = out.size();
  while (end > 0 && (out[end - 1] == '\n' || out[end - 1] == '\r')) --end;
  const size_t start = out.rfind('\n', end == 0 ? 0 : end - 1);
  const std::string line = out.substr(start == std::string::npos ? 0 : start + 1,
                                      end - (start == std::string::npos ? 0 : start + 1));
  std::string clean;
  for (unsigned char c : line)
    if (c >= 0x20 && c != 0x7f && clean.size() < 300) clean.push_back(static_cast<char>(c));
  return clean;
}

}  // namespace nelt
