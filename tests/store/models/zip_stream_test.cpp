// The streaming unpack against the whole-archive unpack, on real archives
// written by libzip and Info-ZIP: every encryption and method a package may
// use, archives fed in awkward pieces and from a file still being written,
// and archives whose local headers lie, cannot be streamed or break a limit.
#include "zip_stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <map>
#include <thread>

#include "fsutil.h"
#include "package_builder.h"
#include "process.h"
#include "test_support.h"

namespace {

using namespace nelt::test;

const char* PASSWORD = "Hello-Nelt#2024 ü";

struct Entry {
  std::string name;  // a folder ends in "/"
  std::string data;
};

std::vector<Entry> sampleEntries() {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  return {{"meta/", ""},
          {"meta/notes.txt", text},
          {"hello.snap", randomBytes(300 * 1024, 7)},
          {"kavix.json", "{\"name\":\"hello\"}"},
          {"empty", ""}};
}

// An archive made by libzip with the given encryption and compression.
std::string libzipWith(const std::string& dir, const std::vector<Entry>& entries, zip_uint16_t em,
                       zip_int32_t cm) {
  const std::string out = dir + "/made.zip";
  ::unlink(out.c_str());
  int err = 0;
  zip_t* za = zip_open(out.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  if (za == nullptr) return std::string();
  for (const Entry& e : entries) {
    zip_int64_t idx = -1;
    if (!e.name.empty() && e.name.back() == '/') {
      idx = zip_dir_add(za, e.name.c_str(), ZIP_FL_ENC_RAW);
    } else {
      zip_source_t* src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
      idx = zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_RAW);
      if (idx < 0) zip_source_free(src);
      if (idx >= 0) {
        zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), cm, 0);
        if (em != ZIP_EM_NONE)
          zip_file_set_encryption(za, static_cast<zip_uint64_t>(idx), em, PASSWORD);
      }
    }
    if (idx < 0) {
      zip_discard(za);
      return std::string();
    }
  }
  if (zip_close(za) != 0) {
    zip_discard(za);
    return std::string();
  }
  return readFile(out);
}

// An archive made by Info-ZIP `zip -P` (traditional encryption, the CRC
// after the data), `level` "-0" to store or "-6" to deflate; written to a
// pipe when `piped` (no sizes in the local headers then).
std::string infoZipWith(const std::string& dir, const std::vector<Entry>& entries,
                        const std::string& level, bool piped = false) {
  const std::string work = dir + "/izip";
  nelt::removeTree(work);
  nelt::makeDirs(work);
  std::vector<std::string> argv = {
      "zip", "-q", "-X", level, "-P", PASSWORD, piped ? "-" : "../izip.zip"};
  ::unlink((dir + "/izip.zip").c_str());
  for (const Entry& e : entries) {
    if (e.name.back() == '/') {
      nelt::makeDirs(work + "/" + e.name);
    } else {
      writeFile(work + "/" + e.name, e.data);
    }
    argv.push_back(e.name);
  }
  char here[4096];
  if (getcwd(here, sizeof here) == nullptr || chdir(work.c_str()) != 0) return std::string();
  const nelt::ProcessResult r = nelt::runProgram(argv, true, true);
  if (chdir(here) != 0) return std::string();
  if (!r.started || r.exit_code != 0) return std::string();
  return piped ? r.out : readFile(dir + "/izip.zip");
}

