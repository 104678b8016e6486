#include "helper_run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "kavix_format.h"
#include "paths.h"
#include "snap_state.h"

extern char** environ;

namespace nelt::helper {

namespace {

constexpr const char* SYSTEM_PATH = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// The caller's primary group, or nogroup when they have no passwd entry.
gid_t primaryGroup(uid_t uid) {
  std::vector<char> buf(16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr)
    return found->pw_gid;
  return 65534;
}

// In the child, before exec: only async-signal-safe calls.
[[noreturn]] void execChild(char* const* argv, char* const* envp, int out_fd, const RunSpec& spec,
                            gid_t gid) {
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(null_fd, 2) < 0)
    _exit(126);
  if (spec.input_fd >= 0 && spec.input_fd != 3 && dup2(spec.input_fd, 3) < 0) _exit(126);
  if (spec.input_fd == 3 && fcntl(3, F_SETFD, 0) != 0) _exit(126);
  const rlim_t cpu = static_cast<rlim_t>(spec.time_limit_seconds);
  const struct rlimit cpu_limit = {cpu, cpu};
  setrlimit(RLIMIT_CPU, &cpu_limit);
  if (geteuid() == 0 && spec.as_uid != 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(spec.as_uid) != 0) _exit(126);
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  }
  execve(argv[0], argv, envp);
  _exit(127);
}

// Reads the child's output until it ends, the limit or the deadline.
void collect(int fd, const RunSpec& spec, RunResult& result) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(spec.time_limit_seconds);
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    struct pollfd p = {fd, POLLIN, 0};
    const int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      result.cut = true;
      return;
    }
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    result.out.append(buf, static_cast<size_t>(n));
    if (result.out.size() > spec.max_output) {
      result.cut = true;
      return;
    }
  }
}

}  // namespace

std::string systemProgram(const std::string& name) {
  if (rootPrefix().empty()) return "/usr/bin/" + name;
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    start = end + 1;
    if (dir.empty() || dir[0] != '/') continue;
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "/usr/bin/" + name;
}

std::vector<std::string> programEnvironment() {
  std::vector<std::string> env = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"};
  if (rootPrefix().empty()) {
    env.push_back(SYSTEM_PATH);
    env.push_back("HOME=/root");
    return env;
  }
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("PATH=", 0) == 0 || entry.rfind("NELT_", 0) == 0) env.push_back(entry);
  }
  return env;
}

RunResult runLimited(const std::vector<std::string>& args, const RunSpec& spec) {
  RunResult result;
  if (args.empty() || args[0].empty() || args[0][0] != '/') return result;
  std::vector<std::string> env_text = programEnvironment();
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env_text) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const gid_t gid = spec.as_uid != 0 ? primaryGroup(spec.as_uid) : 0;
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return result;
  // The helper runs one thread: a plain fork is safe here.
  const pid_t pid = fork();
  if (pid == 0) execChild(argv.data(), envp.data(), pipefd[1], spec, gid);
  ::close(pipefd[1]);
  if (pid < 0) {
    ::close(pipefd[0]);
    return result;
  }
  collect(pipefd[0], spec, result);
  ::close(pipefd[0]);
  if (result.cut) ::kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.started = result.exit_code != 127 && result.exit_code != 126;
  return result;
}

bool readSnapYaml(int snap_fd, uid_t caller, std::string& name, std::string& version,
                  std::string& error) {
  // A snap.yaml is a few kilobytes, and unsquashfs on a local file answers
  // at once: a snap that streams on or stalls is no snap.
  RunSpec spec;
  spec.time_limit_seconds = 30;
  spec.max_output = 64 * 1024;
  spec.as_uid = caller;
  spec.input_fd = snap_fd;
  // The descriptor, not a path: what is read is the open copy, and the
  // caller's rights reach it only through this descriptor.
  const RunResult r =
      runLimited({systemProgram("unsquashfs"), "-cat", "/proc/self/fd/3", "meta/snap.yaml"}, spec);
  if (!r.started) {
    error = "cannot run unsquashfs (squashfs-tools)";
    return false;
  }
  if (r.cut) {
    error = "the snap's meta/snap.yaml is too large or cannot be read in time";
    return false;
  }
  if (r.exit_code != 0) {
    error = "the snap file has no readable meta/snap.yaml";
    return false;
  }
  return snapYamlIdentity(r.out, name, version, error);
}

}  // namespace nelt::helper
