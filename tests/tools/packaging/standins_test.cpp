// The platform stand-ins (snap, pkexec, systemctl, lsb_release), run as real
// processes below a temporary NELT_ROOT.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "packaging_helpers.h"

namespace nelt::test {
namespace {

std::string tool(const std::string& name) { return standinsDir() + "/" + name; }

// Alive and not a zombie waiting for a parent that may never reap it.
bool processAlive(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("NELT_ROOT");
    root_ = tmp_.sub("root");
    nelt::makeDirs(root_);
    nelt::makeDirs(tmp_.sub("logs"));
    env_ = {{"NELT_ROOT", root_}};
  }

  RunResult run(const std::vector<std::string>& argv,
                std::map<std::string, std::string> extra = {}) {
    for (const auto& kv : env_) extra.emplace(kv.first, kv.second);
    return runWith(argv, extra, tmp_.sub("logs"));
  }

  // A squashfs snap of `name` at `version` with the apps NAME, NAME.tool and
  // NAME.abc, in that order in its snap.yaml.
  std::string buildSnap(const std::string& name, const std::string& version) {
    const std::string tree = tmp_.sub("tree-" + name + "-" + version);
    writeSnapTree(tree, name, version,
                  {{name, "bin/" + name, "main " + name + " " + version},
                   {"tool", "bin/tool", "tool " + name + " " + version},
                   {"abc", "bin/abc", "abc " + name + " " + version}});
    const std::string image = tmp_.sub(name + "_" + version + ".snap");
    EXPECT_TRUE(makeSquashfs(tree, image));
    return image;
  }

