#include "process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace nelt {

namespace {

std::vector<char*> toArgv(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  out.reserve(argv.size() + 1);
  for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ProcessResult runProgram(const std::vector<std::string>& argv, bool capture) {
  return runProgramFollowing(
      argv, capture ? OutputFollower([](const std::string&) {}) : OutputFollower());
}

ProcessResult runProgramFollowing(const std::vector<std::string>& argv,
                                  const OutputFollower& on_output) {
  const bool capture = static_cast<bool>(on_output);
  ProcessResult result;
  if (argv.empty()) return result;
  int pipefd[2] = {-1, -1};
  if (capture && pipe2(pipefd, O_CLOEXEC) != 0) return result;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (capture) posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);

  std::vector<char*> args = toArgv(argv);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (capture) close(pipefd[1]);
  if (rc != 0) {
    if (capture) close(pipefd[0]);
    return result;
  }
  result.started = true;
  if (capture) {
    char buf[4096];
    for (;;) {
      ssize_t n = read(pipefd[0], buf, sizeof buf);
      if (n > 0) {
        result.out.append(buf, static_cast<size_t>(n));
        on_output(result.out);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break;
      }
    }
    close(pipefd[0]);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return result;
  }
  result.exit_code = decodeStatus(status);
  // posix_spawnp reports a missing program through exit status 127.
  if (result.exit_code == 127) result.started = false;
  return result;
}

pid_t spawnDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args = toArgv(argv);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return pid;
}

}  // namespace nelt
