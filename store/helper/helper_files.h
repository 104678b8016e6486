// The files the privileged helper takes from its caller and the folders it
// keeps for itself. What the caller hands over is opened once and copied
// into a folder only root can reach; everything after that works on the
// copy, so swapping files in the caller's folder changes nothing.
#pragma once

#include <sys/types.h>

#include <string>

namespace nelt::helper {

// `path` is a plain file of the caller in a folder that only the caller can
// change, on an absolute path free of links and "..".
bool isCallersPrivateFile(const std::string& path, uid_t caller, std::string& error);

// Opens the caller's file once, with the caller's rights, without following
// a link, and checks the opened file itself: a regular file owned by
// `caller` with one link, at most `max_bytes` long. The descriptor or -1
// with the reason in `error`.
int openCallersFile(const std::string& path, uid_t caller, unsigned long long max_bytes,
                    std::string& error);

// Reads a whole small file through `fd` (at most `max_bytes`).
bool readAll(int fd, unsigned long long max_bytes, std::string& out);

// A fresh folder of this job below the runtime folder ("/run/nelt/install/
// SLUG.XXXXXX", mode 0700, root's), removed with everything in it when the
// object goes.
class JobFolder {
 public:
  JobFolder() = default;
  ~JobFolder();
  JobFolder(const JobFolder&) = delete;
  JobFolder& operator=(const JobFolder&) = delete;
  bool create(const std::string& slug, std::string& error);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Copies what `fd` holds into the new file `dest` (readable by the caller
// only through a descriptor passed to them; the folder is closed), at most
// `max_bytes`, and opens the copy for reading. The copy's descriptor or -1
// with the reason in `error`.
int copyToPrivate(int fd, const std::string& dest, unsigned long long max_bytes,
                  std::string& error);

// One root-side lock per snap name ("/run/nelt/locks/NAME.lock"): the
// installs and removals of one snap, whichever user asked, run one after
// the other. Only root can create anything there.
class SnapLock {
 public:
  SnapLock() = default;
  ~SnapLock();
  SnapLock(const SnapLock&) = delete;
  SnapLock& operator=(const SnapLock&) = delete;
  // Waits at most `limit_seconds`; false with the reason in `error`.
  bool acquire(const std::string& name, int limit_seconds, std::string& error);

 private:
  int fd_ = -1;
};

}  // namespace nelt::helper
