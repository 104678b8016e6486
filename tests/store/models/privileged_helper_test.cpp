// The privileged helper as pkexec runs it: as root, with PKEXEC_UID naming
// the desktop user who asked (here `nobody`), on files that user prepared,
// with the snap stand-in below NELT_ROOT. Whatever it refuses, it refuses
// before `snap` runs.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "fsutil.h"
#include "package_builder.h"
#include "paths.h"
#include "process.h"
#include "snap_state.h"
#include "test_support.h"

namespace {

using nelt::test::ChildProcess;
using nelt::test::kavixJson;
using nelt::test::makeSnap;
using nelt::test::readFile;
using nelt::test::TempDir;
using nelt::test::writeFile;
using namespace std::chrono_literals;

constexpr uid_t NOBODY = 65534;

class HelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getuid() != 0) GTEST_SKIP() << "the helper runs as root";
    setenv("NELT_ROOT", root.path().c_str(), 1);
    // The helper opens the caller's files with the caller's rights: the way
    // to their home must be open to them, as on a real machine.
    ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
    ASSERT_EQ(nelt::makeDirs(root.sub("home"), 0755), 0);
    // The desktop user's home, and their private job folder in its cache.
    home = root.sub("home/user");
    job = home + "/.cache/nelt/kavix/hello-nelt.Ab12Cd";
    ASSERT_EQ(nelt::makeDirs(job, 0700), 0);
    for (std::string dir = job; dir != root.path(); dir = dir.substr(0, dir.rfind('/'))) {
      if (dir == root.sub("home")) break;
      ASSERT_EQ(chown(dir.c_str(), NOBODY, NOBODY), 0);
      ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
    }
    snap = makeSnap(work.path(), "hello-nelt", "1.0");
    ASSERT_FALSE(snap.empty());
  }
  void TearDown() override { unsetenv("NELT_ROOT"); }

  // A file of the user in `folder`.
  std::string place(const std::string& folder, const std::string& name, const std::string& data) {
    const std::string path = folder + "/" + name;
    writeFile(path, data);
    EXPECT_EQ(chown(path.c_str(), NOBODY, NOBODY), 0);
    return path;
  }
  std::string meta(const std::string& slug = "hello-nelt") {
    std::string text = kavixJson("hello-nelt", "Hello", "1.0");
    return text.substr(0, text.rfind('}')) + ",\"slug\":\"" + slug + "\"}";
  }

  struct Run {
    int status = -1;
    std::string reason;
  };
  Run helper(const std::vector<std::string>& args,
             const std::string& caller = std::to_string(NOBODY),
             std::map<std::string, std::string> env = {}) {
    std::vector<std::string> argv = {nelt::test::binDir() + "/nelt-helper"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess p;
    Run r;
    env["PKEXEC_UID"] = caller;
    env["NELT_SNAP_LOG"] = work.sub("snap.log");
    if (!p.start(argv, env, work.path())) return r;
    r.status = p.wait(60s);
    r.reason = p.out();
    while (!r.reason.empty() && r.reason.back() == '\n') r.reason.pop_back();
    r.reason = r.reason.substr(r.reason.rfind('\n') + 1);
    return r;
  }

  TempDir root, work;
  std::string home, job, snap;
};

