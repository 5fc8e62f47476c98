// Text utilities: case-insensitive comparison and wildcards over UTF-8, base64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/Result.h"

namespace velmora::util {

// All functions here are pure and thread-safe.

// Simple Unicode case folding (CaseFolding.txt, statuses C and S) of one code point.
// Values outside Unicode are returned unchanged.
char32_t FoldCase(char32_t c);

// Decodes one UTF-8 code point at *pos and advances *pos (0 without advancing at the end).
// Malformed bytes (truncated, overlong, surrogates, above U+10FFFF) decode as themselves,
// one byte each, that is as Latin-1, so that comparisons stay total.
char32_t DecodeUtf8(std::string_view s, size_t* pos);
// Appends the UTF-8 form of c (nothing for c >= 0x110000). Returns the bytes written.
size_t AppendUtf8(std::string* out, char32_t c);

// Compares two UTF-8 strings ignoring case, code point by code point after folding.
// Returns <0, 0 or >0.
int CompareNoCase(std::string_view a, std::string_view b);
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  return CompareNoCase(a, b) == 0;
}
// True when s begins with prefix, ignoring case.
bool StartsWithNoCase(std::string_view s, std::string_view prefix);

// Case-insensitive wildcard match: "?" matches one character (code point), "*" a run of
// characters: one or more inside the mask, possibly none at its end ("*.pdf" does not match
// ".pdf", "abc*" matches "abc").
bool MatchWildcard(std::string_view mask, std::string_view name);

// Base64 (RFC 4648, with padding).
std::string Base64Encode(const void* data, size_t size);
size_t Base64EncodedSize(size_t size);
// Encodes into out (Base64EncodedSize bytes); returns the bytes written.
size_t Base64EncodeTo(const void* data, size_t size, char* out);
// Decodes into *out (replacing its content); whitespace is skipped and missing final
// padding is accepted. False, with *out cleared, on any other character, data after padding
// or a final group of a single character.
bool Base64Decode(std::string_view text, std::string* out);

// printf into a std::string.
std::string StringPrintf(const char* fmt, ...) XEL_PRINTF(1, 2);

}  // namespace velmora::util