  TempDir tmp_;
  std::string root_;
  std::map<std::string, std::string> env_;
};

TEST_F(StandinTest, SnapInstallListInfoRunUpdateRemove) {
  const std::string v1 = buildSnap("hello-test", "1.2.0");
  const std::string v2 = buildSnap("hello-test", "1.3.0");
  const std::string log = tmp_.sub("snap.log");
  env_["NELT_SNAP_LOG"] = log;

  RunResult r = run({tool("snap"), "install", v1, "--dangerous", "--classic"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "hello-test 1.2.0 installed\n");
  // snapd's note when its command folder is not on PATH (it never is here).
  EXPECT_EQ(r.err.rfind("Warning: /snap/bin was not found in your $PATH.", 0), 0u) << r.err;
  EXPECT_TRUE(nelt::isDirectory(root_ + "/snap/hello-test/x1/meta"));
  EXPECT_TRUE(nelt::fileExists(root_ + "/snap/hello-test/current/bin/tool"));
  EXPECT_TRUE(nelt::isDirectory(root_ + "/var/snap/hello-test/x1"));
  for (const char* link : {"hello-test", "hello-test.tool", "hello-test.abc"})
    EXPECT_TRUE(nelt::fileExists(root_ + "/snap/bin/" + link)) << link;

  // Padded columns, as snapd's tabwriter prints them.
  r = run({tool("snap"), "list"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "Name        Version  Rev  Tracking  Publisher  Notes\n"
            "hello-test  1.2.0    x1   -         -          classic\n");

  // Commands sorted by app name, not in snap.yaml's order.
  r = run({tool("snap"), "info", "hello-test"});
  ASSERT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("name:      hello-test\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\ncommands:\n  - hello-test.abc\n  - hello-test\n  - hello-test.tool\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\ninstalled:    1.2.0 (x1) "), std::string::npos) << r.out;

  r = run({tool("snap"), "run", "hello-test"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "main hello-test 1.2.0\n");
  r = run({tool("snap"), "run", "hello-test.tool", "a b"});
  EXPECT_EQ(r.out, "tool hello-test 1.2.0 a b\n");
  r = run({tool("snap"), "run", "hello-test.nope"});
  EXPECT_EQ(r.code, 1);

  // A newer file becomes a new revision and the current one.
  r = run({tool("snap"), "install", v2, "--dangerous", "--classic"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = run({tool("snap"), "list"});
  EXPECT_EQ(r.out,
            "Name        Version  Rev  Tracking  Publisher  Notes\n"
            "hello-test  1.3.0    x2   -         -          classic\n");
  EXPECT_EQ(run({tool("snap"), "run", "hello-test"}).out, "main hello-test 1.3.0\n");

  // The store's metadata file is not snapd's: removal leaves it.
  writeFile(root_ + "/snap/hello-test/kavix.json", "{\"slug\":\"hello-test\"}");
  r = run({tool("snap"), "remove", "hello-test"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_FALSE(nelt::fileExists(root_ + "/snap/hello-test/x1"));
  EXPECT_FALSE(nelt::fileExists(root_ + "/snap/hello-test/x2"));
  EXPECT_FALSE(nelt::fileExists(root_ + "/snap/hello-test/current"));
  EXPECT_FALSE(nelt::fileExists(root_ + "/var/snap/hello-test"));
  EXPECT_EQ(readFile(root_ + "/snap/hello-test/kavix.json"), "{\"slug\":\"hello-test\"}");
  EXPECT_EQ(run({tool("snap"), "info", "hello-test"}).code, 1);
  EXPECT_FALSE(nelt::fileExists(root_ + "/snap/bin/hello-test.tool"));
  EXPECT_TRUE(nelt::isDirectory(root_ + "/snap/bin"));
  // Revisions start again at x1 once none is left.
  ASSERT_EQ(run({tool("snap"), "install", v2, "--dangerous", "--classic"}).code, 0);
  EXPECT_EQ(run({tool("snap"), "list"}).out,
            "Name        Version  Rev  Tracking  Publisher  Notes\n"
            "hello-test  1.3.0    x1   -         -          classic\n");
  // What snapd's client says when it cannot list (here: snapd hidden /root).
  r = run({tool("snap"), "list"}, {{"NELT_SNAP_FAIL_LIST", "cannot add authorization: nope"}});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: cannot add authorization: nope\n");

  const std::string logged = readFile(log);
  EXPECT_NE(logged.find("install " + v1 + " --dangerous --classic\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("remove hello-test\n"), std::string::npos) << logged;
}

// Listing reads each revision's meta/snap.yaml as the other commands do:
// quotes, blanks, comments and CR line ends around the version; a snap whose
// apps map names an app twice, a broken "current" link, a snap folder that
// is a link or a bad name is not listed.
TEST_F(StandinTest, SnapListReadsEachSnapYaml) {
  auto place = [&](const std::string& name, const std::string& rev, const std::string& yaml) {
    nelt::makeDirs(root_ + "/snap/" + name + "/" + rev + "/meta");
    writeFile(root_ + "/snap/" + name + "/" + rev + "/meta/snap.yaml", yaml);
    symlink(rev.c_str(), (root_ + "/snap/" + name + "/current").c_str());
  };
  place("b-quoted", "x3", "name: b-quoted\r\n# note\r\n\r\nversion:  \"2.0 rc\" \r\napps:\n");
  place("a-plain", "7", "name: a-plain\nversion: '1.5'\napps:\n  a:\n    command: bin/a\n");
  place("c-twice", "1", "name: c-twice\nversion: 1\napps:\n  a:\n  \"a\":\n");
  place("d-other", "1", "apps:\n  a:\nplugs:\n  a:\nversion: 4\nversion: 5");
  place("e-empty", "2", "");
  place("Bad-Name", "1", "version: 1\n");
  nelt::makeDirs(root_ + "/snap/f-dangling");
  symlink("9", (root_ + "/snap/f-dangling/current").c_str());
  symlink((root_ + "/snap/a-plain").c_str(), (root_ + "/snap/g-linked").c_str());

  const std::string head = "Name      Version  Rev  Tracking  Publisher  Notes\n";
  RunResult r = run({tool("snap"), "list"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, head +
                       "a-plain   1.5      7    -         -          -\n"
                       "b-quoted  2.0 rc   x3   -         -          -\n"
                       "d-other   5        1    -         -          -\n"
                       "e-empty            2    -         -          -\n");
  r = run({tool("snap"), "list", "e-empty", "c-twice", "b-quoted", "f-dangling"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, head +
                       "e-empty            2    -         -          -\n"
                       "b-quoted  2.0 rc   x3   -         -          -\n");
}

TEST_F(StandinTest, SnapWithNothingInstalled) {
  RunResult r = run({tool("snap"), "list"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("No snaps are installed yet"), std::string::npos);

  r = run({tool("snap"), "info", "ghost"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no snap found for \"ghost\""), std::string::npos) << r.err;
  EXPECT_EQ(run({tool("snap"), "run", "ghost"}).code, 1);
  r = run({tool("snap"), "remove", "ghost"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.err.find("snap \"ghost\" is not installed"), std::string::npos);
}

TEST_F(StandinTest, SnapInstallFailureSwitchLeavesNothing) {
  const std::string v1 = buildSnap("hello-test", "1.0");
  RunResult r = run({tool("snap"), "install", v1, "--dangerous", "--classic"},
                    {{"NELT_SNAP_FAIL_INSTALL", "1"}});
  EXPECT_NE(r.code, 0);
  EXPECT_FALSE(nelt::fileExists(root_ + "/snap/hello-test"));
  EXPECT_FALSE(nelt::fileExists(root_ + "/var/snap/hello-test"));
  // An unsigned local file needs --dangerous, as with snapd.
  EXPECT_NE(run({tool("snap"), "install", v1}).code, 0);
  EXPECT_FALSE(nelt::fileExists(root_ + "/snap/hello-test"));
}

TEST_F(StandinTest, SnapRefusesHostileImages) {
  struct Case {
    std::string name, command;
  };
  const std::vector<Case> cases = {{"Bad_Name", "bin/a"},
                                   {"..", "bin/a"},
                                   {"ok-name", "../../../outside"},
                                   {"ok-name", "/bin/sh"}};
  int i = 0;
  for (const auto& c : cases) {
    const std::string tree = tmp_.sub("hostile" + std::to_string(i));
    nelt::makeDirs(tree + "/meta");
    writeFile(tree + "/meta/snap.yaml",
              "name: " + c.name + "\nversion: '1'\napps:\n  a:\n    command: " + c.command + "\n");
    const std::string image = tmp_.sub("hostile" + std::to_string(i++) + ".snap");
    ASSERT_TRUE(makeSquashfs(tree, image));
    const RunResult r = run({tool("snap"), "install", image, "--dangerous", "--classic"});
    EXPECT_NE(r.code, 0) << c.name << " " << c.command;
    EXPECT_NE(r.err.find("cannot validate snap file"), std::string::npos) << r.err;
  }
  const std::string not_squashfs = tmp_.sub("plain.snap");
  writeFile(not_squashfs, "not an image");
  EXPECT_NE(run({tool("snap"), "install", not_squashfs, "--dangerous"}).code, 0);
  EXPECT_EQ(run({tool("snap"), "list"}).out, "");
  EXPECT_FALSE(nelt::fileExists(root_ + "/snap/ok-name"));
}

TEST_F(StandinTest, EveryStandinRefusesWithoutAPrivateRoot) {
  const std::string marker = tmp_.sub("must-not-exist");
  const std::vector<std::vector<std::string>> commands = {{tool("snap"), "list"},
                                                          {tool("pkexec"), "touch", marker},
                                                          {tool("systemctl"), "is-active", "nelt"},
                                                          {tool("lsb_release"), "-d"}};
  for (const std::string root : {"", "/", "/.", "/tmp/.."}) {
    for (const auto& argv : commands) {
      // An empty value stands for "unset" here: the test process has no NELT_ROOT.
      std::map<std::string, std::string> env;
      if (!root.empty()) env["NELT_ROOT"] = root;
      const RunResult r = runWith(argv, env, tmp_.sub("logs"));
      EXPECT_EQ(r.code, 70) << argv[0] << " with NELT_ROOT=\"" << root << "\"";
      EXPECT_NE(r.err.find("refusing"), std::string::npos) << r.err;
    }
  }
  EXPECT_FALSE(nelt::fileExists(marker));
}

TEST_F(StandinTest, PkexecRunsItsArgumentsWithoutAShell) {
  const std::string log = tmp_.sub("pkexec.log");
  const std::vector<std::string> odd = {"a b;echo injected", "$(echo sub) `echo x` *", "'\\\""};
  RunResult r = run({tool("pkexec"), "printf", "[%s]\\n", odd[0], odd[1], odd[2]},
                    {{"NELT_PKEXEC_LOG", log}});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "[" + odd[0] + "]\n[" + odd[1] + "]\n[" + odd[2] + "]\n");
  EXPECT_EQ(readFile(log), "printf [%s]\\n " + odd[0] + " " + odd[1] + " " + odd[2] + "\n");

  // The exit status of the program is passed on.
  EXPECT_EQ(run({tool("pkexec"), "false"}).code, 1);

  // A user who dismisses the dialog: nothing runs.
  const std::string marker = root_ + "/refused";
  r = run({tool("pkexec"), "touch", marker}, {{"NELT_PKEXEC_REFUSE", "1"}});
  EXPECT_EQ(r.code, 126);
  EXPECT_EQ(r.err, "Error executing command as another user: Request dismissed\n");
  EXPECT_FALSE(nelt::fileExists(marker));
}

TEST_F(StandinTest, SystemctlStartsAndStopsTheService) {
  // A stand-in service that says hello and waits to be stopped.
  const std::string bin = tmp_.sub("bin");
  nelt::makeDirs(bin);
  writeFile(bin + "/KavixService",
            "#!/bin/bash\necho \"service up root=$NELT_ROOT cwd=$(pwd -P)\"\n"
            "trap 'echo stopping; exit 0' TERM\nfor i in $(seq 1200); do sleep 0.1; done\n");
  chmod((bin + "/KavixService").c_str(), 0755);
  env_["NELT_BIN_DIR"] = bin;

  EXPECT_EQ(run({tool("systemctl"), "is-active", "nelt"}).code, 3);
  RunResult r = run({tool("systemctl"), "start", "nelt"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string log = root_ + "/var/log/nelt.log";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (readFile(log).find("service up") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(readFile(log).find("service up root=" + root_ + " cwd="), std::string::npos)
      << readFile(log);
  const std::string pid_text = readFile(root_ + "/run/nelt.pid");
  const pid_t pid = static_cast<pid_t>(std::atoi(pid_text.c_str()));
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(processAlive(pid));

  r = run({tool("systemctl"), "is-active", "nelt.service"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "active\n");
  // Starting a running unit changes nothing.
  EXPECT_EQ(run({tool("systemctl"), "start", "nelt"}).code, 0);
  EXPECT_EQ(readFile(root_ + "/run/nelt.pid"), pid_text);

  EXPECT_EQ(run({tool("systemctl"), "stop", "nelt"}).code, 0);
  r = run({tool("systemctl"), "is-active", "nelt"});
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.out, "inactive\n");
  EXPECT_FALSE(processAlive(pid));

  r = run({tool("systemctl"), "start", "ssh"});
  EXPECT_EQ(r.code, 5);
  EXPECT_NE(r.err.find("Unit ssh.service not found."), std::string::npos);
}

TEST_F(StandinTest, LsbReleaseDescribesTheDistribution) {
  EXPECT_EQ(run({tool("lsb_release"), "-d"}).out, "Description:\tDebian GNU/Linux 12 (bookworm)\n");
  EXPECT_EQ(run({tool("lsb_release"), "-d"}, {{"NELT_LSB_DESCRIPTION", "Ubuntu 22.04.4 LTS"}}).out,
            "Description:\tUbuntu 22.04.4 LTS\n");
}

}  // namespace
}  // namespace nelt::test
