// nelt-helper: the store's privileged steps, run as root through pkexec, one
// call per install, update or removal, so one job asks for authorisation once
// and leaves nothing behind that another process could reuse.
//
//   nelt-helper install SLUG SNAP_FILE KAVIX_JSON
//       installs the snap file and places its kavix.json next to it; undoes
//       the install when a later step fails
//   nelt-helper install-batch SLUG SNAP_FILE KAVIX_JSON [SLUG SNAP_FILE KAVIX_JSON]...
//       installs each application as `install` does, one after the other,
//       under one authorisation; one line "app N CODE REASON" per application
//   nelt-helper remove SLUG SNAP_NAME
//       removes a snap the store installed for SLUG, and its kavix.json
//
// What the caller (PKEXEC_UID) hands over is opened once with the caller's
// rights and copied into a folder only root can reach; the copy is checked
// and the copy installed. Installs and removals of one snap name run one
// after the other, whoever asked. Programs run by absolute path with a fixed
// environment, never through a shell.
//
// Exit status: 0 done, 2 refused (nothing ran), 3 a step failed (for a
// batch: some application was not installed). On 2 and 3 the last line of
// standard output is the one-line reason.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "fsutil.h"
#include "helper_files.h"
#include "helper_run.h"
#include "json_util.h"
#include "kavix_package.h"
#include "paths.h"
#include "privileged_helper.h"
#include "snap_state.h"

