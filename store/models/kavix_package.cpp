#include "kavix_package.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fsutil.h"
#include "model_log.h"
#include "snap_state.h"

extern char** environ;

namespace nelt {

std::string lastPathComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  size_t start = path.rfind('/', end == 0 ? 0 : end - 1);
  start = (start == std::string::npos || end == 0) ? 0 : start + 1;
  if (end == 0) return std::string();
  return path.substr(start, end - start);
}

int readPackageHeader(const std::string& path, const unsigned char signature[4],
                      const std::string& slug, std::string& info) {
  kavix::PackageHeader header;
  const kavix::HeaderStatus status = kavix::readHeader(path, header, signature);
  switch (status) {
    case kavix::HeaderStatus::OpenFailed:
      debugLog("Error open pkg");
      return -1;
    case kavix::HeaderStatus::TooShort:
      return -1;
    case kavix::HeaderStatus::BadSignature:
      debugLog("Error read file signature");
      return -1;
    case kavix::HeaderStatus::EmptyName:
    case kavix::HeaderStatus::NameTooLong:
      debugLog("Error read app name");
      return -1;
    default:
      break;
  }
  // A package for another application is refused before its info is looked
  // at, and quietly: it is no damage, only the wrong file.
  if (header.name != slug) return -1;
  if (status != kavix::HeaderStatus::Ok && status != kavix::HeaderStatus::InfoHasNul) {
    debugLog("Error read info");
    return -1;
  }
  // The document ends at its first zero byte, as it always has.
  info = header.info.substr(0, header.info.find('\0'));
  return static_cast<int>(header.payload_offset);
}

int copyFileTail(const std::string& src, int64_t offset, const std::string& dst) {
  const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return -1;
  const int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (out < 0) {
    ::close(in);
    return -2;
  }
  int rc = 0;
  off_t pos = static_cast<off_t>(offset);
  // The kernel copies without a round trip through this process where it
  // can; the loop below takes over wherever it cannot (other file systems,
  // old kernels).
  for (;;) {
    loff_t from = pos;
    const ssize_t n = ::copy_file_range(in, &from, out, nullptr, 1 << 30, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pos = from;
  }
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = ::pread(in, buf.data(), buf.size(), pos);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      rc = -3;
      break;
    }
    if (n == 0) break;
    pos += n;
    const char* p = buf.data();
    size_t left = static_cast<size_t>(n);
    while (left > 0) {
      ssize_t w = ::write(out, p, left);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        rc = -3;
        break;
      }
      p += w;
      left -= static_cast<size_t>(w);
    }
    if (rc != 0) break;
  }
  ::close(in);
  if (::close(out) != 0 && rc == 0) rc = -3;
  return rc;
}

namespace {

bool isSymlinkEntry(zip_t* za, zip_uint64_t index) {
  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(za, index, 0, &opsys, &attributes) != 0) return false;
  if (opsys != ZIP_OPSYS_UNIX) return false;
  return ((attributes >> 16) & S_IFMT) == S_IFLNK;
}

// An entry's path without the "/" that marks a folder entry ("a/b/" gives
// "a/b").
std::string entryPath(const std::string& raw) {
  return !raw.empty() && raw.back() == '/' ? raw.substr(0, raw.size() - 1) : raw;
}

// The folder part of a relative entry path ("a/b/c" gives "a/b").
std::string parentOf(const std::string& rel) {
  const size_t slash = rel.rfind('/');
  return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

int writeEntry(zip_t* za, zip_uint64_t index, const std::string& target, uint64_t announced,
               std::vector<char>& buf, const std::atomic<bool>* cancel, std::string& error) {
  zip_file_t* zf = zip_fopen_index(za, index, 0);
  if (zf == nullptr) {
    error = std::string("cannot open entry: ") + zip_strerror(za);
    return -1;
  }
  const int fd =
      ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    error = "cannot create " + target + ": " + std::strerror(errno);
    zip_fclose(zf);
    return -1;
  }
  int rc = 0;
  uint64_t written = 0;
  for (;;) {
    if (cancel != nullptr && cancel->load()) {
      error = "cancelled";
      rc = -1;
      break;
    }
    const zip_int64_t n = zip_fread(zf, buf.data(), buf.size());
    if (n < 0) {
      error = std::string("cannot read entry: ") + zip_file_strerror(zf);
      rc = -1;
      break;
    }
    if (n == 0) break;
    // The limits were checked against the sizes the archive announced; an
    // entry that grows beyond its announcement is not written any further.
    written += static_cast<uint64_t>(n);
    if (written > announced) {
      error = "an entry is larger than the archive announces";
      rc = -1;
      break;
    }
    const char* p = buf.data();
    size_t left = static_cast<size_t>(n);
    while (left > 0) {
      ssize_t w = ::write(fd, p, left);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        error = "cannot write " + target + ": " + std::strerror(errno);
        rc = -1;
        break;
      }
      p += w;
      left -= static_cast<size_t>(w);
    }
    if (rc != 0) break;
  }
  // zip_fclose reports a checksum mismatch found at the end of the entry.
  const int close_rc = zip_fclose(zf);
  if (rc == 0 && close_rc != 0) {
    error = "entry damaged or wrong password";
    rc = -1;
  }
  if (::close(fd) != 0 && rc == 0) {
    error = "cannot write " + target;
    rc = -1;
  }
  return rc;
}

}  // namespace

