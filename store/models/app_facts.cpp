#include "app_facts.h"

#include <cstdio>

#include "json_util.h"

namespace nelt {

namespace {

bool digitsOnly(const std::string& text, size_t max_len) {
  if (text.empty() || text.size() > max_len) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// A plain calendar date; days beyond a month's length are refused only
// roughly (31), which is all a displayed date needs.
bool readDate(const std::string& text, int& y, int& m, int& d) {
  if (text.size() < 10 || (text.size() > 10 && text[10] != 'T' && text[10] != ' ')) return false;
  if (text[4] != '-' || text[7] != '-') return false;
  const std::string ys = text.substr(0, 4), ms = text.substr(5, 2), ds = text.substr(8, 2);
  if (!digitsOnly(ys, 4) || !digitsOnly(ms, 2) || !digitsOnly(ds, 2)) return false;
  y = std::stoi(ys);
  m = std::stoi(ms);
  d = std::stoi(ds);
  return y >= 1970 && m >= 1 && m <= 12 && d >= 1 && d <= 31;
}

}  // namespace

AppFacts readAppFacts(const rapidjson::Value& record) {
  AppFacts facts;
  if (!record.IsObject()) return facts;
  const auto size = record.FindMember("size");
  if (size != record.MemberEnd()) {
    const rapidjson::Value& v = size->value;
    if (v.IsUint64()) {
      facts.has_size = true;
      facts.size_bytes = v.GetUint64();
    } else if (v.IsString() && digitsOnly(v.GetString(), 19)) {
      facts.has_size = true;
      facts.size_bytes = std::stoull(v.GetString());
    }
  }
  getString(record, "developer", facts.developer);
  getString(record, "license", facts.license);
  std::string updated;
  if (getString(record, "updatedAt", updated))
    facts.has_updated = readDate(updated, facts.year, facts.month, facts.day);
  const auto count = record.FindMember("rankCount");
  if (count != record.MemberEnd() && count->value.IsInt64() && count->value.GetInt64() >= 0) {
    facts.has_rank_count = true;
    facts.rank_count = count->value.GetInt64();
  }
  return facts;
}

std::string humanSize(uint64_t bytes, char decimal) {
  static const char* const UNITS[] = {"B", "KB", "MB", "GB", "TB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof UNITS / sizeof UNITS[0]) {
    value /= 1024;
    ++unit;
  }
  char text[64];
  if (value >= 99.95) {
    std::snprintf(text, sizeof text, "%.0f %s", value, UNITS[unit]);
    return text;
  }
  std::snprintf(text, sizeof text, "%.1f", value);
  std::string number = text;
  if (number.size() > 2 && number.compare(number.size() - 2, 2, ".0") == 0)
    number.resize(number.size() - 2);
  for (char& c : number)
    if (c == '.') c = decimal;
  return number + " " + UNITS[unit];
}

}  // namespace nelt