namespace {

using nelt::helper::runLimited;
using nelt::helper::RunSpec;
using nelt::helper::systemProgram;

constexpr int EXIT_DONE = 0;
constexpr int EXIT_REFUSED = 2;
constexpr int EXIT_FAILED = 3;

// How long a job waits for another install or removal of the same snap.
constexpr int SNAP_LOCK_WAIT_SECONDS = 600;

// How one install or removal ended: the exit status it stands for and its
// one-line reason.
struct Outcome {
  int code = EXIT_DONE;
  std::string reason;
};

Outcome finish(int code, const std::string& reason) { return Outcome{code, reason}; }

int report(const Outcome& outcome) {
  std::cout << outcome.reason << std::endl;
  return outcome.code;
}

// The user on whose behalf the helper runs: pkexec names them in decimal;
// run directly, it is whoever started it. Nothing but digits is a uid.
bool callerUid(uid_t& uid, std::string& error) {
  const char* env = std::getenv("PKEXEC_UID");
  if (env == nullptr) {
    uid = getuid();
    return true;
  }
  const std::string text = env;
  unsigned long long v = 0;
  bool ok = !text.empty() && text.size() <= 10;
  for (char c : text) {
    ok = ok && c >= '0' && c <= '9';
    if (ok) v = v * 10 + static_cast<unsigned>(c - '0');
  }
  // (uid_t)-1 means "no uid" to the system calls.
  if (!ok || v >= 0xffffffffULL) {
    error = "the caller's uid is unreadable";
    return false;
  }
  uid = static_cast<uid_t>(v);
  return true;
}

bool runSnap(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {systemProgram("snap")};
  argv.insert(argv.end(), args.begin(), args.end());
  return runLimited(argv, RunSpec()).exit_code == 0;  // its chatter is not our reason
}

// Puts the machine back as it was before the install; says how that went.
std::string rollBack(const std::string& name, const nelt::SnapState& before) {
  const std::string dest = nelt::installedMetaPath(name);
  if (!before.installed) {
    if (runSnap({"remove", name}) && !nelt::snapIsInstalled(name))
      return "; the new snap was removed again";
    return "; removing the new snap failed too";
  }
  bool restored = runSnap({"revert", name}) && nelt::installedSnapVersion(name) == before.version;
  std::string now;
  nelt::readSmallFile(dest, now, nelt::KAVIX_MAX_META_BYTES);
  if (before.has_meta && now != before.meta)
    restored = nelt::writeFileAtomic(dest, before.meta, 0644) == 0 && restored;
  return restored ? "; the previous version was restored"
                  : "; restoring the previous version failed too";
}

// What the caller handed over, as the helper holds it now.
struct Taken {
  nelt::helper::JobFolder folder;
  std::string snap_copy;  // root's copy of the snap
  int snap_fd = -1;       // open on that copy
  std::string meta_text;  // kavix.json as read
  ~Taken() {
    if (snap_fd >= 0) ::close(snap_fd);
  }
};

// Opens the caller's two files once each and keeps a private copy.
bool take(const std::string& slug, const std::string& snap_file, const std::string& meta_file,
          uid_t caller, Taken& taken, std::string& error) {
  const unsigned long long max_snap = nelt::unpackLimitsFromEnv().max_total_bytes;
  const int meta_fd =
      nelt::helper::openCallersFile(meta_file, caller, nelt::KAVIX_MAX_META_BYTES, error);
  if (meta_fd < 0) return false;
  const bool read = nelt::helper::readAll(meta_fd, nelt::KAVIX_MAX_META_BYTES, taken.meta_text);
  ::close(meta_fd);
  if (!read) {
    error = "kavix.json cannot be read or is too large";
    return false;
  }
  const int snap_fd = nelt::helper::openCallersFile(snap_file, caller, max_snap, error);
  if (snap_fd < 0) return false;
  if (!taken.folder.create(slug, error)) {
    ::close(snap_fd);
    return false;
  }
  taken.snap_copy = taken.folder.path() + "/" + slug + ".snap";
  taken.snap_fd = nelt::helper::copyToPrivate(snap_fd, taken.snap_copy, max_snap, error);
  ::close(snap_fd);
  return taken.snap_fd >= 0;
}

// Checks the copy: a snap with a valid name, metadata of the right shape
// for `slug`. Fills `name` and `version` from the snap itself.
Outcome checkTaken(const std::string& slug, const Taken& taken, uid_t caller, std::string& name,
                   std::string& version) {
  std::string error;
  if (!nelt::helper::readSnapYaml(taken.snap_fd, caller, name, version, error))
    return finish(EXIT_REFUSED, "refused: " + error);
  if (!nelt::isValidSnapName(name))
    return finish(EXIT_REFUSED, "refused: \"" + name + "\" is not a snap name");
  rapidjson::Document meta;
  std::string owner;
  if (!nelt::checkKavixMeta(taken.meta_text, meta, error))
    return finish(EXIT_REFUSED, "refused: " + error);
  if (!nelt::getString(meta, "slug", owner) || owner != slug)
    return finish(EXIT_REFUSED, "refused: kavix.json is not for the application " + slug);
  return Outcome{};
}

// Installs the checked copy while holding the snap's lock.
Outcome installCopy(const std::string& slug, const Taken& taken, const std::string& name,
                    const std::string& version) {
  const nelt::SnapState before = nelt::readSnapState(name);
  // A snap the store installed for another application stays that one's.
  const std::string owner = nelt::foreignOwner(before, slug);
  if (!owner.empty())
    return finish(EXIT_REFUSED, "refused: the snap \"" + name + "\" belongs to the application \"" +
                                    owner + "\"");
  const nelt::helper::RunResult snap = runLimited(
      {systemProgram("snap"), "install", taken.snap_copy, "--dangerous", "--classic"}, RunSpec());
  if (!snap.started) return finish(EXIT_FAILED, "snap install failed: snap could not be run");
  if (snap.exit_code != 0)
    return finish(EXIT_FAILED,
                  "snap install failed: snap exited with status " + std::to_string(snap.exit_code));
  // What is active now must be the copy's name and version: an update
  // already has the data folder, so only the active revision proves it.
  if (!nelt::isDirectory(nelt::varSnapRoot() + name) || nelt::installedSnapVersion(name) != version)
    return finish(EXIT_FAILED,
                  "snap install failed: the active snap is not the one in the package" +
                      rollBack(name, before));
  const std::string dest = nelt::installedMetaPath(name);
  std::string written;
  if (nelt::writeFileAtomic(dest, taken.meta_text, 0644) != 0 ||
      !nelt::readSmallFile(dest, written, nelt::KAVIX_MAX_META_BYTES) || written != taken.meta_text)
    return finish(EXIT_FAILED,
                  "metadata not installed: cannot write " + dest + rollBack(name, before));
  return finish(EXIT_DONE, "installed " + name + " " + version);
}

Outcome install(const std::string& slug, const std::string& snap_file, const std::string& meta_file,
                uid_t caller) {
  std::string error;
  if (!nelt::isValidSlug(slug)) return finish(EXIT_REFUSED, "refused: invalid application name");
  if (!nelt::helper::isCallersPrivateFile(snap_file, caller, error) ||
      !nelt::helper::isCallersPrivateFile(meta_file, caller, error))
    return finish(EXIT_REFUSED, "refused: " + error);
  const size_t slash = snap_file.rfind('/');
  if (meta_file.compare(0, slash + 1, snap_file, 0, slash + 1) != 0 ||
      meta_file.find('/', slash + 1) != std::string::npos ||
      nelt::lastPathComponent(meta_file) != "kavix.json")
    return finish(EXIT_REFUSED, "refused: kavix.json must lie beside the snap");
  Taken taken;
  if (!take(slug, snap_file, meta_file, caller, taken, error))
    return finish(EXIT_REFUSED, "refused: " + error);
  std::string name, version;
  if (Outcome checked = checkTaken(slug, taken, caller, name, version); checked.code != EXIT_DONE)
    return checked;
  nelt::helper::SnapLock lock;
  if (!lock.acquire(name, SNAP_LOCK_WAIT_SECONDS, error))
    return finish(EXIT_FAILED, "snap install failed: " + error);
  return installCopy(slug, taken, name, version);
}

// Removes only a snap the store installed for `slug`: its kavix.json, which
// only root can write, names that application.
Outcome removeSnap(const std::string& slug, const std::string& name) {
  if (!nelt::isValidSlug(slug)) return finish(EXIT_REFUSED, "refused: invalid application name");
  if (!nelt::isValidSnapName(name))
    return finish(EXIT_REFUSED, "refused: \"" + name + "\" is not a snap name");
  std::string error;
  nelt::helper::SnapLock lock;
  if (!lock.acquire(name, SNAP_LOCK_WAIT_SECONDS, error))
    return finish(EXIT_FAILED, "snap remove failed: " + error);
  if (!nelt::snapIsInstalled(name))
    return finish(EXIT_REFUSED, "refused: " + name + " is not installed");
  const std::string meta_path = nelt::installedMetaPath(name);
  std::string text, owner;
  rapidjson::Document meta;
  if (!nelt::readSmallFile(meta_path, text, nelt::KAVIX_MAX_META_BYTES, geteuid()) ||
      !nelt::checkKavixMeta(text, meta, error) || !nelt::getString(meta, "slug", owner))
    return finish(EXIT_REFUSED,
                  "refused: the snap \"" + name + "\" was not installed by the store");
  if (owner != slug)
    return finish(EXIT_REFUSED, "refused: the snap \"" + name + "\" belongs to the application \"" +
                                    owner + "\"");
  if (!runSnap({"remove", name}) || nelt::snapIsInstalled(name))
    return finish(EXIT_FAILED, "snap remove failed for " + name);
  // A later install must not read this application's old metadata.
  ::unlink(meta_path.c_str());
  ::rmdir((nelt::snapRoot() + name).c_str());
  return finish(EXIT_DONE, "removed " + name);
}

// The lines of a batch carry reasons on one line each: the engine reads them
// line by line, so nothing a snap or a file name brings may break a line.
std::string oneLine(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out.push_back(c < 0x20 || c == 0x7f ? ' ' : static_cast<char>(c));
  return out;
}

// Installs each (SLUG, SNAP_FILE, KAVIX_JSON) of `args` in turn, exactly as
// `install` would one at a time: the same checks, the same private copy,
// the same lock of the snap name and the same undo, all per application.
// One that is refused or fails leaves the others alone. Each ends with one
// line "app N CODE REASON" (N from 1 in the order given, CODE the status
// the single install would exit with) as soon as it is over; the last line
// counts them.
int installBatch(const std::vector<std::string>& args, uid_t caller) {
  const size_t count = args.size() / 3;
  size_t installed = 0;
  for (size_t i = 0; i < count; ++i) {
    const Outcome outcome = install(args[3 * i], args[3 * i + 1], args[3 * i + 2], caller);
    if (outcome.code == EXIT_DONE) ++installed;
    std::cout << "app " << i + 1 << " " << outcome.code << " " << oneLine(outcome.reason)
              << std::endl;
  }
  return report(finish(installed == count ? EXIT_DONE : EXIT_FAILED,
                       "installed " + std::to_string(installed) + " of " + std::to_string(count)));
}

}  // namespace

int main(int argc, char** argv) {
  // Ctrl+C in the terminal of `nelt install` reaches every process of its
  // group, this one and the snap it runs included. Once here, the install
  // or removal runs to its end, so that nothing is left half done; the
  // ignored signals stay ignored in the programs it runs.
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  uid_t caller = 0;
  std::string error;
  if (!callerUid(caller, error)) return report(finish(EXIT_REFUSED, "refused: " + error));
  if (args.size() == 4 && args[0] == "install")
    return report(install(args[1], args[2], args[3], caller));
  if (args.size() == 3 && args[0] == "remove") return report(removeSnap(args[1], args[2]));
  if (args.size() >= 4 && args[0] == "install-batch" && (args.size() - 1) % 3 == 0 &&
      (args.size() - 1) / 3 <= nelt::HELPER_MAX_BATCH)
    return installBatch(std::vector<std::string>(args.begin() + 1, args.end()), caller);
  return report(finish(EXIT_REFUSED,
                       "usage: nelt-helper install SLUG SNAP_FILE KAVIX_JSON | "
                       "nelt-helper install-batch SLUG SNAP_FILE KAVIX_JSON... | "
                       "nelt-helper remove SLUG SNAP_NAME"));
}
