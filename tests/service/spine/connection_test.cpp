// The connection requests of the window: identification, server address and
// the open-window word shared by successive window starts.
#include <gtest/gtest.h>

#include "service_harness.h"

namespace {

using namespace nelt::test;
using namespace std::chrono_literals;

// One window process: its main and open-window connections.
struct Window {
  ProtoClient main;
  ProtoClient open;
};

class Connections : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service.start()) << service.proc().err(); }

  std::string ask(ProtoClient& c, const std::string& line) {
    std::string reply;
    EXPECT_TRUE(c.request(line, reply)) << line;
    return reply;
  }
  void open(Window& w) {
    ASSERT_TRUE(service.connect(w.main));
    ASSERT_TRUE(service.connect(w.open));
  }
  ServiceHarness service;
};

TEST_F(Connections, OpenWindowWordGoesFromASecondStartToTheStoreWindow) {
  Window first, second;
  open(first);
  EXPECT_EQ(ask(first.main, "POST 0 NativeStore\n"), "200 \n");
  EXPECT_EQ(ask(first.main, "GET 17 \n"), "200 {\"url\": \"\"}\n");
  EXPECT_EQ(ask(first.open, "GET 18 \n"), "200 \n");  // no store window yet
  EXPECT_EQ(ask(first.main, "GET 2 \n"), "200 \n");
  EXPECT_EQ(ask(first.open, "POST 19 @FIRST\n"), "200 \n");
  EXPECT_EQ(ask(first.open, "GET 18 \n"), "200 @FIRST\n");

  open(second);
  EXPECT_EQ(ask(second.main, "POST 0 NativeStore\n"), "200 \n");
  EXPECT_EQ(ask(second.open, "GET 18 \n"), "200 @FIRST\n");  // a store window exists
  EXPECT_EQ(ask(second.open, "POST 19 hello-nelt\n"), "200 \n");
  second.main.close();
  second.open.close();
  ASSERT_TRUE(service.waitForOutCount("Disconnect to client", 2, 10s));

  // Neither of the second start's connections was recorded: the word stays.
  EXPECT_EQ(ask(first.open, "GET 18 \n"), "200 hello-nelt\n");
  EXPECT_EQ(ask(first.open, "GET 18 \n"), "200 @FIRST\n");
  EXPECT_EQ(ask(first.open, "POST 19 @HOME\n"), "200 \n");
  EXPECT_EQ(ask(first.open, "GET 18 \n"), "200 @HOME\n");
  EXPECT_EQ(ask(first.open, "GET 18 \n"), "200 @FIRST\n");

  // The store window's open-window connection closes: the word is cleared
  // and the next start becomes the store window.
  first.open.close();
  ASSERT_TRUE(service.proc().waitForOutput("sock_open : ", 10s));
  Window third;
  open(third);
  EXPECT_EQ(ask(third.open, "GET 18 \n"), "200 \n");
  // Open-window checks are not echoed; everything else is.
  const std::string out = service.proc().out();
  EXPECT_EQ(out.find(" GET 18 "), std::string::npos);
  EXPECT_NE(out.find(" POST 19 hello-nelt\n"), std::string::npos);
}

// The command line identifies itself like the window. Only the window that
// registered "@FIRST" holds the slot: the command line coming and going
// changes nothing, the window's own connection going clears the word.
TEST_F(Connections, OnlyTheRegisteredWindowHoldsTheSlot) {
  ProtoClient cli;
  ASSERT_TRUE(service.connect(cli));
  EXPECT_EQ(ask(cli, "POST 0 NativeStore\n"), "200 \n");

  Window window;
  open(window);
  EXPECT_EQ(ask(window.main, "POST 0 NativeStore\n"), "200 \n");
  EXPECT_EQ(ask(window.open, "GET 18 \n"), "200 \n");
  EXPECT_EQ(ask(window.open, "POST 19 @FIRST\n"), "200 \n");
  cli.close();
  ASSERT_TRUE(service.waitForOutCount("Disconnect to client", 1, 10s));
  EXPECT_EQ(ask(window.open, "GET 18 \n"), "200 @FIRST\n");

  Window second;
  open(second);
  EXPECT_EQ(ask(second.main, "POST 0 NativeStore\n"), "200 \n");
  EXPECT_EQ(ask(second.open, "GET 18 \n"), "200 @FIRST\n");  // not a second window
  EXPECT_EQ(ask(second.open, "POST 19 @HOME\n"), "200 \n");
  second.main.close();
  second.open.close();
  EXPECT_EQ(ask(window.open, "GET 18 \n"), "200 @HOME\n");

  // The window's main connection alone says nothing; its open-window
  // connection does.
  window.main.close();
  ASSERT_TRUE(service.waitForOutCount("Disconnect to client", 4, 10s));
  EXPECT_EQ(ask(window.open, "GET 18 \n"), "200 @FIRST\n");
  window.open.close();
  ASSERT_TRUE(service.proc().waitForOutput("sock_open : ", 10s));
  Window third;
  open(third);
  EXPECT_EQ(ask(third.open, "GET 18 \n"), "200 \n");
}

TEST_F(Connections, ClientKinds) {
  ProtoClient c;
  ASSERT_TRUE(service.connect(c));
  EXPECT_EQ(ask(c, "POST 0 CreatorTool\n"), "200 \n");
  EXPECT_EQ(ask(c, "POST 0 Browser\n"), "8888 \n");
  EXPECT_EQ(ask(c, "POST 0 \n"), "8888 \n");
  EXPECT_EQ(ask(c, "POST 0\n"), "8888 \n");
  EXPECT_EQ(ask(c, "POST 0 NativeStore extra words\n"), "200 \n");
  // A creator tool is never recorded as the store window's main connection.
  ProtoClient tool;
  ASSERT_TRUE(service.connect(tool));
  EXPECT_EQ(ask(tool, "POST 0 CreatorTool\n"), "200 \n");
  EXPECT_EQ(ask(tool, "POST 19 @HOME\n"), "200 \n");
  tool.close();
  ASSERT_TRUE(service.waitForOutCount("Disconnect to client", 1, 10s));
  EXPECT_EQ(ask(c, "GET 18 \n"), "200 @HOME\n");
}

TEST_F(Connections, MissingArgumentsAnswer8888) {
  ProtoClient c;
  ASSERT_TRUE(service.connect(c));
  for (const char* line : {"POST 19 \n", "POST 1 \n", "POST 11 \n", "POST 20 \n", "GET 4 \n",
                           "GET 8 \n", "GET 15 \n", "GET 16 \n"})
    EXPECT_EQ(ask(c, line), "8888 \n") << line;
}

TEST_F(Connections, PasswordsNeverReachTheLog) {
  ProtoClient c;
  ASSERT_TRUE(service.connect(c));
  // No store server: the sign-in fails, but the request is echoed first.
  EXPECT_EQ(ask(c, "POST 1 alice&s3cr3t-pw\n"), "8888 \n");
  EXPECT_EQ(ask(c, "POST 11 dev&0ther secret\n"), "8888 \n");
  EXPECT_EQ(ask(c, "POST 1 onlyname\n"), "8888 \n");
  const std::string out = service.proc().out() + service.proc().err();
  EXPECT_NE(out.find(" POST 1 alice&***\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" POST 11 dev&***\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("s3cr3t"), std::string::npos);
  EXPECT_EQ(out.find("0ther"), std::string::npos);
  EXPECT_EQ(out.find("secret"), std::string::npos);
}

}  // namespace
