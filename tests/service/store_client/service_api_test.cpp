// The store server client: URL builders and reply reduction as units, then
// every exchange against the project's local store server on loopback.
#include "service_api.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <map>

#include "process.h"
#include "store_client_support.h"

using namespace nelt::test;

namespace {

struct SeenRequest {
  std::string method, path, query, body;
  std::map<std::string, std::string> headers;  // names in lower case
  bool has(const std::string& name) const { return headers.count(name) != 0; }
  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<SeenRequest> seenRequests(StoreServer& server) {
  std::vector<SeenRequest> out;
  rapidjson::Document doc;
  const std::string text = server.requests();
  doc.Parse(text.c_str());
  if (doc.HasParseError() || !doc.IsArray()) return out;
  for (const auto& r : doc.GetArray()) {
    SeenRequest seen;
    nelt::getString(r, "method", seen.method);
    nelt::getString(r, "path", seen.path);
    nelt::getString(r, "query", seen.query);
    nelt::getString(r, "body", seen.body);
    if (const rapidjson::Value* h = nelt::getObject(r, "headers"))
      for (auto it = h->MemberBegin(); it != h->MemberEnd(); ++it)
        if (it->value.IsString()) seen.headers[lower(it->name.GetString())] = it->value.GetString();
    out.push_back(seen);
  }
  return out;
}

// The last request the server saw on a store path (test switches excluded).
SeenRequest lastStoreRequest(StoreServer& server) {
  auto all = seenRequests(server);
  for (auto it = all.rbegin(); it != all.rend(); ++it)
    if (it->path.rfind("/api/", 0) == 0) return *it;
  return SeenRequest();
}

class ServiceApiUnits : public ::testing::Test {
 protected:
  FakeSystem sys;
};

class ServiceApiExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start(work.path())) << server.process().err();
    IP_LOOKUP_URL = server.baseUrl() + IP_PATH;
  }
  static constexpr const char* IP_PATH = "/ip";
  FakeSystem sys;
  TempDir work;
  StoreServer server;
};

}  // namespace

TEST_F(ServiceApiUnits, UrlBuilders) {
  ServiceAPI api("http://127.0.0.1:9/");
  EXPECT_EQ(api.serverHost(), "http://127.0.0.1:9");
  EXPECT_EQ(api.getUriGET("/api/v1/categories", ""), "http://127.0.0.1:9/api/v1/categories/");
  EXPECT_EQ(api.getUriGET("api/v1/apps", "7/detail"), "http://127.0.0.1:9/api/v1/apps/7/detail");
  EXPECT_EQ(api.getUriGETValue("/api/v1/apps/search", "type=1&text=a"),
            "http://127.0.0.1:9/api/v1/apps/search?type=1&text=a");
  EXPECT_EQ(api.getUriGETValue("api/v1/apps/search", ""), "http://127.0.0.1:9/api/v1/apps/search?");
  EXPECT_EQ(api.getUriPOST("api/v1/login"), "http://127.0.0.1:9/api/v1/login");
}

TEST_F(ServiceApiUnits, ReplyReductionAndCodes) {
  EXPECT_EQ(ServiceAPI::reduceReply("{\"code\":200,\"data\":{\"a\": [1, 2],\"b\":\"x\"}}"),
            "{\"a\":[1,2],\"b\":\"x\"}");
  EXPECT_EQ(ServiceAPI::reduceReply("{\"code\":200,\"data\":null}"), "null");
  EXPECT_EQ(ServiceAPI::reduceReply("{\"code\":401,\"data\":{}}"), "");
  EXPECT_EQ(ServiceAPI::reduceReply("{\"code\":\"200\",\"data\":{}}"), "");
  EXPECT_EQ(ServiceAPI::reduceReply("{\"code\":200}"), "");
  EXPECT_EQ(ServiceAPI::reduceReply("[200]"), "");
  EXPECT_EQ(ServiceAPI::reduceReply(""), "null");
  EXPECT_EQ(ServiceAPI::reduceReply("<html>"), "null");
  // Absurd nesting is no reply, and must not exhaust the stack.
  EXPECT_EQ(ServiceAPI::reduceReply(std::string(200000, '[')), "null");
  EXPECT_EQ(ServiceAPI::reduceReply("{\"code\":200,\"data\":" + std::string(5000, '[') +
                                    std::string(5000, ']') + "}"),
            "null");

  ServiceAPI api("http://127.0.0.1:9");
  EXPECT_EQ(api.getIDResponse(), "9999");
  EXPECT_EQ(api.readIDRes("{\"code\":401}"), 0);
  EXPECT_EQ(api.getIDResponse(), "401");
  // A later reply without a code never inherits the earlier one.
  EXPECT_EQ(api.readIDRes("not json"), -1);
  EXPECT_EQ(api.getIDResponse(), "9999");
  EXPECT_EQ(api.readIDRes("{\"code\":200}"), 0);
  EXPECT_EQ(api.readIDRes("{\"code\":\"8001\"}"), -1);
  EXPECT_EQ(api.getIDResponse(), "9999");
  EXPECT_EQ(api.readIDRes("[1]"), -1);
  EXPECT_EQ(api.getIDResponse(), "9999");

  EXPECT_EQ(api.login("Someone", "a", "b"), -1);
  EXPECT_EQ(api.addHeaderToken("Someone", "t"), -1);
  EXPECT_EQ(api.addHeaderToken("NativeStore", ""), 0);
}

