// Tests of case folding, UTF-8 handling, case-insensitive comparison, wildcards and base64.
#include "util/Text.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::util {
namespace {

std::string Utf8(char32_t c) {
  std::string s;
  AppendUtf8(&s, c);
  return s;
}

TEST(CaseFolding, FoldsAcrossScripts) {
  EXPECT_EQ(FoldCase(U'A'), U'a');
  EXPECT_EQ(FoldCase(U'z'), U'z');
  EXPECT_EQ(FoldCase(U'@'), U'@');
  EXPECT_EQ(FoldCase(U'Ä'), U'ä');
  EXPECT_EQ(FoldCase(U'ς'), U'σ');  // final sigma
  EXPECT_EQ(FoldCase(U'Σ'), U'σ');
  EXPECT_EQ(FoldCase(U'\u1E9E'), U'ß');  // capital sharp s, simple folding (status S)
  EXPECT_EQ(FoldCase(U'Ж'), U'ж');
  EXPECT_EQ(FoldCase(U'\u212A'), U'k');               // Kelvin sign
  EXPECT_EQ(FoldCase(U'\u017F'), U's');               // long s
  EXPECT_EQ(FoldCase(U'\uA7AE'), U'\u026A');          // folding over a large distance
  EXPECT_EQ(FoldCase(U'\U00010400'), U'\U00010428');  // Deseret
  EXPECT_EQ(FoldCase(U'\U0001E900'), U'\U0001E922');  // Adlam, last block of the table
  EXPECT_EQ(FoldCase(U'\U0001E922'), U'\U0001E922');
  EXPECT_EQ(FoldCase(U'中'), U'中');
  EXPECT_EQ(FoldCase(0x10FFFF), 0x10FFFFu);
  EXPECT_EQ(FoldCase(0xFFFFFFFF), 0xFFFFFFFFu);
  // A folded character folds to itself; catches a misplaced table block anywhere.
  for (char32_t c = 0; c < 0x110000; ++c) {
    ASSERT_EQ(FoldCase(FoldCase(c)), FoldCase(c)) << std::hex << static_cast<uint32_t>(c);
  }
}

TEST(Utf8, DecodesValidAndPassesMalformedBytes) {
  for (char32_t c :
       {U'\0', U'a', U'\u00E4', U'\u07FF', U'\u0800', U'\uFFFD', U'\U00010000', U'\U0010FFFF'}) {
    std::string s = Utf8(c);
    size_t pos = 0;
    EXPECT_EQ(DecodeUtf8(s, &pos), c);
    EXPECT_EQ(pos, s.size());
  }
  std::string none;
  EXPECT_EQ(AppendUtf8(&none, 0x110000), 0u);
  EXPECT_TRUE(none.empty());
  // Truncated, overlong, surrogate, too large, lone continuation: one byte each.
  for (std::string bad : {"\xC3", "\xE2\x82", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\x80", "\xFF",
                          "\xC3"
                          "a"}) {
    size_t pos = 0;
    EXPECT_EQ(DecodeUtf8(bad, &pos), static_cast<unsigned char>(bad[0])) << bad.size();
    EXPECT_EQ(pos, 1u);
  }
  size_t end = 3;
  EXPECT_EQ(DecodeUtf8("abc", &end), 0u);
  EXPECT_EQ(end, 3u);
}

TEST(CompareNoCase, IgnoresCaseAndOrdersByFoldedCodePoints) {
  EXPECT_EQ(CompareNoCase("Report.PDF", "report.pdf"), 0);
  EXPECT_EQ(CompareNoCase("ÄRGER.txt", "ärger.TXT"), 0);
  EXPECT_EQ(CompareNoCase("ΟΔΟΣ", "οδος"), 0);
  EXPECT_EQ(CompareNoCase("οδοσ", "οδος"), 0);
  EXPECT_EQ(CompareNoCase("STRAẞE", "straße"), 0);
  EXPECT_EQ(CompareNoCase("МОСКВА", "москва"), 0);
  EXPECT_EQ(CompareNoCase("\U00010400", "\U00010428"), 0);
  EXPECT_EQ(CompareNoCase("\u212A", "k"), 0);
  EXPECT_TRUE(EqualsNoCase("", ""));

  EXPECT_LT(CompareNoCase("a", "B"), 0);
  EXPECT_GT(CompareNoCase("b", "A"), 0);
  EXPECT_LT(CompareNoCase("abc", "ABCD"), 0);
  EXPECT_GT(CompareNoCase("abcd", "ABC"), 0);
  EXPECT_LT(CompareNoCase("", "a"), 0);
  EXPECT_LT(CompareNoCase("Z", "ä"), 0);   // ASCII before Latin-1
  EXPECT_LT(CompareNoCase("ä", "中"), 0);  // by code point, not by UTF-8 lead byte alone
  EXPECT_GT(CompareNoCase("\U00010428", "\uFFFD"), 0);
  // "[" lies between upper and lower case letters: folding (to lower case) comes first.
  EXPECT_GT(CompareNoCase("A", "["), 0);
  EXPECT_GT(CompareNoCase("a", "["), 0);
  // Malformed bytes compare as their byte values and never fail.
  EXPECT_EQ(CompareNoCase("\xC4", "\xC4"), 0);
  EXPECT_NE(CompareNoCase("\xC3", "\xC3\x84"), 0);
}

TEST(CompareNoCase, StartsWith) {
  EXPECT_TRUE(StartsWithNoCase("Report.pdf", "REPORT"));
  EXPECT_TRUE(StartsWithNoCase("Ärger", "ä"));
  EXPECT_TRUE(StartsWithNoCase("abc", ""));
  EXPECT_FALSE(StartsWithNoCase("ab", "abc"));
  EXPECT_FALSE(StartsWithNoCase("xabc", "abc"));
}

TEST(MatchWildcard, FollowsTheStarAndQuestionMarkRules) {
  struct Case {
    const char* mask;
    const char* name;
    bool match;
  } cases[] = {
      {"*.pdf", "report.pdf", true},
      {"*.pdf", "REPORT.PDF", true},
      {"*.pdf", ".pdf", false},  // an inner "*" takes at least one character
      {"*.pdf", "report.pdf.bak", false},
      {"*.pdf", "a.pdf.pdf", true},
      {"abc*", "abc", true},  // a final "*" may take nothing
      {"abc*", "abcdef", true},
      {"abc*", "ab", false},
      {"*", "", true},
      {"*", "x", true},
      {"", "", true},
      {"", "x", false},
      {"x", "", false},
      {"?", "", false},
      {"a*b*c", "abc", false},
      {"a*b*c", "axbyc", true},
      {"a*b*c", "axxbyybzzc", true},
      {"a*b*c", "axbyd", false},
      {"a*b*c", "aXbYC", true},
      {"a**c", "axc", false},  // each inner "*" takes one character
      {"a**c", "axyc", true},
      {"report.???", "report.pdf", true},
      {"report.???", "report.pd", false},
      {"report.???", "report.pdfx", false},
      {"?ä?", "xÄy", true},
      {"???", "äöü", true},  // "?" is one character, not one byte
      {"??????", "äöü", false},
      {"*ü", "äöÜ", true},
      {"Σ*", "ςa", true},
      {"*.txt", "中文.TXT", true},
      {"*.pdf.??????????????.?????+?????.locked", "report.pdf.20261204045539.Qk7_x+03600.locked",
       true},
      {"*.pdf.??????????????.?????+?????.locked", "report.pdf.2026120404553.Qk7_x+03600.locked",
       false},
      {"*.pdf.??????????????.?????+?????.locked", "Ä.PDF.20261204045539.Qk7_x+03600.LOCKED", true},
      {"*.pdf.??????????????.?????+?????.locked", "report.pdf.20261204045539.Qk7_x+03600.lock",
       false},
      {"*a", "aaa", true},
      {"*aab", "aaaab", true},
      {"*ab*", "xaab", true},
      {"*ab*", "xaba", true},
      {"*ab*", "ab", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchWildcard(c.mask, c.name), c.match) << c.mask << " / " << c.name;
  }
}

TEST(Base64, RoundTripsAllShortLengths) {
  std::string data;
  for (size_t n = 0; n <= 64; ++n) {
    std::string encoded = Base64Encode(data.data(), data.size());
    EXPECT_EQ(encoded.size(), Base64EncodedSize(n));
    std::string decoded = "stale";
    ASSERT_TRUE(Base64Decode(encoded, &decoded)) << n;
    EXPECT_EQ(decoded, data);
    data.push_back(static_cast<char>(n * 37 + 250));
  }
  EXPECT_EQ(Base64Encode("foobar", 6), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("fooba", 5), "Zm9vYmE=");
  EXPECT_EQ(Base64Encode("foob", 4), "Zm9vYg==");
  EXPECT_EQ(Base64Encode("\xFB\xFF\xBF\x00\x10\x83", 6), "+/+/ABCD");
  EXPECT_EQ(Base64Encode("\xFB\xFF\xBF\x00\x10\x83\xFB\xFF\xBF", 9), "+/+/ABCD+/+/");
}

TEST(Base64, DecodesWhitespaceAndRejectsEverythingElse) {
  std::string out;
  ASSERT_TRUE(Base64Decode(" Zm9v\r\nYmFy\n", &out));
  EXPECT_EQ(out, "foobar");
  ASSERT_TRUE(Base64Decode("Zm 9v Ym E =", &out));
  EXPECT_EQ(out, "fooba");
  ASSERT_TRUE(Base64Decode("Zm9vYg", &out));  // missing padding is tolerated
  EXPECT_EQ(out, "foob");
  ASSERT_TRUE(Base64Decode("\t\n", &out));
  EXPECT_EQ(out, "");
  for (std::string bad : {"Zm9v!", "Zm-9", "Z", "Zm9vY", "=", "Zg===", "Zg==Zg==", "Zm9=v",
                          "Zm9v=", "Zm9v\xC3\xA4"}) {
    out = "x";
    EXPECT_FALSE(Base64Decode(bad, &out)) << bad;
    EXPECT_EQ(out, "");
  }
  EXPECT_FALSE(Base64Decode(std::string("Zm\0"
                                        "9v",
                                        5),
                            &out));

  // Line-broken output as mail and XML writers produce it.
  std::string data;
  for (int i = 0; i < 1000; ++i) data.push_back(static_cast<char>(i * 7));
  std::string encoded = Base64Encode(data.data(), data.size());
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
