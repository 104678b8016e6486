// Helpers shared by the packaging tests: running a program to its end with
// extra environment, and making real snap images with mksquashfs.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fsutil.h"
#include "process.h"
#include "test_support.h"

namespace nelt::test {

struct RunResult {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs argv with `env` added to this process's environment and waits for it.
inline RunResult runWith(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::string& log_dir) {
  ChildProcess p;
  RunResult r;
  if (!p.start(argv, env, log_dir)) return r;
  r.code = p.wait(std::chrono::seconds(60));
  r.out = p.out();
  r.err = p.err();
  return r;
}

struct SnapApp {
  std::string name;
  std::string command;  // path inside the snap
  std::string line;     // what the app prints
};

// Writes a snap source tree: meta/snap.yaml and one shell script per app.
inline void writeSnapTree(const std::string& dir, const std::string& name,
                          const std::string& version, const std::vector<SnapApp>& apps) {
  nelt::makeDirs(dir + "/meta");
  std::string yaml = "name: " + name + "\nversion: '" + version + "'\nsummary: Test snap " + name +
                     "\nconfinement: classic\napps:\n";
  for (const auto& app : apps) {
    yaml += "  " + app.name + ":\n    command: " + app.command + "\n";
    const std::string script = dir + "/" + app.command;
    nelt::makeDirs(script.substr(0, script.rfind('/')));
    writeFile(script, "#!/bin/sh\necho \"" + app.line + "\" \"$@\"\n");
    chmod(script.c_str(), 0755);
  }
  writeFile(dir + "/meta/snap.yaml", yaml);
}

// Makes a squashfs image of `tree`; `small` leaves out the 4 KiB padding.
inline bool makeSquashfs(const std::string& tree, const std::string& image, bool small = false) {
  std::vector<std::string> argv = {"mksquashfs", tree,         image,    "-noappend",
                                   "-all-root",  "-no-xattrs", "-quiet", "-no-progress"};
  if (small) argv.push_back("-nopad");
  const ProcessResult r = runProgram(argv);
  return r.started && r.exit_code == 0;
}

}  // namespace nelt::test
