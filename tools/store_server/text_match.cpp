#include "text_match.h"

#include <unordered_map>

namespace nelt::store_server {

namespace {

// Decodes one code point at `i`; returns false (and leaves `i`) on an invalid
// or truncated sequence, overlong forms and surrogates included.
bool decodeAt(const std::string& s, size_t& i, uint32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  size_t len = 0;
  uint32_t min = 0;
  if (b0 < 0x80) {
    cp = b0;
    ++i;
    return true;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return false;
  }
  if (i + len > s.size()) return false;
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += len;
  return true;
}

void encode(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

uint32_t lower(uint32_t cp) {
  if (cp >= 'A' && cp <= 'Z') return cp + 32;
  if (cp < 0xC0) return cp;
  if (cp <= 0xDE) return cp == 0xD7 ? cp : cp + 0x20;
  // Latin Extended-A pairs: upper case on the even code point in these runs,
  // on the odd one in the others.
  if ((cp >= 0x100 && cp <= 0x12F) || (cp >= 0x132 && cp <= 0x137) ||
      (cp >= 0x14A && cp <= 0x177)) {
    return (cp % 2 == 0) ? cp + 1 : cp;
  }
  if ((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E)) {
    return (cp % 2 == 1) ? cp + 1 : cp;
  }
  if (cp == 0x178) return 0xFF;
  if (cp == 0x1A0 || cp == 0x1AF) return cp + 1;  // Ơ, Ư
  if ((cp >= 0x1E00 && cp <= 0x1E95) || (cp >= 0x1EA0 && cp <= 0x1EFF)) {
    return (cp % 2 == 0) ? cp + 1 : cp;
  }
  return cp;
}

// Base letter of each lower-case letter with diacritics.
const std::unordered_map<uint32_t, char>& baseLetters() {
  static const std::unordered_map<uint32_t, char> table = [] {
    std::unordered_map<uint32_t, char> t;
    const char* groups[] = {"aàáảãạăằắẳẵặâầấẩẫậäåā",
                            "eèéẻẽẹêềếểễệëē",
                            "iìíỉĩịîïī",
                            "oòóỏõọôồốổỗộơờớởỡợöøō",
                            "uùúủũụưừứửữựûüū",
                            "yỳýỷỹỵÿ",
                            "dđ",
                            "cç",
                            "nñ"};
    for (const char* g : groups) {
      std::string s(g);
      size_t i = 0;
      uint32_t cp = 0;
      decodeAt(s, i, cp);
      const char base = static_cast<char>(cp);
      while (i < s.size() && decodeAt(s, i, cp)) t[cp] = base;
    }
    return t;
  }();
  return table;
}

}  // namespace

std::string foldCase(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    uint32_t cp = 0;
    if (decodeAt(text, i, cp)) {
      encode(lower(cp), out);
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

std::string stripMarks(const std::string& text) {
  const auto& bases = baseLetters();
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    uint32_t cp = 0;
    if (!decodeAt(text, i, cp)) {
      out.push_back(text[i++]);
      continue;
    }
    if (cp >= 0x300 && cp <= 0x36F) continue;
    cp = lower(cp);
    auto it = bases.find(cp);
    if (it != bases.end()) {
      out.push_back(it->second);
    } else {
      encode(cp, out);
    }
  }
  return out;
}

bool isAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

bool textContains(const std::string& haystack, const std::string& needle) {
  const std::string n = foldCase(needle);
  const std::string h = foldCase(haystack);
  if (h.find(n) != std::string::npos) return true;
  return isAscii(n) && stripMarks(haystack).find(n) != std::string::npos;
}

std::string validUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t start = i;
    uint32_t cp = 0;
    if (decodeAt(text, i, cp)) {
      out.append(text, start, i - start);
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace nelt::store_server
