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

  // A lookup address naming a file reads nothing that could end up in the
  // identity header.
  writeFile(work.sub("address"), "10.9.8.7");
  EXPECT_EQ(nelt::fetchPublicIp("file://" + work.sub("address"), 3), "");

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
  curl_easy_cleanup(handle);
  ASSERT_TRUE(server.setMode("{\"stall\":false}"));
}
