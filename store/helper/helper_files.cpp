#include "helper_files.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "fsutil.h"
#include "own_folder.h"
#include "paths.h"

namespace nelt::helper {

namespace {

std::string parentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A copy must leave this much room on the runtime folder's file system.
constexpr unsigned long long COPY_FREE_MARGIN = 16ULL << 20;

// Sets the file-system identity to the caller's while the helper opens
// their file, so root's rights never reach a file the caller could not
// open themselves; restored on leaving.
class CallerRights {
 public:
  explicit CallerRights(uid_t caller) : active_(geteuid() == 0 && caller != 0) {
    if (!active_) return;
    std::vector<char> buf(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    const gid_t gid = getpwuid_r(caller, &pw, buf.data(), buf.size(), &found) == 0 && found
                          ? found->pw_gid
                          : 65534;
    setfsgid(gid);
    setfsuid(caller);
    ok_ = static_cast<uid_t>(setfsuid(caller)) == caller;
  }
  ~CallerRights() {
    if (!active_) return;
    setfsuid(0);
    setfsgid(0);
  }
  bool ok() const { return ok_; }

 private:
  bool active_;
  bool ok_ = true;
};

}  // namespace

bool isCallersPrivateFile(const std::string& path, uid_t caller, std::string& error) {
  char resolved[PATH_MAX];
  if (path.empty() || path[0] != '/' || realpath(path.c_str(), resolved) == nullptr ||
      path != resolved) {
    error = path + " is not an absolute path free of links";
    return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      st.st_uid != caller) {
    error = path + " is not a file of the calling user";
    return false;
  }
  const std::string folder = parentOf(path);
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != caller ||
      (st.st_mode & 077) != 0) {
    error = folder + " is not a private work folder of the calling user";
    return false;
  }
  for (std::string dir = parentOf(folder);; dir = parentOf(dir)) {
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        (st.st_uid != 0 && st.st_uid != caller)) {
      error = dir + " belongs to another user";
      return false;
    }
    // Writable by others only with the sticky bit (like /tmp), which keeps
    // them from renaming what is not theirs; a root group counts as root.
    const bool others_write =
        (st.st_mode & 002) != 0 || ((st.st_mode & 020) != 0 && st.st_gid != 0);
    if (others_write && (st.st_mode & S_ISVTX) == 0) {
      error = dir + " can be changed by other users";
      return false;
    }
    if (dir == "/") break;
  }
  return true;
}

int openCallersFile(const std::string& path, uid_t caller, unsigned long long max_bytes,
                    std::string& error) {
  int fd = -1;
  {
    CallerRights rights(caller);
    if (!rights.ok()) {
      error = "cannot take the calling user's rights";
      return -1;
    }
    // O_NONBLOCK: a FIFO put in place of the file must not stall root.
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  }
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != caller || st.st_nlink != 1) {
    error = path + " is not a file of the calling user";
    ::close(fd);
    return -1;
  }
  if (static_cast<unsigned long long>(st.st_size) > max_bytes) {
    error = path + " is larger than " + std::to_string(max_bytes) + " bytes";
    ::close(fd);
    return -1;
  }
  return fd;
}

bool readAll(int fd, unsigned long long max_bytes, std::string& out) {
  out.clear();
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > max_bytes) return false;
  }
}

JobFolder::~JobFolder() {
  if (!path_.empty()) removeTree(path_);
}

bool JobFolder::create(const std::string& slug, std::string& error) {
  const std::string runtime = systemPath(RUNTIME_FOLDER);
  const std::string jobs = runtime + "/install";
  if (!ensureOwnFolder(runtime, error, RUNTIME_FOLDER_MODE) || !ensureOwnFolder(jobs, error))
    return false;
  std::string tmpl = jobs + "/" + slug + ".XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    error = "cannot create a folder in " + jobs + ": " + std::strerror(errno);
    return false;
  }
  path_ = tmpl;
  return true;
}

int copyToPrivate(int fd, const std::string& dest, unsigned long long max_bytes,
                  std::string& error) {
  struct stat st;
  struct statvfs vfs;
  const std::string folder = parentOf(dest);
  if (fstat(fd, &st) != 0 || statvfs(folder.c_str(), &vfs) != 0 ||
      static_cast<unsigned long long>(st.st_size) + COPY_FREE_MARGIN >
          static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize) {
    error = "no room for a copy of the snap in " + folder;
    return -1;
  }
  // Readable by others only through a descriptor: its folder is closed.
  const int out = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (out < 0) {
    error = "cannot create " + dest + ": " + std::strerror(errno);
    return -1;
  }
  std::vector<char> buf(1 << 20);
  unsigned long long total = 0;
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    total += static_cast<unsigned long long>(n);
    if (total > max_bytes || ::write(out, buf.data(), static_cast<size_t>(n)) != n) {
      ok = false;
      break;
    }
  }
  ok = ::close(out) == 0 && ok;
  if (!ok) {
    error = "cannot copy the snap into " + folder;
    return -1;
  }
  const int copy = ::open(dest.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (copy < 0) error = "cannot open " + dest + ": " + std::strerror(errno);
  return copy;
}

SnapLock::~SnapLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool SnapLock::acquire(const std::string& name, int limit_seconds, std::string& error) {
  const std::string runtime = systemPath(RUNTIME_FOLDER);
  const std::string locks = runtime + "/locks";
  if (!ensureOwnFolder(runtime, error, RUNTIME_FOLDER_MODE) || !ensureOwnFolder(locks, error))
    return false;
  const std::string path = locks + "/" + name + ".lock";
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    error = "cannot use the lock file " + path;
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds);
  while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
      error = "another install or removal of the snap " + name + " did not end in time";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

}  // namespace nelt::helper
