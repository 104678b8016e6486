// The one cleaner every text from outside goes through before a person sees
// it, in the window and on a terminal.
#include "display_text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using nelt::displayText;

namespace {

const std::string FFFD = "\xEF\xBF\xBD";

// True when `s` is well-formed UTF-8 with no control character but "\n".
bool cleanUtf8(const std::string& s) {
  // A clean text goes through unchanged; only a line feed may be below 0x20.
  if (displayText(s, true) != s) return false;
  for (unsigned char c : s)
    if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
  return true;
}

TEST(DisplayText, KeepsOrdinaryTextByteForByte) {
  const std::string texts[] = {
      "Xin chào Nelt",
      "Tiếng Việt có dấu: ắ ặ ổ ữ ỹ Đ đ",
      // The same letters with combining tone marks (decomposed).
      "Vie\xCC\xA3\xCC\x82t Nam",
      "Emoji \xF0\x9F\x98\x80 and U+10FFFF \xF4\x8F\xBF\xBF",
      "<b>x</b> & \"quotes\" 'single'",
      // Neighbours of the replaced ranges stay: U+200F (a mark, not an
      // override), U+2029, U+202F, U+2065, U+206A, U+00A0.
      "\xE2\x80\x8F \xE2\x80\xA9 \xE2\x80\xAF \xE2\x81\xA5 \xE2\x81\xAA \xC2\xA0",
      "",
  };
  for (const std::string& t : texts) {
    EXPECT_EQ(displayText(t), t);
    EXPECT_EQ(displayText(t, true), t);
  }
}

TEST(DisplayText, ReplacesControlsBidiOverridesAndBrokenUtf8) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      // Terminal controls: ESC, BEL, SOH, NUL inside, backspace, DEL.
      {"a\x1B[31mred\x07", "a" + FFFD + "[31mred" + FFFD},
      {std::string("x\x01y\0z\x08w\x7F", 8), "x" + FFFD + "y" + FFFD + "z" + FFFD + "w" + FFFD},
      // C1 controls written as UTF-8 (U+009B is the one-character CSI) and
      // as raw bytes.
      {"\xC2\x9B"
       "2J\xC2\x85\xC2\x80\xC2\x9F",
       FFFD + "2J" + FFFD + FFFD + FFFD},
      {"\x9B"
       "2J",
       FFFD + "2J"},
      // Every bidirectional embedding, override and isolate.
      {"\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD\xE2\x80\xAE",
       FFFD + FFFD + FFFD + FFFD + FFFD},
      {"abc\xE2\x81\xA6\xE2\x81\xA7\xE2\x81\xA8\xE2\x81\xA9", "abc" + FFFD + FFFD + FFFD + FFFD},
      {"invoice\xE2\x80\xAEgpj.exe", "invoice" + FFFD + "gpj.exe"},
      // Overlong forms, surrogates, past U+10FFFF, stray and cut-off bytes:
      // one replacement per byte, the text around them kept.
      {"a\xC0\x80"
       "b",
       "a" + FFFD + FFFD + "b"},
      {"\xE0\x80\xAF", FFFD + FFFD + FFFD},
      {"\xED\xA0\x80", FFFD + FFFD + FFFD},
      {"\xF4\x90\x80\x80", FFFD + FFFD + FFFD + FFFD},
      {"\xF5\xFF", FFFD + FFFD},
      {"\x80tail", FFFD + "tail"},
      {"Vi\xE1\xBB", "Vi" + FFFD + FFFD},
      {"\xE1\xBB"
       "A",
       FFFD + FFFD + "A"},
      // Tabs are spaces.
      {"a\tb", "a b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(displayText(c.in), c.out) << c.in;
    EXPECT_EQ(displayText(c.in, true), c.out) << c.in;
  }
}

TEST(DisplayText, LineBreaksStayOnlyWhereAskedFor) {
  const std::string in = "Dòng một\nDòng hai\r\nDòng ba\rDòng bốn\n\n";
  EXPECT_EQ(displayText(in, true), "Dòng một\nDòng hai\nDòng ba\nDòng bốn\n\n");
  EXPECT_EQ(displayText(in), "Dòng một Dòng hai Dòng ba Dòng bốn  ");
  // A "\r" at the very end, and "\r\r\n".
  EXPECT_EQ(displayText("a\r", true), "a\n");
  EXPECT_EQ(displayText("a\r\r\nb", true), "a\n\nb");
}

TEST(DisplayText, AnyBytesComeOutCleanAndStayAsTheyAre) {
  // Random bytes weighted towards the interesting ones: whatever comes in,
  // the result is clean UTF-8, and cleaning it again changes nothing.
  std::mt19937 rng(21);
  const unsigned char interesting[] = {0x00, 0x07, 0x0A, 0x0D, 0x1B, 0x7F, 0x80, 0x9B, 0xBF,
                                       0xC0, 0xC2, 0xE0, 0xE2, 0x80, 0xAE, 0xED, 0xF0, 0xF4,
                                       0xF5, 0xFF, 'a',  '<',  0xE1, 0xBB, 0x81, 0xA6, 0xA9};
  for (int round = 0; round < 5000; ++round) {
    std::string in;
    const int len = static_cast<int>(rng() % 24);
    for (int i = 0; i < len; ++i) {
      in += static_cast<char>(rng() % 2 ? interesting[rng() % sizeof interesting]
                                        : static_cast<unsigned char>(rng() % 256));
    }
    for (bool keep : {false, true}) {
      const std::string out = displayText(in, keep);
      ASSERT_TRUE(cleanUtf8(out)) << "round " << round;
      ASSERT_EQ(displayText(out, keep), out) << "round " << round;
      if (!keep) {
        ASSERT_EQ(out.find('\n'), std::string::npos);
      }
    }
  }
}

}  // namespace
