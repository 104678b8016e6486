// kavix-pack and the installer judge a package's snap name and snap path
// alike. Every row of one table goes through the real packer program and
// through the engine's unpacking: what the packer builds the engine unpacks,
// and what the packer refuses the engine refuses too, even in a hand-made
// package whose archive holds a file the path would reach.
#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/stat.h>

#include <mutex>

#include "fake_service.h"
#include "fsutil.h"
#include "kavix_model.h"
#include "model_log.h"
#include "package_builder.h"
#include "packaging_helpers.h"
#include "test_support.h"

class KavixModelTestPeer {
 public:
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

const char* const kSlug = "demo";
const char* const kPassword = "pw $HOME;'x'";

std::mutex log_mutex;
std::vector<std::string> log_lines;

bool logged(const std::string& text) {
  std::lock_guard<std::mutex> lock(log_mutex);
  for (const auto& l : log_lines)
    if (l == text) return true;
  return false;
}

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

class PackageRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("NELT_ROOT", root.path().c_str(), 1);
    nelt::setDebugLogSink([](const std::string& m) {
      std::lock_guard<std::mutex> lock(log_mutex);
      log_lines.push_back(m);
    });
    nelt::setConsoleLogSink(nullptr);
    ASSERT_TRUE(service.start([](const std::string& line) -> FakeReply {
      if (line.rfind("POST 0 ", 0) == 0) return framed("200", "");
      if (line == "GET 17 \n") return framed("200", "{\"url\": \"http://127.0.0.1:9\"}");
      if (line == "GET 8 demo\n") return framed("200", "{\"key\":\"pw $HOME;'x'\"}");
      return framed("8888", "");
    }));
    api = std::make_unique<KavixAPI>(service.port(), true);
    ASSERT_EQ(api->init(), 1);
    model = std::make_unique<KavixModel>();
    model->api = api.get();
    nelt::makeDirs(work.sub("logs"));
  }

  // Runs kavix-pack for one row; true when it wrote a package to `out`.
  bool pack(const Row& row, const std::string& snap_file, const std::string& out,
            std::string& err) {
    const std::string json = work.sub("kavix.json");
    writeFile(json, kavixJson(row.name, "Demo", "1.0"));
    const RunResult r = runWith(
        {binDir() + "/kavix-pack", "--snap", snap_file, "--kavix-json", json, "--slug", kSlug,
         "--info", infoFor(row.name, row.snap), "-o", out, "--password-env", "PACK_PW"},
        {{"PACK_PW", kPassword}}, work.sub("logs"));
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
    return Peer::uncompress(*model, kSlug, kavix, dir, snap) == 1;
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
    // path would lead, so only the check itself stands in the way.
    // The notes keep the package above the header block's size.
    std::vector<ZipEntry> entries = {{"a.snap", readFile(snap_file)},
                                     {"kavix.json", kavixJson(row.name, "Demo", "1.0")},
                                     {"notes", randomBytes(2000)}};
    if (!row.reaches.empty()) entries.push_back({row.reaches, readFile(snap_file)});
    const std::string payload = libzipArchive(work.path(), entries, kPassword);
    ASSERT_FALSE(payload.empty());
    const std::string crafted = work.sub("crafted.kavix");
    ASSERT_TRUE(writeKavix(crafted, kSlug, infoFor(row.name, row.snap), payload));
    EXPECT_FALSE(unpack(crafted, dir, snap));
    EXPECT_TRUE(logged(refusal_log)) << Peer::jobError(*model);
    EXPECT_FALSE(nelt::fileExists(dir + "/a.snap")) << "nothing is unpacked";
  }

  TempDir root;
  TempDir work;
  FakeService service;
  std::unique_ptr<KavixAPI> api;
  std::unique_ptr<KavixModel> model;
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
           "", "-hello", "hello-", "he--llo", "Hello", "he_llo", "123", "../x", "a/b", "a b",
           "--purge", std::string(41, 'a'), std::string("he\0llo", 6)}) {
    check({name, "a.snap", false, ""}, any_snap, "Error snap name", "the info \"name\" \"");
  }
}

}  // namespace
