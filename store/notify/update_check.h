// One look at the store service's update list for `nelt-notify`, without Qt:
// the same installed-list request the window's updates page makes, reduced
// to the applications that have a newer version.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace nelt::notify {

// An application with an update, as the service reports it.
struct PendingUpdate {
  std::string slug;
  std::string version;  // the newer version ("new-version")
  bool operator<(const PendingUpdate& o) const {
    return slug != o.slug ? slug < o.slug : version < o.version;
  }
  bool operator==(const PendingUpdate& o) const { return slug == o.slug && version == o.version; }
};

enum class CheckResult {
  Ok,           // `updates` holds the list (possibly empty)
  Unreachable,  // no port file, no connection, or no answer in time
  Refused,      // the service answered with another status or another shape
};

// Reads the port file, connects to the service, asks for the installed list
// and keeps the entries marked for update, sorted and without repeats. The
// connection is closed again before returning: between checks the program
// holds nothing open. `reason` says why a check failed.
CheckResult fetchUpdates(std::chrono::milliseconds timeout, std::vector<PendingUpdate>& updates,
                         std::string& reason);

// Whether `now` holds an update that `before` did not: a new application or
// a newer version of one. Updates that went away (installed or withdrawn)
// are no news.
bool hasNews(const std::vector<PendingUpdate>& before, const std::vector<PendingUpdate>& now);

}  // namespace nelt::notify

namespace nelt::notify {

// A check interval: a whole number of seconds, or a number followed by "s",
// "m" or "h". Between 1 s and 7 days; false for anything else.
bool parseInterval(const std::string& text, std::chrono::seconds& out);

}  // namespace nelt::notify
