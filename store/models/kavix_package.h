// The ".kavix" package file: a small header (signature, application name,
// info document) in front of a password-protected zip archive that holds the
// snap file and its "kavix.json". Everything in a package comes from outside
// and is checked before it is used: lengths before reading, names before they
// become paths.
#pragma once

#include <cstdint>
#include <string>

namespace nelt {

// Bytes 0 to 3 of every package.
inline constexpr unsigned char KAVIX_SIGNATURE[4] = {0xF0, 0xC0, 0x31, 0x06};
// The header reader takes the signature, name length, name and info length
// from the first block; a file shorter than the block is no package.
inline constexpr int KAVIX_HEADER_BLOCK = 1024;
// The name and the info length must fit in the first block.
inline constexpr int KAVIX_MAX_NAME = KAVIX_HEADER_BLOCK - 10;
// Size of the info document buffer.
inline constexpr int KAVIX_MAX_INFO = 4096;

// Little-endian integers assembled byte by byte, independent of the host.
int litend16(const unsigned char* lit);
int litend32(const unsigned char* lit);

// Last non-empty component of a "/"-separated path; empty when there is none.
std::string lastPathComponent(const std::string& path);

// Snap names: lower-case letters, digits and hyphens, 1 to 40 characters, no
// hyphen at either end or twice in a row, at least one letter. A name that
// passes is safe as a folder name and cannot be taken for an option.
bool isValidSnapName(const std::string& name);

// A relative path that stays inside the folder it is joined to: not empty,
// not absolute, no ".." component, no zero byte.
bool isContainedRelativePath(const std::string& path);

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
// anything is written when an entry is absolute, climbs out with "..", is a
// symbolic link, or would overwrite the archive itself. A wrong password or a
// damaged entry fails the extraction. 0 on success, -1 on failure, with the
// reason in `error` (never the password).
int extractArchive(const std::string& archive, const std::string& password, const std::string& dest,
                   std::string& error);

}  // namespace nelt