bool entryNameAllowed(const std::string& raw, const std::string& self, std::string& error) {
  // An entry's path follows the same rule as the snap path of the info
  // document: one way only to name each file, inside the folder.
  if (!isSafeRelativePath(entryPath(raw))) {
    error = "entry outside the folder refused: " + raw;
    return false;
  }
  if (!self.empty() && entryPath(raw) == self) {
    error = "entry would overwrite the archive: " + raw;
    return false;
  }
  return true;
}

std::string archiveNameIn(const std::string& archive, const std::string& dest) {
  return parentOf(archive) == dest ? lastPathComponent(archive) : std::string();
}

UnpackLimits unpackLimitsFromEnv() {
  UnpackLimits limits;
  auto number = [](const char* name, uint64_t& out) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text < '0' || *text > '9') return;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno == 0 && end != nullptr && *end == '\0') out = v;
  };
  number("NELT_UNPACK_MAX_BYTES", limits.max_total_bytes);
  number("NELT_UNPACK_FREE_MARGIN", limits.free_margin_bytes);
  return limits;
}

int extractArchive(const std::string& archive, const std::string& password, const std::string& dest,
                   std::string& error) {
  return extractArchive(archive, password, dest, unpackLimitsFromEnv(), error);
}

int extractArchive(const std::string& archive, const std::string& password, const std::string& dest,
                   const UnpackLimits& limits, std::string& error) {
  return extractArchiveAt(archive, 0, password, dest, limits, error);
}

namespace {

// Opens the archive that starts `offset` bytes into the file `archive` and
// runs to its end; nullptr (with `error` set) when libzip cannot read it.
zip_t* openArchiveAt(const std::string& archive, int64_t offset, std::string& error) {
  zip_error_t ze;
  zip_error_init(&ze);
  // A file source from `offset` to the end of the file (length -1): libzip
  // sees only the archive and reads it where it lies.
  zip_source_t* src =
      zip_source_file_create(archive.c_str(), static_cast<zip_uint64_t>(offset), -1, &ze);
  zip_t* za = src != nullptr ? zip_open_from_source(src, ZIP_RDONLY, &ze) : nullptr;
  if (za == nullptr) {
    if (src != nullptr) zip_source_free(src);
    error = std::string("cannot open archive: ") + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    return nullptr;
  }
  zip_error_fini(&ze);
  return za;
}

// Checks the entry count and every entry's name and announced size against
// the limits. Fills `sizes` (one per entry) and `total`; 0, or -2 with
// `error` set.
int checkEntries(zip_t* za, const std::string& archive, const std::string& dest,
                 const UnpackLimits& limits, std::vector<uint64_t>& sizes, uint64_t& total,
                 std::string& error) {
  const zip_int64_t count = zip_get_num_entries(za, 0);
  if (count < 0 || static_cast<uint64_t>(count) > limits.max_entries) {
    error = "the archive holds " + std::to_string(count) + " entries, at most " +
            std::to_string(limits.max_entries) + " are accepted";
    return -2;
  }
  // The archive file itself lies in `dest` when it is unpacked there.
  const std::string self = archiveNameIn(archive, dest);
  sizes.assign(static_cast<size_t>(count), 0);
  total = 0;
  bool too_big = false;

  // Every name is checked before anything is written: a refused archive
  // leaves nothing behind.
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* raw = zip_get_name(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (raw == nullptr) {
      error = "unreadable entry name";
      return -2;
    }
    const std::string name(raw);
    if (!isSafeRelativePath(entryPath(name))) {
      entryNameAllowed(name, self, error);
      return -2;
    }
    if (isSymlinkEntry(za, static_cast<zip_uint64_t>(i))) {
      error = "symbolic link entry refused: " + name;
      return -2;
    }
    if (!entryNameAllowed(name, self, error)) return -2;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW, &st) != 0 ||
        (st.valid & ZIP_STAT_SIZE) == 0) {
      error = "entry without a size: " + name;
      return -2;
    }
    sizes[static_cast<size_t>(i)] = st.size;
    if (st.size > limits.max_total_bytes || total > limits.max_total_bytes - st.size)
      too_big = true;
    else
      total += st.size;
  }
  if (too_big) {
    error = "the archive unpacks to more than " + std::to_string(limits.max_total_bytes) +
            " bytes (NELT_UNPACK_MAX_BYTES)";
    return -2;
  }
  return 0;
}

