// Package header checks and unpacking: hand-made headers, archives written by
// Info-ZIP and by libzip (AES), wrong passwords and hostile entries, and the
// snap names and paths kavix-pack and the engine must judge alike.
#include "kavix_package.h"

#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/stat.h>

#include <cstdlib>
#include <mutex>

#include "fake_service.h"
#include "fsutil.h"
#include "kavix_model.h"
#include "model_log.h"
#include "package_builder.h"
#include "packaging_helpers.h"
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
    model->getSysInfo();  // settled before a test changes the environment
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
  for (const char* self_entry : {"./S.kavix", "S.kavix"}) {
    const std::string payload =
        libzipArchive(work.path(), {{"a.snap", randomBytes(2000)}, {self_entry, "x"}}, "pw");
    ASSERT_TRUE(writeKavix(self_kavix, "S", info, payload));
    std::string snap;
    EXPECT_EQ(Peer::uncompress(*model, "S", self_kavix, self_dir, snap), -1) << self_entry;
    EXPECT_FALSE(nelt::fileExists(self_dir + "/a.snap")) << self_entry;
    EXPECT_NE(Peer::jobError(*model).find("refused"), std::string::npos) << self_entry;
  }
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

const char* const RULES_SLUG = "demo";
// The fake service's answer puts it into JSON as it is: no quotes.
const char* const RULES_PASSWORD = "pw $HOME;x y";

// The info document naming `name` and `snap`, escaped as JSON (a zero byte
// becomes \u0000).
std::string infoFor(const std::string& name, const std::string& snap) {
  rapidjson::StringBuffer buf;
  rapidjson::Writer<rapidjson::StringBuffer> w(buf);
  w.StartObject();
  w.Key("name");
  w.String(name.data(), static_cast<rapidjson::SizeType>(name.size()));
  w.Key("snap");
  w.String(snap.data(), static_cast<rapidjson::SizeType>(snap.size()));
  w.EndObject();
  return buf.GetString();
}

struct Row {
  std::string name;
  std::string snap;
  bool valid;
  // For a refused path: the archive entry that the path would reach if it
  // were taken as the file system reads it.
  std::string reaches;
};

// kavix-pack and the installer judge a package's snap name and snap path
// alike. Every row of one table goes through the real packer program and
// through the engine's unpacking: what the packer builds the engine unpacks,
// and what the packer refuses the engine refuses too, even in a hand-made
// package whose archive holds a file the path would reach.
class PackageRulesTest : public PackageTest {
 protected:
  void SetUp() override {
    PackageTest::SetUp();
    setKey(RULES_PASSWORD);
    nelt::makeDirs(work.sub("logs"));
  }

  // Runs kavix-pack for one row; true when it wrote a package to `out`.
  bool pack(const Row& row, const std::string& snap_file, const std::string& out,
            std::string& err) {
    const std::string json = work.sub("kavix.json");
    writeFile(json, kavixJson(row.name, "Demo", "1.0"));
    const RunResult r = runWith(
        {binDir() + "/kavix-pack", "--snap", snap_file, "--kavix-json", json, "--slug", RULES_SLUG,
         "--info", infoFor(row.name, row.snap), "-o", out, "--password-env", "PACK_PW"},
        {{"PACK_PW", RULES_PASSWORD}}, work.sub("logs"));
    err = "exit " + std::to_string(r.code) + ": " + r.err + r.out;
    return r.code == 0 && nelt::fileExists(out);
  }

  // The engine's verdict on a package; true when it unpacked the snap.
  bool unpack(const std::string& kavix, const std::string& dir, std::string& snap) {
    nelt::removeTree(dir);
    {
      std::lock_guard<std::mutex> lock(log_mutex);
      log_lines.clear();
    }
    return Peer::uncompress(*model, RULES_SLUG, kavix, dir, snap) == 1;
  }

