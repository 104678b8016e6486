// Times the package engine against the shell tools it replaced, on one large
// package of incompressible data:
//   1. unpacking: the engine's in-process libzip extraction against Info-ZIP
//      `unzip -P` on the same archive (traditional zip encryption, so both do
//      the same work), and the engine on an AES-256 archive;
//   2. download and unpack from the local store server: the engine's whole
//      path (libcurl download, header check, payload copy, extraction, up to
//      the moment it would run `pkexec snap install`) against `curl -o`
//      followed by `unzip -P`;
//   3. the checks made before the privileged install: reading the snap's
//      meta/snap.yaml with `unsquashfs -cat`, against the unpack it follows;
//   4. the whole `nelt install` process through the real KavixService (its
//      start, the service's token, key and address, the download and the
//      unpack, up to `pkexec snap install`) against `curl -o` + `unzip -P`.
// Steps 2 and 4 run the engine twice per round: unpacking beside the
// download (the default) and after it (NELT_UNPACK_STREAM=0).
// The snap is a real squashfs image (its data left uncompressed), so the
// engine's checks pass and it reaches `pkexec snap install`.
// Prints the figures and the ratios; asserts nothing.
//
//   nelt-bench [--size-mb N] [--runs N] [--dir FOLDER] [--bin-dir FOLDER]
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fake_service.h"
#include "fsutil.h"
#include "kavix_api.h"
#include "kavix_model.h"
#include "kavix_package.h"
#include "model_log.h"
#include "package_builder.h"
#include "process.h"
#include "service_harness.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
const char* PASSWORD = "bench pass & $HOME";
const char* SLUG = "bench-app";

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool writeRandomFile(const std::string& path, size_t bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::vector<uint64_t> block(1 << 17);
  uint64_t x = 0x243F6A8885A308D3ull;
  size_t left = bytes;
  while (left > 0) {
    for (auto& w : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    const size_t n = std::min(left, block.size() * sizeof(uint64_t));
    if (std::fwrite(block.data(), 1, n, f) != n) {
      std::fclose(f);
      return false;
    }
    left -= n;
  }
  return std::fclose(f) == 0;
}

bool aesArchive(const std::string& out, const std::string& snap, const std::string& meta) {
  int err = 0;
  zip_t* za = zip_open(out.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  if (za == nullptr) return false;
  const std::pair<std::string, std::string> files[] = {{"app_1.0_amd64.snap", snap},
                                                       {"kavix.json", meta}};
  for (const auto& f : files) {
    zip_source_t* src = zip_source_file(za, f.second.c_str(), 0, -1);
    const zip_int64_t idx = zip_file_add(za, f.first.c_str(), src, 0);
    if (idx < 0) {
      zip_discard(za);
      return false;
    }
    // Random data does not compress; Info-ZIP stores such files too.
    zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), ZIP_CM_STORE, 0);
    zip_file_set_encryption(za, static_cast<zip_uint64_t>(idx), ZIP_EM_AES_256, PASSWORD);
  }
  return zip_close(za) == 0;
}

bool writePackage(const std::string& kavix, const std::string& zip) {
  const std::string header =
      nelt::test::kavixHeader(SLUG, "{\"name\":\"bench-app\",\"snap\":\"app_1.0_amd64.snap\"}");
  nelt::test::writeFile(kavix, header);
  FILE* out = std::fopen(kavix.c_str(), "ab");
  FILE* in = std::fopen(zip.c_str(), "rb");
  if (out == nullptr || in == nullptr) return false;
  std::vector<char> buf(1 << 20);
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), in)) > 0) std::fwrite(buf.data(), 1, n, out);
  std::fclose(in);
  return std::fclose(out) == 0;
}