// Refuses to unpack `total` bytes into `dest` unless they fit with the
// margin left free; 0, or -2 with `error` set.
int checkFreeSpace(const std::string& dest, uint64_t total, const UnpackLimits& limits,
                   std::string& error) {
  struct statvfs fs;
  if (statvfs(dest.c_str(), &fs) != 0) {
    error = "cannot read the free space of " + dest + ": " + std::strerror(errno);
    return -2;
  }
  const uint64_t free_bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  if (free_bytes < limits.free_margin_bytes || free_bytes - limits.free_margin_bytes < total) {
    error = "not enough free space: the archive unpacks to " + std::to_string(total) + " bytes, " +
            std::to_string(free_bytes) + " are free";
    return -2;
  }
  return 0;
}

// Writes every entry of a checked archive below `dest`, in archive order,
// stopping at the first failure; 0, or -1 with `error` set.
int extractEntries(zip_t* za, const std::string& password, const std::string& dest,
                   const std::vector<uint64_t>& sizes, const UnpackLimits& limits,
                   std::string& error) {
  if (!password.empty() && zip_set_default_password(za, password.c_str()) != 0) {
    error = "cannot set password";
    return -1;
  }
  const zip_int64_t count = static_cast<zip_int64_t>(sizes.size());
  std::vector<char> buf(1 << 20);
  int rc = 0;
  for (zip_int64_t i = 0; i < count && rc == 0; ++i) {
    const std::string raw(zip_get_name(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW));
    const std::string name = entryPath(raw);
    const std::string target = dest + "/" + name;
    if (name.empty() || raw.back() == '/') {
      if (makeDirs(target) != 0) {
        error = "cannot create folder " + target;
        rc = -1;
      }
      continue;
    }
    const std::string parent = parentOf(name);
    if (!parent.empty() && makeDirs(dest + "/" + parent) != 0) {
      error = "cannot create folder for " + target;
      rc = -1;
      break;
    }
    rc = writeEntry(za, static_cast<zip_uint64_t>(i), target, sizes[static_cast<size_t>(i)], buf,
                    limits.cancel, error);
  }
  return rc;
}

}  // namespace

int extractArchiveAt(const std::string& archive, int64_t offset, const std::string& password,
                     const std::string& dest, const UnpackLimits& limits, std::string& error) {
  if (offset < 0) {
    error = "cannot open archive: negative offset";
    return -1;
  }
  zip_t* za = openArchiveAt(archive, offset, error);
  if (za == nullptr) return -1;
  std::vector<uint64_t> sizes;
  uint64_t total = 0;
  int rc = checkEntries(za, archive, dest, limits, sizes, total, error);
  if (rc == 0) rc = checkFreeSpace(dest, total, limits, error);
  if (rc == 0) rc = extractEntries(za, password, dest, sizes, limits, error);
  zip_discard(za);
  return rc;
}

int makeStagingFolder(const std::string& dest, std::string& staging) {
  // mkdtemp creates the folder 0700: nobody else may look at or add to what
  // is unpacked ahead of the checks.
  std::string templ = dest + "/.unpack-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) return -1;
  staging = templ;
  return 0;
}

