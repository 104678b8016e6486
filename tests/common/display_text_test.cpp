// The one cleaner every text from outside goes through before a person sees
// it, in the window and on a terminal.
#include "display_text.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <random>
#include <string>

using nelt::displayText;

namespace {

const std::string FFFD = "\xEF\xBF\xBD";

// Well-formed UTF-8 after the table of well-formed byte sequences in the
// Unicode standard (ch. 3, table 3-7), written independently of the code
// under test.
bool wellFormedUtf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned char b = p[i];
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b <= 0x7F) {
      len = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b == 0xE0) {
      len = 3, lo = 0xA0;
    } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
      len = 3;
    } else if (b == 0xED) {
      len = 3, hi = 0x9F;
    } else if (b == 0xF0) {
      len = 4, lo = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
      len = 4;
    } else if (b == 0xF4) {
      len = 4, hi = 0x8F;
    } else {
      return false;
    }
    if (i + len > n) return false;
    if (len > 1 && (p[i + 1] < lo || p[i + 1] > hi)) return false;
    for (size_t k = 2; k < len; ++k)
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    i += len;
  }
  return true;
}

// True when `s` is well-formed UTF-8 with no control character but "\n" and
// no C1 or bidirectional control.
bool cleanUtf8(const std::string& s) {
  if (!wellFormedUtf8(s)) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
    const auto next = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
    const auto third = i + 2 < s.size() ? static_cast<unsigned char>(s[i + 2]) : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) return false;  // C1
    if (c == 0xE2 && next == 0x80 && third >= 0xAA && third <= 0xAE) return false;
    if (c == 0xE2 && next == 0x81 && third >= 0xA6 && third <= 0xA9) return false;
  }
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

// `nelt --json` prints store text: what would act on a terminal comes out as
// escapes that a JSON reader turns back into the same text.
TEST(TerminalSafeJson, EscapesWhatActsOnATerminalAndKeepsTheMeaning) {
  const std::string hostile = std::string("Tên\x7f") + "\xC2\x9B" + "31m" + "\xE2\x80\xAE" +
                              "gnp.exe" + "\xE2\x81\xA6" + "ứng dụng";
  rapidjson::Document doc;
  doc.SetObject();
  doc.AddMember("name", rapidjson::Value(hostile.c_str(), doc.GetAllocator()), doc.GetAllocator());
  rapidjson::StringBuffer written;
  rapidjson::Writer<rapidjson::StringBuffer> writer(written);
  doc.Accept(writer);
  const std::string safe = nelt::terminalSafeJson(written.GetString());
  for (const char* raw : {"\x7f", "\xC2\x9B", "\xE2\x80\xAE", "\xE2\x81\xA6"})
    EXPECT_EQ(safe.find(raw), std::string::npos) << safe;
  EXPECT_NE(safe.find("\\u007f"), std::string::npos);
  EXPECT_NE(safe.find("\\u009b"), std::string::npos);
  EXPECT_NE(safe.find("\\u202e"), std::string::npos);
  EXPECT_NE(safe.find("ứng dụng"), std::string::npos);  // Vietnamese stays as it is
  rapidjson::Document back;
  back.Parse(safe.c_str());
  ASSERT_FALSE(back.HasParseError());
  EXPECT_EQ(std::string(back["name"].GetString()), hostile);

  // A broken byte cannot reach the terminal either.
  const std::string broken = nelt::terminalSafeJson("{\"a\":\"x\xFFy\"}");
  EXPECT_EQ(broken, "{\"a\":\"x\\ufffdy\"}");
  EXPECT_TRUE(wellFormedUtf8(broken));
}
