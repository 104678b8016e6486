// The shared protocol helpers: splitting, request lines and their records,
// reply framing.
#include "protocol.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> tok(const std::string& text, const char* delims) {
  std::vector<std::string> out;
  stringtok(text, delims, out);
  return out;
}

TEST(Stringtok, DropsEmptyPiecesAndAppends) {
  EXPECT_EQ(tok("7 GET 6 \n", " \n"), (std::vector<std::string>{"7", "GET", "6"}));
  EXPECT_EQ(tok("  a  b\n\nc ", " \n"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(tok("", " ").empty());
  EXPECT_TRUE(tok("....", ".").empty());
  EXPECT_EQ(tok("1..2", "."), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(tok("&user&pass&", "&"), (std::vector<std::string>{"user", "pass"}));
  // Appends to what the list already holds; no state survives between calls.
  std::vector<std::string> pieces{"x"};
  stringtok("a b", " ", pieces);
  stringtok("c", " ", pieces);
  EXPECT_EQ(pieces, (std::vector<std::string>{"x", "a", "b", "c"}));
}

TEST(RequestAssembler, CompleteLinesInOrderAcrossReads) {
  nelt::RequestAssembler a;
  std::vector<std::string> lines;
  const std::string first = "GET 17 \nPOST 0 Nat";
  const std::string second = "iveStore\nGET 6 \n";
  EXPECT_TRUE(a.feed(first.data(), first.size(), lines));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "GET 17 \n");
  EXPECT_EQ(a.pending(), 10u);
  EXPECT_TRUE(a.feed(second.data(), second.size(), lines));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "POST 0 NativeStore\n");
  EXPECT_EQ(lines[2], "GET 6 \n");
  EXPECT_EQ(a.pending(), 0u);
}

TEST(RequestAssembler, LineLimitIsInclusiveOfLineFeed) {
  nelt::RequestAssembler ok;
  std::vector<std::string> lines;
  std::string line = "GET 4 " + std::string(1024 - 7, 'a') + "\n";  // exactly 1024 bytes
  ASSERT_EQ(line.size(), 1024u);
  EXPECT_TRUE(ok.feed(line.data(), line.size(), lines));
  ASSERT_EQ(lines.size(), 1u);

  nelt::RequestAssembler longer;
  lines.clear();
  line = "GET 4 " + std::string(1024 - 6, 'a') + "\n";  // 1025 bytes
  EXPECT_FALSE(longer.feed(line.data(), line.size(), lines));
  EXPECT_TRUE(longer.overflowed());
  EXPECT_TRUE(lines.empty());
  // Nothing more comes out of an overflowed connection.
  EXPECT_FALSE(longer.feed("GET 6 \n", 7, lines));
  EXPECT_TRUE(lines.empty());
}

TEST(RequestAssembler, OverflowWithoutLineFeedInSmallPieces) {
  nelt::RequestAssembler a;
  std::vector<std::string> lines;
  const std::string chunk(100, 'x');
  bool alive = true;
  size_t fed = 0;
  while (alive && fed < 2000) {
    alive = a.feed(chunk.data(), chunk.size(), lines);
    fed += chunk.size();
  }
  EXPECT_FALSE(alive);
  EXPECT_LE(fed, 1100u);
  EXPECT_TRUE(lines.empty());
}

TEST(ProtocolRequestLine, AcceptsOnlyThisProtocol) {
  for (const char* good : {"GET 6 \n", "GET 6\n", "POST 1 a&b\n", "PUT 17 \n", "GET 4 two words\n",
                           "GET 006 \n", "GET 6 \r\n"})
    EXPECT_TRUE(nelt::isProtocolRequestLine(good)) << good;
  for (const char* bad : {"GET / HTTP/1.1\r\n", "Host: 127.0.0.1\r\n", "\r\n", "\n", "get 6 \n",
                          "GET x \n", "GET -1 \n", "GET  6 \n", "GET 6abc \n", "DELETE 6 \n",
                          " GET 6 \n", "GET 1234567890 \n", "GET\n"})
    EXPECT_FALSE(nelt::isProtocolRequestLine(bad)) << bad;
}

TEST(RequestRecord, WordsOfARecord) {
  nelt::RequestRecord r;
  ASSERT_TRUE(nelt::parseRequestRecord("7 GET 6 \n", r));
  EXPECT_EQ(r.sock, 7);
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.code, 6);
  EXPECT_TRUE(r.args.empty());

  ASSERT_TRUE(nelt::parseRequestRecord("12 GET 4 text editor\n", r));
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.args, (std::vector<std::string>{"text", "editor"}));

  // A code that is no number reads as 0, the way atoi reads it.
  ASSERT_TRUE(nelt::parseRequestRecord("3 POST abc NativeStore\n", r));
  EXPECT_EQ(r.code, 0);
  EXPECT_FALSE(nelt::parseRequestRecord("3 GET\n", r));
  EXPECT_FALSE(nelt::parseRequestRecord("", r));
}

TEST(AtoiLike, ReadsLikeAtoi) {
  EXPECT_EQ(nelt::atoiLike("42"), 42);
  EXPECT_EQ(nelt::atoiLike("  -7x"), -7);
  EXPECT_EQ(nelt::atoiLike("+3"), 3);
  EXPECT_EQ(nelt::atoiLike("0-beta"), 0);
  EXPECT_EQ(nelt::atoiLike("rel2"), 0);
  EXPECT_EQ(nelt::atoiLike(""), 0);
  EXPECT_EQ(nelt::atoiLike("99999999999999999999"), 2147483647);
}

TEST(ReplyFraming, EmptyDataKeepsTheSpace) {
  const std::string frame = nelt::frameReply(nelt::replyText("200", ""));
  EXPECT_EQ(frame, std::string("\x05\x00\x00\x00"
                               "200 \n",
                               9));
  const std::string big(70000, 'z');
  const std::string framed = nelt::frameReply(big);
  ASSERT_EQ(framed.size(), 70004u);
  EXPECT_EQ(nelt::readLength(reinterpret_cast<const unsigned char*>(framed.data())), 70000);
  EXPECT_EQ(static_cast<unsigned char>(framed[0]), 0x70);
  EXPECT_EQ(static_cast<unsigned char>(framed[1]), 0x11);
  EXPECT_EQ(static_cast<unsigned char>(framed[2]), 0x01);
  EXPECT_EQ(framed[3], '\0');
}

TEST(ReplyFraming, SplitsStatusAndData) {
  std::string status, data;
  bool has_data = false;
  ASSERT_TRUE(nelt::splitReplyText("200 \n", status, data, has_data));
  EXPECT_EQ(status, "200");
  EXPECT_FALSE(has_data);
  ASSERT_TRUE(nelt::splitReplyText("200 {\"a\": 1}\n", status, data, has_data));
  EXPECT_TRUE(has_data);
  EXPECT_EQ(data, "{\"a\": 1}");
  EXPECT_FALSE(nelt::splitReplyText("", status, data, has_data));
}

TEST(RequestLine, BuiltWithTrailingSpaceAndLineFeed) {
  EXPECT_EQ(nelt::buildRequestLine(GET_METHOD, REQ_LISTINSTALLED, ""), "GET 6 \n");
  EXPECT_EQ(nelt::buildRequestLine(POST_METHOD, REQ_INFO, "NativeStore"), "POST 0 NativeStore\n");
}

}  // namespace