namespace {

// The central directory of `za` lists exactly `entries`, in order; 0, or -1
// with the first difference in `why`.
int sameEntries(zip_t* za, const std::vector<StreamedEntry>& entries, std::string& why) {
  const zip_int64_t count = zip_get_num_entries(za, 0);
  if (count < 0 || static_cast<uint64_t>(count) != entries.size()) {
    why = "the central directory lists " + std::to_string(count) + " entries, " +
          std::to_string(entries.size()) + " were unpacked";
    return -1;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    const StreamedEntry& e = entries[i];
    zip_stat_t st;
    zip_stat_init(&st);
    const zip_uint64_t index = static_cast<zip_uint64_t>(i);
    const bool same = zip_stat_index(za, index, ZIP_FL_ENC_RAW, &st) == 0 &&
                      (st.valid & ZIP_STAT_NAME) != 0 && e.name == st.name &&
                      (st.valid & ZIP_STAT_SIZE) != 0 && st.size == e.size &&
                      (st.valid & ZIP_STAT_COMP_SIZE) != 0 && st.comp_size == e.comp_size &&
                      (!e.crc_known || ((st.valid & ZIP_STAT_CRC) != 0 && st.crc == e.crc));
    if (!same) {
      why = "the central directory differs from the local header of entry " + std::to_string(i);
      return -1;
    }
  }
  return 0;
}

}  // namespace

int adoptStreamedEntries(const std::string& archive, int64_t offset, const std::string& dest,
                         const std::string& staging, const std::vector<StreamedEntry>& entries,
                         const UnpackLimits& limits, std::string& why) {
  int rc = -1;
  zip_t* za = offset >= 0 ? openArchiveAt(archive, offset, why) : nullptr;
  if (za != nullptr) {
    std::vector<uint64_t> sizes;
    uint64_t total = 0;
    rc = checkEntries(za, archive, dest, limits, sizes, total, why) == 0 ? 0 : -1;
    if (rc == 0) rc = sameEntries(za, entries, why);
    zip_discard(za);
  }
  // The entries already take their room; what the whole-archive unpack
  // would have kept free must still be free.
  if (rc == 0 && checkFreeSpace(dest, 0, limits, why) != 0) rc = -1;
  for (size_t i = 0; i < entries.size() && rc == 0; ++i) {
    const std::string rel = entryPath(entries[i].name);
    if (entries[i].folder) {
      if (makeDirs(dest + "/" + rel) != 0) {
        why = "cannot create folder " + rel;
        rc = -1;
      }
      continue;
    }
    const std::string parent = parentOf(rel);
    if ((!parent.empty() && makeDirs(dest + "/" + parent) != 0) ||
        ::rename((staging + "/" + rel).c_str(), (dest + "/" + rel).c_str()) != 0) {
      why = "cannot move " + rel + " into place";
      rc = -1;
    }
  }
  removeTree(staging);
  return rc;
}

bool readSnapMeta(const std::string& snap, std::string& name, std::string& version,
                  std::string& error) {
  // A snap.yaml is a few kilobytes; a snap whose "snap.yaml" streams on is
  // no snap. unsquashfs on a local file answers at once.
  constexpr size_t MAX_YAML = 64 * 1024;
  constexpr auto TIME_LIMIT = std::chrono::seconds(30);
  if (snap.empty() || snap[0] != '/') {
    error = "the snap path is not absolute";
    return false;
  }
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) {
    error = std::string("cannot run unsquashfs: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string a0 = "unsquashfs", a1 = "-cat", a2 = snap, a3 = "meta/snap.yaml";
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipefd[1]);
  if (rc != 0) {
    ::close(pipefd[0]);
    error = "cannot run unsquashfs (squashfs-tools)";
    return false;
  }
  std::string yaml;
  bool cut = false;
  const auto deadline = std::chrono::steady_clock::now() + TIME_LIMIT;
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    struct pollfd p = {pipefd[0], POLLIN, 0};
    const int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      cut = true;
      break;
    }
    const ssize_t n = ::read(pipefd[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    yaml.append(buf, static_cast<size_t>(n));
    if (yaml.size() > MAX_YAML) {
      cut = true;
      break;
    }
  }
  ::close(pipefd[0]);
  if (cut) ::kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (cut) {
    error = "the snap's meta/snap.yaml is too large or cannot be read in time";
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = WIFEXITED(status) && WEXITSTATUS(status) == 127
                ? "cannot run unsquashfs (squashfs-tools)"
                : "the snap file has no readable meta/snap.yaml";
    return false;
  }
  return snapYamlIdentity(yaml, name, version, error);
}

}  // namespace nelt
