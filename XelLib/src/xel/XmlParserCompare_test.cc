// Tests of template comparison: the three readcomparemode modes and every failure text.
#include <gtest/gtest.h>

#include <string>

#include "xel/XmlParser.h"

namespace velmora::xel {
namespace {

using util::Result;

util::Ref<XmlParser> FromText(const std::string& text) {
  util::Ref<XmlParser> doc = XmlParser::Create();
  EXPECT_TRUE(
      doc->GetMessage()->Append(text.data(), static_cast<int32_t>(text.size())).IsSuccess());
  return doc;
}

// The same document re-encoded as the binary token stream.
util::Ref<XmlParser> ToTokens(XmlParser& src) {
  util::Ref<XmlParser> out = XmlParser::Create();
  Result r;
  do {
    r = src.NextToken();
  } while (r.IsSuccess() && src.GetNodeType() != XmlParser::Node_ElementStart);
  EXPECT_TRUE(r.IsSuccess()) << r.Text();
  EXPECT_TRUE(out->CopySubtree(src, 1).IsSuccess());
  EXPECT_TRUE(out->CloseAll().IsSuccess());
  return out;
}

Result Compare(const std::string& doc, const std::string& templ) {
  return FromText(doc)->CompareWithTemplate(*FromText(templ));
}

TEST(XmlParserCompareTest, EqualDocumentsMatchAcrossFormats) {
  const std::string text = "<a xmlns:p=\"urn:p\"><p:b x=\"1\">hello</p:b><c/><c>two</c></a>";
  EXPECT_TRUE(Compare(text, text).IsSuccess());
  util::Ref<XmlParser> tokens = ToTokens(*FromText(text));
  EXPECT_TRUE(tokens->CompareWithTemplate(*FromText(text)).IsSuccess());
  // Binary content is compared as its base64 text.
  XmlParser bin;
  ASSERT_TRUE(bin.OpenElement(0, "a").IsSuccess());
  ASSERT_TRUE(bin.WriteElementBinary(0, "bin", "\x00\x01\x02\x03", 4).IsSuccess());
  ASSERT_TRUE(bin.CloseAll().IsSuccess());
  EXPECT_TRUE(bin.CompareWithTemplate(*FromText("<a><bin>AAECAw==</bin></a>")).IsSuccess());
  ASSERT_TRUE(bin.Rewind().IsSuccess());
  EXPECT_EQ(bin.CompareWithTemplate(*FromText("<a><bin>AAECBA==</bin></a>")).SlotText(0),
            "text content different at \"/a/bin\" (ref=AAECBA==, cmp=AAECAw==)");
  // Indented template text compares equal to an unindented document.
  EXPECT_TRUE(Compare("<a><b>1</b></a>", "<a>\n  <b>1</b>\n</a>\n").IsSuccess())
      << Compare("<a><b>1</b></a>", "<a>\n  <b>1</b>\n</a>\n").Text();
}

TEST(XmlParserCompareTest, FailureTextsNameThePlaceOfTheDifference) {
  Result r = Compare("<a><b/></a>", "<a><b>x</b></a>");
  EXPECT_EQ(r.Category(), util::ErrObjNotExist);
  EXPECT_EQ(r.SlotText(0), "node types different expected 209 is 164 at \"/a\" template \"/a/b\"");

  r = Compare("<a xmlns=\"urn:one\"/>", "<a xmlns=\"urn:two\"/>");
  EXPECT_EQ(r.Category(), util::ErrObjNotExist);
  EXPECT_EQ(r.SlotText(0),
            "namespace different expected urn:two is urn:one at \"/a\" template \"/a\"");

  r = Compare("<a><b/><c/></a>", "<a><b/><d/></a>");
  EXPECT_EQ(r.Category(), util::ErrObjNotExist);
  EXPECT_EQ(r.SlotText(0), "local name different at \"/a/c\" template \"/a/d\"");

  r = Compare("<a>abc</a>", "<a>abd</a>");
  EXPECT_EQ(r.SlotText(0), "text content different at \"/a\" (ref=abd, cmp=abc)");
  r = Compare("<a x=\"12\"/>", "<a x=\"1\"/>");
  EXPECT_EQ(r.SlotText(0), "text length different at \"/a/@x\" (ref=1, cmp=12)");

  // Input left over once the template has ended.
  r = Compare("<a/><b/>", "<a/>");
  EXPECT_EQ(r.Category(), util::ErrObjNotExist);
  EXPECT_EQ(r.SlotText(0), "unexpected input data at \"/b\"");
}

TEST(XmlParserCompareTest, LongTextIsComparedInChunks) {
  std::string same(10000, 'x');
  EXPECT_TRUE(Compare("<a>" + same + "</a>", "<a>" + same + "</a>").IsSuccess());
  // A difference in the third chunk: the first two chunks compared equal.
  std::string other = same;
  other[9000] = 'y';
  Result r = Compare("<a>" + other + "</a>", "<a>" + same + "</a>");
  ASSERT_EQ(r.Category(), util::ErrObjNotExist);
  EXPECT_EQ(r.SlotText(0).rfind("text content different at \"/a\" (ref=xxx", 0), 0u);
  // A document text one byte longer than the template's differs in length.
  r = Compare("<a>" + same + "z</a>", "<a>" + same + "</a>");
  EXPECT_EQ(r.SlotText(0).rfind("text length different", 0), 0u) << r.Text();
}

TEST(XmlParserCompareTest, WildcardSkipsTheElementsContent) {
  const std::string templ = "<a><b readcomparemode=\"wildcard\"><any/></b><c>1</c></a>";
  EXPECT_TRUE(Compare("<a><b x=\"y\">text<d><e/></d></b><c>1</c></a>", templ).IsSuccess());
  EXPECT_TRUE(Compare("<a><b/><c>1</c></a>", templ).IsSuccess());
  // The element itself must still be there with its name.
  EXPECT_EQ(Compare("<a><z/><c>1</c></a>", templ).SlotText(0),
            "local name different at \"/a/z\" template \"/a/b\"");
  // Content after the wildcard element is compared again.
  EXPECT_EQ(Compare("<a><b/><c>2</c></a>", templ).SlotText(0),
            "text content different at \"/a/c\" (ref=1, cmp=2)");
}

TEST(XmlParserCompareTest, OptionalElementsMayBeMissing) {
  const std::string templ = "<a><b>1</b><opt readcomparemode=\"optional\">o</opt><c/></a>";
  EXPECT_TRUE(Compare("<a><b>1</b><c/></a>", templ).IsSuccess());
  EXPECT_TRUE(Compare("<a><b>1</b><opt>o</opt><c/></a>", templ).IsSuccess());
  // Present, it is compared strictly.
  EXPECT_EQ(Compare("<a><b>1</b><opt>p</opt><c/></a>", templ).SlotText(0),
            "text content different at \"/a/opt\" (ref=o, cmp=p)");
  // An optional element at the end of the template when the document has ended.
  EXPECT_TRUE(
      Compare("<a><b/></a>", "<a><b/><tail readcomparemode=\"optional\"/></a>").IsSuccess());
  // Strict is the default and the mode named so explicitly.
  EXPECT_FALSE(Compare("<a/>", "<a><b readcomparemode=\"strict\"/></a>").IsSuccess());
}

}  // namespace
}  // namespace velmora::xel
