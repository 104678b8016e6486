// Package header checks and unpacking: hand-made headers, archives written by
// Info-ZIP and by libzip (AES), wrong passwords and hostile entries.
#include "kavix_package.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <mutex>

#include "fake_service.h"
#include "fsutil.h"
#include "kavix_model.h"
#include "model_log.h"
#include "package_builder.h"
#include "test_support.h"

// Reaches the engine's private unpacking steps.
class KavixModelTestPeer {
 public:
  static int readInfo(KavixModel& m, const std::string& slug, const std::string& path,
                      std::string& info) {
    m.slug = slug;
    return m._read_info_package_(path, info);
  }
  static int uncompress(KavixModel& m, const std::string& slug, const std::string& kavix,
                        const std::string& dir, std::string& snap) {
    m.slug = slug;
    return m._uncompress_pkg_(kavix, dir, snap);
  }
  static std::string nameSnap(const KavixModel& m) { return m.name_snap; }
  static std::string jobError(const KavixModel& m) { return m.job_error; }
};

namespace {

using namespace nelt::test;
using Peer = KavixModelTestPeer;

std::mutex log_mutex;
std::vector<std::string> log_lines;

bool logged(const std::string& text) {
  std::lock_guard<std::mutex> lock(log_mutex);
  for (const auto& l : log_lines)
    if (l == text) return true;
  return false;
}

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("NELT_ROOT", root.path().c_str(), 1);
    nelt::setDebugLogSink([](const std::string& m) {
      std::lock_guard<std::mutex> lock(log_mutex);
      log_lines.push_back(m);
    });
    nelt::setConsoleLogSink(nullptr);
    {
      std::lock_guard<std::mutex> lock(log_mutex);
      log_lines.clear();
    }
    ASSERT_TRUE(service.start([this](const std::string& line) -> FakeReply {
      if (line.rfind("POST 0 ", 0) == 0) return framed("200", "");
      if (line == "GET 17 \n") return framed("200", "{\"url\": \"http://127.0.0.1:9\"}");
      if (line.rfind("GET 8 ", 0) == 0) return framed(key_status, key_reply);
      return framed("8888", "");
    }));
    api = std::make_unique<KavixAPI>(service.port(), true);
    ASSERT_EQ(api->init(), 1);
    model = std::make_unique<KavixModel>();
    model->api = api.get();
  }

  // Writes `bytes` as a package and reads its header for `slug`.
  int header(const std::string& bytes, const std::string& slug, std::string& info) {
    const std::string path = work.sub("h.kavix");
    writeFile(path, bytes);
    return Peer::readInfo(*model, slug, path, info);
  }

  void setKey(const std::string& password) { key_reply = "{\"key\":\"" + password + "\"}"; }

  TempDir root;
  TempDir work;
  FakeService service;
  std::string key_status = "200";
  std::string key_reply;
  std::unique_ptr<KavixAPI> api;
  std::unique_ptr<KavixModel> model;
};

std::string padTo(std::string bytes, size_t size) {
  bytes.resize(std::max(bytes.size(), size), '\0');
  return bytes;
}

TEST_F(PackageTest, HeaderLimitsAndFields) {
  const std::string info = "{\"name\":\"abc\"}";
  std::string out;
  const std::string good = kavixHeader("abcde", info);
  EXPECT_EQ(header(padTo(good, 1024), "abcde", out), 10 + 5 + static_cast<int>(info.size()));
  EXPECT_EQ(out, info);
  EXPECT_EQ(header(padTo(good, 1023), "abcde", out), -1) << "shorter than the first block";

  // The name must be the slug exactly; no message for a mismatch.
  EXPECT_EQ(header(padTo(good, 1024), "abcdef", out), -1);
  EXPECT_EQ(header(padTo(good, 1024), "ABCDE", out), -1);
  EXPECT_EQ(header(padTo(good, 1024), "abcd", out), -1);
  EXPECT_TRUE(log_lines.empty());

  const unsigned char wrong[4] = {0xF0, 0xC0, 0x31, 0x07};
  EXPECT_EQ(header(padTo(kavixHeader("abcde", info, wrong), 1024), "abcde", out), -1);
  EXPECT_TRUE(logged("Error read file signature"));

  std::string no_name = std::string("\xF0\xC0\x31\x06", 4) + le16(0) + le32(5) + "{}";
  EXPECT_EQ(header(padTo(no_name, 1024), "a", out), -1);
  EXPECT_TRUE(logged("Error read app name"));

  // For N = 5 and M = 20 the payload starts at 35.
  const std::string twenty = "{\"name\":\"x\",\"a\":123}";
  ASSERT_EQ(twenty.size(), 20u);
  EXPECT_EQ(header(padTo(kavixHeader("abcde", twenty), 1024), "abcde", out), 35);
}

