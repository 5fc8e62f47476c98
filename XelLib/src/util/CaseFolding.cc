// Simple Unicode case folding of one code point and UTF-8 decoding and encoding.
#include <cstdint>
#include <string>
#include <string_view>

#include "util/Text.h"

namespace velmora::util {
namespace {
#include "CaseFoldingTable.inc"
}  // namespace

char32_t FoldCase(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if (c >= kFoldLimit) return c;
  uint16_t delta = kFoldDelta[(static_cast<unsigned>(kFoldIndex[c >> kFoldShift]) << kFoldShift) |
                              (c & kFoldBlockMask)];
  // Deltas are stored modulo 65536; a folding never leaves its plane.
  return (c & ~char32_t{0xFFFF}) | ((c + delta) & 0xFFFF);
}

char32_t DecodeUtf8(std::string_view s, size_t* pos) {
  size_t i = *pos;
  if (i >= s.size()) return 0;
  unsigned b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    *pos = i + 1;
    return b0;
  }
  size_t need;
  char32_t c;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1, c = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2, c = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3, c = b0 & 0x07, min = 0x10000;
  } else {
    need = 0, c = 0, min = 0;
  }
  if (need != 0 && s.size() - i > need) {
    size_t k = 1;
    for (; k <= need; ++k) {
      unsigned b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) break;
      c = (c << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values above U+10FFFF are malformed.
    if (k > need && c >= min && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF)) {
      *pos = i + need + 1;
      return c;
    }
  }
  // A malformed byte stands for itself (as if the text were Latin-1), one byte at a time,
  // so that comparisons of arbitrary byte strings stay total and never fail.
  *pos = i + 1;
  return b0;
}

size_t AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
    return 1;
  }
  if (c < 0x800) {
    char b[2] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    out->append(b, 2);
    return 2;
  }
  if (c < 0x10000) {
    char b[3] = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (c & 0x3F))};
    out->append(b, 3);
    return 3;
  }
  if (c < 0x110000) {
    char b[4] = {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                 static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    out->append(b, 4);
    return 4;
  }
  return 0;
}

}  // namespace velmora::util
