#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

ProcessResult runProgram(const std::vector<std::string>& argv, bool capture, bool capture_err) {
  return runProgramFollowing(
      argv, capture ? OutputFollower([](const std::string&) {}) : OutputFollower(), capture_err);
}

ProcessResult runProgramFollowing(const std::vector<std::string>& argv,
                                  const OutputFollower& on_output, bool capture_err) {
  const bool capture = static_cast<bool>(on_output);
  ProcessResult result;
  if (argv.empty()) return result;
  int pipefd[2] = {-1, -1};
  int errfd[2] = {-1, -1};
  if (capture && pipe2(pipefd, O_CLOEXEC) != 0) return result;
  if (capture_err && pipe2(errfd, O_CLOEXEC) != 0) {
    if (capture) {
      close(pipefd[0]);
      close(pipefd[1]);
    }
    return result;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (capture) posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  if (capture_err) posix_spawn_file_actions_adddup2(&actions, errfd[1], 2);

  std::vector<char*> args = toArgv(argv);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (capture) close(pipefd[1]);
  if (capture_err) close(errfd[1]);
  if (rc != 0) {
    if (capture) close(pipefd[0]);
    if (capture_err) close(errfd[0]);
    return result;
  }
  result.started = true;
  // Both pipes are drained together, so a child that fills one while we
  // wait on the other never blocks.
  struct pollfd fds[2];
  nfds_t open_fds = 0;
  if (capture) fds[open_fds++] = {pipefd[0], POLLIN, 0};
  if (capture_err) fds[open_fds++] = {errfd[0], POLLIN, 0};
  constexpr size_t MAX_ERR = 64 * 1024;
  while (open_fds > 0) {
    if (poll(fds, open_fds, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t i = 0; i < open_fds;) {
      if (fds[i].revents == 0) {
        ++i;
        continue;
      }
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        if (capture && fds[i].fd == pipefd[0]) {
          result.out.append(buf, static_cast<size_t>(n));
          on_output(result.out);
        } else if (result.err.size() < MAX_ERR)
          result.err.append(buf, std::min(static_cast<size_t>(n), MAX_ERR - result.err.size()));
        ++i;
        continue;
      }
      close(fds[i].fd);
      fds[i] = fds[--open_fds];
    }
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
