// The facts a store record may give about an application before it is
// installed: download size, developer, licence, date of the last update and
// the number of ratings. Read once here for the window's detail page and
// `nelt info`; a fact that is missing or of another shape is simply absent.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <string>

namespace nelt {

struct AppFacts {
  bool has_size = false;
  uint64_t size_bytes = 0;  // "size": bytes, a number or a string of digits
  std::string developer;    // "developer"
  std::string license;      // "license"
  bool has_updated = false;
  int year = 0, month = 0, day = 0;  // "updatedAt": "YYYY-MM-DD", perhaps with a time after it
  bool has_rank_count = false;
  int64_t rank_count = 0;  // "rankCount": a whole number, 0 or more
};

// The facts `record` holds; never fails (a record of any shape gives none).
AppFacts readAppFacts(const rapidjson::Value& record);

// `bytes` in human units with one decimal below 100 ("1,8 MB", "12,5 MB",
// "512 KB", "800 B"; 1 KB = 1024 B), `decimal` as the decimal separator
// ("," in Vietnamese, "." on the command line). A decimal of 0 is left off.
std::string humanSize(uint64_t bytes, char decimal);

}  // namespace nelt
