// The sample catalog's packages, as the build made them: each opens with its
// slug's key, carries the metadata the installer expects, and its snap
// installs and runs with the snap stand-in.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <zip.h>

#include "json_util.h"
#include "kavix_format.h"
#include "kavix_pack.h"
#include "packaging_helpers.h"

namespace nelt::test {
namespace {

struct Sample {
  std::string slug, version, long_name;
};

const std::vector<Sample> SAMPLES = {{"hello-nelt", "1.2.0", "Xin chào Nelt"},
                                     {"hello-nelt", "1.3.0", "Xin chào Nelt"},
                                     {"ghi-chu", "2.0.1", "Ghi chú"},
                                     {"may-tinh", "1.0.0", "Máy tính"}};

// Unpacks the snap and kavix.json of a package with its key into `dir`.
bool unpack(const std::string& package, const std::string& key, const std::string& dir,
            std::string& snap_path, std::string& kavix_json) {
  kavix::PackageHeader h;
  if (kavix::readHeader(package, h) != kavix::HeaderStatus::Ok) return false;
  rapidjson::Document info;
  info.Parse(h.info.c_str());
  std::string snap_entry;
  if (!getString(info, "snap", snap_entry)) return false;
  const std::string data = readFile(package);
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* src =
      zip_source_file_create(package.c_str(), h.payload_offset,
                             static_cast<zip_int64_t>(data.size() - h.payload_offset), &err);
  zip_t* za = src != nullptr ? zip_open_from_source(src, ZIP_RDONLY, &err) : nullptr;
  zip_error_fini(&err);
  if (za == nullptr) {
    if (src != nullptr) zip_source_free(src);
    return false;
  }
  bool ok = true;
  for (const std::string& name : {snap_entry, std::string("kavix.json")}) {
    zip_file_t* zf = zip_fopen_encrypted(za, name.c_str(), 0, key.c_str());
    std::string content;
    char buf[8192];
    zip_int64_t n = -1;
    if (zf != nullptr) {
      while ((n = zip_fread(zf, buf, sizeof buf)) > 0)
        content.append(buf, static_cast<std::size_t>(n));
      zip_fclose(zf);
    }
    ok = ok && n == 0;
    if (name == "kavix.json") {
      kavix_json = content;
    } else {
      snap_path = dir + "/" + name;
      writeFile(snap_path, content);
    }
  }
  zip_discard(za);
  return ok;
}

TEST(SamplePackages, OpenWithTheirKeysAndRunWithTheSnapStandin) {
  TempDir tmp;
  const std::string root = tmp.sub("root");
  nelt::makeDirs(root);
  nelt::makeDirs(tmp.sub("logs"));
  const std::string marker = tmp.sub("launched");
  const std::map<std::string, std::string> env = {{"NELT_ROOT", root},
                                                  {"NELT_LAUNCH_MARKER", marker}};
  const std::string snap = standinsDir() + "/snap";

  for (const auto& s : SAMPLES) {
    SCOPED_TRACE(s.slug + " " + s.version);
    const std::string package =
        std::string(NELT_SAMPLE_PACKAGES_DIR) + "/" + s.slug + "/" + s.version + ".kavix";
    kavix::PackageHeader h;
    ASSERT_EQ(kavix::readHeader(package, h), kavix::HeaderStatus::Ok);
    EXPECT_EQ(h.name, s.slug);

    std::string key, why;
    ASSERT_TRUE(kavix::keyFromKeysFile(sourceDir() + "/catalog/sample/keys.json", s.slug, key, why))
        << why;
    std::string snap_path, kavix_text;
    ASSERT_TRUE(unpack(package, key, tmp.path(), snap_path, kavix_text));

    // The installer adds "slug" itself; the package must not carry one.
    rapidjson::Document meta;
    meta.Parse(kavix_text.c_str());
    std::string value;
    EXPECT_TRUE(getString(meta, "long-name", value) && value == s.long_name) << kavix_text;
    EXPECT_TRUE(getString(meta, "version", value) && value == s.version) << kavix_text;
    EXPECT_FALSE(meta.IsObject() && meta.HasMember("slug"));

    RunResult r =
        runWith({snap, "install", snap_path, "--dangerous", "--classic"}, env, tmp.sub("logs"));
    ASSERT_EQ(r.code, 0) << r.err;
    r = runWith({snap, "run", s.slug}, env, tmp.sub("logs"));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Xin chào từ " + s.slug + " " + s.version + "\n");
    EXPECT_NE(readFile(marker).find(s.slug + " " + s.slug + " " + s.version + "\n"),
              std::string::npos);
  }

  // hello-nelt 1.3.0 went in after 1.2.0: the update is the current revision.
  RunResult r = runWith({snap, "list"}, env, tmp.sub("logs"));
  EXPECT_EQ(r.out,
            "Name        Version  Rev  Tracking  Publisher  Notes\n"
            "ghi-chu     2.0.1    x1   -         -          classic\n"
            "hello-nelt  1.3.0    x2   -         -          classic\n"
            "may-tinh    1.0.0    x1   -         -          classic\n");
  r = runWith({snap, "info", "hello-nelt"}, env, tmp.sub("logs"));
  EXPECT_NE(r.out.find("commands:\n  - hello-nelt\n  - hello-nelt.tool\n"), std::string::npos)
      << r.out;
  r = runWith({snap, "run", "hello-nelt.tool"}, env, tmp.sub("logs"));
  EXPECT_EQ(r.out, "Công cụ của hello-nelt 1.3.0\n");
}

}  // namespace
}  // namespace nelt::test
