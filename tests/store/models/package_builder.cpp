#include "package_builder.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstdint>
#include <tuple>

#include "fsutil.h"
#include "kavix_package.h"
#include "process.h"
#include "test_support.h"

namespace nelt::test {

std::string le16(unsigned v) {
  std::string s;
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>((v >> 8) & 0xff));
  return s;
}

std::string le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  return s;
}

std::string kavixHeader(const std::string& name, const std::string& info,
                        const unsigned char signature[4]) {
  const unsigned char* sig = signature != nullptr ? signature : nelt::kavix::SIGNATURE;
  std::string h(reinterpret_cast<const char*>(sig), 4);
  h += le16(static_cast<unsigned>(name.size()));
  h += name;
  h += le32(static_cast<uint32_t>(info.size()));
  h += info;
  return h;
}

std::string infoZipArchive(const std::string& dir, const std::vector<ZipEntry>& entries,
                           const std::string& password) {
  const std::string out = dir + "/infozip.zip";
  ::unlink(out.c_str());
  std::vector<std::string> argv = {"zip", "-q", "-j", "-P", password, out};
  for (const auto& e : entries) {
    const std::string file = dir + "/" + e.name;
    writeFile(file, e.data);
    argv.push_back(file);
  }
  const auto r = nelt::runProgram(argv, true);
  if (!r.started || r.exit_code != 0) return std::string();
  return readFile(out);
}

std::string libzipArchive(const std::string& dir, const std::vector<ZipEntry>& entries,
                          const std::string& password, bool aes) {
  const std::string out = dir + "/libzip.zip";
  ::unlink(out.c_str());
  int err = 0;
  zip_t* za = zip_open(out.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  if (za == nullptr) return std::string();
  for (const auto& e : entries) {
    zip_source_t* src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
    const zip_int64_t idx = zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_RAW);
    if (idx < 0) {
      zip_source_free(src);
      zip_discard(za);
      return std::string();
    }
    if (!password.empty())
      zip_file_set_encryption(za, static_cast<zip_uint64_t>(idx),
                              aes ? ZIP_EM_AES_256 : ZIP_EM_TRAD_PKWARE, password.c_str());
    if (e.symlink)
      zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(idx), 0, ZIP_OPSYS_UNIX,
                                       static_cast<zip_uint32_t>(S_IFLNK | 0777) << 16);
  }
  if (zip_close(za) != 0) {
    zip_discard(za);
    return std::string();
  }
  return readFile(out);
}

std::string withAnnouncedSize(std::string zip, const std::string& name, uint32_t size) {
  const std::string field = le32(size);
  // Local header: name length at 26, name at 30, size at 22. Central
  // directory entry: name length at 28, name at 46, size at 24.
  for (const auto& [sig, len_at, name_at, size_at] :
       {std::tuple<std::string, size_t, size_t, size_t>{"PK\x03\x04", 26, 30, 22},
        std::tuple<std::string, size_t, size_t, size_t>{"PK\x01\x02", 28, 46, 24}}) {
    for (size_t p = zip.find(sig); p != std::string::npos; p = zip.find(sig, p + 4)) {
      if (p + name_at > zip.size()) break;
      const size_t n = static_cast<unsigned char>(zip[p + len_at]) +
                       256 * static_cast<unsigned char>(zip[p + len_at + 1]);
      if (zip.compare(p + name_at, n, name) == 0 && n == name.size())
        zip.replace(p + size_at, 4, field);
    }
  }
  return zip;
}

std::string makeSnap(const std::string& dir, const std::string& name, const std::string& version,
                     size_t filler) {
  const std::string tree = dir + "/snap-tree-" + name + "-" + version;
  nelt::removeTree(tree);
  nelt::makeDirs(tree + "/meta");
  nelt::makeDirs(tree + "/bin");
  writeFile(tree + "/meta/snap.yaml", "name: " + name + "\nversion: '" + version +
                                          "'\nsummary: test app\nconfinement: classic\n"
                                          "apps:\n  " +
                                          name +
                                          ":\n    command: bin/run\n"
                                          "  abc:\n    command: bin/abc\n");
  writeFile(tree + "/bin/run",
            "#!/bin/sh\n"
            "[ -n \"$NELT_LAUNCH_MARKER\" ] && echo \"launched " +
                name + " " + version + "\" > \"$NELT_LAUNCH_MARKER\"\nexit 0\n");
  ::chmod((tree + "/bin/run").c_str(), 0755);
  writeFile(tree + "/bin/abc", "#!/bin/sh\n[ -n \"$NELT_LAUNCH_MARKER\" ] && echo \"launched " +
                                   name + ".abc " + version +
                                   "\" > \"$NELT_LAUNCH_MARKER\"\nexit 0\n");
  ::chmod((tree + "/bin/abc").c_str(), 0755);
  if (filler > 0) writeFile(tree + "/filler.bin", randomBytes(filler, 3));
  const std::string snap = dir + "/" + name + "_" + version + "_amd64.snap";
  ::unlink(snap.c_str());
  const auto r = nelt::runProgram(
      {"mksquashfs", tree, snap, "-noappend", "-comp", "gzip", "-all-root", "-quiet"}, true);
  nelt::removeTree(tree);
  if (!r.started || r.exit_code != 0) return std::string();
  return snap;
}

std::string kavixJson(const std::string& name, const std::string& long_name,
                      const std::string& version) {
  return "{\"name\":\"" + name + "\",\"long-name\":\"" + long_name + "\",\"version\":\"" + version +
         "\"}";
}

std::string randomBytes(size_t n, unsigned seed) {
  std::string out(n, '\0');
  uint64_t x = 0x9E3779B97F4A7C15ull * (seed + 1);
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    out[i] = static_cast<char>(x & 0xff);
  }
  return out;
}

bool writeKavix(const std::string& path, const std::string& slug, const std::string& info,
                const std::string& payload) {
  std::string bytes = kavixHeader(slug, info) + payload;
  writeFile(path, bytes);
  return readFile(path).size() == bytes.size();
}

bool writeShelfPackage(const std::string& shelf, const std::string& scratch,
                       const std::string& slug, const std::string& version, const std::string& key,
                       bool with_meta) {
  const std::string dir = scratch + "/snap-" + slug + "-" + version;
  nelt::makeDirs(dir);
  const std::string snap = makeSnap(dir, slug, version, 4096);
  if (snap.empty()) return false;
  const std::string file = nelt::lastPathComponent(snap);
  std::vector<ZipEntry> entries = {{file, readFile(snap)}};
  if (with_meta) entries.push_back({"kavix.json", kavixJson(slug, slug, version)});
  nelt::makeDirs(shelf + "/" + slug);
  return writeKavix(shelf + "/" + slug + "/" + version + ".kavix", slug,
                    "{\"name\":\"" + slug + "\",\"snap\":\"" + file + "\"}",
                    libzipArchive(dir, entries, key));
}

}  // namespace nelt::test
