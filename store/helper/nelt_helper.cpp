// nelt-helper: the store's privileged steps, run as root through pkexec, one
// call per install, update or removal, so one job asks for authorisation once
// and leaves nothing behind that another process could reuse.
//
//   nelt-helper install SLUG SNAP_FILE KAVIX_JSON
//       installs the snap file and places its kavix.json next to it; undoes
//       the install when a later step fails
//   nelt-helper remove SNAP_NAME
//
// Everything it is given is checked before anything runs: the files must lie
// in a folder that only the calling user (PKEXEC_UID) can change, the snap
// must carry a valid name, and kavix.json must have the shape the service
// reads. It runs `snap` with an argument vector, never through a shell.
//
// Exit status: 0 done, 2 refused (nothing ran), 3 a step failed. On 2 and 3
// the last line of standard output is the one-line reason.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "fsutil.h"
#include "json_util.h"
#include "kavix_package.h"
#include "paths.h"
#include "process.h"

namespace {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_REFUSED = 2;
constexpr int EXIT_FAILED = 3;

int finish(int code, const std::string& reason) {
  std::cout << reason << std::endl;
  return code;
}

// The user on whose behalf the helper runs: pkexec names them; run directly,
// it is whoever started it.
bool callerUid(uid_t& uid, std::string& error) {
  const char* env = std::getenv("PKEXEC_UID");
  if (env == nullptr) {
    uid = getuid();
    return true;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(env, &end, 10);
  if (errno != 0 || end == env || *end != '\0' || v > 0xfffffffeUL) {
    error = "the caller's uid is unreadable";
    return false;
  }
  uid = static_cast<uid_t>(v);
  return true;
}

std::string parentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// `path` is a plain file of the caller in a folder that only the caller can
// change, on a path that nobody else can redirect: otherwise another user
// could swap the file between these checks and the install.
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

bool readSmall(const std::string& path, std::string& out) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<size_t>(st.st_size) > nelt::KAVIX_MAX_META_BYTES)
    return false;
  return nelt::readWholeFile(path, out);
}

std::string activeVersion(const std::string& name) {
  std::string yaml;
  if (!readSmall(nelt::snapRoot() + name + "/current/meta/snap.yaml", yaml)) return "";
  if (nelt::snapYamlValue(yaml, "name") != name) return "";
  return nelt::snapYamlValue(yaml, "version");
}

bool snapInstalled(const std::string& name) {
  struct stat st;
  return lstat((nelt::snapRoot() + name + "/current").c_str(), &st) == 0;
}

bool runSnap(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"snap"};
  argv.insert(argv.end(), args.begin(), args.end());
  const nelt::ProcessResult r = nelt::runProgram(argv, true);  // its chatter is not our reason
  return r.started && r.exit_code == 0;
}

struct Before {
  bool installed = false;
  bool had_meta = false;
  std::string version;
  std::string meta;
};

// Puts the machine back as it was before the install; says how that went.
std::string rollBack(const std::string& name, const Before& before) {
  const std::string dest = nelt::snapRoot() + name + "/kavix.json";
  if (!before.installed) {
    if (runSnap({"remove", name}) && !snapInstalled(name))
      return "; the new snap was removed again";
    return "; removing the new snap failed too";
  }
  bool restored = runSnap({"revert", name}) && activeVersion(name) == before.version;
  std::string now;
  readSmall(dest, now);
  if (before.had_meta && now != before.meta)
    restored = nelt::writeFileAtomic(dest, before.meta, 0644) == 0 && restored;
  return restored ? "; the previous version was restored"
                  : "; restoring the previous version failed too";
}

