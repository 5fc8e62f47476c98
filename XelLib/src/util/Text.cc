// Case-insensitive comparison and wildcard matching over UTF-8, and printf into strings.
#include "util/Text.h"

#include <cstdarg>
#include <cstdio>

namespace velmora::util {
namespace {

// Returned when a text is used up; equal to no character and to neither wildcard.
constexpr char32_t kNoChar = 0xFFFFFFFF;

inline char32_t FoldAscii(unsigned c) { return (c - 'A' < 26u) ? c + 32 : c; }

// Takes one character at *pos, folded; kNoChar at the end. ASCII stays out of the tables.
inline char32_t TakeFolded(std::string_view s, size_t* pos) {
  if (*pos >= s.size()) return kNoChar;
  unsigned b = static_cast<unsigned char>(s[*pos]);
  if (b < 0x80) {
    ++*pos;
    return FoldAscii(b);
  }
  return FoldCase(DecodeUtf8(s, pos));
}

}  // namespace

int CompareNoCase(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    unsigned ca = static_cast<unsigned char>(a[i]);
    unsigned cb = static_cast<unsigned char>(b[j]);
    char32_t fa;
    char32_t fb;
    if ((ca | cb) < 0x80) {
      ++i;
      ++j;
      if (ca == cb) continue;
      fa = FoldAscii(ca);
      fb = FoldAscii(cb);
    } else {
      fa = FoldCase(DecodeUtf8(a, &i));
      fb = FoldCase(DecodeUtf8(b, &j));
    }
    if (fa != fb) return fa < fb ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  size_t i = 0;
  size_t j = 0;
  while (j < prefix.size()) {
    if (i >= s.size()) return false;
    if (TakeFolded(s, &i) != TakeFolded(prefix, &j)) return false;
  }
  return true;
}

// "*" takes the name character together with it, so inside the mask it stands for one or
// more characters and only at the end also for none. The lock masks depend on "?" being
// exactly one character (one code point, however many bytes it has).
bool MatchWildcard(std::string_view mask, std::string_view name) {
  size_t m = 0;
  size_t n = 0;
  // Literal (and "?") prefix of the mask up to its first "*".
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') break;
    char32_t mc = TakeFolded(mask, &m);
    char32_t nc = TakeFolded(name, &n);
    if (mc != nc && mc != '?') return false;
  }
  size_t star_mask = m;  // mask position after the last "*"
  size_t star_name = n;  // name position where the next attempt after it starts
  while (n < name.size()) {
    char32_t mc = TakeFolded(mask, &m);
    char32_t nc = TakeFolded(name, &n);
    if (mc == '*') {
      if (m >= mask.size()) return true;
      star_mask = m;
      star_name = n;
    } else if (mc == nc || mc == '?') {
      continue;
    } else {
      m = star_mask;
      n = star_name;
      TakeFolded(name, &star_name);
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

std::string StringPrintf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  std::string out;
  if (n < 0) {
    // Only an invalid conversion gets here; an empty string is the clearest answer.
  } else if (static_cast<size_t>(n) < sizeof small) {
    out.assign(small, static_cast<size_t>(n));
  } else {
    out.resize(static_cast<size_t>(n) + 1);
    vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(static_cast<size_t>(n));
  }
  va_end(args);
  return out;
}

}  // namespace velmora::util
