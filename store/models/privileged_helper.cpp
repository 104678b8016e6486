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

void readBatchResults(const std::string& out, size_t count, std::vector<int>& codes,
                      std::vector<std::string>& reasons) {
  codes.assign(count, -1);
  reasons.assign(count, std::string());
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    // "app N CODE REASON": anything else (the count at the end, chatter) is
    // not an application's line.
    if (line.compare(0, 4, "app ") != 0) continue;
    size_t pos = 4;
    size_t index = 0, digits = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9' && digits < 6) {
      index = index * 10 + static_cast<size_t>(line[pos++] - '0');
      ++digits;
    }
    if (digits == 0 || pos >= line.size() || line[pos] != ' ' || index == 0 || index > count)
      continue;
    ++pos;
    const size_t code_start = pos;
    int code = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9' && pos - code_start < 3)
      code = code * 10 + (line[pos++] - '0');
    if (pos == code_start || (pos < line.size() && line[pos] != ' ')) continue;
    codes[index - 1] = code;
    reasons[index - 1] = helperReason(pos < line.size() ? line.substr(pos + 1) : std::string());
  }
}

}  // namespace nelt
