#include "kavix_format.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
  if (name.size() > MAX_NAME_LENGTH) {
    why = "the application name is longer than " + std::to_string(MAX_NAME_LENGTH) + " bytes";
    return false;
  }
  if (info.empty()) {
    why = "the info document is empty";
    return false;
  }
  if (info.size() > MAX_INFO_LENGTH) {
    why = "the info document is " + std::to_string(info.size()) + " bytes, more than " +
          std::to_string(MAX_INFO_LENGTH);
    return false;
  }
  if (info.find('\0') != std::string::npos) {
    why = "the info document contains a zero byte";
    return false;
  }
  out.clear();
  out.append(reinterpret_cast<const char*>(SIGNATURE), sizeof SIGNATURE);
  appendLe16(out, static_cast<std::uint16_t>(name.size()));
  out += name;
  appendLe32(out, static_cast<std::uint32_t>(info.size()));
  out += info;
  return true;
}

namespace {

// Checks the fixed part that lives in the first block; fills the name, the
// info length and where the payload starts, each once it has passed.
HeaderStatus decodeFirstBlock(const unsigned char* block, std::size_t size,
                              const unsigned char* signature, PackageHeader& out,
                              std::int32_t& info_len) {
  if (size < FIRST_BLOCK_SIZE) return HeaderStatus::TooShort;
  if (std::memcmp(block, signature, sizeof SIGNATURE) != 0) return HeaderStatus::BadSignature;
  const std::size_t name_len = readLe16(block + 4);
  if (name_len < 1) return HeaderStatus::EmptyName;
  if (name_len > MAX_NAME_LENGTH) return HeaderStatus::NameTooLong;
  out.name.assign(reinterpret_cast<const char*>(block + 6), name_len);
  info_len = readLe32(block + 6 + name_len);
  if (info_len <= 0) return HeaderStatus::BadInfoLength;
  if (static_cast<std::size_t>(info_len) > MAX_INFO_LENGTH) return HeaderStatus::InfoTooLong;
  out.payload_offset = 10 + name_len + static_cast<std::uint64_t>(info_len);
  return HeaderStatus::Ok;
}

HeaderStatus finishInfo(std::string info, PackageHeader& out) {
  const bool has_nul = info.find('\0') != std::string::npos;
  out.info = std::move(info);
  return has_nul ? HeaderStatus::InfoHasNul : HeaderStatus::Ok;
}

// Reads up to `size` bytes at `offset`, retrying short reads; the count read.
std::size_t readAt(int fd, unsigned char* data, std::size_t size, off_t offset) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, data + got, size - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace

HeaderStatus decodeHeader(const unsigned char* data, std::size_t size, PackageHeader& out) {
  PackageHeader h;
  std::int32_t info_len = 0;
  HeaderStatus st = decodeFirstBlock(data, size, SIGNATURE, h, info_len);
  if (st != HeaderStatus::Ok) return st;
  const std::size_t info_at = 10 + h.name.size();
  if (size - info_at < static_cast<std::size_t>(info_len)) return HeaderStatus::InfoTruncated;
  st = finishInfo(std::string(reinterpret_cast<const char*>(data + info_at),
                              static_cast<std::size_t>(info_len)),
                  h);
  if (st == HeaderStatus::Ok) out = std::move(h);
  return st;
}

HeaderStatus readHeader(const std::string& path, PackageHeader& out,
                        const unsigned char* signature) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return HeaderStatus::OpenFailed;
  unsigned char block[FIRST_BLOCK_SIZE];
  const std::size_t got = readAt(fd, block, sizeof block, 0);
  std::int32_t info_len = 0;
  HeaderStatus st = decodeFirstBlock(block, got, signature, out, info_len);
  if (st == HeaderStatus::Ok) {
    std::string info(static_cast<std::size_t>(info_len), '\0');
    const off_t info_at = static_cast<off_t>(10 + out.name.size());
    if (readAt(fd, reinterpret_cast<unsigned char*>(info.data()), info.size(), info_at) !=
        info.size()) {
      st = HeaderStatus::InfoTruncated;
    } else {
      st = finishInfo(std::move(info), out);
    }
  }
  ::close(fd);
  return st;
}

}  // namespace nelt::kavix

namespace nelt {

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

std::string snapYamlValue(const std::string& yaml, const std::string& key) {
  std::size_t pos = 0;
  while (pos < yaml.size()) {
    std::size_t end = yaml.find('\n', pos);
    if (end == std::string::npos) end = yaml.size();
    std::string line = yaml.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, key.size() + 1, key + ":") != 0) continue;
    std::string v = line.substr(key.size() + 1);
    const std::size_t b = v.find_first_not_of(" \t");
    const std::size_t e = v.find_last_not_of(" \t");
    v = b == std::string::npos ? "" : v.substr(b, e - b + 1);
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
      v = v.substr(1, v.size() - 2);
    return v;
  }
  return "";
}

bool checkKavixMeta(const std::string& text, rapidjson::Document& doc, std::string& error) {
  doc.SetObject();
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) {
    error = "kavix.json is not a JSON object";
    return false;
  }
  // The store lists these values; they travel in one line of JSON.
  for (const char* key : {"name", "long-name", "version"}) {
    auto it = doc.FindMember(key);
    bool usable = it != doc.MemberEnd() && it->value.IsString() &&
                  it->value.GetStringLength() > 0 && it->value.GetStringLength() <= 256;
    if (usable) {
      for (rapidjson::SizeType i = 0; i < it->value.GetStringLength(); ++i) {
        const auto c = static_cast<unsigned char>(it->value.GetString()[i]);
        if (c < 0x20 || c == 0x7f) usable = false;
      }
    }
    if (!usable) {
      error = std::string("kavix.json has no usable \"") + key + "\"";
      return false;
    }
  }
  return true;
}

}  // namespace nelt
