// kavix-pack run as a program, its packages read back byte by byte and with
// libzip.
#include <dirent.h>
#include <gtest/gtest.h>
#include <zip.h>

#include "kavix_format.h"
#include "packaging_helpers.h"

namespace nelt::test {
namespace {

using nelt::kavix::HeaderStatus;

const char* const PASSWORD = "p@ss word;$(rm -rf x)'\"";

class KavixPackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nelt::makeDirs(tmp_.sub("logs"));
    const std::string tree = tmp_.sub("tree");
    writeSnapTree(tree, "demo-app", "2.1", {{"demo-app", "bin/demo-app", "demo"}});
    snap_ = tmp_.sub("demo-app_2.1_all.snap");
    ASSERT_TRUE(makeSquashfs(tree, snap_));
    kavix_json_ = tmp_.sub("kavix.json");
    writeFile(kavix_json_,
              "{\"name\":\"demo-app\",\"long-name\":\"Ứng dụng mẫu\",\"version\":\"2.1\"}");
    password_file_ = tmp_.sub("password");
    writeFile(password_file_, std::string(PASSWORD) + "\n");
    out_ = tmp_.sub("demo.kavix");
  }

  std::vector<std::string> args(const std::string& slug, const std::string& info) {
    return {binDir() + "/kavix-pack",
            "--snap",
            snap_,
            "--kavix-json",
            kavix_json_,
            "--slug",
            slug,
            "--info",
            info,
            "-o",
            out_};
  }

  RunResult pack(std::vector<std::string> argv,
                 const std::map<std::string, std::string>& env = {}) {
    return runWith(argv, env, tmp_.sub("logs"));
  }

