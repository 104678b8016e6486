// Where an install job keeps its files, and how jobs of one application in
// different processes (the window, `nelt`, another user's session) keep out of
// each other's way.
#pragma once

#include <functional>
#include <string>

namespace nelt {

// Creates a fresh, empty work folder for one job of `slug` and gives its path.
//
// Run as root, the folder is "/usr/bin/nelt/kavix/" + slug (emptied first),
// which only root can write. Anyone else gets a new folder of their own, mode
// 0700, made with mkdtemp below $XDG_CACHE_HOME/nelt/kavix (or
// ~/.cache/nelt/kavix): nobody else can swap the snap between the unpack and
// the privileged install. Folders left there by a job of the same slug that
// died are removed; the caller must hold the slug's lock. 0 on success, -1
// with the reason in `error`.
int makeJobFolder(const std::string& slug, std::string& path, std::string& error);

// The folder that holds the install lock files: "/tmp" (below NELT_ROOT when
// set). Every user can create files there, and its sticky bit keeps anyone but
// a file's owner (and root) from removing or renaming it.
std::string installLockFolder();

// An exclusive lock on the installs of one slug, across processes and users.
// Held by the job from before its download until its last privileged step,
// so two installs of one application run one after the other.
class SlugLock {
 public:
  SlugLock() = default;
  ~SlugLock();
  SlugLock(const SlugLock&) = delete;
  SlugLock& operator=(const SlugLock&) = delete;

  // Waits until the lock is held. false with the reason in `error` when the
  // lock file cannot be used, or when `keep_waiting` (asked a few times a
  // second while another process holds the lock) says to give up.
  bool acquire(const std::string& slug, std::string& error,
               const std::function<bool()>& keep_waiting = {});
  void release();

 private:
  int fd_ = -1;
};

}  // namespace nelt
