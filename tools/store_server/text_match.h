// Text matching for the store's search: case-insensitive over UTF-8, with
// the Latin letters and tone marks of Vietnamese folded properly, and a
// search typed without diacritics finding names written with them.
#pragma once

#include <cstdint>
#include <string>

namespace nelt::store_server {

// Lower-case form of UTF-8 text. ASCII and the precomposed Latin letters
// (Latin-1, Latin Extended-A, "Ơ", "Ư" and the Vietnamese block
// U+1EA0..U+1EF9) are folded; every other code point and every invalid byte
// is kept as it is.
std::string foldCase(const std::string& text);

// Lower-case text without diacritics: Vietnamese vowels lose their marks, "đ"
// becomes "d", combining marks (U+0300..U+036F) are dropped.
std::string stripMarks(const std::string& text);

// True when `text` has only bytes below 0x80.
bool isAscii(const std::string& text);

// True when `needle` occurs in `haystack` ignoring case; a needle written
// without diacritics also matches a haystack written with them, while a
// needle with diacritics must match them exactly.
bool textContains(const std::string& haystack, const std::string& needle);

// `text` with every invalid UTF-8 sequence replaced by U+FFFD, so that it
// can be written into a JSON string.
std::string validUtf8(const std::string& text);

}  // namespace nelt::store_server