TEST_F(ServiceApiUnits, IdentityWithAndWithoutLsbRelease) {
  {
    ScopedEnv desc("NELT_LSB_DESCRIPTION", "Nelt Linux 1.0 (thử)");
    ServiceAPI api("http://127.0.0.1:9");
    EXPECT_EQ(api.sysInfo().os, "Nelt Linux 1.0 (thử)");
    std::string mac;
    ASSERT_TRUE(nelt::readMacAddresses(mac));
    EXPECT_EQ(api.sysInfo().mac_addr, mac);
    EXPECT_EQ(api.sysInfo().ip_addr, "");
    EXPECT_EQ(api.identityLine("CreatorTool"), "User-Agent: OS:Nelt Linux 1.0 (thử), MacAddr:" +
                                                   mac + ", IPAddr:, User: CreatorTool, Status: 0");
  }
  // Without lsb_release (a minimal system) the name comes from os-release.
  ScopedEnv path("PATH", sys.sub("no-such-bin"));
  nelt::makeDirs(sys.sub("etc"));
  writeFile(sys.sub("etc/os-release"),
            "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
            "VERSION_ID=\"12\"\n");
  {
    ServiceAPI api("http://127.0.0.1:9");
    EXPECT_EQ(api.sysInfo().os, "Debian GNU/Linux 12 (bookworm)");
  }
  EXPECT_EQ(nelt::parseOsReleasePrettyName("ID=x\nPRETTY_NAME='Nelt \"1\"'\n"), "Nelt \"1\"");
  EXPECT_EQ(nelt::parseOsReleasePrettyName("PRETTY_NAME=\"A \\\"B\\\"\"\r\n"), "A \"B\"");
  EXPECT_EQ(nelt::parseOsReleasePrettyName("PRETTY_NAME=Plain\n"), "Plain");
  // Neither: the service still starts, with no description.
  unlink(sys.sub("etc/os-release").c_str());
  ServiceAPI api("http://127.0.0.1:9");
  EXPECT_EQ(api.sysInfo().os, "");
}