  // Checks one row on both sides. `snap_file` is a real snap named row.name
  // (for a valid name) or any snap (for a name the packer must refuse first).
  void check(const Row& row, const std::string& snap_file, const std::string& refusal_log,
             const std::string& refusal_text) {
    SCOPED_TRACE("name \"" + row.name + "\", snap \"" + row.snap + "\"");
    const std::string out = work.sub("packed.kavix");
    ::unlink(out.c_str());
    std::string err;
    const bool packed = pack(row, snap_file, out, err);
    EXPECT_EQ(packed, row.valid) << err;
    const std::string dir = work.sub("unpack");
    std::string snap;
    if (row.valid) {
      if (!packed) return;
      ASSERT_TRUE(unpack(out, dir, snap)) << Peer::jobError(*model);
      EXPECT_EQ(snap, dir + "/" + row.snap);
      EXPECT_EQ(readFile(snap), readFile(snap_file));
      EXPECT_EQ(Peer::nameSnap(*model), row.name);
      return;
    }
    EXPECT_NE(err.find(refusal_text), std::string::npos) << err;
    // The same info in front of an archive that holds the snap where the
    // path would lead, so only the check itself stands in the way (the notes
    // keep the package above the header block's size).
    std::vector<ZipEntry> entries = {{"a.snap", readFile(snap_file)},
                                     {"kavix.json", kavixJson(row.name, "Demo", "1.0")},
                                     {"notes", randomBytes(2000)}};
    if (!row.reaches.empty()) entries.push_back({row.reaches, readFile(snap_file)});
    const std::string payload = libzipArchive(work.path(), entries, RULES_PASSWORD);
    ASSERT_FALSE(payload.empty());
    const std::string crafted = work.sub("crafted.kavix");
    ASSERT_TRUE(writeKavix(crafted, RULES_SLUG, infoFor(row.name, row.snap), payload));
    EXPECT_FALSE(unpack(crafted, dir, snap));
    EXPECT_TRUE(logged(refusal_log)) << Peer::jobError(*model);
    EXPECT_FALSE(nelt::fileExists(dir + "/a.snap")) << "nothing is unpacked";
  }
};

TEST_F(PackageRulesTest, SnapPathsGetTheSameVerdictFromPackerAndInstaller) {
  const std::string snap_file = makeSnap(work.path(), "hello", "1.0");
  ASSERT_FALSE(snap_file.empty());
  const std::string nul("a\0b.snap", 8);
  const std::vector<Row> rows = {
      {"hello", "hello_1.0_amd64.snap", true, ""},
      {"hello", "sub/dir/a.snap", true, ""},
      {"hello", "a..b", true, ""},
      {"hello", "..a", true, ""},
      {"hello", "...", true, ""},
      {"hello", "-o.snap", true, ""},
      {"hello", "back\\slash.snap", true, ""},
      {"hello", "with space.snap", true, ""},
      {"hello", std::string(255, 'l'), true, ""},
      {"hello",
       [] {
         std::string deep;
         for (int i = 0; i < 20; ++i) deep += "d" + std::to_string(i) + "/";
         return deep + "a.snap";
       }(),
       true, ""},
      {"hello", "a//b.snap", false, "a/b.snap"},
      {"hello", "./snap.snap", false, "snap.snap"},
      {"hello", "x/./y.snap", false, "x/y.snap"},
      {"hello", "dir/", false, "dir/inner"},
      {"hello", "a/", false, ""},
      {"hello", "../x.snap", false, ""},
      {"hello", "a/../a.snap", false, ""},
      {"hello", "x/..", false, ""},
      {"hello", "..", false, ""},
      {"hello", ".", false, ""},
      {"hello", "/abs.snap", false, ""},
      {"hello", "/", false, ""},
      {"hello", "", false, ""},
      {"hello", nul, false, ""},
  };
  for (const Row& row : rows)
    check(row, snap_file, "Error snap path", "must be a relative path inside the package");
}

TEST_F(PackageRulesTest, SnapNamesGetTheSameVerdictFromPackerAndInstaller) {
  const std::string any_snap = makeSnap(work.path(), "hello", "1.0");
  ASSERT_FALSE(any_snap.empty());
  for (const std::string& name :
       std::vector<std::string>{"hello", "hello-nelt2", "a1", std::string(40, 'a')}) {
    const std::string snap_file = makeSnap(work.path(), name, "1.0");
    ASSERT_FALSE(snap_file.empty()) << name;
    check({name, "a.snap", true, ""}, snap_file, "", "");
  }
  for (const std::string& name : std::vector<std::string>{
           "", "-hello", "hello-", "he--llo", "Hello", "he_llo", "123", "..", "../x", "a/b", "a b",
           "--purge", std::string(41, 'a'), std::string("he\0llo", 6)}) {
    check({name, "a.snap", false, ""}, any_snap, "Error snap name", "the info \"name\" \"");
  }
}

}  // namespace
