// The ".kavix" package file: a small header (signature, application name,
// info document) in front of a password-protected zip archive that holds the
// snap file and its "kavix.json". Everything in a package comes from outside
// and is checked before it is used: lengths before reading, names before they
// become paths.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

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

// The name rules every archive entry passes before anything is written for
// it: a safe relative path (a folder entry may end in one "/") that is not
// `self`, the archive's own name in the unpack folder (empty when the
// archive lies elsewhere). false with the reason in `error`.
bool entryNameAllowed(const std::string& raw, const std::string& self, std::string& error);

// The name of the file `archive` inside the folder `dest`; empty when it does
// not lie directly in `dest`.
std::string archiveNameIn(const std::string& archive, const std::string& dest);

// One entry unpacked ahead of the archive's central directory.
struct StreamedEntry {
  std::string name;  // as its local header gives it
  bool folder = false;
  uint64_t size = 0;       // bytes written
  uint64_t comp_size = 0;  // bytes it took in the archive, encryption included
  uint32_t crc = 0;        // CRC-32 of the bytes written
  bool crc_known = true;   // false for WinZip AE-2 entries, whose CRC field is 0
};

// Makes a private (0700) staging folder inside `dest` for entries unpacked
// ahead of the central directory. 0 with its path, -1.
int makeStagingFolder(const std::string& dest, std::string& staging);

// Moves entries unpacked into `staging` ahead of time into `dest`, once the
// complete archive (at `offset` in the file `archive`) confirms them: it
// passes every check `extractArchiveAt` makes before writing, and its central
// directory lists exactly `entries`, in that order, with the same names,
// sizes, compressed sizes and CRCs. 0 when they were moved; -1 (reason in
// `why`) when they were not, and the caller unpacks the archive the ordinary
// way. The staging folder is removed in both cases.
int adoptStreamedEntries(const std::string& archive, int64_t offset, const std::string& dest,
                         const std::string& staging, const std::vector<StreamedEntry>& entries,
                         const UnpackLimits& limits, std::string& why);

// Reads meta/snap.yaml out of the squashfs snap file at `snap` (with
// `unsquashfs -cat`, an argument vector, its output capped) and gives its
// "name" and "version". false with the reason in `error` when the file is no
// readable snap.
bool readSnapMeta(const std::string& snap, std::string& name, std::string& version,
                  std::string& error);

}  // namespace nelt