TEST_F(ServiceApiExchange, IdentityLineAndContentTypeOnEveryRequest) {
  std::string ip;
  ASSERT_EQ(httpRequest("GET", server.baseUrl() + IP_PATH, "", ip), 200);
  std::string ip_clean;
  for (char c : ip)
    if (static_cast<unsigned char>(c) >= 0x20) ip_clean += c;
  std::string mac;
  ASSERT_TRUE(nelt::readMacAddresses(mac));

  ServiceAPI api(server.baseUrl());
  ASSERT_EQ(api.getListSections(), 0);
  EXPECT_EQ(api.getIDResponse(), "200");
  EXPECT_NE(api.getResponse(), "");
  SeenRequest seen = lastStoreRequest(server);
  EXPECT_EQ(seen.method, "GET");
  EXPECT_EQ(seen.path, "/api/v1/categories/");
  EXPECT_EQ(seen.header("user-agent"), "OS:Debian GNU/Linux 12 (bookworm), MacAddr:" + mac +
                                           ", IPAddr:" + ip_clean +
                                           ", User: NativeStore, Status: 0");
  EXPECT_EQ(seen.header("content-type"), "application/json");
  EXPECT_EQ(seen.header("host"), "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_FALSE(seen.has("authorization"));
}

TEST_F(ServiceApiExchange, LoginSwitchesToTheBearerLineAndSignOutRestoresIdentity) {
  ServiceAPI api(server.baseUrl());
  testing::internal::CaptureStdout();
  ASSERT_EQ(api.login("NativeStore", "demo", "demo123"), 0);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed.find("demo123"), std::string::npos) << printed;
  EXPECT_EQ(api.getIDResponse(), "200");
  rapidjson::Document payload;
  const std::string data = api.getResponse();
  payload.Parse(data.c_str());
  std::string token;
  ASSERT_TRUE(nelt::getString(payload, "token", token)) << data;

  SeenRequest login = lastStoreRequest(server);
  EXPECT_EQ(login.method, "POST");
  EXPECT_EQ(login.path, "/api/v1/login");
  EXPECT_EQ(login.body, "{\"username\": \"demo\", \"password\": \"demo123\"}");

  // Signed in: a GET again, carrying the bearer line alone.
  ASSERT_EQ(api.getListSections(), 0);
  SeenRequest after = lastStoreRequest(server);
  EXPECT_EQ(after.method, "GET");
  EXPECT_EQ(after.header("authorization"), "Bearer " + token);
  EXPECT_FALSE(after.has("user-agent"));
  EXPECT_FALSE(after.has("content-type"));

  ASSERT_EQ(api.addHeaderToken("NativeStore", ""), 0);
  ASSERT_EQ(api.getListSections(), 0);
  SeenRequest out = lastStoreRequest(server);
  EXPECT_FALSE(out.has("authorization"));
  EXPECT_EQ(out.header("user-agent").rfind("OS:", 0), 0u);
  EXPECT_NE(out.header("user-agent").find(", User: NativeStore, Status: 0"), std::string::npos);
  EXPECT_EQ(out.header("content-type"), "application/json");

  // The creator channel has its own list.
  ASSERT_EQ(api.login("CreatorTool", "vip", "vip-2024"), 0);
  EXPECT_NE(api.getResponseDev(), "");
  EXPECT_NE(lastStoreRequest(server).header("user-agent").find("User: CreatorTool"),
            std::string::npos);
}

TEST_F(ServiceApiExchange, RefusedLoginAndCredentialsThatNeedEscaping) {
  ServiceAPI api(server.baseUrl());
  ASSERT_EQ(api.login("NativeStore", "demo", "wrong"), 0);
  EXPECT_EQ(api.getIDResponse(), "401");
  EXPECT_EQ(api.getResponse(), "");

  const std::string long_name(3000, 'n');
  const std::string pass = "p\"a\\s\ts&=+#%";
  ASSERT_EQ(api.login("NativeStore", long_name, pass), 0);
  rapidjson::Document body;
  const std::string sent = lastStoreRequest(server).body;
  body.Parse(sent.c_str());
  std::string got_name, got_pass;
  ASSERT_TRUE(nelt::getString(body, "username", got_name)) << sent.substr(0, 80);
  ASSERT_TRUE(nelt::getString(body, "password", got_pass));
  EXPECT_EQ(got_name, long_name);
  EXPECT_EQ(got_pass, pass);
}

TEST_F(ServiceApiExchange, BrokenRepliesNeverCarryAnEarlierCode) {
  ServiceAPI api(server.baseUrl());
  EXPECT_EQ(api.getIDResponse(), "9999");
  ASSERT_EQ(api.getListSections(), 0);
  EXPECT_EQ(api.getIDResponse(), "200");
  api.getResponse();

  ASSERT_TRUE(server.setMode("{\"not_json\":true}"));
  ASSERT_EQ(api.getListSections(), 0);
  EXPECT_EQ(api.getIDResponse(), "9999");
  EXPECT_EQ(api.getResponse(), "null");

  ASSERT_TRUE(server.setMode("{\"not_json\":false,\"status500\":true}"));
  api.getListSections();
  EXPECT_NE(api.getIDResponse(), "200");

  // A dropped connection is a failed transfer with nothing to reduce.
  ASSERT_TRUE(server.reset());
  ASSERT_TRUE(server.setMode("{\"drop\":true}"));
  EXPECT_EQ(api.getListSections(), -1);
  EXPECT_EQ(api.getResponse(), "null");
  EXPECT_EQ(api.getIDResponse(), "9999");
}

