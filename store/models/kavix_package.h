// The ".kavix" package file: a small header (signature, application name,
// info document) in front of a password-protected zip archive that holds the
// snap file and its "kavix.json". Everything in a package comes from outside
// and is checked before it is used: lengths before reading, names before they
// become paths.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "kavix_format.h"

namespace nelt {

// Last non-empty component of a "/"-separated path; empty when there is none.
std::string lastPathComponent(const std::string& path);

// Reads and checks the header of the package at `path` for the application
// `slug`. On success `info` holds the info document text and the result is
// the header size (the offset of the archive). -1 on any failure; the cause
// goes to the debug log with the messages the window has always used.
int readPackageHeader(const std::string& path, const unsigned char signature[4],
                      const std::string& slug, std::string& info);

// Copies everything from `offset` to the end of `src` into `dst` (created or
// truncated). 0 on success; -1 when `src` cannot be opened, -2 when `dst`
// cannot be created, -3 on a read or write error.
int copyFileTail(const std::string& src, int64_t offset, const std::string& dst);

// Extracts the zip archive `archive` into the folder `dest` with `password`
// (traditional zip encryption or AES). The whole archive is refused before
// anything is written when an entry's name is not a safe relative path (a
// folder entry may end in one "/"), is a symbolic link, or would overwrite
// the archive itself. A wrong password or a damaged entry fails the
// extraction. 0 on success, -1 on failure, -2 when the archive was refused
// before anything was written; the reason is in `error` (never the password).
int extractArchive(const std::string& archive, const std::string& password, const std::string& dest,
                   std::string& error);

// What one package may unpack to. A package holds a snap, its "kavix.json"
// and perhaps a few folders; anything much larger is a mistake or an attack
// on the disk, and is refused before a byte is written.
struct UnpackLimits {
  uint64_t max_entries = 32;
  // Sum of the uncompressed sizes the archive announces.
  uint64_t max_total_bytes = uint64_t{4} << 30;
  // Kept free on the file system of the unpack folder.
  uint64_t free_margin_bytes = uint64_t{256} << 20;
  // When set and true, the extraction stops at its next piece (about 1 MB)
  // and fails with the reason "cancelled".
  const std::atomic<bool>* cancel = nullptr;
};

// The defaults, with NELT_UNPACK_MAX_BYTES and NELT_UNPACK_FREE_MARGIN (plain
// byte counts) taking their place when set to a number.
UnpackLimits unpackLimitsFromEnv();

// As above, and also refused before anything is written: more entries than
// `limits.max_entries`, an announced total above `limits.max_total_bytes` or
// above the free space of `dest`'s file system minus the margin. An entry
// that turns out longer than announced stops the extraction at that point.
int extractArchive(const std::string& archive, const std::string& password, const std::string& dest,
                   const UnpackLimits& limits, std::string& error);

// As above for an archive that starts `offset` bytes into the file `archive`
// and runs to its end (a package: header, then archive). It is read in place,
// so nothing is copied out first.
int extractArchiveAt(const std::string& archive, int64_t offset, const std::string& password,
                     const std::string& dest, const UnpackLimits& limits, std::string& error);

// Reads meta/snap.yaml out of the squashfs snap file at `snap` (with
// `unsquashfs -cat`, an argument vector, its output capped) and gives its
// "name" and "version". false with the reason in `error` when the file is no
// readable snap.
bool readSnapMeta(const std::string& snap, std::string& name, std::string& version,
                  std::string& error);

}  // namespace nelt
