#include "work_area.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "fsutil.h"
#include "paths.h"

namespace nelt {

namespace {

std::string errnoText() { return std::strerror(errno); }

// The calling user's cache folder: $XDG_CACHE_HOME when it is an absolute
// path, else the home folder's ".cache".
std::string cacheHome() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  std::string dir = home != nullptr && home[0] == '/' ? std::string(home) : std::string();
  if (dir.empty()) {
    std::vector<char> buf(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
      dir = found->pw_dir;
  }
  return dir.empty() ? std::string() : dir + "/.cache";
}

// A folder that is really a folder (not a link to one), owned by this user
// and closed to everybody else.
bool makePrivateFolder(const std::string& path, std::string& error) {
  if (makeDirs(path, 0700) != 0) {
    error = "cannot create " + path + ": " + errnoText();
    return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = path + " is not a folder";
    return false;
  }
  if (st.st_uid != geteuid()) {
    error = path + " belongs to another user";
    return false;
  }
  if ((st.st_mode & 077) != 0 && chmod(path.c_str(), 0700) != 0) {
    error = "cannot make " + path + " private: " + errnoText();
    return false;
  }
  return true;
}

// Job folders of `slug` ("SLUG.XXXXXX") that a job which died left behind.
void removeStaleJobFolders(const std::string& folder, const std::string& slug) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> stale;
  while (struct dirent* ent = readdir(dir)) {
    const std::string name = ent->d_name;
    if (name.size() == slug.size() + 7 && name.compare(0, slug.size() + 1, slug + ".") == 0)
      stale.push_back(folder + "/" + name);
  }
  closedir(dir);
  for (const auto& path : stale) removeTree(path);
}

}  // namespace

int makeJobFolder(const std::string& slug, std::string& path, std::string& error) {
  if (!isValidSlug(slug)) {
    error = "not an application slug";
    return -1;
  }
  if (geteuid() == 0) {
    const std::string root = kavixWorkRoot();
    makeDirs(root, 0775);
    path = root + slug;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(path.c_str());
    if (makeDir(path, 0700) != 0 || lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        emptyFolder(path) != 0 || chmod(path.c_str(), 0700) != 0) {
      error = "cannot create " + path + ": " + errnoText();
      return -1;
    }
    return 0;
  }
  const std::string cache = cacheHome();
  if (cache.empty()) {
    error = "no home folder to work in (set HOME or XDG_CACHE_HOME)";
    return -1;
  }
  const std::string folder = cache + "/nelt/kavix";
  if (!makePrivateFolder(cache + "/nelt", error) || !makePrivateFolder(folder, error)) return -1;
  removeStaleJobFolders(folder, slug);
  std::string tmpl = folder + "/" + slug + ".XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    error = "cannot create a folder in " + folder + ": " + errnoText();
    return -1;
  }
  path = tmpl;
  return 0;
}

std::string installLockFolder() { return systemPath("/tmp"); }

SlugLock::~SlugLock() { release(); }

void SlugLock::release() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor drops the lock
  fd_ = -1;
}

bool SlugLock::acquire(const std::string& slug, std::string& error,
                       const std::function<bool()>& keep_waiting) {
  release();
  if (!isValidSlug(slug)) {
    error = "not an application slug";
    return false;
  }
  const std::string folder = installLockFolder();
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0 && errno == ENOENT && mkdir(folder.c_str(), 01777) == 0)
    chmod(folder.c_str(), 01777);
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "the lock folder " + folder + " is missing";
    return false;
  }
  // In a folder others may write to, only the sticky bit stops them from
  // replacing the lock file with one of their own.
  if ((st.st_uid != 0 && st.st_uid != geteuid()) ||
      ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)) {
    error = "the lock folder " + folder + " is not sticky or belongs to another user";
    return false;
  }
  const std::string path = folder + "/.nelt-install-" + slug + ".lock";
  const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  for (int attempt = 0; attempt < 20; ++attempt) {
    int fd = ::open(path.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
      if (fd < 0 && errno == EEXIST) continue;
      // Every user must be able to open it to take the lock.
      if (fd >= 0) fchmod(fd, 0644);
    }
    if (fd < 0) {
      error = "cannot open the lock file " + path + ": " + errnoText();
      return false;
    }
    struct stat held;
    if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
      ::close(fd);
      error = "the lock file " + path + " is not a regular file";
      return false;
    }
    int rc;
    for (;;) {
      rc = flock(fd, LOCK_EX | LOCK_NB);
      if (rc == 0 || (errno != EWOULDBLOCK && errno != EINTR)) break;
      if (keep_waiting && !keep_waiting()) {
        error = "gave up waiting for another install of " + slug;
        ::close(fd);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (rc != 0) {
      error = "cannot lock " + path + ": " + errnoText();
      ::close(fd);
      return false;
    }
    // The file may have been removed or replaced by its owner while we
    // waited: the lock counts only on the file that is there now.
    struct stat now;
    if (lstat(path.c_str(), &now) == 0 && now.st_dev == held.st_dev && now.st_ino == held.st_ino) {
      fd_ = fd;
      return true;
    }
    ::close(fd);
  }
  error = "the lock file " + path + " keeps changing";
  return false;
}

}  // namespace nelt
