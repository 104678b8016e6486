// The ".kavix" header reader and writer on hand-made bytes; the packer and
// the installer both build on them (their name and path rules are checked
// through both programs in the package tests).
#include "kavix_format.h"

#include <gtest/gtest.h>

#include <climits>

#include "test_support.h"

namespace nelt::test {
namespace {

using kavix::HeaderStatus;

std::string header(const std::string& name, std::uint32_t info_len, const std::string& info) {
  std::string h = "\xF0\xC0\x31\x06";
  kavix::appendLe16(h, static_cast<std::uint16_t>(name.size()));
  h += name;
  kavix::appendLe32(h, info_len);
  return h + info;
}

TEST(KavixFormat, HeaderLimits) {
  kavix::PackageHeader h;
  const auto decode = [&](const std::string& bytes) {
    return kavix::decodeHeader(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                               h);
  };
  const std::string info(20, 'i');
  std::string pkg = header("abcde", 20, info);
  pkg.resize(1024, 'z');
  ASSERT_EQ(decode(pkg), HeaderStatus::Ok);
  EXPECT_EQ(h.name, "abcde");
  EXPECT_EQ(h.payload_offset, 35u);
  EXPECT_EQ(decode(pkg.substr(0, 1023)), HeaderStatus::TooShort);

  std::string bad = pkg;
  bad[3] = '\x07';
  EXPECT_EQ(decode(bad), HeaderStatus::BadSignature);
  EXPECT_EQ(decode(header("", 20, info) + std::string(1024, 'z')), HeaderStatus::EmptyName);
  EXPECT_EQ(decode(header("abcde", 0x80000000u, info) + std::string(1024, 'z')),
            HeaderStatus::BadInfoLength);
  EXPECT_EQ(decode(header("abcde", 4097, info) + std::string(1024, 'z')),
            HeaderStatus::InfoTooLong);
  EXPECT_EQ(decode(header("abcde", 2000, info) + std::string(1000, 'z')),
            HeaderStatus::InfoTruncated);
  EXPECT_EQ(decode(header("abcde", 3, std::string("a\0b", 3)) + std::string(1024, 'z')),
            HeaderStatus::InfoHasNul);
  // A name that would put the info length outside the first block.
  std::string long_name = "\xF0\xC0\x31\x06";
  kavix::appendLe16(long_name, 1015);
  long_name.resize(4096, 'n');
  EXPECT_EQ(decode(long_name), HeaderStatus::NameTooLong);
  std::string longest = header(std::string(1014, 'n'), 1, "{") + std::string(100, 'z');
  EXPECT_EQ(decode(longest), HeaderStatus::Ok);

  std::string why;
  std::string out;
  EXPECT_FALSE(kavix::encodeHeader(std::string(1015, 'n'), "{}", out, why));
  EXPECT_FALSE(kavix::encodeHeader("n", std::string(4097, ' '), out, why));
  EXPECT_TRUE(kavix::encodeHeader("n", std::string(4096, ' '), out, why));
  EXPECT_EQ(out.size(), 10u + 1u + 4096u);

  const unsigned char bytes[4] = {0x00, 0x00, 0x00, 0x80};
  EXPECT_EQ(kavix::readLe32(bytes), INT32_MIN);
  EXPECT_EQ(kavix::readLe16(bytes + 2), 0x8000);
}

// Read from a file, the header keeps what it had read before a later check
// failed: the installer tells a package for another application by its name
// even when the rest of the header is damaged.
TEST(KavixFormat, FileReaderKeepsWhatItRead) {
  TempDir dir;
  const std::string path = dir.sub("p.kavix");
  kavix::PackageHeader h;
  EXPECT_EQ(kavix::readHeader(dir.sub("missing"), h), HeaderStatus::OpenFailed);

  std::string pkg = header("abcde", 7, std::string("{}\0junk", 7));
  pkg.resize(1024, 'z');
  writeFile(path, pkg);
  ASSERT_EQ(kavix::readHeader(path, h), HeaderStatus::InfoHasNul);
  EXPECT_EQ(h.name, "abcde");
  EXPECT_EQ(h.info, std::string("{}\0junk", 7));
  EXPECT_EQ(h.payload_offset, 22u);

  writeFile(path, header("other", 2000, "{}") + std::string(1024, 'z'));
  kavix::PackageHeader cut;
  EXPECT_EQ(kavix::readHeader(path, cut), HeaderStatus::InfoTruncated);
  EXPECT_EQ(cut.name, "other");
}

}  // namespace
}  // namespace nelt::test
