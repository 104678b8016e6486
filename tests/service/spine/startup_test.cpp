// Start-up of the real service: port choice, port file, exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "fsutil.h"
#include "service_harness.h"

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

const char* const BIND_ERROR =
    "[ERROR][int ServiceController::initSocket() _ -3]Bind event listener\n";

TEST(ServiceStartup, FallsBackToTheSecondAlternativePort) {
  int taken = 0, taken_alt = 0;
  const int fd1 = occupyLoopbackPort(taken);
  const int fd2 = occupyLoopbackPort(taken_alt);
  ASSERT_GE(fd1, 0);
  ASSERT_GE(fd2, 0);
  const int free_port = freeLoopbackPort();

  ServiceHarness service;
  ServiceOptions options;
  options.port = taken;
  options.alternatives = {taken_alt, free_port};
  ASSERT_TRUE(service.start(options)) << service.proc().err();
  EXPECT_EQ(service.port(), free_port);
  EXPECT_EQ(readFile(service.portFile()), "{\"port\":" + std::to_string(free_port) + "}");

  ProtoClient client;
  ASSERT_TRUE(service.connect(client));
  std::string reply;
  ASSERT_TRUE(client.request("POST 0 NativeStore\n", reply));
  EXPECT_EQ(reply, "200 \n");
  // Each port tried is printed; each failed bind has its own error line.
  const std::string out = service.proc().out();
  EXPECT_NE(out.find(std::to_string(taken) + "\n" + std::to_string(taken_alt) + "\n" +
                     std::to_string(free_port) + "\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(ServiceHarness::countOf(service.proc().err(), BIND_ERROR), 2u);
  close(fd1);
  close(fd2);
}

TEST(ServiceStartup, EveryPortTakenEndsWithStatus253) {
  int taken = 0;
  const int fd = occupyLoopbackPort(taken);
  ASSERT_GE(fd, 0);
  ServiceHarness service;
  ServiceOptions options;
  options.port = taken;
  options.write_alternatives = true;  // an empty list, like no list at all
  ASSERT_TRUE(service.start(options, false));
  EXPECT_EQ(service.proc().wait(30s), 253);
  const std::string err = service.proc().err();
  EXPECT_TRUE(err.rfind(BIND_ERROR, 0) == 0 ||
              err.find(std::string("\n") + BIND_ERROR) != std::string::npos)
      << err;
  // Nothing was bound, so no port file was written.
  EXPECT_EQ(readFile(service.portFile()), "");
  close(fd);
}

TEST(ServiceStartup, ListensOnLoopbackOnly) {
  ServiceHarness service;
  ASSERT_TRUE(service.start());
  const int port = service.port();
  ProtoClient client;
  ASSERT_TRUE(service.connect(client));
  std::string reply;
  ASSERT_TRUE(client.request("GET 17 \n", reply));
  EXPECT_EQ(reply, "200 {\"url\": \"\"}\n");
  const std::string listing = readFile("/proc/net/tcp");
  char needle[32];
  std::snprintf(needle, sizeof needle, "0100007F:%04X 00000000:0000 0A", port);
  EXPECT_NE(listing.find(needle), std::string::npos) << "not listening on 127.0.0.1";
  std::snprintf(needle, sizeof needle, "00000000:%04X 00000000:0000 0A", port);
  EXPECT_EQ(listing.find(needle), std::string::npos) << "listening on every interface";
}

TEST(ServiceStartup, WorkingFolderIsCreated) {
  ServiceHarness service;
  ASSERT_TRUE(service.start());
  EXPECT_EQ(service.proc().out().rfind(service.root() + "/kavix\n", 0), 0u);
  struct stat st {};
  ASSERT_EQ(stat((service.root() + "/kavix").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0775 & ~mask);
}

// A restart while a client still holds a connection of the previous run
// binds the same port at once.
TEST(ServiceStartup, RestartWithAClientConnectedGetsThePortBack) {
  for (int round = 0; round < 3; ++round) {
    ServiceHarness first;
    ASSERT_TRUE(first.start()) << first.proc().err();
    ProtoClient window;
    ASSERT_TRUE(first.connect(window));
    std::string reply;
    ASSERT_TRUE(window.request("POST 0 NativeStore\n", reply));
    ASSERT_EQ(kill(first.proc().pid(), SIGKILL), 0);
    ASSERT_EQ(first.proc().wait(10s), 128 + SIGKILL);

    ServiceHarness second;
    ServiceOptions options;
    options.port = first.port();
    ASSERT_TRUE(second.start(options)) << second.proc().err();
    EXPECT_EQ(second.port(), first.port());
    EXPECT_EQ(second.proc().err().find(BIND_ERROR), std::string::npos);
    ProtoClient again;
    ASSERT_TRUE(second.connect(again));
    ASSERT_TRUE(again.request("GET 18 \n", reply));
    EXPECT_EQ(reply, "200 \n");
  }
}

// Port 0 lets the system choose; the port file names the port chosen.
TEST(ServiceStartup, PortZeroAnnouncesThePortBound) {
  ServiceHarness service;
  ServiceOptions options;
  options.port = 0;
  ASSERT_TRUE(service.start(options)) << service.proc().err();
  EXPECT_GT(service.port(), 0);
  ProtoClient client;
  ASSERT_TRUE(service.connect(client));
  std::string reply;
  ASSERT_TRUE(client.request("GET 18 \n", reply));
  EXPECT_EQ(reply, "200 \n");
}

// A clean stop takes the port file with it; a crash cannot (the next start
// writes it anew).
TEST(ServiceStartup, CleanStopRemovesThePortFile) {
  ServiceHarness service;
  ASSERT_TRUE(service.start()) << service.proc().err();
  ASSERT_TRUE(nelt::fileExists(service.portFile()));
  ASSERT_EQ(kill(service.proc().pid(), SIGTERM), 0);
  EXPECT_EQ(service.proc().wait(10s), 128 + SIGTERM);
  EXPECT_FALSE(nelt::fileExists(service.portFile()));
}

// "port_file" moves the port file (the package puts it below /run/nelt, whose
// folder may not exist yet); without it nothing changes.
TEST(ServiceStartup, ConfiguredPortFileIsWrittenThereAndRemovedOnStop) {
  ServiceHarness service;
  const std::string moved = service.root() + "/run/nelt/.port.conf";
  ServiceOptions options;
  options.extra_config = "\"port_file\": \"" + moved + "\"";
  ASSERT_TRUE(service.start(options, false));
  std::string text;
  for (int i = 0; i < 200 && text.empty(); ++i) {
    text = readFile(moved);
    if (text.empty()) usleep(50 * 1000);
  }
  EXPECT_EQ(text.rfind("{\"port\":", 0), 0u) << text << service.proc().err();
  EXPECT_FALSE(nelt::fileExists(service.portFile()));
  service.proc().terminate();
  EXPECT_FALSE(nelt::fileExists(moved));
}

// Without an absolute working and data folder the service would write into
// whatever folder it was started from ("/" under the service manager).
TEST(ServiceStartup, RelativeOrMissingFoldersAreRefused) {
  const struct {
    const char* folders;
    const char* key;
  } cases[] = {
      {"\"kavix_path\": \"kavix\", \"data_kavix_path\": \"data\"", "kavix_path"},
      {"\"kavix_path\": \"/tmp\", \"data_kavix_path\": \"./data\"", "data_kavix_path"},
      {"\"kavix_path\": \"/tmp\"", "data_kavix_path"},
  };
  for (const auto& c : cases) {
    TempDir root;
    nelt::makeDirs(root.sub("etc/nelt"));
    nelt::makeDirs(root.sub("usr/bin/nelt"));
    nelt::makeDirs(root.sub("cwd"));
    writeFile(root.sub("etc/nelt/nelt_store.conf"),
              "{\"local_port\": " + std::to_string(freeLoopbackPort()) + ", " + c.folders + "}");
    ChildProcess proc;
    ASSERT_TRUE(proc.start({"env", "-C", root.sub("cwd"), binDir() + "/KavixService"},
                           {{"NELT_ROOT", root.path()}}, root.path()));
    EXPECT_EQ(proc.wait(30s), 248) << c.folders;
    EXPECT_NE(proc.err().find(std::string("[ERROR][int main() _ -8]The configuration key \"") +
                              c.key + "\" must name an absolute folder\n"),
              std::string::npos)
        << proc.err();
    EXPECT_FALSE(nelt::fileExists(root.sub("cwd/users")));
    EXPECT_FALSE(nelt::fileExists(root.sub("cwd/data")));
    EXPECT_EQ(readFile(root.sub("usr/bin/nelt/.port.conf")), "");
  }
}

}  // namespace