// Every file and folder below `dir` ("name/" for folders) with its content.
void treeOf(const std::string& dir, const std::string& rel,
            std::map<std::string, std::string>& out) {
  DIR* d = opendir((dir + "/" + rel).c_str());
  if (d == nullptr) return;
  while (struct dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    const std::string path = rel.empty() ? n : rel + "/" + n;
    struct stat st;
    if (lstat((dir + "/" + path).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      out[path + "/"] = "";
      treeOf(dir, path, out);
    } else {
      out[path] = readFile(dir + "/" + path) + (S_ISREG(st.st_mode) ? "" : "<not a file>");
    }
  }
  closedir(d);
}

std::map<std::string, std::string> treeOf(const std::string& dir) {
  std::map<std::string, std::string> out;
  treeOf(dir, "", out);
  return out;
}

nelt::UnpackLimits roomyLimits() {
  nelt::UnpackLimits limits;
  limits.free_margin_bytes = 0;
  return limits;
}

// Streams `zip` (handed out `piece` bytes at a time) into a fresh staging
// folder in `dest`.
struct Streamed {
  int rc = -1;
  std::string staging;
  std::vector<nelt::StreamedEntry> entries;
  std::string why;
};

Streamed streamInto(const std::string& dest, const std::string& zip, size_t piece,
                    const std::string& password = PASSWORD,
                    const nelt::UnpackLimits& limits = roomyLimits()) {
  Streamed s;
  nelt::makeDirs(dest);
  if (nelt::makeStagingFolder(dest, s.staging) != 0) return s;
  nelt::MemorySource src(zip, piece);
  s.rc = nelt::streamZip(src, password, s.staging, "", limits, s.entries, s.why);
  return s;
}

TEST(ZipStream, StreamedEntriesEqualTheWholeArchiveUnpack) {
  TempDir tmp;
  const std::vector<Entry> entries = sampleEntries();
  struct Case {
    const char* what;
    std::string zip;
  };
  const std::vector<Case> cases = {
      {"AES-256 deflate", libzipWith(tmp.path(), entries, ZIP_EM_AES_256, ZIP_CM_DEFLATE)},
      {"AES-256 stored", libzipWith(tmp.path(), entries, ZIP_EM_AES_256, ZIP_CM_STORE)},
      {"AES-192 deflate", libzipWith(tmp.path(), entries, ZIP_EM_AES_192, ZIP_CM_DEFLATE)},
      {"AES-128 stored", libzipWith(tmp.path(), entries, ZIP_EM_AES_128, ZIP_CM_STORE)},
      {"traditional deflate", libzipWith(tmp.path(), entries, ZIP_EM_TRAD_PKWARE, ZIP_CM_DEFLATE)},
      {"traditional stored", libzipWith(tmp.path(), entries, ZIP_EM_TRAD_PKWARE, ZIP_CM_STORE)},
      {"no encryption", libzipWith(tmp.path(), entries, ZIP_EM_NONE, ZIP_CM_DEFLATE)},
      {"Info-ZIP -P deflate (data descriptors)", infoZipWith(tmp.path(), entries, "-6")},
      {"Info-ZIP -P stored", infoZipWith(tmp.path(), entries, "-0")},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.zip.empty());
    const std::string archive = tmp.sub("case" + std::to_string(n) + ".zip");
    writeFile(archive, c.zip);
    const std::string want_dir = tmp.sub("want" + std::to_string(n));
    nelt::makeDirs(want_dir);
    std::string error;
    ASSERT_EQ(nelt::extractArchive(archive, PASSWORD, want_dir, roomyLimits(), error), 0) << error;
    const auto want = treeOf(want_dir);
    // Whole pieces, and pieces that cut every header and block apart.
    for (size_t piece : {size_t{1} << 20, size_t{7}}) {
      const std::string dest = tmp.sub("got" + std::to_string(n) + "-" + std::to_string(piece));
      Streamed s = streamInto(dest, c.zip, piece);
      ASSERT_EQ(s.rc, 0) << s.why;
      ASSERT_EQ(s.entries.size(), entries.size());
      struct stat st;
      ASSERT_EQ(lstat(s.staging.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u);
      ASSERT_EQ(
          nelt::adoptStreamedEntries(archive, 0, dest, s.staging, s.entries, roomyLimits(), error),
          0)
          << error;
      EXPECT_FALSE(nelt::fileExists(s.staging));
      EXPECT_EQ(treeOf(dest), want);
    }
    ++n;
  }
}

TEST(ZipStream, FollowsAFileWhileItIsWritten) {
  TempDir tmp;
  const std::string zip = libzipWith(tmp.path(), sampleEntries(), ZIP_EM_AES_256, ZIP_CM_DEFLATE);
  const std::string part = tmp.sub("pkg.part");
  const int wfd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(wfd, 0);
  // A header of 100 bytes in front, as in a package.
  const std::string head(100, 'h');
  ASSERT_EQ(::write(wfd, head.data(), head.size()), 100);
  nelt::GrowingFileSource src(::open(part.c_str(), O_RDONLY), 100);
  src.seek(100);
  std::thread writer([&] {
    for (size_t at = 0; at < zip.size(); at += 4093) {
      const size_t n = std::min<size_t>(4093, zip.size() - at);
      ASSERT_EQ(::write(wfd, zip.data() + at, n), static_cast<ssize_t>(n));
      src.advance(100 + at + n);
    }
    src.finish();
  });
  const std::string dest = tmp.sub("dest");
  nelt::makeDirs(dest);
  std::string staging, why;
  ASSERT_EQ(nelt::makeStagingFolder(dest, staging), 0);
  std::vector<nelt::StreamedEntry> got;
  EXPECT_EQ(nelt::streamZip(src, PASSWORD, staging, "", roomyLimits(), got, why), 0) << why;
  writer.join();
  ::close(wfd);
  EXPECT_EQ(readFile(staging + "/meta/notes.txt"), sampleEntries()[1].data);

  // A source that is stopped (a download thrown away) ends the stream.
  nelt::GrowingFileSource stopped(::open(part.c_str(), O_RDONLY), 500);
  std::thread stopper([&] { stopped.stop(); });
  const std::string staging2 = tmp.sub("dest/second");
  nelt::makeDirs(staging2);
  EXPECT_EQ(nelt::streamZip(stopped, PASSWORD, staging2, "", roomyLimits(), got, why), -1);
  stopper.join();
}

// A byte string with `from` replaced by `to` (same length) everywhere.
std::string patched(std::string zip, const std::string& from, const std::string& to,
                    size_t which = std::string::npos) {
  size_t count = 0;
  for (size_t p = zip.find(from); p != std::string::npos; p = zip.find(from, p + 1), ++count)
    if (which == std::string::npos || which == count) zip.replace(p, to.size(), to);
  return zip;
}

TEST(ZipStream, LyingOrHostileArchivesNeverLeaveTheStagingFolder) {
  TempDir tmp;
  const std::vector<Entry> two = {{"aaa.txt", "first entry"}, {"kavix.json", "{}"}};
  const std::string good = libzipWith(tmp.path(), two, ZIP_EM_AES_256, ZIP_CM_DEFLATE);
  std::string error;

  // The local header names "bbb.txt", the central directory "aaa.txt": the
  // stream writes bbb.txt into staging, the check refuses to move it.
  {
    // The local header comes first in the file, the central record later.
    const std::string zip = patched(good, "aaa.txt", "bbb.txt", 0);
    const std::string archive = tmp.sub("renamed.zip");
    writeFile(archive, zip);
    const std::string dest = tmp.sub("renamed");
    Streamed s = streamInto(dest, zip, 1 << 20);
    ASSERT_EQ(s.rc, 0) << s.why;
    EXPECT_TRUE(nelt::fileExists(s.staging + "/bbb.txt"));
    EXPECT_EQ(
        nelt::adoptStreamedEntries(archive, 0, dest, s.staging, s.entries, roomyLimits(), error),
        -1);
    EXPECT_FALSE(nelt::fileExists(s.staging));
    EXPECT_TRUE(treeOf(dest).empty());
  }
  // An entry only the central directory lists: its record repeated under
  // another name (the counts and sizes of the end record follow).
  {
    const size_t cd = good.find("PK\x01\x02");
    const size_t second = good.find("PK\x01\x02", cd + 4);
    const size_t end = good.find("PK\x05\x06");
    ASSERT_NE(second, std::string::npos);
    std::string extra = good.substr(cd, second - cd);
    extra = patched(extra, "aaa.txt", "ccc.txt");
    std::string zip = good.substr(0, end) + extra + good.substr(end);
    const size_t e = zip.find("PK\x05\x06");
    zip.replace(e + 8, 2, le16(3));
    zip.replace(e + 10, 2, le16(3));
    zip.replace(e + 12, 4, le32(static_cast<uint32_t>(end - cd + extra.size())));
    const std::string archive = tmp.sub("extra.zip");
    writeFile(archive, zip);
    const std::string dest = tmp.sub("extra");
    Streamed s = streamInto(dest, zip, 1 << 20);
    ASSERT_EQ(s.rc, 0) << s.why;
    EXPECT_EQ(s.entries.size(), 2u);
    EXPECT_EQ(
        nelt::adoptStreamedEntries(archive, 0, dest, s.staging, s.entries, roomyLimits(), error),
        -1);
    EXPECT_FALSE(nelt::fileExists(s.staging));
    EXPECT_TRUE(treeOf(dest).empty());
  }
  // Unsafe names in a local header: nothing is created for them.
  for (const std::string name : {"../evil.txt", "/tmp/evil.txt", "a/../../evil.txt"}) {
    SCOPED_TRACE(name);
    const std::string zip =
        libzipWith(tmp.path(), {{"ok.txt", "fine"}, {name, "evil"}}, ZIP_EM_NONE, ZIP_CM_STORE);
    const std::string dest = tmp.sub("unsafe");
    Streamed s = streamInto(dest, zip, 3);
    EXPECT_EQ(s.rc, -1);
    EXPECT_NE(s.why.find("entry outside the folder refused"), std::string::npos) << s.why;
    EXPECT_FALSE(nelt::fileExists(tmp.sub("evil.txt")));
    EXPECT_FALSE(nelt::fileExists("/tmp/evil.txt"));
    EXPECT_EQ(treeOf(s.staging).size(), 1u);  // ok.txt only
    nelt::removeTree(dest);
  }
  // A wrong password is found at the first entry, for both encryptions.
  for (zip_uint16_t em : {ZIP_EM_AES_128, ZIP_EM_TRAD_PKWARE}) {
    const std::string zip = libzipWith(tmp.path(), two, em, ZIP_CM_DEFLATE);
    Streamed s = streamInto(tmp.sub("wrong"), zip, 1 << 20, "not the key");
    EXPECT_EQ(s.rc, -1);
    EXPECT_TRUE(s.why == "wrong password" || s.why == "entry damaged or wrong password") << s.why;
    nelt::removeTree(tmp.sub("wrong"));
  }
  // What cannot be streamed or breaks a limit stops the stream.
  {
    const std::string stored_dd = infoZipWith(tmp.path(), two, "-0", true);
    ASSERT_FALSE(stored_dd.empty());
    // Written to a pipe, Info-ZIP's local headers give the stored sizes
    // without the 12 bytes of encryption header: the reader must not trust
    // them into a wrong entry.
    EXPECT_EQ(streamInto(tmp.sub("s1"), stored_dd, 1 << 20).rc, -1);
    EXPECT_EQ(streamInto(tmp.sub("s2"), good.substr(0, good.size() / 2), 1 << 20).rc, -1);
    nelt::UnpackLimits one = roomyLimits();
    one.max_entries = 1;
    EXPECT_EQ(streamInto(tmp.sub("s3"), good, 1 << 20, PASSWORD, one).rc, -1);
    const std::string big = libzipWith(tmp.path(), {{"big.bin", std::string(100000, 'x')}},
                                       ZIP_EM_NONE, ZIP_CM_DEFLATE);
    Streamed s = streamInto(tmp.sub("s4"), withAnnouncedSize(big, "big.bin", 1000), 1 << 20);
    EXPECT_EQ(s.why, "an entry is larger than the archive announces");
    nelt::UnpackLimits small = roomyLimits();
    small.max_total_bytes = 50000;
    EXPECT_EQ(streamInto(tmp.sub("s5"), big, 1 << 20, PASSWORD, small).rc, -1);
    std::atomic<bool> cancel{true};
    nelt::UnpackLimits cancelled = roomyLimits();
    cancelled.cancel = &cancel;
    EXPECT_EQ(streamInto(tmp.sub("s6"), big, 1 << 20, PASSWORD, cancelled).why, "cancelled");
  }
}

TEST(ZipStream, DamagedArchivesEndTheStreamWithoutHarm) {
  TempDir tmp;
  const std::vector<Entry> small = {
      {"d/", ""}, {"d/a.txt", std::string(3000, 'a') + "tail"}, {"b.bin", randomBytes(2000, 3)}};
  const std::vector<std::string> zips = {
      libzipWith(tmp.path(), small, ZIP_EM_AES_256, ZIP_CM_DEFLATE),
      libzipWith(tmp.path(), small, ZIP_EM_TRAD_PKWARE, ZIP_CM_STORE),
      infoZipWith(tmp.path(), small, "-6"), infoZipWith(tmp.path(), small, "-6", true)};
  // Bytes changed anywhere, and archives cut anywhere: the reader reads no
  // byte it was not given and writes nowhere but the staging folder.
  unsigned seed = 1;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (const std::string& good : zips) {
    ASSERT_FALSE(good.empty());
    for (int round = 0; round < 150; ++round) {
      std::string zip = good;
      if (round % 3 == 0) {
        zip.resize(next() % zip.size());
      } else {
        for (unsigned k = 0, n = 1 + next() % 4; k < n; ++k)
          zip[next() % zip.size()] = static_cast<char>(next());
      }
      const std::string dest = tmp.sub("dmg");
      Streamed s = streamInto(dest, zip, 1 + next() % 600);
      for (const auto& [path, data] : treeOf(dest))
        EXPECT_EQ(path.rfind(s.staging.substr(dest.size() + 1), 0), 0u) << path;
      nelt::removeTree(dest);
    }
  }
}

}  // namespace
