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
#include <ctime>
#include <thread>
#include <vector>

#include "fsutil.h"
#include "own_folder.h"
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

bool makePrivateFolder(const std::string& path, std::string& error) {
  return ensureOwnFolder(path, error);
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

bool partialFolder(std::string& folder, std::string& error) {
  if (geteuid() == 0) {
    const std::string root = kavixWorkRoot();
    makeDirs(root, 0775);
    // Slugs never start with ".", so no job folder can take this name.
    folder = root + ".partial";
    return ensureOwnFolder(folder, error);
  }
  const std::string cache = cacheHome();
  if (cache.empty()) {
    error = "no home folder for downloads (set HOME or XDG_CACHE_HOME)";
    return false;
  }
  folder = cache + "/nelt/partial";
  return makePrivateFolder(cache + "/nelt", error) && makePrivateFolder(folder, error);
}

void removeOldPartials(const std::string& folder, long max_age_seconds) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  const time_t now = time(nullptr);
  std::vector<std::string> old;
  while (struct dirent* ent = readdir(dir)) {
    const std::string name = ent->d_name;
    if (name.size() < 6 || name.compare(name.size() - 5, 5, ".part") != 0) continue;
    const std::string path = folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && now - st.st_mtime > max_age_seconds)
      old.push_back(path);
  }
  closedir(dir);
  for (const auto& path : old) ::unlink(path.c_str());
}

bool installLockFolder(std::string& folder, std::string& error) {
  if (geteuid() == 0) {
    folder = systemPath(RUNTIME_FOLDER);
    return ensureOwnFolder(folder, error, RUNTIME_FOLDER_MODE);
  }
  // The session's runtime folder is used only when it is this user's own and
  // closed to others, as logind makes it; otherwise the cache folder.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st;
  if (runtime != nullptr && runtime[0] == '/' && lstat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == geteuid() && (st.st_mode & 077) == 0) {
    folder = std::string(runtime) + "/nelt";
    return ensureOwnFolder(folder, error);
  }
  const std::string cache = cacheHome();
  if (cache.empty()) {
    error = "no home folder for the install lock (set HOME or XDG_CACHE_HOME)";
    return false;
  }
  folder = cache + "/nelt";
  return makePrivateFolder(folder, error);
}

SlugLock::~SlugLock() { release(); }

void SlugLock::release() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor drops the lock
  fd_ = -1;
}

bool SlugLock::acquire(const std::string& slug, std::string& error,
                       const std::function<bool()>& keep_waiting,
                       const std::function<void()>& on_wait) {
  release();
  if (!isValidSlug(slug)) {
    error = "not an application slug";
    return false;
  }
  std::string folder;
  if (!installLockFolder(folder, error)) return false;
  // Only this user can create anything in `folder`: the file found there is
  // theirs, and nobody else can hold its lock.
  const std::string path = folder + "/install-" + slug + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    error = "cannot use the lock file " + path + (fd < 0 ? ": " + errnoText() : "");
    if (fd >= 0) ::close(fd);
    return false;
  }
  bool told = false;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      error = "cannot lock " + path + ": " + errnoText();
      ::close(fd);
      return false;
    }
    if (!told && on_wait) on_wait();
    told = true;
    if (keep_waiting && !keep_waiting()) {
      error = "gave up waiting for another install of " + slug;
      ::close(fd);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  fd_ = fd;
  return true;
}

}  // namespace nelt