TEST_F(ServiceApiExchange, QueryFormsAndEscapedPaths) {
  ServiceAPI api(server.baseUrl());
  struct Case {
    std::string text;
    int page, limit;
    std::string query;
  } cases[] = {
      {"text editor ", -1, -1, "type=1&text=text%20editor"},
      {"text editor ", 2, -1, "type=1&text=text%20editor&page=2"},
      {"text editor ", 2, 20, "type=1&text=text%20editor&page=2&limit=20"},
      {"text editor ", -1, 20, ""},
      {"  ", -1, -1, "type=1&text=%20"},
      {"", -1, -1, "type=1&text="},
      {"a&b+c#d%e ", -1, -1, "type=1&text=a%26b%2Bc%23d%25e"},
      {"ghi chú", -1, -1, "type=1&text=ghi%20ch%C3%BA"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(api.search(1, c.text, c.page, c.limit), 0) << c.text;
    SeenRequest seen = lastStoreRequest(server);
    EXPECT_EQ(seen.path, "/api/v1/apps/search");
    EXPECT_EQ(seen.query, c.query) << c.text;
  }

  ASSERT_EQ(api.getListAppsTest(3), 0);
  EXPECT_EQ(lastStoreRequest(server).path, "/api/v1/categories/3/apps");
  ASSERT_EQ(api.getDetailApp(101), 0);
  EXPECT_EQ(lastStoreRequest(server).path, "/api/v1/apps/101/detail");
  EXPECT_EQ(api.getIDResponse(), "200");
  ASSERT_EQ(api.getDetailApp(std::string("$101")), 0);
  EXPECT_EQ(lastStoreRequest(server).path, "/api/v1/apps/%24101/detailAppByName");
  EXPECT_EQ(api.getIDResponse(), "200");
  ASSERT_EQ(api.getDetailApp(std::string("hello-nelt")), 0);
  EXPECT_EQ(lastStoreRequest(server).path, "/api/v1/apps/hello-nelt/detailAppByName");
  EXPECT_EQ(api.getIDResponse(), "200");
  ASSERT_EQ(api.getKeyApp("../x?y#z"), 0);
  const std::string raw = lastStoreRequest(server).path;
  EXPECT_TRUE(raw == "/api/v1/apps/..%2Fx%3Fy%23z/getKey" || raw == "/api/v1/apps/../x?y#z/getKey")
      << raw;
  EXPECT_NE(api.getIDResponse(), "200");
}

namespace {

bool runOk(const std::vector<std::string>& argv) {
  nelt::ProcessResult r = nelt::runProgram(argv, true);
  return r.started && r.exit_code == 0;
}

// A test certificate authority and a server certificate for 127.0.0.1.
bool makeCertificates(const std::string& dir) {
  const std::string ext = dir + "/ext.cnf";
  writeFile(ext, "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n");
  return runOk({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", dir + "/ca.key", "-out",
                dir + "/ca.pem", "-days", "2", "-subj", "/CN=Nelt Test CA"}) &&
         runOk({"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-keyout", dir + "/server.key", "-out", dir + "/server.csr", "-subj",
                "/CN=127.0.0.1"}) &&
         runOk({"openssl", "x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/ca.pem",
                "-CAkey", dir + "/ca.key", "-CAcreateserial", "-out", dir + "/server.pem", "-days",
                "2", "-extfile", ext});
}

}  // namespace

TEST(ServiceApiTls, CertificateTrustedThroughTheCaFile) {
  FakeSystem sys;
  TempDir work;
  ASSERT_TRUE(makeCertificates(work.path()));
  StoreServer server;
  ASSERT_TRUE(server.start(work.path(), "",
                           {"--cert", work.sub("server.pem"), "--key", work.sub("server.key")}))
      << server.process().err();
  ASSERT_EQ(server.baseUrl().rfind("https://", 0), 0u);

  {
    // Verification stays on: an unknown authority fails the transfer.
    ServiceAPI untrusting(server.baseUrl());
    EXPECT_EQ(untrusting.getListSections(), -1);
  }
  CA_FILE = work.sub("ca.pem");
  ServiceAPI api(server.baseUrl());
  ASSERT_EQ(api.getListSections(), 0);
  EXPECT_EQ(api.getIDResponse(), "200");
  EXPECT_NE(api.getResponse(), "");
  ASSERT_EQ(api.login("NativeStore", "demo", "demo123"), 0);
  EXPECT_EQ(api.getIDResponse(), "200");
}

TEST_F(ServiceApiExchange, StalledServerEndsWithinTheTransferLimit) {
  ServiceAPI api(server.baseUrl());
  ASSERT_TRUE(server.setMode("{\"stall\":true}"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(api.getListSections(), -1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::seconds(9));
  EXPECT_LT(took, std::chrono::seconds(30));
  EXPECT_EQ(api.getResponse(), "null");
}
