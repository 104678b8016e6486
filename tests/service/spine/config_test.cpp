// The service's configuration file.
#include <gtest/gtest.h>

#include "test_support.h"
#include "utils.h"

using nelt::service::URL_HOST;

namespace {

using nelt::test::TempDir;
using nelt::test::writeFile;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { resetSettings(); }
  void TearDown() override { resetSettings(); }

  static void resetSettings() {
    URL_HOST.clear();
    PORT_LOCAL = 0;
    delete[] PORT_LOCAL_A;
    PORT_LOCAL_A = nullptr;
    LEN_PORT_LOCAL_A = 0;
    KAVIX_PATH.clear();
    DATA_CACHE_PATH.clear();
    IP_LOOKUP_URL = DEFAULT_IP_LOOKUP_URL;
    CA_FILE.clear();
  }

  void load(const std::string& text) {
    const std::string path = dir.sub("nelt_store.conf");
    writeFile(path, text);
    kavix_load_config(path);
  }

  TempDir dir;
};

TEST_F(ConfigTest, LinesAreJoinedBeforeParsing) {
  load(
      "{\n  \"host\": \"https://store.example\",\n  \"local_port\":\n 8666,\n"
      "  \"local_port_a\": [8667,\n 8668],\n  \"kavix_path\": \"/k/\",\n"
      "  \"data_kavix_path\": \"/d/\",\n  \"ip_lookup_url\": \"\",\n  \"ca_file\": "
      "\"/ca.pem\"\n}\n");
  EXPECT_EQ(URL_HOST, "https://store.example");
  EXPECT_EQ(PORT_LOCAL, 8666);
  ASSERT_EQ(LEN_PORT_LOCAL_A, 2);
  EXPECT_EQ(PORT_LOCAL_A[0], 8667);
  EXPECT_EQ(PORT_LOCAL_A[1], 8668);
  EXPECT_EQ(KAVIX_PATH, "/k/");
  EXPECT_EQ(DATA_CACHE_PATH, "/d/");
  EXPECT_EQ(IP_LOOKUP_URL, "");
  EXPECT_EQ(CA_FILE, "/ca.pem");
}

TEST_F(ConfigTest, SyntaxErrorOrMissingFileChangesNothing) {
  load("{\"host\": \"https://a\", \"local_port\": 8666, \"local_port_a\": [1,2] \"kavix_path\": }");
  EXPECT_EQ(URL_HOST, "");
  EXPECT_EQ(PORT_LOCAL, 0);
  EXPECT_EQ(LEN_PORT_LOCAL_A, 0);
  EXPECT_EQ(PORT_LOCAL_A, nullptr);
  load("");
  EXPECT_EQ(PORT_LOCAL, 0);
  kavix_load_config(dir.sub("missing.conf"));
  EXPECT_EQ(URL_HOST, "");
  EXPECT_EQ(IP_LOOKUP_URL, DEFAULT_IP_LOOKUP_URL);
  load("[8666]");
  EXPECT_EQ(PORT_LOCAL, 0);
}

TEST_F(ConfigTest, ValuesOfAnotherTypeAreIgnored) {
  load(
      "{\"host\": 5, \"local_port\": \"8666\", \"local_port_a\": {\"a\": 1},"
      " \"kavix_path\": [\"/k\"], \"data_kavix_path\": null, \"extra\": true}");
  EXPECT_EQ(URL_HOST, "");
  EXPECT_EQ(PORT_LOCAL, 0);
  EXPECT_EQ(LEN_PORT_LOCAL_A, 0);
  EXPECT_EQ(KAVIX_PATH, "");
  EXPECT_EQ(DATA_CACHE_PATH, "");
  load("{\"local_port\": 8666.5, \"local_port_a\": [8667, \"x\", 8668.0, 8669]}");
  EXPECT_EQ(PORT_LOCAL, 0);
  ASSERT_EQ(LEN_PORT_LOCAL_A, 2);
  EXPECT_EQ(PORT_LOCAL_A[0], 8667);
  EXPECT_EQ(PORT_LOCAL_A[1], 8669);
}

TEST_F(ConfigTest, PortsOutsideTheTcpRangeAreIgnored) {
  load("{\"local_port\": 70000, \"local_port_a\": [-1, 65536, 8667, 0]}");
  EXPECT_EQ(PORT_LOCAL, 0);
  ASSERT_EQ(LEN_PORT_LOCAL_A, 2);
  EXPECT_EQ(PORT_LOCAL_A[0], 8667);
  EXPECT_EQ(PORT_LOCAL_A[1], 0);
}

TEST_F(ConfigTest, EmptyAlternativesBehaveLikeAbsentKey) {
  load("{\"local_port\": 8666, \"local_port_a\": []}");
  EXPECT_EQ(PORT_LOCAL, 8666);
  EXPECT_EQ(LEN_PORT_LOCAL_A, 0);
  EXPECT_EQ(PORT_LOCAL_A, nullptr);
}

}  // namespace
