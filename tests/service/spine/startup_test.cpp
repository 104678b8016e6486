// Start-up of the real service: port choice, port file, exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "service_harness.h"

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

const char* const kBindError =
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
  EXPECT_EQ(ServiceHarness::countOf(service.proc().err(), kBindError), 2u);
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
  EXPECT_TRUE(err.rfind(kBindError, 0) == 0 ||
              err.find(std::string("\n") + kBindError) != std::string::npos)
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

}  // namespace
