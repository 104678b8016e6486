// Running other programs without a shell: every program gets an argument
// vector, so no text from outside can become a command.
#pragma once

#include <sys/types.h>

#include <functional>
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

// As runProgram with its output captured, calling `on_output` with all the
// output read so far each time more arrives, so the caller can follow a long
// run line by line. An empty follower means output is inherited instead.
using OutputFollower = std::function<void(const std::string& out_so_far)>;
// `capture_err` as for runProgram.
ProcessResult runProgramFollowing(const std::vector<std::string>& argv,
                                  const OutputFollower& on_output, bool capture_err = false);

// Starts argv without waiting. The child is reaped in the background, so it
// never stays a zombie. Returns the pid or -1.
pid_t spawnDetached(const std::vector<std::string>& argv);

}  // namespace nelt
