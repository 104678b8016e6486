#include "kavix_format.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace nelt::kavix {

const char* headerStatusText(HeaderStatus status) {
  switch (status) {
    case HeaderStatus::Ok:
      return "ok";
    case HeaderStatus::OpenFailed:
      return "cannot open the package";
    case HeaderStatus::TooShort:
      return "the package is shorter than 1024 bytes";
    case HeaderStatus::BadSignature:
      return "wrong signature";
    case HeaderStatus::EmptyName:
      return "empty application name";
    case HeaderStatus::NameTooLong:
      return "application name longer than 1014 bytes";
    case HeaderStatus::BadInfoLength:
      return "info length is not positive";
    case HeaderStatus::InfoTooLong:
      return "info document longer than 4096 bytes";
    case HeaderStatus::InfoTruncated:
      return "the package ends inside the info document";
    case HeaderStatus::InfoHasNul:
      return "the info document contains a zero byte";
  }
  return "unknown";
}

std::uint16_t readLe16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::int32_t readLe32(const unsigned char* p) {
  const std::uint32_t v =
      static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
      (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  std::int32_t out;
  std::memcpy(&out, &v, sizeof out);  // two's complement reinterpretation, no overflow
  return out;
}

void appendLe16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void appendLe32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

bool encodeHeader(const std::string& name, const std::string& info, std::string& out,
                  std::string& why) {
  if (name.empty()) {
    why = "the application name is empty";
    return false;
  }
  if (name.size() > kMaxNameLength) {
    why = "the application name is longer than " + std::to_string(kMaxNameLength) + " bytes";
    return false;
  }
  if (info.empty()) {
    why = "the info document is empty";
    return false;
  }
  if (info.size() > kMaxInfoLength) {
    why = "the info document is " + std::to_string(info.size()) + " bytes, more than " +
          std::to_string(kMaxInfoLength);
    return false;
  }
  if (info.find('\0') != std::string::npos) {
    why = "the info document contains a zero byte";
    return false;
  }
  out.clear();
  out.append(reinterpret_cast<const char*>(kSignature), sizeof kSignature);
  appendLe16(out, static_cast<std::uint16_t>(name.size()));
  out += name;
  appendLe32(out, static_cast<std::uint32_t>(info.size()));
  out += info;
  return true;
}

namespace {

// Checks the fixed part that lives in the first block; fills name, the info
// length and where the info starts.
HeaderStatus decodeFirstBlock(const unsigned char* block, std::size_t size, PackageHeader& out,
                              std::int32_t& info_len) {
  if (size < kFirstBlockSize) return HeaderStatus::TooShort;
  if (std::memcmp(block, kSignature, sizeof kSignature) != 0) return HeaderStatus::BadSignature;
  const std::size_t name_len = readLe16(block + 4);
  if (name_len < 1) return HeaderStatus::EmptyName;
  if (name_len > kMaxNameLength) return HeaderStatus::NameTooLong;
  info_len = readLe32(block + 6 + name_len);
  if (info_len <= 0) return HeaderStatus::BadInfoLength;
  if (static_cast<std::size_t>(info_len) > kMaxInfoLength) return HeaderStatus::InfoTooLong;
  out.name.assign(reinterpret_cast<const char*>(block + 6), name_len);
  out.payload_offset = 10 + name_len + static_cast<std::uint64_t>(info_len);
  return HeaderStatus::Ok;
}

HeaderStatus finishInfo(std::string info, PackageHeader& out) {
  if (info.find('\0') != std::string::npos) return HeaderStatus::InfoHasNul;
  out.info = std::move(info);
  return HeaderStatus::Ok;
}

}  // namespace

HeaderStatus decodeHeader(const unsigned char* data, std::size_t size, PackageHeader& out) {
  PackageHeader h;
  std::int32_t info_len = 0;
  HeaderStatus st = decodeFirstBlock(data, size, h, info_len);
  if (st != HeaderStatus::Ok) return st;
  const std::size_t info_at = 10 + h.name.size();
  if (size - info_at < static_cast<std::size_t>(info_len)) return HeaderStatus::InfoTruncated;
  st = finishInfo(std::string(reinterpret_cast<const char*>(data + info_at),
                              static_cast<std::size_t>(info_len)),
                  h);
  if (st == HeaderStatus::Ok) out = std::move(h);
  return st;
}

HeaderStatus readHeader(const std::string& path, PackageHeader& out) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) return HeaderStatus::OpenFailed;
  unsigned char block[kFirstBlockSize];
  const std::size_t got = std::fread(block, 1, sizeof block, f.get());
  PackageHeader h;
  std::int32_t info_len = 0;
  HeaderStatus st = decodeFirstBlock(block, got, h, info_len);
  if (st != HeaderStatus::Ok) return st;
  const long info_at = static_cast<long>(10 + h.name.size());
  if (std::fseek(f.get(), info_at, SEEK_SET) != 0) return HeaderStatus::InfoTruncated;
  std::string info(static_cast<std::size_t>(info_len), '\0');
  if (std::fread(info.data(), 1, info.size(), f.get()) != info.size()) {
    return HeaderStatus::InfoTruncated;
  }
  st = finishInfo(std::move(info), h);
  if (st == HeaderStatus::Ok) out = std::move(h);
  return st;
}

bool isValidSnapName(const std::string& name) {
  if (name.empty() || name.size() > 40) return false;
  bool has_letter = false;
  char prev = '-';  // so a leading hyphen counts as a double one
  for (char c : name) {
    const bool lower = c >= 'a' && c <= 'z';
    const bool digit = c >= '0' && c <= '9';
    if (c == '-') {
      if (prev == '-') return false;
    } else if (!lower && !digit) {
      return false;
    }
    has_letter = has_letter || lower;
    prev = c;
  }
  return prev != '-' && has_letter;
}

bool isSafeRelativePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string part =
        path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) {
      return false;
    }
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

}  // namespace nelt::kavix
