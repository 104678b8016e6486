// The package files the server hands out: FOLDER/SLUG/VERSION.kavix.
#pragma once

#include <cstdint>
#include <string>

namespace nelt::store_server {

class PackageShelf {
 public:
  explicit PackageShelf(std::string folder) : folder_(std::move(folder)) {}

  const std::string& folder() const { return folder_; }

  // Path and size of the package of `slug` in `version`. False when either
  // name could step out of the folder (see isValidVersion) or the file is
  // not a regular file.
  bool find(const std::string& slug, const std::string& version, std::string& path,
            uint64_t& size) const;

  // The highest version present for `slug` (numeric comparison of the dotted
  // parts); empty when there is none.
  std::string newestVersion(const std::string& slug) const;

  // Letters, digits, ".", "_", "-", "+" and "~", not starting with ".",
  // at most 64 bytes.
  static bool isValidVersion(const std::string& version);

  // -1, 0 or 1 as `a` is older than, equal to or newer than `b`; dotted
  // parts compare as numbers where both are numbers, as text otherwise.
  static int compareVersions(const std::string& a, const std::string& b);

 private:
  std::string folder_;
};

}  // namespace nelt::store_server
