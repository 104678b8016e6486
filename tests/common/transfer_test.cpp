// The transfer set-up shared by both programs, against the local store
// server: what it lets through, and how it ends a transfer that stalls.
#include "transfer.h"

#include <gtest/gtest.h>

#include <chrono>

#include "sysinfo.h"
#include "test_support.h"

using namespace nelt::test;

namespace {

size_t discard(char*, size_t size, size_t nmemb, void*) { return size * nmemb; }

}  // namespace

TEST(Transfer, LookupSpeaksHttpOnlyAndStallsEndAtTheLimits) {
  TempDir work;
  StoreServer server;
  ASSERT_TRUE(server.start(work.path())) << server.process().err();
  const std::string lookup = server.baseUrl() + "/ip";
  EXPECT_EQ(nelt::fetchPublicIp(lookup, 3), "127.0.0.1");

  // A lookup address naming a file or another protocol reads nothing that
  // could end up in the identity header.
  writeFile(work.sub("address"), "10.9.8.7");
  EXPECT_EQ(nelt::fetchPublicIp("file://" + work.sub("address"), 3), "");
  EXPECT_EQ(nelt::fetchPublicIp("dict://127.0.0.1:" + std::to_string(server.port()) + "/ip", 3),
            "");

  ASSERT_TRUE(server.setMode("{\"stall\":true}"));
  // The server holds a stalled request for a minute; the limits end it far
  // sooner, the total one for a lookup and the low-speed one for a download.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(nelt::fetchPublicIp(lookup, 1), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));

  CURL* handle = curl_easy_init();
  ASSERT_NE(handle, nullptr);
  nelt::TransferLimits limits;
  limits.connect_seconds = 2;
  limits.low_speed_bytes = 1024;
  limits.low_speed_seconds = 1;
  limits.buffer_bytes = 512L * 1024;
  ASSERT_EQ(nelt::setUpTransfer(handle, limits), 0);
  curl_easy_setopt(handle, CURLOPT_URL, (server.baseUrl() + "/api/v1/categories/").c_str());
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, discard);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(curl_easy_perform(handle), CURLE_OPERATION_TIMEDOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  // An unreadable certificate file is reported, the handle still usable.
  EXPECT_EQ(nelt::setUpTransfer(handle, limits, work.sub("missing.pem")), -1);
  curl_easy_cleanup(handle);
  ASSERT_TRUE(server.setMode("{\"stall\":false}"));
}

TEST(Transfer, HeaderValuesAreCleanedOrRefusedAlike) {
  // Identity values lose control characters and surrounding blanks only.
  EXPECT_EQ(nelt::headerSafe(std::string(" 10.0.0.7\0\r\n ", 13)), "10.0.0.7");
  EXPECT_EQ(nelt::headerSafe("Debian GNU/Linux 12 (bookworm)"), "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(nelt::headerSafe(" \r\n"), "");
  // Values sent as they are must be one clean word.
  EXPECT_TRUE(nelt::headerValueUsable("eyJhbGciOi.J9-_x~+/="));
  for (const std::string& bad : {std::string(), std::string("a\r\nX: 1"), std::string("a\0b", 3),
                                 std::string(" a"), std::string("a b"), std::string("a\x7f")})
    EXPECT_FALSE(nelt::headerValueUsable(bad)) << bad;
  SysInfo info{"Nelt Linux", "00:11:22:33:44:55", "10.0.0.7"};
  EXPECT_EQ(nelt::identityText(info, "CreatorTool"),
            "OS:Nelt Linux, MacAddr:00:11:22:33:44:55, IPAddr:10.0.0.7, User: CreatorTool");
}