TEST_F(PackageTest, LengthsThatPointOutsideTheBuffersAreRefused) {
  std::string out;
  const std::string sig("\xF0\xC0\x31\x06", 4);
  // Negative info length (bytes 00 00 00 80).
  EXPECT_EQ(header(padTo(sig + le16(5) + "abcde" + le32(0x80000000u), 1024), "abcde", out), -1);
  EXPECT_TRUE(logged("Error read info"));
  EXPECT_EQ(header(padTo(sig + le16(5) + "abcde" + le32(0), 1024), "abcde", out), -1);
  // An info document longer than its 4096-byte buffer.
  EXPECT_EQ(header(padTo(sig + le16(5) + "abcde" + le32(5000), 8000), "abcde", out), -1);
  // Info running past the end of the file.
  EXPECT_EQ(header(padTo(sig + le16(5) + "abcde" + le32(2000), 1024), "abcde", out), -1);
  // A name whose info length would lie beyond the first block.
  const std::string long_name(1015, 'a');
  EXPECT_EQ(header(padTo(sig + le16(1015) + long_name + le32(4), 4096), long_name, out), -1);
  EXPECT_TRUE(logged("Error read app name"));
  // The longest name that still fits, with its info after the first block.
  const std::string max_name(1014, 'a');
  EXPECT_EQ(header(padTo(kavixHeader(max_name, "{\"k\":1}"), 2048), max_name, out), 1024 + 7);
  // The document ends at its first zero byte.
  EXPECT_GT(header(padTo(kavixHeader("abcde", std::string("{}\0junk", 7)), 1024), "abcde", out), 0);
  EXPECT_EQ(out, "{}");
}

TEST_F(PackageTest, PackageFileNames) {
  EXPECT_EQ(nelt::lastPathComponent("/a/b//c.kavix//"), "c.kavix");
  EXPECT_EQ(nelt::lastPathComponent("///"), "");
}

struct UnpackCase {
  const char* label;
  bool info_zip;
};

class UnpackTest : public PackageTest, public ::testing::WithParamInterface<UnpackCase> {};

// Packages of both archive kinds unpack to the snap and its metadata; the
// password has characters that a shell would have acted on.
TEST_P(UnpackTest, UnpacksToTheSnapPathTheInfoNames) {
  const std::string password = "ghi chu $HOME & 'x' ; `id`";
  setKey(password);
  const std::vector<ZipEntry> entries = {{"hello_1.0_amd64.snap", randomBytes(300000)},
                                         {"kavix.json", kavixJson("hello", "Hello", "1.0")}};
  const std::string payload = GetParam().info_zip ? infoZipArchive(work.path(), entries, password)
                                                  : libzipArchive(work.path(), entries, password);
  ASSERT_FALSE(payload.empty());
  const std::string kavix = work.sub("hello.kavix");
  ASSERT_TRUE(
      writeKavix(kavix, "S", "{\"name\":\"hello\",\"snap\":\"hello_1.0_amd64.snap\"}", payload));
  const std::string dir = work.sub("F");
  std::string snap;
  ASSERT_EQ(Peer::uncompress(*model, "S", kavix, dir, snap), 1);
  EXPECT_EQ(snap, dir + "/hello_1.0_amd64.snap");
  EXPECT_EQ(Peer::nameSnap(*model), "hello");
  EXPECT_EQ(readFile(snap), randomBytes(300000));
  EXPECT_EQ(readFile(dir + "/kavix.json"), kavixJson("hello", "Hello", "1.0"));
  EXPECT_FALSE(nelt::fileExists(dir + "/.S.zip")) << "the archive is read in place, not copied";
  EXPECT_EQ(service.lines().back(), "GET 8 S\n");

  // The same package with a wrong password gives no snap.
  setKey("not the password");
  const std::string dir2 = work.sub("G");
  EXPECT_EQ(Peer::uncompress(*model, "S", kavix, dir2, snap), -1);
}