// Everything a caller could hand the helper to make root act on something
// that is not theirs, or install something the service would not read, is
// refused with a reason, and `snap` never runs.
TEST_F(HelperTest, RefusesWhatTheCallerDoesNotOwnOrTheEngineWouldNotAccept) {
  const std::string snap_bytes = readFile(snap);
  const std::string good_snap = place(job, "hello-nelt_1.0.snap", snap_bytes);
  const std::string good_meta = place(job, "kavix.json", meta());

  // Another user's folder (root's here), a shared folder anyone may write,
  // a folder others can read and enter, a link, and a file of someone else.
  const std::string roots = root.sub("usr/bin/nelt/kavix/hello-nelt");
  ASSERT_EQ(nelt::makeDirs(roots, 0700), 0);
  writeFile(roots + "/hello-nelt_1.0.snap", snap_bytes);
  writeFile(roots + "/kavix.json", meta());
  const std::string shared = root.sub("shared");
  ASSERT_EQ(nelt::makeDirs(shared), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  const std::string in_shared = shared + "/job";
  ASSERT_EQ(nelt::makeDirs(in_shared, 0700), 0);
  ASSERT_EQ(chown(in_shared.c_str(), NOBODY, NOBODY), 0);
  const std::string open_job = home + "/.cache/nelt/kavix/hello-nelt.Open00";
  ASSERT_EQ(nelt::makeDirs(open_job, 0755), 0);
  ASSERT_EQ(chown(open_job.c_str(), NOBODY, NOBODY), 0);
  ASSERT_EQ(chmod(open_job.c_str(), 0755), 0);
  const std::string link = job + "/linked.snap";
  ASSERT_EQ(symlink((roots + "/hello-nelt_1.0.snap").c_str(), link.c_str()), 0);
  const std::string foreign = job + "/foreign.snap";
  writeFile(foreign, snap_bytes);

  struct Case {
    const char* label;
    std::vector<std::string> args;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"root's work folder",
       {"install", "hello-nelt", roots + "/hello-nelt_1.0.snap", roots + "/kavix.json"},
       "is not a file of the calling user"},
      {"below a folder anyone may write",
       {"install", "hello-nelt", place(in_shared, "a.snap", snap_bytes),
        place(in_shared, "kavix.json", meta())},
       "can be changed by other users"},
      {"folder open to others",
       {"install", "hello-nelt", place(open_job, "a.snap", snap_bytes),
        place(open_job, "kavix.json", meta())},
       "is not a private work folder"},
      {"a link", {"install", "hello-nelt", link, good_meta}, "free of links"},
      {"a file of another user", {"install", "hello-nelt", foreign, good_meta}, "is not a file"},
      {"a path with ..",
       {"install", "hello-nelt", job + "/../hello-nelt.Ab12Cd/hello-nelt_1.0.snap", good_meta},
       "free of links"},
      {"invalid application name", {"install", "../x", good_snap, good_meta}, "invalid"},
      {"another application's metadata",
       {"install", "may-tinh", good_snap, good_meta},
       "not for the application may-tinh"},
      {"invalid snap name", {"remove", "hello-nelt", "Hello_World"}, "is not a snap name"},
      {"option as a snap name", {"remove", "hello-nelt", "--purge"}, "is not a snap name"},
      {"unknown verb", {"cp", good_meta, "/etc/passwd"}, "usage"},
  };
  for (const auto& c : cases) {
    const Run r = helper(c.args);
    EXPECT_EQ(r.status, 2) << c.label << ": " << r.reason;
    EXPECT_NE(r.reason.find(c.reason), std::string::npos) << c.label << ": " << r.reason;
  }

  // Metadata of the wrong shape, and a snap that is no snap.
  const std::vector<std::pair<std::string, std::string>> metas = {
      {"[1,2]", "not a JSON object"},
      {"{\"name\":\"h\",\"long-name\":\"H\",\"version\":1,\"slug\":\"hello-nelt\"}",
       "no usable \"version\""},
      {"{\"name\":\"h\",\"long-name\":\"H\\nX\",\"version\":\"1\",\"slug\":\"hello-nelt\"}",
       "no usable \"long-name\""},
  };
  for (const auto& m : metas) {
    place(job, "kavix.json", m.first);
    const Run r = helper({"install", "hello-nelt", good_snap, good_meta});
    EXPECT_EQ(r.status, 2) << m.first;
    EXPECT_NE(r.reason.find(m.second), std::string::npos) << r.reason;
  }
  place(job, "kavix.json", meta());
  place(job, "hello-nelt_1.0.snap", "not squashfs");
  EXPECT_EQ(helper({"install", "hello-nelt", good_snap, good_meta}).status, 2);

  EXPECT_EQ(readFile(work.sub("snap.log")), "") << "snap never ran";
  EXPECT_FALSE(nelt::fileExists(nelt::snapRoot() + "hello-nelt"));

  // The same files, right: installed with the metadata beside the snap, and
  // removed again.
  place(job, "hello-nelt_1.0.snap", snap_bytes);
  Run r = helper({"install", "hello-nelt", good_snap, good_meta});
  ASSERT_EQ(r.status, 0) << r.reason;
  EXPECT_EQ(readFile(nelt::snapRoot() + "hello-nelt/kavix.json"), meta());
  EXPECT_TRUE(nelt::isDirectory(nelt::varSnapRoot() + "hello-nelt"));
  // Installed for one application, the snap cannot be taken by another.
  place(job, "kavix.json", meta("may-tinh"));
  r = helper({"install", "may-tinh", good_snap, good_meta});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.reason.find("belongs to the application \"hello-nelt\""), std::string::npos)
      << r.reason;
  r = helper({"remove", "hello-nelt", "hello-nelt"});
  EXPECT_EQ(r.status, 0) << r.reason;
  EXPECT_FALSE(nelt::fileExists(nelt::snapRoot() + "hello-nelt/current"));
  EXPECT_EQ(helper({"remove", "hello-nelt", "hello-nelt"}).status, 2) << "not installed any more";
}