// The engine's unpack steps: header check, payload copy, extraction.
double engineUnpack(const std::string& kavix, const std::string& dir, bool& ok) {
  nelt::removeTree(dir);
  nelt::makeDirs(dir);
  const auto t0 = Clock::now();
  std::string info, error;
  const int header = nelt::readPackageHeader(kavix, nelt::kavix::SIGNATURE, SLUG, info);
  const std::string archive = dir + "/." + SLUG + ".zip";
  ok = header > 0 && nelt::copyFileTail(kavix, header, archive) == 0 &&
       nelt::extractArchive(archive, PASSWORD, dir, error) == 0;
  const auto t1 = Clock::now();
  if (!error.empty()) std::fprintf(stderr, "engine: %s\n", error.c_str());
  return seconds(t0, t1);
}

// Extraction alone.
double engineExtract(const std::string& zip, const std::string& dir, bool& ok) {
  nelt::removeTree(dir);
  nelt::makeDirs(dir);
  const auto t0 = Clock::now();
  std::string error;
  ok = nelt::extractArchive(zip, PASSWORD, dir, error) == 0;
  return seconds(t0, Clock::now());
}

double infoZipUnzip(const std::string& zip, const std::string& dir, bool& ok) {
  nelt::removeTree(dir);
  nelt::makeDirs(dir);
  const auto t0 = Clock::now();
  // The benchmark's own throw-away password; the engine never does this.
  const auto r = nelt::runProgram({"unzip", "-qq", "-o", "-P", PASSWORD, zip, "-d", dir}, true);
  const auto t1 = Clock::now();
  ok = r.started && (r.exit_code == 0 || r.exit_code == 1);
  return seconds(t0, t1);
}

size_t appendBody(char* p, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(p, size * n);
  return size * n;
}

std::string storeLogin(const std::string& base) {
  CURL* c = curl_easy_init();
  std::string body;
  const std::string request = "{\"username\": \"demo\", \"password\": \"demo123\"}";
  struct curl_slist* h = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_easy_setopt(c, CURLOPT_URL, (base + "/api/v1/login").c_str());
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, h);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
  curl_easy_perform(c);
  curl_slist_free_all(h);
  curl_easy_cleanup(c);
  const size_t k = body.find("\"token\"");
  if (k == std::string::npos) return std::string();
  const size_t q1 = body.find('"', body.find(':', k) + 1);
  const size_t q2 = body.find('"', q1 + 1);
  return body.substr(q1 + 1, q2 - q1 - 1);
}

double fileTimeStamp(const std::string& path) {
  const std::string text = nelt::test::readFile(path);
  return text.empty() ? 0.0 : std::atof(text.c_str());
}

double wallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// 4. `nelt install` as a user runs it: a new process that asks the real
// KavixService (signed in to a store that knows the package's key) and
// installs up to the privileged step, where the `pkexec` in front of PATH
// notes the time and refuses. Medians of `runs`, in seconds: to the
// privileged step and to the process's end.
// `baseline` is the median of `curl -o` + `unzip -P` of the same package
// from the same store, run in turns with `nelt` (each first every other
// time), so both see the same load on a shared machine.
struct NeltFigures {
  double reached = 0;  // to the privileged step
  double ended = 0;    // to the process's end
};