INSTANTIATE_TEST_SUITE_P(Archives, UnpackTest,
                         ::testing::Values(UnpackCase{"InfoZipTraditional", true},
                                           UnpackCase{"LibzipAes", false}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(PackageTest, HostileArchivesAreRefusedWithoutWritingAnything) {
  setKey("pw");
  const std::string info = "{\"name\":\"hello\",\"snap\":\"a.snap\"}";
  struct Case {
    const char* label;
    std::vector<ZipEntry> entries;
  };
  const std::vector<Case> cases = {
      {"climbs", {{"a.snap", randomBytes(2000)}, {"../escaped", "x"}}},
      {"climbs deeper", {{"a.snap", randomBytes(2000)}, {"sub/../../escaped", "x"}}},
      {"absolute", {{"a.snap", randomBytes(2000)}, {"/tmp/escaped-nelt", "x"}}},
      {"link", {{"a.snap", randomBytes(2000)}, {"link", "/etc/passwd", true}}},
  };
  for (const auto& c : cases) {
    const std::string payload = libzipArchive(work.path(), c.entries, "pw");
    ASSERT_FALSE(payload.empty()) << c.label;
    const std::string kavix = work.sub("S.kavix");
    ASSERT_TRUE(writeKavix(kavix, "S", info, payload));
    const std::string dir = work.sub("unpack/F");
    nelt::removeTree(work.sub("unpack"));
    std::string snap;
    EXPECT_EQ(Peer::uncompress(*model, "S", kavix, dir, snap), -1) << c.label;
    EXPECT_FALSE(nelt::fileExists(work.sub("unpack/escaped"))) << c.label;
    EXPECT_FALSE(nelt::fileExists(dir + "/a.snap")) << c.label << ": nothing is written";
  }
  EXPECT_FALSE(nelt::fileExists("/tmp/escaped-nelt"));

  // A package unpacked into its own folder is read while the entries are
  // written: one named like the package would overwrite it mid-read.
  const std::string self_dir = work.sub("self");
  ASSERT_EQ(nelt::makeDirs(self_dir), 0);
  const std::string self_kavix = self_dir + "/S.kavix";
  const std::string payload =
      libzipArchive(work.path(), {{"a.snap", randomBytes(2000)}, {"./S.kavix", "x"}}, "pw");
  ASSERT_TRUE(writeKavix(self_kavix, "S", info, payload));
  std::string snap;
  EXPECT_EQ(Peer::uncompress(*model, "S", self_kavix, self_dir, snap), -1);
  EXPECT_FALSE(nelt::fileExists(self_dir + "/a.snap"));
}

TEST_F(PackageTest, InfoDocumentsAndKeysOfTheWrongShapeFail) {
  setKey("pw");
  const std::string payload =
      libzipArchive(work.path(), {{"a.snap", randomBytes(2000)}, {"kavix.json", "{}"}}, "pw");
  const std::string kavix = work.sub("S.kavix");
  std::string snap;
  auto unpackWith = [&](const std::string& info) {
    writeKavix(kavix, "S", info, payload);
    nelt::removeTree(work.sub("F"));
    return Peer::uncompress(*model, "S", kavix, work.sub("F"), snap);
  };
  EXPECT_EQ(unpackWith("{\"name\":\"hello\",\"snap\":\"a.snap\"}"), 1);
  EXPECT_EQ(unpackWith("[1,2]"), -1);
  EXPECT_EQ(unpackWith("not json"), -1);
  EXPECT_EQ(unpackWith("{\"name\":7,\"snap\":\"a.snap\"}"), -1);
  EXPECT_EQ(unpackWith("{\"name\":\"hello\"}"), -1);
  EXPECT_EQ(unpackWith("{\"name\":\"Hello World\",\"snap\":\"a.snap\"}"), -1);
  EXPECT_EQ(unpackWith("{\"name\":\"hello\",\"snap\":\"../a.snap\"}"), -1);
  EXPECT_EQ(unpackWith("{\"name\":\"hello\",\"snap\":\"/etc/passwd\"}"), -1);
  EXPECT_EQ(unpackWith("{\"name\":\"hello\",\"snap\":\"missing.snap\"}"), -1);

  const std::string good = "{\"name\":\"hello\",\"snap\":\"a.snap\"}";
  key_reply = "{\"key\":123}";
  EXPECT_EQ(unpackWith(good), -1);
  key_reply = "null";
  EXPECT_EQ(unpackWith(good), -1);
  key_status = "8888";
  key_reply = "";
  EXPECT_EQ(unpackWith(good), -1);

  // Only names ending in ".kavix" are packages; the file is not even opened.
  EXPECT_EQ(Peer::uncompress(*model, "S", work.sub("x.zip"), work.sub("F"), snap), -1);
  EXPECT_TRUE(logged("Error file type"));
  EXPECT_FALSE(logged("Error open pkg"));
}

// What a package may unpack to is bounded before anything is written, and an
// entry that lies about its size is cut off while it is written.
TEST_F(PackageTest, UnpackLimitsHoldBeforeAndDuringExtraction) {
  setKey("pw");
  const std::string info = "{\"name\":\"hello\",\"snap\":\"a.snap\"}";
  const std::string kavix = work.sub("S.kavix");
  const std::string dir = work.sub("F");
  auto unpack = [&](const std::string& payload) {
    writeKavix(kavix, "S", info, payload);
    nelt::removeTree(dir);
    std::string snap;
    return Peer::uncompress(*model, "S", kavix, dir, snap);
  };
  auto written = [&] {
    struct stat st;
    return stat((dir + "/a.snap").c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1L;
  };
  const std::string json = kavixJson("hello", "Hello", "1.0");
  const std::string snap(300000, 's');

  std::vector<ZipEntry> many = {{"a.snap", "x"}, {"kavix.json", json}};
  for (int i = 0; i < 100; ++i) many.push_back({"f" + std::to_string(i), "x"});
  EXPECT_EQ(unpack(libzipArchive(work.path(), many, "pw")), -1) << "102 entries";
  EXPECT_EQ(written(), -1) << "nothing is written";

  // The snap compresses to almost nothing; the notes keep the package above
  // the header block's size.
  const std::string fits = libzipArchive(
      work.path(), {{"a.snap", snap}, {"kavix.json", json}, {"notes", randomBytes(2000)}}, "pw");
  ASSERT_EQ(unpack(fits), 1) << Peer::jobError(*model);
  setenv("NELT_UNPACK_MAX_BYTES", "200000", 1);
  EXPECT_EQ(unpack(fits), -1) << "over the configured total";
  EXPECT_EQ(written(), -1);
  unsetenv("NELT_UNPACK_MAX_BYTES");
  // A margin larger than any disk: the free space never suffices.
  setenv("NELT_UNPACK_FREE_MARGIN", "18000000000000000000", 1);
  EXPECT_EQ(unpack(fits), -1) << "not enough free space";
  EXPECT_EQ(written(), -1);
  unsetenv("NELT_UNPACK_FREE_MARGIN");

  // 300000 bytes announced as 1000 pass every check made in advance.
  EXPECT_EQ(unpack(withAnnouncedSize(fits, "a.snap", 1000)), -1);
  EXPECT_LE(written(), 1000) << "no more than announced reaches the disk";
}

}  // namespace
