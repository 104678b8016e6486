// Building ".kavix" packages: the snap and its "kavix.json" go into a
// password-protected zip archive behind the package header, and the result is
// read back and checked before it replaces the output file.
#pragma once

#include <cstdint>
#include <string>

namespace nelt::kavix {

struct PackRequest {
  std::string snap_path;         // the snap file (a squashfs image)
  std::string kavix_json_path;   // the application's metadata file
  std::string slug;              // the store's identifier; becomes the header's name
  std::string info;              // the info document, as written into the header
  std::string password;          // archive password (empty only without encryption)
  std::uint16_t encryption = 0;  // libzip ZIP_EM_* method
  std::string output;            // the package to write
};

// Parses an encryption name ("aes256", "aes192", "aes128", "zipcrypto",
// "none"); false for an unknown name.
bool parseEncryption(const std::string& name, std::uint16_t& method);
const char* encryptionName(std::uint16_t method);

// Finds the package key of `slug` in a keys file (JSON): either an object
// mapping slugs to keys (a string, or an object with "key"), optionally under
// "keys", or an array of {"slug": ..., "key": ...}.
bool keyFromKeysFile(const std::string& path, const std::string& slug, std::string& key,
                     std::string& why);

// Checks the request (slug, info document, metadata file, snap image) and
// writes the package. Returns 0 on success; otherwise -1 with the reason in
// `why`, and the output file is left as it was. `summary` describes the
// written package (never the password).
int buildPackage(const PackRequest& req, std::string& summary, std::string& why);

// Reads a written package back: header fields, size, the archive opened with
// the password, every entry decrypted (CRC checked) and compared with its
// source file. Returns 0 when everything matches.
int verifyPackage(const std::string& package, const PackRequest& req, std::string& why);

}  // namespace nelt::kavix