int install(const std::string& slug, const std::string& snap_file, const std::string& meta_file,
            uid_t caller) {
  std::string error;
  if (!nelt::isValidSlug(slug)) return finish(EXIT_REFUSED, "refused: invalid application name");
  if (!isCallersPrivateFile(snap_file, caller, error) ||
      !isCallersPrivateFile(meta_file, caller, error))
    return finish(EXIT_REFUSED, "refused: " + error);
  if (parentOf(snap_file) != parentOf(meta_file) ||
      nelt::lastPathComponent(meta_file) != "kavix.json")
    return finish(EXIT_REFUSED, "refused: kavix.json must lie beside the snap");

  std::string name, version;
  if (!nelt::readSnapMeta(snap_file, name, version, error))
    return finish(EXIT_REFUSED, "refused: " + error);
  if (!nelt::isValidSnapName(name))
    return finish(EXIT_REFUSED, "refused: \"" + name + "\" is not a snap name");

  std::string meta_text, owner;
  rapidjson::Document meta;
  if (!readSmall(meta_file, meta_text))
    return finish(EXIT_REFUSED, "refused: kavix.json cannot be read or is too large");
  if (!nelt::checkKavixMeta(meta_text, meta, error))
    return finish(EXIT_REFUSED, "refused: " + error);
  if (!nelt::getString(meta, "slug", owner) || owner != slug)
    return finish(EXIT_REFUSED, "refused: kavix.json is not for the application " + slug);

  // A snap the store installed for another application stays that one's.
  const std::string dest = nelt::snapRoot() + name + "/kavix.json";
  Before before;
  before.installed = snapInstalled(name);
  if (readSmall(dest, before.meta)) {
    rapidjson::Document old;
    old.Parse(before.meta.c_str(), before.meta.size());
    std::string old_owner;
    if (before.installed && !old.HasParseError() && old.IsObject() &&
        nelt::getString(old, "slug", old_owner) && old_owner != slug)
      return finish(EXIT_REFUSED, "refused: the snap \"" + name +
                                      "\" belongs to the application \"" + old_owner + "\"");
    before.had_meta = before.installed;
  }
  if (before.installed) before.version = activeVersion(name);

  const nelt::ProcessResult snap =
      nelt::runProgram({"snap", "install", snap_file, "--dangerous", "--classic"}, true);
  if (!snap.started) return finish(EXIT_FAILED, "snap install failed: snap could not be run");
  if (snap.exit_code != 0)
    return finish(EXIT_FAILED,
                  "snap install failed: snap exited with status " + std::to_string(snap.exit_code));
  // An update already has the data folder: only the active revision proves
  // that this snap is the one now installed.
  if (!nelt::isDirectory(nelt::varSnapRoot() + name) || activeVersion(name) != version)
    return finish(EXIT_FAILED,
                  "snap install failed: the active snap is not the one in the package" +
                      rollBack(name, before));
  std::string written;
  if (nelt::writeFileAtomic(dest, meta_text, 0644) != 0 || !readSmall(dest, written) ||
      written != meta_text)
    return finish(EXIT_FAILED,
                  "metadata not installed: cannot write " + dest + rollBack(name, before));
  return finish(EXIT_DONE, "installed " + name + " " + version);
}

int removeSnap(const std::string& name) {
  if (!nelt::isValidSnapName(name))
    return finish(EXIT_REFUSED, "refused: \"" + name + "\" is not a snap name");
  if (!snapInstalled(name)) return finish(EXIT_REFUSED, "refused: " + name + " is not installed");
  if (!runSnap({"remove", name}) || snapInstalled(name))
    return finish(EXIT_FAILED, "snap remove failed for " + name);
  return finish(EXIT_DONE, "removed " + name);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  uid_t caller = 0;
  std::string error;
  if (!callerUid(caller, error)) return finish(EXIT_REFUSED, "refused: " + error);
  if (args.size() == 4 && args[0] == "install") return install(args[1], args[2], args[3], caller);
  if (args.size() == 2 && args[0] == "remove") return removeSnap(args[1]);
  return finish(
      EXIT_REFUSED,
      "usage: nelt-helper install SLUG SNAP_FILE KAVIX_JSON | nelt-helper remove SNAP_NAME");
}
