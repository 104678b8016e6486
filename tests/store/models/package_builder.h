// Builds ".kavix" packages for tests: headers of any shape (also broken ones),
// zip payloads made by Info-ZIP (`zip -P`, traditional encryption) or by
// libzip (AES, or entries a packer would never write), and real squashfs
// snaps that the `snap` stand-in installs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nelt::test {

// Header bytes: signature, name length, name, info length, info.
std::string kavixHeader(const std::string& name, const std::string& info,
                        const unsigned char signature[4] = nullptr);
// 2 and 4 byte little-endian fields, for hand-made broken headers.
std::string le16(unsigned v);
std::string le32(uint32_t v);

struct ZipEntry {
  std::string name;
  std::string data;
  bool symlink = false;
};

// Info-ZIP `zip -P` with traditional encryption; entries are written from
// files in `dir` and stored under their names (no folders). Returns the
// archive bytes, empty on failure.
std::string infoZipArchive(const std::string& dir, const std::vector<ZipEntry>& entries,
                           const std::string& password);
// libzip with AES-256 (or no encryption when `password` is empty); any entry
// names, also absolute or climbing ones.
std::string libzipArchive(const std::string& dir, const std::vector<ZipEntry>& entries,
                          const std::string& password, bool aes = true);

// The zip archive `zip` with the uncompressed size of its entry `name` (in
// the local header and the central directory) replaced by `size`: an archive
// that announces less than it unpacks to.
std::string withAnnouncedSize(std::string zip, const std::string& name, uint32_t size);

// A squashfs snap with meta/snap.yaml declaring `name`, `version`, an app
// `name` whose command writes "launched NAME VERSION" to $NELT_LAUNCH_MARKER
// and an app "abc" (listed first by `snap info`, which sorts by app name)
// writing "launched NAME.abc VERSION", plus `filler` incompressible bytes. Returns the snap file
// path (in `dir`), empty on failure.
std::string makeSnap(const std::string& dir, const std::string& name, const std::string& version,
                     size_t filler = 0);

// kavix.json as the packer writes it (without "slug").
std::string kavixJson(const std::string& name, const std::string& long_name,
                      const std::string& version);

// Bytes that do not compress (so packages keep their size).
std::string randomBytes(size_t n, unsigned seed = 1);

// Writes `shelf`/SLUG/VERSION.kavix as the store server hands it out: the
// snap `slug` at `version` (made in `scratch`) locked with `key`, with its
// kavix.json when `with_meta`.
bool writeShelfPackage(const std::string& shelf, const std::string& scratch,
                       const std::string& slug, const std::string& version, const std::string& key,
                       bool with_meta);

// Writes header + payload to `path`.
bool writeKavix(const std::string& path, const std::string& slug, const std::string& info,
                const std::string& payload);

}  // namespace nelt::test