// The batch verb takes each application exactly as the single install
// does: what one refuses, the batch refuses for that application alone,
// with the same reason, while the others in the same run are installed.
TEST_F(HelperTest, TheBatchRefusesPerApplicationWhatTheSingleInstallRefuses) {
  const std::string snap_bytes = readFile(snap);
  const std::string good_snap = place(job, "hello-nelt_1.0.snap", snap_bytes);
  const std::string good_meta = place(job, "kavix.json", meta());
  const std::string roots = root.sub("usr/bin/nelt/kavix/hello-nelt");
  ASSERT_EQ(nelt::makeDirs(roots, 0700), 0);
  writeFile(roots + "/hello-nelt_1.0.snap", snap_bytes);
  writeFile(roots + "/kavix.json", meta());
  const std::string link = job + "/linked.snap";
  ASSERT_EQ(symlink((roots + "/hello-nelt_1.0.snap").c_str(), link.c_str()), 0);
  // May tinh in a job folder of its own, and a "snap" that is none.
  const std::string job2 = home + "/.cache/nelt/kavix/may-tinh.Xy34Zw";
  const std::string job3 = home + "/.cache/nelt/kavix/hello-nelt.Bad000";
  for (const std::string& dir : {job2, job3}) {
    ASSERT_EQ(nelt::makeDirs(dir, 0700), 0);
    ASSERT_EQ(chown(dir.c_str(), NOBODY, NOBODY), 0);
  }
  const std::string calc_meta = kavixJson("may-tinh", "May tinh", "1.0");
  const std::string calc_snap =
      place(job2, "may-tinh_1.0.snap", readFile(makeSnap(work.path(), "may-tinh", "1.0")));
  const std::string calc_json = place(
      job2, "kavix.json", calc_meta.substr(0, calc_meta.rfind('}')) + ",\"slug\":\"may-tinh\"}");
  const std::string bad_snap = place(job3, "bad.snap", "not squashfs");
  const std::string bad_meta = place(job3, "kavix.json", meta());

  // label, (slug, snap, kavix.json), the single install's status.
  struct Case {
    const char* label;
    std::vector<std::string> app;
    int status;
  };
  const std::vector<Case> cases = {
      {"root's work folder",
       {"hello-nelt", roots + "/hello-nelt_1.0.snap", roots + "/kavix.json"},
       2},
      {"good: hello-nelt", {"hello-nelt", good_snap, good_meta}, 0},
      {"a link", {"hello-nelt", link, good_meta}, 2},
      {"invalid application name", {"../x", good_snap, good_meta}, 2},
      {"another application's metadata", {"may-tinh", good_snap, good_meta}, 2},
      {"good: may-tinh", {"may-tinh", calc_snap, calc_json}, 0},
      {"not a snap", {"hello-nelt", bad_snap, bad_meta}, 2},
  };
  // What the single install says for each refused one (nothing installed yet).
  std::vector<std::string> single(cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].status == 0) continue;
    std::vector<std::string> args = {"install"};
    args.insert(args.end(), cases[i].app.begin(), cases[i].app.end());
    const Run r = helper(args);
    ASSERT_EQ(r.status, cases[i].status) << cases[i].label << ": " << r.reason;
    single[i] = r.reason;
  }
  ASSERT_EQ(readFile(work.sub("snap.log")), "");

  std::vector<std::string> argv = {nelt::test::binDir() + "/nelt-helper", "install-batch"};
  for (const Case& c : cases) argv.insert(argv.end(), c.app.begin(), c.app.end());
  ChildProcess p;
  ASSERT_TRUE(p.start(
      argv, {{"PKEXEC_UID", std::to_string(NOBODY)}, {"NELT_SNAP_LOG", work.sub("snap.log")}},
      work.path()));
  EXPECT_EQ(p.wait(120s), 3) << "some applications were not installed";
  std::string expected;
  for (size_t i = 0; i < cases.size(); ++i)
    expected += "app " + std::to_string(i + 1) + " " + std::to_string(cases[i].status) + " " +
                (cases[i].status == 0 ? "installed " + cases[i].app[0] + " 1.0" : single[i]) + "\n";
  expected += "installed 2 of 7\n";
  EXPECT_EQ(p.out(), expected);
  EXPECT_EQ(nelt::installedSnapVersion("hello-nelt"), "1.0");
  EXPECT_EQ(nelt::installedSnapVersion("may-tinh"), "1.0");
  EXPECT_NE(readFile(nelt::installedMetaPath("may-tinh")).find("\"slug\":\"may-tinh\""),
            std::string::npos);
  // snap ran for the two good ones only; the copies are gone.
  const std::string log = readFile(work.sub("snap.log"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  EXPECT_EQ(nelt::runProgram({"find", root.sub("run/nelt/install"), "-type", "f"}).out, "");

  // A batch of the wrong shape runs nothing.
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"install-batch"},
        std::vector<std::string>{"install-batch", "hello-nelt", good_snap}}) {
    const Run r = helper(bad);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.reason.find("usage"), std::string::npos) << r.reason;
  }
}