bool neltInstall(const std::string& work, const std::string& packages, const std::string& stamp,
                 const std::string& version, int runs, NeltFigures& streamed, NeltFigures& after,
                 double& baseline) {
  const std::string catalog = work + "/catalog";
  nelt::removeTree(catalog);
  const auto copied =
      nelt::runProgram({"cp", "-r", nelt::test::sourceDir() + "/catalog/sample", catalog}, true);
  if (!copied.started || copied.exit_code != 0) return false;
  nelt::test::writeFile(catalog + "/keys.json",
                        "{\"" + std::string(SLUG) + "\": \"" + PASSWORD + "\"}");
  nelt::test::StoreServer store;
  if (!store.start(work, catalog, {"--packages", packages})) return false;
  nelt::test::ServiceHarness service;
  nelt::test::ServiceOptions options;
  options.host = store.baseUrl();
  options.ip_lookup_url = store.baseUrl() + "/ip";
  if (!service.start(options)) return false;
  nelt::test::ProtoClient client;
  std::string text;
  if (!client.connectTo(service.port()) || !client.request("POST 1 demo&demo123\n", text) ||
      text.rfind("200 ", 0) != 0)
    return false;
  const std::string root = std::getenv("NELT_ROOT") ? std::getenv("NELT_ROOT") : "";
  setenv("NELT_ROOT", service.root().c_str(), 1);
  setenv("NELT_IP_LOOKUP_URL", (store.baseUrl() + "/ip").c_str(), 1);
  const std::string token = storeLogin(store.baseUrl());
  // unzip cannot read WinZip AES: the shell tools always fetch and unpack
  // the traditional package (1.0), the same size as the AES one.
  const std::string url = store.baseUrl() + "/api/v1/apps/downloadBinary/" + SLUG + "?version=1.0";
  // [0] unpacked beside the download, [1] after it.
  std::vector<double> to_step[2], to_end[2], shell;
  bool ok = !token.empty();
  const auto shellTools = [&] {
    const std::string file = work + "/pair.kavix", dir = work + "/pair-out";
    nelt::removeTree(dir);
    nelt::makeDirs(dir);
    ::unlink(file.c_str());
    const auto c0 = Clock::now();
    const auto got = nelt::runProgram(
        {"curl", "-s", "-f", "-o", file, "-H", "Authorization: Bearer " + token, url}, true);
    const auto unz =
        nelt::runProgram({"unzip", "-qq", "-o", "-P", PASSWORD, file, "-d", dir}, true);
    shell.push_back(seconds(c0, Clock::now()));
    nelt::removeTree(dir);
    ::unlink(file.c_str());
    return got.started && got.exit_code == 0 && unz.started && unz.exit_code <= 2;
  };
  const auto neltRun = [&](int mode) {
    if (mode == 1)
      setenv("NELT_UNPACK_STREAM", "0", 1);
    else
      unsetenv("NELT_UNPACK_STREAM");
    ::unlink(stamp.c_str());
    const double start = wallNow();
    const auto t0 = Clock::now();
    const auto run = nelt::runProgram(
        {nelt::test::binDir() + "/nelt", "install", SLUG, "--version", version}, true);
    to_end[mode].push_back(seconds(t0, Clock::now()));
    const double stamped = fileTimeStamp(stamp);
    to_step[mode].push_back(stamped - start);
    unsetenv("NELT_UNPACK_STREAM");
    return run.started && stamped > 0;
  };
  // The three take turns, each first in its own rounds.
  for (int r = 0; r < runs && ok; ++r) {
    for (int k = 0; k < 3 && ok; ++k) {
      const int which = (r + k) % 3;
      ok = which == 2 ? shellTools() : neltRun(which);
    }
  }
  setenv("NELT_ROOT", root.c_str(), 1);
  if (!ok) return false;
  streamed = {median(to_step[0]), median(to_end[0])};
  after = {median(to_step[1]), median(to_end[1])};
  baseline = median(shell);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t size_mb = 200;
  int runs = 3;
  std::string base_dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
  // The sample catalog and the programs of the build this benchmark belongs
  // to, unless the environment names others.
  setenv("NELT_SOURCE_DIR", NELT_DEFAULT_SOURCE_DIR, 0);
  setenv("NELT_BIN_DIR", NELT_DEFAULT_BIN_DIR, 0);
  std::string bin_dir = nelt::test::binDir();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--size-mb") size_mb = std::strtoul(argv[i + 1], nullptr, 10);
    if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (a == "--dir") base_dir = argv[i + 1];
    if (a == "--bin-dir") bin_dir = argv[i + 1];
  }
  setenv("NELT_BIN_DIR", bin_dir.c_str(), 1);
  // The refused snap install of every download run is expected.
  nelt::setDebugLogSink(nullptr);
  nelt::setConsoleLogSink(nullptr);

  std::string tmpl = base_dir + "/nelt-bench-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) return 1;
  const std::string work = tmpl;
  const std::string snap = work + "/app_1.0_amd64.snap", meta = work + "/kavix.json";
  std::printf("Package engine benchmark: %zu MB of incompressible snap data, median of %d runs\n",
              size_mb, runs);
  std::fflush(stdout);
  // A squashfs snap whose bulk is incompressible data, stored as it is.
  const std::string tree = work + "/tree";
  nelt::makeDirs(tree + "/meta");
  nelt::test::writeFile(tree + "/meta/snap.yaml",
                        "name: bench-app\nversion: '1.0'\nsummary: bench\nconfinement: classic\n");
  if (!writeRandomFile(tree + "/payload.bin", size_mb << 20)) return 1;
  const auto squashed = nelt::runProgram({"mksquashfs", tree, snap, "-noappend", "-noI", "-noD",
                                          "-noF", "-noX", "-all-root", "-quiet", "-no-progress"},
                                         true);
  nelt::removeTree(tree);
  if (!squashed.started || squashed.exit_code != 0) {
    std::fprintf(stderr, "cannot build the snap (mksquashfs)\n");
    return 1;
  }
  nelt::test::writeFile(meta,
                        "{\"name\":\"bench-app\",\"long-name\":\"Bench\",\"version\":\"1.0\"}");

  const std::string trad_zip = work + "/trad.zip", aes_zip = work + "/aes.zip";
  auto t0 = Clock::now();
  auto made = nelt::runProgram({"zip", "-q", "-j", "-P", PASSWORD, trad_zip, snap, meta}, true);
  std::printf("  made the Info-ZIP archive (traditional encryption) in %.2f s\n",
              seconds(t0, Clock::now()));
  t0 = Clock::now();
  if (!made.started || made.exit_code != 0 || !aesArchive(aes_zip, snap, meta)) {
    std::fprintf(stderr, "cannot build the archives\n");
    return 1;
  }
  std::printf("  made the libzip archive (AES-256) in %.2f s\n", seconds(t0, Clock::now()));
  const std::string shelf = work + "/packages/" + SLUG;
  nelt::makeDirs(shelf);
  const std::string trad_kavix = shelf + "/1.0.kavix", aes_kavix = shelf + "/2.0.kavix";
  if (!writePackage(trad_kavix, trad_zip) || !writePackage(aes_kavix, aes_zip)) return 1;
  ::unlink(snap.c_str());

  // 1. Unpacking.
  std::vector<double> e_trad, e_trad_x, e_aes, u_trad;
  bool ok = true, all_ok = true;
  const std::string out = work + "/out";
  for (int r = 0; r < runs; ++r) {
    u_trad.push_back(infoZipUnzip(trad_zip, out, ok));
    all_ok &= ok;
    e_trad_x.push_back(engineExtract(trad_zip, out, ok));
    all_ok &= ok;
    e_trad.push_back(engineUnpack(trad_kavix, out, ok));
    all_ok &= ok;
    e_aes.push_back(engineUnpack(aes_kavix, out, ok));
    all_ok &= ok;
  }
  nelt::removeTree(out);
  std::printf("\nUnpacking (%zu MB)\n", size_mb);
  std::printf("  unzip -P, traditional                      %7.3f s\n", median(u_trad));
  std::printf("  engine extraction only, traditional        %7.3f s   ratio %.2f\n",
              median(e_trad_x), median(e_trad_x) / median(u_trad));
  std::printf("  engine unpack (header+extract), trad. %7.3f s   ratio %.2f\n", median(e_trad),
              median(e_trad) / median(u_trad));
  std::printf("  engine unpack (header+extract), AES   %7.3f s   ratio %.2f\n", median(e_aes),
              median(e_aes) / median(u_trad));
  std::fflush(stdout);

  // 3. The snap check before the privileged step, on the unpacked snap.
  {
    engineExtract(trad_zip, out, ok);
    std::vector<double> check;
    for (int r = 0; r < runs; ++r) {
      std::string name, version, error;
      const auto c0 = Clock::now();
      all_ok &= nelt::readSnapMeta(out + "/app_1.0_amd64.snap", name, version, error) &&
                name == "bench-app";
      check.push_back(seconds(c0, Clock::now()));
    }
    nelt::removeTree(out);
    std::printf("\nChecks before the privileged step\n");
    std::printf("  snap.yaml read (unsquashfs -cat)           %7.3f s   ratio %.4f of the unpack\n",
                median(check), median(check) / median(e_trad));
    std::fflush(stdout);
  }

  // 2. Download and unpack from the local store server.
  nelt::test::StoreServer store;
  if (!store.start(work, "", {"--packages", work + "/packages"})) {
    std::fprintf(stderr, "cannot start %s/nelt-store-server\n%s", bin_dir.c_str(),
                 store.process().err().c_str());
    return 1;
  }
  const std::string token = storeLogin(store.baseUrl());
  if (token.empty()) {
    std::fprintf(stderr, "cannot sign in to the store server\n");
    return 1;
  }
  // The engine's service: token, key and the store's address.
  nelt::test::FakeService service;
  service.start([&](const std::string& line) {
    if (line == "GET 17 \n")
      return nelt::test::framed("200", "{\"url\": \"" + store.baseUrl() + "\"}");
    if (line == "GET 5 \n") return nelt::test::framed("200", "{\"token\": \"" + token + "\"}");
    if (line.rfind("GET 8 ", 0) == 0)
      return nelt::test::framed("200", std::string("{\"key\":\"") + PASSWORD + "\"}");
    return nelt::test::framed("200", "");
  });
  // A `pkexec` that only notes when the engine reached it (the unpack is
  // done) and refuses, so no snap is installed.
  const std::string fakebin = work + "/fakebin", stamp = work + "/pkexec.stamp";
  nelt::makeDirs(fakebin);
  nelt::test::writeFile(fakebin + "/pkexec",
                        "#!/bin/sh\ndate +%s.%N > \"$NELT_BENCH_STAMP\"\nexit 126\n");
  chmod((fakebin + "/pkexec").c_str(), 0755);
  setenv("PATH", (fakebin + ":" + std::getenv("PATH")).c_str(), 1);
  setenv("NELT_BENCH_STAMP", stamp.c_str(), 1);
  setenv("NELT_ROOT", (work + "/root").c_str(), 1);
  setenv("NELT_IP_LOOKUP_URL", (store.baseUrl() + "/ip").c_str(), 1);
  KavixAPI api(service.port(), true);
  if (api.init() != 1) return 1;
  KavixModel engine;
  engine.api = &api;

  // [0] unpacked beside the download, [1] after it (NELT_UNPACK_STREAM=0).
  std::vector<double> e_dl[2], e_total[2], c_dl, c_total;
  const std::string url = store.baseUrl() + "/api/v1/apps/downloadBinary/" + SLUG + "?version=1.0";
  for (int r = 0; r < runs; ++r) {
    for (int k = 0; k < 2; ++k) {
      const int mode = (r + k) % 2;
      if (mode == 1)
        setenv("NELT_UNPACK_STREAM", "0", 1);
      else
        unsetenv("NELT_UNPACK_STREAM");
      ::unlink(stamp.c_str());
      engine.getSysInfo();
      const double start = wallNow();
      const auto s0 = Clock::now();
      if (engine.install(SLUG, "1.0", 0) != 0) return 1;
      double downloaded = 0;
      for (;;) {
        const int s = engine.getStateInstall();
        if (s == 102 && downloaded == 0) downloaded = seconds(s0, Clock::now());
        if (s == 101 || s == 200 || s < 0) break;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
      const double reached = fileTimeStamp(stamp);
      if (reached == 0) {
        std::fprintf(stderr, "the engine did not reach the snap install\n");
        all_ok = false;
      }
      e_dl[mode].push_back(downloaded);
      e_total[mode].push_back(reached - start);
    }
    unsetenv("NELT_UNPACK_STREAM");

    const std::string file = work + "/curl.kavix", dir = work + "/curl-out";
    nelt::removeTree(dir);
    nelt::makeDirs(dir);
    ::unlink(file.c_str());
    const auto c0 = Clock::now();
    auto got = nelt::runProgram(
        {"curl", "-s", "-f", "-o", file, "-H", "Authorization: Bearer " + token, url}, true);
    const auto c1 = Clock::now();
    // unzip reads the zip behind the package header (extra leading bytes).
    auto unz = nelt::runProgram({"unzip", "-qq", "-o", "-P", PASSWORD, file, "-d", dir}, true);
    const auto c2 = Clock::now();
    if (!got.started || got.exit_code != 0 || !unz.started || unz.exit_code > 2) all_ok = false;
    c_dl.push_back(seconds(c0, c1));
    c_total.push_back(seconds(c0, c2));
    nelt::removeTree(dir);
  }
  std::printf("\nDownload and unpack from the local store server (traditional encryption)\n");
  std::printf("  curl -o                                    %7.3f s\n", median(c_dl));
  std::printf("  engine download (libcurl)                  %7.3f s   ratio %.2f\n",
              median(e_dl[1]), median(e_dl[1]) / median(c_dl));
  std::printf("  curl -o + unzip -P                         %7.3f s\n", median(c_total));
  std::printf("  engine download + unpack beside it         %7.3f s   ratio %.2f\n",
              median(e_total[0]), median(e_total[0]) / median(c_total));
  std::printf("  engine download, then unpack (STREAM=0)    %7.3f s   ratio %.2f\n",
              median(e_total[1]), median(e_total[1]) / median(c_total));
  store.stop();
  // nelt says for each run that the install was not authorised: expected.
  // Both packages: traditional encryption (1.0, Info-ZIP) and AES-256 (2.0,
  // libzip).
  for (const char* version : {"1.0", "2.0"}) {
    NeltFigures streamed, after;
    double paired = 0;
    if (!neltInstall(work, work + "/packages", stamp, version, runs, streamed, after, paired)) {
      std::fprintf(stderr, "nelt install through KavixService failed\n");
      all_ok = false;
      continue;
    }
    std::printf("\nnelt install against curl -o + unzip -P run in turns with it (%s)\n",
                std::string(version) == "1.0" ? "traditional encryption"
                                              : "AES-256; baseline on the traditional package");
    std::printf("  curl -o + unzip -P                         %7.3f s\n", paired);
    std::printf("  nelt install, unpack beside the download, to pkexec %7.3f s   ratio %.2f\n",
                streamed.reached, streamed.reached / paired);
    std::printf("  nelt install, unpack beside the download, to exit   %7.3f s   ratio %.2f\n",
                streamed.ended, streamed.ended / paired);
    std::printf("  nelt install, unpack after it (STREAM=0), to pkexec %7.3f s   ratio %.2f\n",
                after.reached, after.reached / paired);
    std::printf("  nelt install, unpack after it (STREAM=0), to exit   %7.3f s   ratio %.2f\n",
                after.ended, after.ended / paired);
    std::fflush(stdout);
  }
  std::printf("\n(ratio = engine time / shell tool time; below 1 means the engine is faster)\n");

  service.stop();
  nelt::removeTree(work);
  if (!all_ok) std::printf("WARNING: some runs failed; figures are not comparable\n");
  return all_ok ? 0 : 1;
}
