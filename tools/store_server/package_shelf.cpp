#include "package_shelf.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <vector>

#include "fsutil.h"

namespace nelt::store_server {

namespace {

const char SUFFIX[] = ".kavix";

std::vector<std::string> splitDots(const std::string& v) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = v.find('.', start);
    parts.push_back(v.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) return parts;
    start = dot + 1;
  }
}

bool allDigits(const std::string& s) {
  if (s.empty() || s.size() > 18) return false;
  for (unsigned char c : s) {
    if (!std::isdigit(c)) return false;
  }
  return true;
}

}  // namespace

bool PackageShelf::isValidVersion(const std::string& version) {
  if (version.empty() || version.size() > 64 || version[0] == '.') return false;
  for (unsigned char c : version) {
    if (!std::isalnum(c) && c != '.' && c != '_' && c != '-' && c != '+' && c != '~') return false;
  }
  return true;
}

int PackageShelf::compareVersions(const std::string& a, const std::string& b) {
  const auto pa = splitDots(a);
  const auto pb = splitDots(b);
  for (size_t i = 0; i < pa.size() || i < pb.size(); ++i) {
    const std::string x = i < pa.size() ? pa[i] : "0";
    const std::string y = i < pb.size() ? pb[i] : "0";
    int c = 0;
    if (allDigits(x) && allDigits(y)) {
      const long long nx = std::strtoll(x.c_str(), nullptr, 10);
      const long long ny = std::strtoll(y.c_str(), nullptr, 10);
      c = nx < ny ? -1 : (nx > ny ? 1 : 0);
    } else {
      c = x.compare(y) < 0 ? -1 : (x.compare(y) > 0 ? 1 : 0);
    }
    if (c != 0) return c;
  }
  return 0;
}

bool PackageShelf::find(const std::string& slug, const std::string& version, std::string& path,
                        uint64_t& size) const {
  if (folder_.empty() || !nelt::isValidSlug(slug) || !isValidVersion(version)) return false;
  path = folder_ + "/" + slug + "/" + version + SUFFIX;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

std::string PackageShelf::newestVersion(const std::string& slug) const {
  if (folder_.empty() || !nelt::isValidSlug(slug)) return "";
  DIR* d = opendir((folder_ + "/" + slug).c_str());
  if (d == nullptr) return "";
  std::string best;
  const size_t suffix_len = sizeof SUFFIX - 1;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() <= suffix_len || name.compare(name.size() - suffix_len, suffix_len, SUFFIX))
      continue;
    const std::string version = name.substr(0, name.size() - suffix_len);
    if (!isValidVersion(version)) continue;
    if (best.empty() || compareVersions(version, best) > 0) best = version;
  }
  closedir(d);
  return best;
}

}  // namespace nelt::store_server