// Ctrl+C in the terminal of `nelt install` reaches every process of the
// group, the helper and the snap it runs included: the install it started
// still runs to its end and leaves a whole snap.
TEST_F(HelperTest, AnInterruptFromTheTerminalDoesNotCutTheInstallShort) {
  const std::string good_snap = place(job, "hello-nelt_1.0.snap", readFile(snap));
  const std::string good_meta = place(job, "kavix.json", meta());
  ChildProcess p;
  ASSERT_TRUE(p.start(
      {nelt::test::binDir() + "/nelt-helper", "install", "hello-nelt", good_snap, good_meta},
      {{"PKEXEC_UID", std::to_string(NOBODY)},
       {"NELT_SNAP_LOG", work.sub("snap.log")},
       {"NELT_SNAP_DELAY_INSTALL", "1"}},
      work.path()));
  // The snap stand-in logs its call as it starts: the install is under way.
  for (int i = 0; i < 500 && readFile(work.sub("snap.log")).empty(); ++i)
    std::this_thread::sleep_for(10ms);
  ASSERT_FALSE(readFile(work.sub("snap.log")).empty());
  std::this_thread::sleep_for(200ms);
  // The child leads its own process group, as a terminal's job does.
  ASSERT_EQ(kill(-p.pid(), SIGINT), 0);
  ASSERT_EQ(p.wait(60s), 0) << p.out();
  EXPECT_EQ(nelt::installedSnapVersion("hello-nelt"), "1.0");
  EXPECT_EQ(readFile(nelt::snapRoot() + "hello-nelt/kavix.json"), meta());
}

// Swaps two names of `nobody` in a tight loop, as a process of the desktop
// user can while the helper works; stopped (killed) by the destructor.
class Swapper {
 public:
  Swapper(const std::string& a, const std::string& b) {
    pid_ = fork();
    if (pid_ != 0) return;
    if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(125);
    for (;;) renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
  }
  ~Swapper() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  bool running() const { return pid_ > 0 && kill(pid_, 0) == 0; }

 private:
  pid_t pid_ = -1;
};

