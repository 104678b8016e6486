#include "own_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fsutil.h"

namespace nelt {

bool ensureOwnFolder(const std::string& path, std::string& error, unsigned mode) {
  const size_t slash = path.rfind('/');
  const std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
  if (slash == std::string::npos || (!isDirectory(parent) && makeDirs(parent, 0755) != 0)) {
    error = "cannot create " + parent + ": " + std::strerror(errno);
    return false;
  }
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = path + " is not a folder";
    return false;
  }
  if (st.st_uid != geteuid()) {
    error = path + " belongs to uid " + std::to_string(st.st_uid) + ", not to uid " +
            std::to_string(geteuid());
    return false;
  }
  if ((st.st_mode & 0777 & ~mode) != 0 &&
      chmod(path.c_str(), static_cast<mode_t>(st.st_mode & 0777 & mode)) != 0) {
    error = "cannot make " + path + " private: " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace nelt
