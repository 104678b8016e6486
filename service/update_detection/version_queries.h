// The store's current version of many applications at once: one detail
// request per application, several in flight together, all under one
// deadline. Each request is the one the store channel sends for a detail
// record by name (same path, headers and time limits); nothing here touches
// the channel itself, so it may run on any thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct VersionQuery {
  std::string slug;
  std::string version;  // the store's "currentVersion" when `answered`
  bool answered = false;
};

struct VersionQuerySetup {
  std::string base_url;                   // the store server, no trailing "/"
  std::vector<std::string> header_lines;  // the store channel's header list
  std::string ca_file;
  long transfer_seconds = 10;
  long connect_seconds = 5;
  int parallel = 8;  // requests in flight at most
};

// The detail-by-name address of `slug` below `base_url`.
std::string detailByNameUrl(const std::string& base_url, const std::string& slug);

// Answers what it can before `deadline`; a query that fails, is refused or
// is still running at the deadline stays unanswered.
void queryVersions(std::vector<VersionQuery>& queries, const VersionQuerySetup& setup,
                   std::chrono::steady_clock::time_point deadline);

// Version answers kept for a while, so lists asked for in quick succession
// do not ask the store again. Thread-safe.
class VersionCache {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // `clock` tells the age of an answer; tests pass their own.
  explicit VersionCache(Clock clock = std::chrono::steady_clock::now) : clock_(std::move(clock)) {}

  // Fills the queries answered less than `max_age` ago; returns how many.
  size_t fill(std::vector<VersionQuery>& queries, std::chrono::seconds max_age);
  void store(const std::vector<VersionQuery>& queries);

 private:
  struct Entry {
    std::string version;
    std::chrono::steady_clock::time_point at;
  };
  Clock clock_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};
