#include "utils.h"

#include <rapidjson/document.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>

#include "protocol.h"

std::string URL_HOST;
int PORT_LOCAL = 0;
int* PORT_LOCAL_A = nullptr;
int LEN_PORT_LOCAL_A = 0;
std::string KAVIX_PATH;
std::string DATA_CACHE_PATH;
std::string IP_LOOKUP_URL = DEFAULT_IP_LOOKUP_URL;
std::string CA_FILE;

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

  copyString(doc, "host", URL_HOST);
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

int compareVersion(const std::string& a, const std::string& b) {
  std::vector<int> va, vb;
  if (parserVersion(a, va) < 0) return -1;
  if (parserVersion(b, vb) < 0) return -1;
  if (va.size() != vb.size()) return -1;
  for (size_t i = 0; i < va.size(); ++i) {
    if (va[i] < vb[i]) return 2;
    if (va[i] > vb[i]) return 1;
  }
  return 0;
}