// The caller swaps the approved snap with one of another application's
// snap name while the helper runs: whatever the helper installs is what it
// checked, so the other application's snap is never replaced, and a run
// that succeeds installed the approved snap.
TEST_F(HelperTest, ASwappingCallerNeverGetsAnotherSnapInstalled) {
  // may-tinh 1.0 is installed for the application may-tinh.
  const std::string calc = makeSnap(work.path(), "may-tinh", "1.0");
  const std::string calc_meta = kavixJson("may-tinh", "May tinh", "1.0");
  place(job, "may-tinh_1.0.snap", readFile(calc));
  place(job, "kavix.json", calc_meta.substr(0, calc_meta.rfind('}')) + ",\"slug\":\"may-tinh\"}");
  Run r = helper({"install", "may-tinh", job + "/may-tinh_1.0.snap", job + "/kavix.json"});
  ASSERT_EQ(r.status, 0) << r.reason;
  const std::string calc_installed = readFile(nelt::installedMetaPath("may-tinh"));

  const std::string good = place(job, "hello-nelt_1.0.snap", readFile(snap));
  const std::string other =
      place(job, "other.snap", readFile(makeSnap(work.path(), "may-tinh", "6.6.6")));
  const std::string good_meta = place(job, "kavix.json", meta());
  int installed = 0;
  {
    Swapper swapper(good, other);
    ASSERT_TRUE(swapper.running());
    for (int run = 0; run < 40; ++run) {
      r = helper({"install", "hello-nelt", good, good_meta});
      if (r.status == 0) {
        ++installed;
        EXPECT_EQ(r.reason, "installed hello-nelt 1.0");
      } else {
        EXPECT_EQ(r.status, 2) << r.reason;
      }
      ASSERT_EQ(nelt::installedSnapVersion("may-tinh"), "1.0") << "run " << run << ": " << r.reason;
    }
  }
  EXPECT_EQ(readFile(nelt::installedMetaPath("may-tinh")), calc_installed);
  EXPECT_GT(installed, 0) << "some runs read the approved snap";
  EXPECT_EQ(nelt::installedSnapVersion("hello-nelt"), "1.0");
  // The copies are gone; the runtime folder is root's and no one else's to
  // write (the port file is read there), the copies' folder root's alone.
  struct stat st;
  ASSERT_EQ(lstat(root.sub("run/nelt").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  ASSERT_EQ(lstat(root.sub("run/nelt/install").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(nelt::runProgram({"find", root.sub("run/nelt/install"), "-type", "f"}).out, "");
}

// Removal takes only a snap the store installed for the application named,
// and takes its kavix.json along; the caller's uid is digits and nothing
// else; a runtime folder that is not root's own is refused, never used.
TEST_F(HelperTest, RemovesOnlyStoreSnapsAndTrustsOnlyItsOwnFolders) {
  // A snap the store never installed: no kavix.json.
  const std::string system_snap = makeSnap(work.path(), "core-tool", "2.0");
  ASSERT_EQ(nelt::runProgram({"snap", "install", system_snap, "--dangerous"}).exit_code, 0);
  Run r = helper({"remove", "core-tool", "core-tool"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.reason, "refused: the snap \"core-tool\" was not installed by the store");
  EXPECT_TRUE(nelt::snapIsInstalled("core-tool"));

  const std::string good_snap = place(job, "hello-nelt_1.0.snap", readFile(snap));
  const std::string good_meta = place(job, "kavix.json", meta());
  // The programs it runs get a fixed environment: a start-up file named by
  // the caller's environment never runs as root (the snap stand-in is bash).
  const std::string marker = work.sub("bash-env-ran");
  writeFile(work.sub("bash_env.sh"), "touch " + marker + "\n");
  r = helper({"install", "hello-nelt", good_snap, good_meta}, std::to_string(NOBODY),
             {{"BASH_ENV", work.sub("bash_env.sh")}});
  ASSERT_EQ(r.status, 0) << r.reason;
  EXPECT_FALSE(nelt::fileExists(marker));
  r = helper({"remove", "may-tinh", "hello-nelt"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.reason, "refused: the snap \"hello-nelt\" belongs to the application \"hello-nelt\"");
  // Metadata that is not root's does not count.
  const std::string installed_meta = nelt::installedMetaPath("hello-nelt");
  ASSERT_EQ(chown(installed_meta.c_str(), NOBODY, NOBODY), 0);
  EXPECT_EQ(helper({"remove", "hello-nelt", "hello-nelt"}).status, 2);
  ASSERT_EQ(chown(installed_meta.c_str(), 0, 0), 0);
  r = helper({"remove", "hello-nelt", "hello-nelt"});
  EXPECT_EQ(r.status, 0) << r.reason;
  EXPECT_FALSE(nelt::fileExists(installed_meta)) << "no stale kavix.json for a later install";

  for (const std::string uid :
       {" 65534", "+65534", "65534 ", "-1", "", "0x10", "4294967295", "99999999999", "65534\n"}) {
    r = helper({"install", "hello-nelt", good_snap, good_meta}, uid);
    EXPECT_EQ(r.status, 2) << "[" << uid << "]";
    EXPECT_EQ(r.reason, "refused: the caller's uid is unreadable") << "[" << uid << "]";
  }

  // Somebody else's runtime folder (possible only where they can write
  // its parent, as in a test root) is refused, and nothing runs.
  ASSERT_EQ(nelt::removeTree(root.sub("run/nelt")), 0);
  ASSERT_EQ(nelt::makeDirs(root.sub("run/nelt"), 0700), 0);
  ASSERT_EQ(chown(root.sub("run/nelt").c_str(), NOBODY, NOBODY), 0);
  writeFile(work.sub("snap.log"), "");
  r = helper({"install", "hello-nelt", good_snap, good_meta});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.reason.find("run/nelt belongs to uid 65534"), std::string::npos) << r.reason;
  EXPECT_EQ(readFile(work.sub("snap.log")), "");
}

}  // namespace