  static std::vector<std::string> plus(std::vector<std::string> a,
                                       const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  TempDir tmp_;
  std::string snap_, kavix_json_, password_file_, out_;
};

// Opens the zip payload of a package in place.
zip_t* openPayload(const std::string& package, std::uint64_t offset) {
  const std::string data = readFile(package);
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* src = zip_source_file_create(package.c_str(), offset,
                                             static_cast<zip_int64_t>(data.size() - offset), &err);
  zip_t* za =
      src != nullptr ? zip_open_from_source(src, ZIP_RDONLY | ZIP_CHECKCONS, &err) : nullptr;
  if (za == nullptr && src != nullptr) zip_source_free(src);
  zip_error_fini(&err);
  return za;
}

// Reads one entry whole; returns false and the libzip error code on failure.
bool readEntry(zip_t* za, const char* name, const char* password, std::string& out, int& error) {
  error = 0;
  const zip_int64_t idx = zip_name_locate(za, name, 0);
  if (idx < 0) return false;
  zip_file_t* zf = zip_fopen_index_encrypted(za, static_cast<zip_uint64_t>(idx), 0, password);
  if (zf == nullptr) {
    error = zip_error_code_zip(zip_get_error(za));
    zip_error_clear(za);
    return false;
  }
  out.clear();
  char buf[4096];
  zip_int64_t n;
  while ((n = zip_fread(zf, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  if (n < 0) error = zip_error_code_zip(zip_file_get_error(zf));
  zip_fclose(zf);
  return n == 0;
}

TEST_F(KavixPackTest, WritesTheHeaderAndAnAesArchive) {
  const std::string info = "{\"name\":\"demo-app\",\"snap\":\"demo-app_2.1_all.snap\"}";
  RunResult r = pack(plus(args("demo", info), {"--password-file", password_file_}));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.find(PASSWORD), std::string::npos);

  const std::string data = readFile(out_);
  ASSERT_GE(data.size(), 1024u);
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(data[i]); };
  EXPECT_EQ(data.substr(0, 4), "\xF0\xC0\x31\x06");
  EXPECT_EQ(byte(4) | (byte(5) << 8), 4);
  EXPECT_EQ(data.substr(6, 4), "demo");
  const std::size_t m =
      byte(10) | (byte(11) << 8) | (byte(12) << 16) | (static_cast<std::size_t>(byte(13)) << 24);
  EXPECT_EQ(m, info.size());
  EXPECT_EQ(data.substr(14, m), info);
  const std::size_t payload = 14 + m;
  EXPECT_EQ(data.substr(payload, 4), "PK\x03\x04");

  kavix::PackageHeader h;
  ASSERT_EQ(kavix::readHeader(out_, h), HeaderStatus::Ok);
  EXPECT_EQ(h.payload_offset, payload);

  zip_t* za = openPayload(out_, payload);
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(zip_get_num_entries(za, 0), 2);
  for (const char* name : {"demo-app_2.1_all.snap", "kavix.json"}) {
    zip_stat_t st;
    ASSERT_EQ(zip_stat(za, name, 0, &st), 0) << name;
    EXPECT_EQ(st.encryption_method, ZIP_EM_AES_256) << name;
  }
  std::string content;
  int error = 0;
  EXPECT_FALSE(readEntry(za, "kavix.json", nullptr, content, error));
  EXPECT_EQ(error, ZIP_ER_NOPASSWD);
  EXPECT_FALSE(readEntry(za, "kavix.json", "wrong password", content, error));
  EXPECT_EQ(error, ZIP_ER_WRONGPASSWD);
  ASSERT_TRUE(readEntry(za, "kavix.json", PASSWORD, content, error)) << error;
  EXPECT_EQ(content, readFile(kavix_json_));
  ASSERT_TRUE(readEntry(za, "demo-app_2.1_all.snap", PASSWORD, content, error)) << error;
  EXPECT_EQ(content, readFile(snap_));
  zip_discard(za);
}

TEST_F(KavixPackTest, PadsATinyPackageAndKeepsTheSnapFolder) {
  const std::string tree = tmp_.sub("tiny");
  writeSnapTree(tree, "demo-app", "2.1", {});
  ASSERT_TRUE(makeSquashfs(tree, snap_, /*small=*/true));
  ASSERT_LT(readFile(snap_).size(), 600u);

  const std::string info = "{\"name\":\"demo-app\",\"snap\":\"pkg/demo.snap\"}";
  RunResult r =
      pack(plus(args("t", info), {"--password-env", "PACK_PW", "--encryption", "zipcrypto"}),
           {{"PACK_PW", "short"}});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(readFile(out_).size(), 1024u);

  kavix::PackageHeader h;
  ASSERT_EQ(kavix::readHeader(out_, h), HeaderStatus::Ok);
  zip_t* za = openPayload(out_, h.payload_offset);
  ASSERT_NE(za, nullptr);
  std::string content;
  int error = 0;
  ASSERT_TRUE(readEntry(za, "pkg/kavix.json", "short", content, error)) << error;
  EXPECT_EQ(content, readFile(kavix_json_));
  ASSERT_TRUE(readEntry(za, "pkg/demo.snap", "short", content, error)) << error;
  EXPECT_EQ(content, readFile(snap_));
  zip_stat_t st;
  ASSERT_EQ(zip_stat(za, "pkg/demo.snap", 0, &st), 0);
  EXPECT_EQ(st.encryption_method, ZIP_EM_TRAD_PKWARE);
  zip_discard(za);
}

TEST_F(KavixPackTest, TakesTheKeyFromTheKeysFile) {
  const std::string keys = tmp_.sub("keys.json");
  writeFile(keys, "{\"other\":\"x\",\"demo\":\"k;$HOME & 'y'\"}");
  const std::string info = "{\"name\":\"demo-app\",\"snap\":\"demo.snap\"}";
  ASSERT_EQ(pack(plus(args("demo", info), {"--password-from-keys", keys})).code, 0);
  kavix::PackageHeader h;
  ASSERT_EQ(kavix::readHeader(out_, h), HeaderStatus::Ok);
  zip_t* za = openPayload(out_, h.payload_offset);
  ASSERT_NE(za, nullptr);
  std::string content;
  int error = 0;
  EXPECT_TRUE(readEntry(za, "kavix.json", "k;$HOME & 'y'", content, error)) << error;
  zip_discard(za);
  // A slug without a key is an error, not an unprotected package.
  EXPECT_NE(pack(plus(args("nokey", info), {"--password-from-keys", keys})).code, 0);
}

TEST_F(KavixPackTest, RefusesBadInputAndKeepsTheOldPackage) {
  writeFile(out_, "previous package");
  const std::string good_info = "{\"name\":\"demo-app\",\"snap\":\"demo.snap\"}";
  const std::vector<std::string> pw = {"--password-file", password_file_};
  struct Case {
    std::string what;
    std::vector<std::string> argv;
  };
  std::vector<Case> cases = {
      {"slug climbing out", plus(args("../x", good_info), pw)},
      {"hidden slug", plus(args(".x", good_info), pw)},
      {"slug with a space", plus(args("a b", good_info), pw)},
      {"slug too long", plus(args(std::string(256, 'a'), good_info), pw)},
      {"info over 4096 bytes",
       plus(args("demo", "{\"name\":\"demo-app\",\"snap\":\"demo.snap\",\"x\":\"" +
                             std::string(4096, 'x') + "\"}"),
            pw)},
      {"info not JSON", plus(args("demo", "{name"), pw)},
      {"info without snap", plus(args("demo", "{\"name\":\"demo-app\"}"), pw)},
      {"info without name", plus(args("demo", "{\"snap\":\"demo.snap\"}"), pw)},
      {"snap path climbing out",
       plus(args("demo", "{\"name\":\"demo-app\",\"snap\":\"../demo.snap\"}"), pw)},
      {"absolute snap path",
       plus(args("demo", "{\"name\":\"demo-app\",\"snap\":\"/tmp/demo.snap\"}"), pw)},
      {"bad snap name", plus(args("demo", "{\"name\":\"Demo_App\",\"snap\":\"demo.snap\"}"), pw)},
      {"name differs from the snap",
       plus(args("demo", "{\"name\":\"other-app\",\"snap\":\"demo.snap\"}"), pw)},
      {"password on the command line", plus(args("demo", good_info), {"--password", "secret"})},
      {"no password", args("demo", good_info)},
      {"unset password variable",
       plus(args("demo", good_info), {"--password-env", "NO_SUCH_VARIABLE_FOR_KP"})},
  };
  for (const auto& c : cases) {
    const RunResult r = pack(c.argv);
    EXPECT_NE(r.code, 0) << c.what;
    EXPECT_FALSE(r.err.empty()) << c.what;
    EXPECT_EQ(r.err.find(PASSWORD), std::string::npos) << c.what;
  }

  writeFile(kavix_json_, "{\"name\":\"demo-app\",\"version\":\"2.1\"}");
  EXPECT_NE(pack(plus(args("demo", good_info), pw)).code, 0) << "kavix.json without long-name";
  writeFile(kavix_json_,
            "{\"name\":\"demo-app\",\"long-name\":\"D\",\"version\":\"2.1\",\"slug\":\"other\"}");
  EXPECT_NE(pack(plus(args("demo", good_info), pw)).code, 0) << "kavix.json with another slug";
  // Values the installer would refuse to list: the package would never install.
  for (const std::string& meta :
       {std::string("{\"name\":\"demo-app\",\"long-name\":\"\",\"version\":\"2.1\"}"),
        "{\"name\":\"demo-app\",\"long-name\":\"" + std::string(257, 'L') +
            "\",\"version\":\"2.1\"}",
        std::string("{\"name\":\"demo-app\",\"long-name\":\"a\\nb\",\"version\":\"2.1\"}"),
        "{\"name\":\"demo-app\",\"long-name\":\"D\",\"version\":\"2.1\",\"x\":\"" +
            std::string(64 * 1024, 'x') + "\"}"}) {
    writeFile(kavix_json_, meta);
    const RunResult r = pack(plus(args("demo", good_info), pw));
    EXPECT_NE(r.code, 0) << meta.substr(0, 80);
    EXPECT_NE(r.err.find("kavix.json"), std::string::npos) << r.err;
  }
  writeFile(kavix_json_, "{\"name\":\"demo-app\",\"long-name\":\"D\",\"version\":\"2.1\"}");
  writeFile(snap_, std::string(5000, 'x'));
  EXPECT_NE(pack(plus(args("demo", good_info), pw)).code, 0) << "snap that is no squashfs image";

  EXPECT_EQ(readFile(out_), "previous package");
  // No temporary file is left beside the output.
  DIR* dir = opendir(tmp_.path().c_str());
  ASSERT_NE(dir, nullptr);
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    EXPECT_TRUE(name.rfind("demo.kavix", 0) != 0 || name == "demo.kavix") << name;
  }
  closedir(dir);
}

}  // namespace
}  // namespace nelt::test
