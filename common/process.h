// Running other programs without a shell: every program gets an argument
// vector, so no text from outside can become a command.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nelt {

struct ProcessResult {
  bool started = false;  // false when the program could not be run at all
  int exit_code = -1;    // exit status, or 128 + signal number
  std::string out;       // captured standard output (when requested)
  std::string err;       // captured standard error (when requested)
};

// Runs argv[0] (looked up on PATH) with the given arguments, waits for it and
// returns its status. Standard output is captured when `capture` is true,
// otherwise it is inherited. Standard input is /dev/null. Secrets must never
// be passed as arguments (they are visible to every user of the machine).
// With `capture_err`, standard error is captured too (into `err`, at most
// 64 KiB are kept) instead of reaching this process's standard error: for
// programs whose chatter must not reach a user (the caller logs it).
ProcessResult runProgram(const std::vector<std::string>& argv, bool capture = true,
                         bool capture_err = false);

// Starts argv without waiting. The child is reaped in the background, so it
// never stays a zombie. Returns the pid or -1.
pid_t spawnDetached(const std::vector<std::string>& argv);

}  // namespace nelt
