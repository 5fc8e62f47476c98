// Tests of case folding, UTF-8 handling, case-insensitive comparison, wildcards and base64.
#include "util/Text.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <tuple>
#include <utility>

namespace velmora::util {
namespace {

TEST(Utf8, DecodesValidAndPassesMalformedBytes) {
  for (char32_t c :
       {U'\0', U'a', U'\u00E4', U'\u07FF', U'\u0800', U'\uFFFD', U'\U00010000', U'\U0010FFFF'}) {
    std::string s;
    AppendUtf8(&s, c);
    size_t pos = 0;
    EXPECT_EQ(DecodeUtf8(s, &pos), c);
    EXPECT_EQ(pos, s.size());
  }
  std::string none;
  EXPECT_EQ(AppendUtf8(&none, 0x110000), 0u);
  EXPECT_TRUE(none.empty());
  // Truncated, overlong, surrogate, too large, lone continuation: one byte each.
  for (std::string bad : {"\xC3", "\xE2\x82", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\x80", "\xFF", "\xC3\x61"}) {
    size_t pos = 0;
    EXPECT_EQ(DecodeUtf8(bad, &pos), static_cast<unsigned char>(bad[0])) << bad.size();
    EXPECT_EQ(pos, 1u);
  }
  size_t end = 3;
  EXPECT_EQ(DecodeUtf8("abc", &end), 0u);
  EXPECT_EQ(end, 3u);
}

TEST(CompareNoCase, FoldsAcrossScriptsIgnoresCaseAndOrdersByFoldedCodePoints) {
  // Final sigma, capital sharp s, Kelvin sign, long s, a large distance, Deseret, and Adlam in
  // the table's last block.
  // clang-format off
  const std::pair<char32_t, char32_t> folds[] = {
      {U'A', U'a'}, {U'@', U'@'}, {U'ς', U'σ'}, {U'\u1E9E', U'ß'}, {U'\u212A', U'k'},
      {U'\u017F', U's'}, {U'\uA7AE', U'\u026A'}, {U'\U00010400', U'\U00010428'},
      {U'\U0001E900', U'\U0001E922'}, {U'\U0001E922', U'\U0001E922'}, {~0u, ~0u}};
  // clang-format on
  for (const auto& [c, folded] : folds)
    EXPECT_EQ(FoldCase(c), folded) << std::hex << static_cast<uint32_t>(c);
  // A folded character folds to itself; catches a misplaced table block anywhere.
  for (char32_t c = 0; c < 0x110000; ++c)
    ASSERT_EQ(FoldCase(FoldCase(c)), FoldCase(c)) << std::hex << static_cast<uint32_t>(c);
  // "Z" < "ä": ASCII before Latin-1; "ä" < "中": by code point, not by UTF-8 lead byte alone;
  // "[" lies between upper and lower case letters: folding (to lower case) comes first;
  // malformed bytes compare as their byte values and never fail.
  // clang-format off
  const std::tuple<const char*, const char*, int> cases[] = {
      {"Report.PDF", "report.pdf", 0}, {"ÄRGER.txt", "ärger.TXT", 0}, {"ΟΔΟΣ", "οδος", 0},
      {"οδοσ", "οδος", 0}, {"STRAẞE", "straße", 0}, {"МОСКВА", "москва", 0}, {"", "", 0},
      {"\U00010400", "\U00010428", 0}, {"\u212A", "k", 0}, {"a", "B", -1}, {"b", "A", 1},
      {"abc", "ABCD", -1}, {"abcd", "ABC", 1}, {"", "a", -1}, {"Z", "ä", -1}, {"ä", "中", -1},
      {"\U00010428", "\uFFFD", 1}, {"A", "[", 1}, {"a", "[", 1}, {"\xC4", "\xC4", 0},
      {"\xC3", "\xC3\x84", -1}};
  // clang-format on
  for (const auto& [a, b, sign] : cases) {
    const int r = CompareNoCase(a, b);
    EXPECT_EQ((r > 0) - (r < 0), sign) << a << " / " << b;
    EXPECT_EQ(EqualsNoCase(a, b), sign == 0) << a << " / " << b;
  }
  EXPECT_TRUE(StartsWithNoCase("Report.pdf", "REPORT") && StartsWithNoCase("Ärger", "ä") &&
              StartsWithNoCase("abc", ""));
  EXPECT_FALSE(StartsWithNoCase("ab", "abc") || StartsWithNoCase("xabc", "abc"));
}

TEST(MatchWildcard, FollowsTheStarAndQuestionMarkRules) {
  // An inner "*" takes at least one character, a final one may take nothing; "?" is one
  // character, not one byte.
  const std::string locked = "*.pdf.??????????????.?????+?????.locked";
  // clang-format off
  const std::tuple<std::string, const char*, bool> cases[] = {
      {"*.pdf", "report.pdf", true}, {"*.pdf", "REPORT.PDF", true}, {"*.pdf", ".pdf", false},
      {"*.pdf", "report.pdf.bak", false}, {"*.pdf", "a.pdf.pdf", true}, {"abc*", "abc", true},
      {"abc*", "ab", false}, {"*", "", true}, {"", "", true}, {"", "x", false}, {"?", "", false},
      {"a*b*c", "abc", false}, {"a*b*c", "axbyc", true}, {"a*b*c", "axbyd", false},
      {"a*b*c", "aXbYC", true}, {"a**c", "axc", false}, {"a**c", "axyc", true},
      {"report.???", "report.pd", false}, {"report.???", "report.pdfx", false},
      {"?ä?", "xÄy", true}, {"??????", "äöü", false}, {"*ü", "äöÜ", true}, {"Σ*", "ςa", true},
      {"*aab", "aaaab", true}, {"*ab*", "xaab", true}, {"*ab*", "ab", false},
      {locked, "Ä.PDF.20261204045539.Qk7_x+03600.LOCKED", true},
      {locked, "report.pdf.2026120404553.Qk7_x+03600.locked", false}};
  // clang-format on
  for (const auto& [mask, name, bMatch] : cases)
    EXPECT_EQ(MatchWildcard(mask, name), bMatch) << mask << " / " << name;
}

// The first four are the encoder's own forms; whitespace and missing padding are tolerated.
TEST(Base64, EncodesKnownValuesDecodesWhitespaceAndRejectsEverythingElse) {
  // clang-format off
  const std::pair<const char*, std::string> cases[] = {
      {"Zm9vYmFy", "foobar"}, {"Zm9vYmE=", "fooba"}, {"Zm9vYg==", "foob"},
      {"+/+/ABCD+/+/", std::string("\xFB\xFF\xBF\x00\x10\x83\xFB\xFF\xBF", 9)},
      {" Zm9v\r\nYmFy\n", "foobar"}, {"Zm 9v Ym E =", "fooba"}, {"Zm9vYg", "foob"}, {"\t\n", ""}};
  // clang-format on
  std::string out;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [encoded, plain] = cases[i];
    ASSERT_TRUE(Base64Decode(encoded, &out)) << encoded;
    EXPECT_EQ(out, plain);
    EXPECT_TRUE(i >= 4 || Base64Encode(plain.data(), plain.size()) == encoded) << encoded;
  }
  for (std::string bad : {"Zm9v!", "Zm-9", "Z", "Zm9vY", "=", "Zg===", "Zg==Zg==", "Zm9=v",
                          "Zm9v=", "Zm9v\xC3\xA4"}) {
    out = "x";
    EXPECT_FALSE(Base64Decode(bad, &out)) << bad;
    EXPECT_EQ(out, "");
  }
  EXPECT_FALSE(Base64Decode(std::string("Zm\0009v", 5), &out));
  // Every byte value, line-broken as mail and XML writers produce it.
  std::string data;
  for (int i = 0; i < 1000; ++i) data.push_back(static_cast<char>(i * 7));
  std::string encoded = Base64Encode(data.data(), data.size());
  EXPECT_EQ(encoded.size(), Base64EncodedSize(data.size()));
  std::string wrapped;
  for (size_t i = 0; i < encoded.size(); i += 76) wrapped += encoded.substr(i, 76) + "\r\n";
  ASSERT_TRUE(Base64Decode(wrapped, &out));
  EXPECT_EQ(out, data);
}

TEST(StringPrintf, FormatsShortAndLongTexts) {
  EXPECT_EQ(StringPrintf("%s=%d", "x", 42), "x=42");
  std::string longText(1000, 'y');
  EXPECT_EQ(StringPrintf("<%s>", longText.c_str()), "<" + longText + ">");
}

}  // namespace
}  // namespace velmora::util
