// Version texts of installed and store applications.
#include <gtest/gtest.h>

#include "utils.h"

namespace {

std::vector<int> parse(const std::string& v, int* rc = nullptr) {
  std::vector<int> out;
  const int r = parserVersion(v, out);
  if (rc != nullptr) *rc = r;
  return out;
}

TEST(ParserVersion, ComponentsReadLikeAtoi) {
  int rc = 0;
  EXPECT_EQ(parse("1.2.3", &rc), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(rc, 3);
  EXPECT_EQ(parse("1.0-beta", &rc), (std::vector<int>{1, 0}));
  EXPECT_EQ(parse("rel2.1"), (std::vector<int>{0, 1}));
  EXPECT_EQ(parse("1..2", &rc), (std::vector<int>{1, 2}));
  EXPECT_EQ(rc, 2);
  EXPECT_EQ(parse("10", &rc), (std::vector<int>{10}));
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(parse("...", &rc).empty());
  EXPECT_EQ(rc, 0);
  parse("0.", &rc);
  EXPECT_LT(rc, 0);
  EXPECT_EQ(parse("5.", &rc), (std::vector<int>{5}));
  EXPECT_EQ(rc, 1);
}

TEST(CompareVersion, NumbersNotText) {
  EXPECT_EQ(compareVersion("1.2.3", "1.2.4"), 2);
  EXPECT_EQ(compareVersion("1.2.4", "1.2.3"), 1);
  EXPECT_EQ(compareVersion("1.2.3", "1.2.3"), 0);
  EXPECT_EQ(compareVersion("1.2.10", "1.2.9"), 1);
  EXPECT_EQ(compareVersion("2", "10"), 2);
  EXPECT_EQ(compareVersion("1.2.0", "1.3.0"), 2);
}

// Versions of different length compare with the missing components as zero,
// and a pre-release comes before its release.
TEST(CompareVersion, DifferentLengthsAndPreReleases) {
  EXPECT_EQ(compareVersion("1.2", "1.3.0"), 2);
  EXPECT_EQ(compareVersion("1.3.0", "1.2"), 1);
  EXPECT_EQ(compareVersion("1.2", "1.2.0"), 0);
  EXPECT_EQ(compareVersion("1.2.0.1", "1.2"), 1);
  EXPECT_EQ(compareVersion("2", "1.9.9"), 1);
  EXPECT_EQ(compareVersion("1.0.0-RC1", "1.0.0"), 2);
  EXPECT_EQ(compareVersion("1.0.0", "1.0.0-RC1"), 1);
  EXPECT_EQ(compareVersion("1.0-beta", "1.0"), 2);
  EXPECT_EQ(compareVersion("1.0.0-rc2", "1.0.0-RC10"), 2);
  EXPECT_EQ(compareVersion("1.0.0-rc1", "1.0.0-RC1"), 0);
  EXPECT_EQ(compareVersion("1.0.0-rc1", "0.9"), 1);
  // A numeric suffix is a packaging revision, not a pre-release.
  EXPECT_EQ(compareVersion("1.2.3-1", "1.2.3"), 0);
}

TEST(CompareVersion, IncomparableVersions) {
  EXPECT_EQ(compareVersion("0.", "1.0"), -1);
  EXPECT_EQ(compareVersion("1.0", "0."), -1);
  EXPECT_EQ(compareVersion("", "1.0"), -1);
  EXPECT_EQ(compareVersion("1.0", ""), -1);
}

}  // namespace
