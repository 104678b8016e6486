// How the privileged helper runs other programs: by absolute path, with a
// fixed minimal environment, without a shell, with time and output limits;
// a program that reads a file the caller supplied runs as the caller.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nelt::helper {

// The system program NAME: "/usr/bin/NAME". Only below NELT_ROOT (tests, run
// by the stand-in pkexec, which keeps the caller's environment; the real
// pkexec clears it) is it looked up on PATH, where the stand-ins come first.
std::string systemProgram(const std::string& name);

// The environment every program the helper runs gets: the C locale, PATH
// of the system folders and root's HOME; below NELT_ROOT instead PATH and
// the NELT_* switches of the stand-ins as given.
std::vector<std::string> programEnvironment();

struct RunSpec {
  int time_limit_seconds = 600;  // killed after this (wall clock)
  size_t max_output = 1 << 20;   // standard output kept; the program is killed beyond
  uid_t as_uid = 0;              // runs as this user when the helper is root and it is not 0
  int input_fd = -1;             // handed to the program as descriptor 3 when >= 0
};

struct RunResult {
  bool started = false;
  bool cut = false;  // killed for its time or output limit
  int exit_code = -1;
  std::string out;
};

RunResult runLimited(const std::vector<std::string>& argv, const RunSpec& spec);

// Reads meta/snap.yaml from the snap open at `snap_fd` with unsquashfs, run
// as `caller` on that descriptor (never by a path someone could change), and
// gives its "name" and "version". false with the reason in `error`.
bool readSnapYaml(int snap_fd, uid_t caller, std::string& name, std::string& version,
                  std::string& error);

}  // namespace nelt::helper
