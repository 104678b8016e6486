// The store search's text matching: case folding over Vietnamese letters,
// searches typed without diacritics, and invalid UTF-8.
#include "text_match.h"

#include <gtest/gtest.h>

namespace nelt::store_server {
namespace {

TEST(TextMatch, FoldsVietnameseCapitals) {
  EXPECT_EQ(foldCase("ĐỒNG HỒ Bấm GIỜ"), "đồng hồ bấm giờ");
  EXPECT_EQ(foldCase("ƠƯĂÂÊÔ ỲÝỶỸỴ À"), "ơưăâêô ỳýỷỹỵ à");
  EXPECT_EQ(foldCase("ABC xyz 123 ×"), "abc xyz 123 ×");
  // Invalid bytes pass through untouched.
  EXPECT_EQ(foldCase(std::string("A\xC3(B\xFF", 5)), std::string("a\xC3(b\xFF", 5));
}

TEST(TextMatch, StripsMarksForPlainSearches) {
  EXPECT_EQ(stripMarks("Đọc sách Tiếng Việt"), "doc sach tieng viet");
  // Decomposed text (base letter and combining marks) gives the same.
  EXPECT_EQ(stripMarks("Vie\xCC\x82\xCC\xA3t"), "viet");
  EXPECT_TRUE(textContains("Từ điển Anh - Việt", "TU DIEN"));
  EXPECT_TRUE(textContains("Từ điển Anh - Việt", "ĐIỂN"));
  // With diacritics typed, they must match: "tư" is not "từ".
  EXPECT_FALSE(textContains("Từ điển", "tư điển"));
  EXPECT_TRUE(textContains("anything", ""));
  EXPECT_FALSE(textContains("Máy tính", "may tinh 2"));
}

TEST(TextMatch, ValidUtf8ReplacesBrokenSequences) {
  EXPECT_EQ(validUtf8("Việt"), "Việt");
  EXPECT_EQ(validUtf8(std::string("a\xC0\xAF"
                                  "b",
                                  4)),
            "a\xEF\xBF\xBD\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(validUtf8(std::string("\xED\xA0\x80", 3)), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(validUtf8(std::string("x\xE1\xBB", 3)), "x\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace nelt::store_server
