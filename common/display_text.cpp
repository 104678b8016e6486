#include "display_text.h"

#include <cstdio>

namespace nelt {

namespace {

const char REPLACEMENT[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 character at `p` (at most `left` bytes
// available) and its code point; 0 when the bytes there are not one.
size_t decodeOne(const unsigned char* p, size_t left, char32_t& cp) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return 0;  // continuation byte, C0/C1 lead of an overlong form, F5..FF
  }
  if (left < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool isBidiControl(char32_t cp) {
  return (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string displayText(const std::string& text, bool keep_newlines) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  const char* line_break = keep_newlines ? "\n" : " ";
  size_t i = 0;
  while (i < n) {
    char32_t cp = 0;
    const size_t len = decodeOne(p + i, n - i, cp);
    if (len == 0) {
      out += REPLACEMENT;
      ++i;
      continue;
    }
    if (cp == '\n') {
      out += line_break;
    } else if (cp == '\r') {
      out += line_break;
      if (i + 1 < n && p[i + 1] == '\n') ++i;  // "\r\n" is one break
    } else if (cp == '\t') {
      out += ' ';
    } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || isBidiControl(cp)) {
      out += REPLACEMENT;
    } else {
      out.append(text, i, len);
    }
    i += len;
  }
  return out;
}

std::string terminalSafeJson(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  const auto* p = reinterpret_cast<const unsigned char*>(json.data());
  const size_t n = json.size();
  for (size_t i = 0; i < n;) {
    char32_t cp = 0;
    const size_t len = decodeOne(p + i, n - i, cp);
    if (len == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || isBidiControl(cp)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(cp));
      out += escaped;
    } else {
      out.append(json, i, len);
    }
    i += len;
  }
  return out;
}

}  // namespace nelt
