#include "fsutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace nelt {

namespace {

int removeEntries(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  int rc = 0;
  while (rc == 0) {
    errno = 0;
    struct dirent* ent = readdir(dir);
    if (ent == nullptr) break;
    if (std::strcmp(ent->d_name, ".") == 0 || std::strcmp(ent->d_name, "..") == 0) continue;
    std::string child = path + "/" + ent->d_name;
    struct stat st;
    if (lstat(child.c_str(), &st) != 0) {
      rc = -1;
    } else if (S_ISDIR(st.st_mode)) {
      rc = removeTree(child);
    } else {
      rc = unlink(child.c_str());
    }
  }
  closedir(dir);
  return rc;
}

}  // namespace

int removeTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) return -1;
  int rc = removeEntries(path);
  if (rc != 0) return rc;
  return rmdir(path.c_str());
}

int emptyFolder(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
  return removeEntries(path);
}

int writeFileAtomic(const std::string& path, const std::string& data, unsigned mode) {
  std::string tmp = path + ".tmpXXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) return -1;
  fchmod(fd, static_cast<mode_t>(mode));
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      unlink(tmp.c_str());
      return -1;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    unlink(tmp.c_str());
    return -1;
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return -1;
  }
  return 0;
}

bool readWholeFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string readJoinedLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text;
  if (!in) return text;
  std::string line;
  while (std::getline(in, line)) text += line;
  return text;
}

int makeDir(const std::string& path, unsigned mode) {
  if (mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return 0;
  return errno == EEXIST && isDirectory(path) ? 0 : -1;
}

int makeDirs(const std::string& path, unsigned mode) {
  if (path.empty()) return -1;
  for (size_t pos = 1; pos < path.size(); ++pos) {
    if (path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (!isDirectory(part) && mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 &&
          errno != EEXIST)
        return -1;
    }
  }
  return makeDir(path, mode);
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool isSafeFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool isValidSlug(const std::string& slug) {
  if (slug.empty() || slug.size() > 255 || slug[0] == '.') return false;
  for (unsigned char c : slug) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

}  // namespace nelt

int remove_directory(const char* path) {
  if (path == nullptr) return -1;
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  closedir(dir);
  return nelt::removeTree(path);
}
