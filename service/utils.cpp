#include "utils.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>

#include "paths.h"
#include "protocol.h"

std::string nelt::service::URL_HOST;
int PORT_LOCAL = 0;
int* PORT_LOCAL_A = nullptr;
int LEN_PORT_LOCAL_A = 0;
std::string KAVIX_PATH;
std::string DATA_CACHE_PATH;
std::string IP_LOOKUP_URL = DEFAULT_IP_LOOKUP_URL;
std::string ALLOWED_GROUP = "sudo";
int VERSION_REUSE_SECONDS = 60;
std::string CA_FILE;
std::string PORT_FILE_PATH;

std::string servicePortFile() {
  return PORT_FILE_PATH.empty() ? nelt::portFilePath() : PORT_FILE_PATH;
}

namespace {
// Both service threads log; keep each line whole.
std::mutex log_mutex;

void copyString(const rapidjson::Document& doc, const char* key, std::string& target) {
  auto it = doc.FindMember(key);
  if (it != doc.MemberEnd() && it->value.IsString())
    target.assign(it->value.GetString(), it->value.GetStringLength());
}

// A TCP port number; anything else would be cut down to another port when the
// socket address is filled in, so it counts as a value of the wrong type.
bool isPort(const rapidjson::Value& v) {
  return v.IsInt() && v.GetInt() >= 0 && v.GetInt() <= 65535;
}
}  // namespace

void kavix_load_config(const std::string& path) {
  std::ifstream in(path);
  std::string text, line;
  if (in) {
    while (std::getline(in, line)) text += line;
  }
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) return;

  copyString(doc, "host", nelt::service::URL_HOST);
  auto it = doc.FindMember("local_port");
  if (it != doc.MemberEnd() && isPort(it->value)) PORT_LOCAL = it->value.GetInt();
  it = doc.FindMember("local_port_a");
  if (it != doc.MemberEnd() && it->value.IsArray()) {
    const auto& arr = it->value;
    std::vector<int> ports;
    for (const auto& v : arr.GetArray())
      if (isPort(v)) ports.push_back(v.GetInt());
    if (!ports.empty()) {
      // Owned by the process for its whole life.
      PORT_LOCAL_A = new int[ports.size()];
      LEN_PORT_LOCAL_A = 0;
      for (int p : ports) PORT_LOCAL_A[LEN_PORT_LOCAL_A++] = p;
    }
  }
  copyString(doc, "kavix_path", KAVIX_PATH);
  copyString(doc, "data_kavix_path", DATA_CACHE_PATH);
  copyString(doc, "ip_lookup_url", IP_LOOKUP_URL);
  copyString(doc, "ca_file", CA_FILE);
  copyString(doc, "allowed_group", ALLOWED_GROUP);
  std::string port_file;
  copyString(doc, "port_file", port_file);
  // Only an absolute path: a relative one would land wherever the service
  // was started, where no client looks.
  if (!port_file.empty() && port_file[0] == '/') PORT_FILE_PATH = port_file;
  it = doc.FindMember("version_reuse_seconds");
  if (it != doc.MemberEnd() && it->value.IsInt() && it->value.GetInt() >= 0)
    VERSION_REUSE_SECONDS = it->value.GetInt();
}

void debugE(int code, const std::string& msg, const std::string& func) {
  std::lock_guard<std::mutex> lock(log_mutex);
  if (func.empty())
    std::cerr << "[ERROR][" << code << "]" << msg << std::endl;
  else
    std::cerr << "[ERROR][" << func << " _ " << code << "]" << msg << std::endl;
}

void debugW(const std::string& msg, const std::string& func) {
  std::lock_guard<std::mutex> lock(log_mutex);
  if (func.empty())
    std::cout << "[WARNING]" << msg << std::endl;
  else
    std::cout << "[WARNING][" << func << " ]" << msg << std::endl;
}

void debugL(const std::string& msg, const std::string& func) {
  std::lock_guard<std::mutex> lock(log_mutex);
  if (func.empty())
    std::cout << "[LOG]" << msg << std::endl;
  else
    std::cout << "[LOG][" << func << " ]" << msg << std::endl;
}

void debugL(const std::string& msg, int number, const std::string& func) {
  std::lock_guard<std::mutex> lock(log_mutex);
  if (func.empty())
    std::cout << "[LOG]" << msg << number << std::endl;
  else
    std::cout << "[LOG][" << func << " ]" << msg << number << std::endl;
}

int parserVersion(const std::string& version, std::vector<int>& numbers) {
  if (version.find('.') == std::string::npos) {
    numbers.push_back(nelt::atoiLike(version));
    return 0;
  }
  std::vector<std::string> parts;
  stringtok(version, ".", parts);
  if (parts.size() >= 2) {
    for (const auto& p : parts) numbers.push_back(nelt::atoiLike(p));
    return static_cast<int>(parts.size());
  }
  if (parts.size() == 1) {
    const int v = nelt::atoiLike(parts[0]);
    if (v == 0) return -1;
    // "5." or ".5": one number, compared like a text without a dot.
    numbers.push_back(v);
    return 1;
  }
  return 0;
}

namespace {

// The pre-release tag of a version ("rc1" of 1.0.0-RC1, "beta" of 1.0~beta):
// the text after the first "-" or "~" that follows a digit and starts with a
// letter, lower-cased. Empty for a release. A tag of digits only (1.2.3-1) is
// a packaging revision, not a pre-release.
std::string preReleaseTag(const std::string& version) {
  for (size_t i = 1; i + 1 < version.size(); ++i) {
    const char c = version[i];
    if ((c != '-' && c != '~') || !std::isdigit(static_cast<unsigned char>(version[i - 1])))
      continue;
    if (!std::isalpha(static_cast<unsigned char>(version[i + 1]))) return std::string();
    std::string tag = version.substr(i + 1);
    for (char& t : tag) t = static_cast<char>(std::tolower(static_cast<unsigned char>(t)));
    return tag;
  }
  return std::string();
}

// Orders two tags with runs of digits compared as numbers (rc2 before rc10).
int compareTags(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i]));
    const bool db = std::isdigit(static_cast<unsigned char>(b[j]));
    if (da && db) {
      size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      const int na = nelt::atoiLike(a.substr(i, ei - i));
      const int nb = nelt::atoiLike(b.substr(j, ej - j));
      if (na != nb) return na < nb ? 2 : 1;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j] ? 2 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return 2;
  return 0;
}

}  // namespace

int compareVersion(const std::string& a, const std::string& b) {
  // An empty text is no version at all: nothing to offer an update against.
  if (a.empty() || b.empty()) return -1;
  std::vector<int> va, vb;
  if (parserVersion(a, va) < 0) return -1;
  if (parserVersion(b, vb) < 0) return -1;
  // Missing components count as zero: 1.2 is 1.2.0, and 1.3.0 is newer.
  const size_t n = std::max(va.size(), vb.size());
  va.resize(n, 0);
  vb.resize(n, 0);
  for (size_t i = 0; i < n; ++i) {
    if (va[i] < vb[i]) return 2;
    if (va[i] > vb[i]) return 1;
  }
  // Same numbers: a pre-release comes before its release.
  const std::string ta = preReleaseTag(a), tb = preReleaseTag(b);
  if (ta.empty() && tb.empty()) return 0;
  if (ta.empty()) return 1;
  if (tb.empty()) return 2;
  return compareTags(ta, tb);
}
