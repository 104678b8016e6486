// The ".kavix" package header: writing it and reading it back.
//
// A package is a small header followed by a password-protected zip archive:
//
//   offset 0       4 bytes   signature F0 C0 31 06
//   offset 4       2 bytes   name length N (little-endian, at least 1)
//   offset 6       N bytes   application name (the store slug)
//   offset 6+N     4 bytes   info length M (little-endian, signed, above 0)
//   offset 10+N    M bytes   info document (JSON object, no NUL byte)
//   offset 10+N+M  ...       zip archive (the payload)
//
// Readers take the signature, the name and the info length from the first
// 1024-byte block, and read the info into a 4096-byte buffer. So a package is
// at least 1024 bytes long, a name at most 1014 bytes and an info document at
// most 4096 bytes.
//
// The packer and the installer both use this file, so a package one of them
// accepts is one the other accepts too: the header, the snap name and the
// snap's path inside the archive follow the same rules on both sides.
#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace nelt::kavix {

constexpr unsigned char SIGNATURE[4] = {0xF0, 0xC0, 0x31, 0x06};
// Size of the block every reader reads first; also the smallest package.
constexpr std::size_t FIRST_BLOCK_SIZE = 1024;
// The signature, the two lengths and the name must fit in the first block.
constexpr std::size_t MAX_NAME_LENGTH = FIRST_BLOCK_SIZE - 10;
constexpr std::size_t MAX_INFO_LENGTH = 4096;

enum class HeaderStatus {
  Ok,
  OpenFailed,     // the file cannot be opened
  TooShort,       // fewer than 1024 bytes
  BadSignature,   // the first four bytes are not the signature
  EmptyName,      // name length 0
  NameTooLong,    // name length above 1014: the header would leave the first block
  BadInfoLength,  // info length 0 or negative
  InfoTooLong,    // info length above 4096
  InfoTruncated,  // the file ends inside the info document
  InfoHasNul,     // the info document contains a zero byte
};

const char* headerStatusText(HeaderStatus status);

struct PackageHeader {
  std::string name;
  std::string info;
  std::uint64_t payload_offset = 0;  // 10 + N + M
};

// Little-endian helpers, byte by byte, independent of the host's byte order.
std::uint16_t readLe16(const unsigned char* p);
std::int32_t readLe32(const unsigned char* p);
void appendLe16(std::string& out, std::uint16_t value);
void appendLe32(std::string& out, std::uint32_t value);

// Builds the header bytes for `name` and `info`. Returns false (with the
// reason in `why`) when they break the limits above.
bool encodeHeader(const std::string& name, const std::string& info, std::string& out,
                  std::string& why);

// Decodes a header from the first `size` bytes of a package (the first block
// and whatever follows it that is at hand). Never reads past `size`.
HeaderStatus decodeHeader(const unsigned char* data, std::size_t size, PackageHeader& out);

// Reads a package header from a file the way the installer does: the first
// 1024 bytes, then the info document from offset 10 + N. `signature` is what
// the first four bytes must be. `out` is filled as far as the reading got:
// the name once it has passed its checks (so a caller can still tell a
// package for another application by its name when a later check fails),
// payload_offset with the info length, and the info document as read, even
// when it holds a zero byte.
HeaderStatus readHeader(const std::string& path, PackageHeader& out,
                        const unsigned char* signature = SIGNATURE);

}  // namespace nelt::kavix

namespace nelt {

// Snap names: lower-case letters, digits and single inner hyphens, at least
// one letter, at most 40 bytes. A valid name is safe as one path component
// and cannot be taken for an option.
bool isValidSnapName(const std::string& name);

// A relative path that stays inside the folder it is joined to and names one
// file there in one way only: not empty, no leading "/", every component
// safe (no "", ".", ".." or NUL), so no trailing "/" either.
bool isSafeRelativePath(const std::string& path);

// Largest "kavix.json" read anywhere; real ones are a few hundred bytes.
inline constexpr std::size_t KAVIX_MAX_META_BYTES = 64 * 1024;

// Checks the text of a "kavix.json" the way the service will read it: a JSON
// object whose "name", "long-name" and "version" are short one-line strings.
// Fills `doc` with the parsed object; false with the reason in `error`.
bool checkKavixMeta(const std::string& text, rapidjson::Document& doc, std::string& error);

// The top-level "key: value" of a meta/snap.yaml text, quotes removed; empty
// when the key is missing.
std::string snapYamlValue(const std::string& yaml, const std::string& key);

}  // namespace nelt
