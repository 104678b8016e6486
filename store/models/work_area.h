// Where an install job keeps its files, and how jobs of one application in
// one user's processes (the window, `nelt`) keep out of each other's way.
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

// The folder where this user's interrupted package downloads wait to be
// resumed: "$XDG_CACHE_HOME/nelt/partial" (or ~/.cache), private (0700) and
// refused when not the user's own; root's lies beside its work folders. Old
// partial files there (see removeOldPartials) are removed on the way.
bool partialFolder(std::string& folder, std::string& error);

// Removes the regular "*.part" files in `folder` last written more than
// `max_age_seconds` ago: a download nobody resumed for days is not coming
// back, and packages are large.
void removeOldPartials(const std::string& folder, long max_age_seconds);

// The folder of this user's install locks, created private (0700) when
// missing and refused when it is not the user's own: root's is the runtime
// folder "/run/nelt"; anyone else's is "$XDG_RUNTIME_DIR/nelt" when that
// runtime folder is theirs and closed to others, else the cache folder's
// "nelt". No other user can create, hold or replace a lock there.
bool installLockFolder(std::string& folder, std::string& error);

// An exclusive lock on one user's installs of one slug, across their
// processes (the window and `nelt`). Held by the job from before its
// download until its last privileged step. Installs by different users meet
// in the privileged helper, which serialises them per snap name.
class SlugLock {
 public:
  SlugLock() = default;
  ~SlugLock();
  SlugLock(const SlugLock&) = delete;
  SlugLock& operator=(const SlugLock&) = delete;

  // Waits until the lock is held. `on_wait` is called once when another
  // process holds it; `keep_waiting` is asked a few times a second from
  // then on and ends the wait when it says so. false with the reason in
  // `error` when the lock cannot be used or the wait was given up.
  bool acquire(const std::string& slug, std::string& error,
               const std::function<bool()>& keep_waiting = {},
               const std::function<void()>& on_wait = {});
  void release();

 private:
  int fd_ = -1;
};

}  // namespace nelt
