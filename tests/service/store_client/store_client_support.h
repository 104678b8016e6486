// Shared pieces of the HTTPS client and repository tests: environment
// overrides that are undone at the end of a test, and a private system root
// with its own "/snap/" tree that the stand-in `snap` lists.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fsutil.h"
#include "json_util.h"
#include "test_support.h"
#include "utils.h"

namespace nelt::test {

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_, old_;
  bool had_ = false;
};

// A private system root: NELT_ROOT points at it, "snap/" exists below it and
// the data folder is "data/". The public-IP lookup is switched off unless a
// test points it at the local store server, so nothing leaves the machine.
class FakeSystem {
 public:
  FakeSystem() : root_env_("NELT_ROOT", dir_.path()) {
    nelt::makeDir(dir_.sub("snap"));
    saved_ip_url_ = IP_LOOKUP_URL;
    saved_ca_ = CA_FILE;
    saved_host_ = nelt::service::URL_HOST;
    IP_LOOKUP_URL.clear();
    CA_FILE.clear();
  }
  ~FakeSystem() {
    IP_LOOKUP_URL = saved_ip_url_;
    CA_FILE = saved_ca_;
    nelt::service::URL_HOST = saved_host_;
  }
  const std::string& root() const { return dir_.path(); }
  std::string snapDir() const { return dir_.sub("snap"); }
  std::string dataDir() const { return dir_.sub("data"); }
  std::string sub(const std::string& rel) const { return dir_.sub(rel); }

  // Installs a snap the way the stand-in `snap` keeps it (revision folder
  // with meta/snap.yaml and a "current" link) and, unless `kavix` is empty,
  // the store's "kavix.json" next to it.
  void installSnap(const std::string& name, const std::string& kavix,
                   const std::string& version = "1.0") const {
    const std::string base = snapDir() + "/" + name;
    nelt::makeDirs(base + "/1/meta");
    writeFile(base + "/1/meta/snap.yaml", "name: " + name + "\nversion: " + version +
                                              "\nsummary: test\napps:\n  " + name +
                                              ":\n    command: bin/run\n");
    symlink("1", (base + "/current").c_str());
    if (!kavix.empty()) writeFile(base + "/kavix.json", kavix);
  }

  static std::string kavixJson(const std::string& long_name, const std::string& slug,
                               const std::string& version) {
    return "{\"name\":\"pkg-" + slug + "\",\"long-name\":\"" + nelt::jsonEscape(long_name) +
           "\",\"slug\":\"" + slug + "\",\"version\":\"" + version + "\"}";
  }

 private:
  TempDir dir_;
  ScopedEnv root_env_;
  std::string saved_ip_url_, saved_ca_, saved_host_;
};

}  // namespace nelt::test
