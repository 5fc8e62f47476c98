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

TEST(XmlParserCompareTest, DocumentsAgainstTemplates) {
  const std::string same(10000, 'x'),
      text = "<a xmlns:p=\"urn:p\"><p:b x=\"1\">hello</p:b><c/><c>two</c></a>";
  std::string other = same;
  other[9000] = 'y';  // in the third chunk: the first two chunks compared equal
  const std::string wild = "<a><b readcomparemode=\"wildcard\"><any/></b><c>1</c></a>",
                    opt = "<a><b>1</b><opt readcomparemode=\"optional\">o</opt><c/></a>";
  struct {
    std::string doc, templ;
    std::string failure;  // empty when they match; a final '*' compares only the start
  } const cases[] = {
      {text, text, ""},
      // Indented template text compares equal to an unindented document.
      {"<a><b>1</b></a>", "<a>\n  <b>1</b>\n</a>\n", ""},
      {"<a><b/></a>", "<a><b>x</b></a>",
       "node types different expected 209 is 164 at \"/a\" template \"/a/b\""},
      {"<a xmlns=\"urn:one\"/>", "<a xmlns=\"urn:two\"/>",
       "namespace different expected urn:two is urn:one at \"/a\" template \"/a\""},
      {"<a><b/><c/></a>", "<a><b/><d/></a>", "local name different at \"/a/c\" template \"/a/d\""},
      {"<a>abc</a>", "<a>abd</a>", "text content different at \"/a\" (ref=abd, cmp=abc)"},
      {"<a x=\"12\"/>", "<a x=\"1\"/>", "text length different at \"/a/@x\" (ref=1, cmp=12)"},
      // Input left over once the template has ended.
      {"<a/><b/>", "<a/>", "unexpected input data at \"/b\""},
      // Long text is compared in chunks.
      {"<a>" + same + "</a>", "<a>" + same + "</a>", ""},
      {"<a>" + other + "</a>", "<a>" + same + "</a>", "text content different at \"/a\" (ref=xxx*"},
      {"<a>" + same + "z</a>", "<a>" + same + "</a>", "text length different*"},
      // A wildcard skips the element's content, but the element must be there with its name,
      // and what follows it is compared again.
      {"<a><b x=\"y\">text<d><e/></d></b><c>1</c></a>", wild, ""},
      {"<a><b/><c>1</c></a>", wild, ""},
      {"<a><z/><c>1</c></a>", wild, "local name different at \"/a/z\" template \"/a/b\""},
      {"<a><b/><c>2</c></a>", wild, "text content different at \"/a/c\" (ref=1, cmp=2)"},
      // An optional element may be missing, also at the end; present, it is compared strictly.
      {"<a><b>1</b><c/></a>", opt, ""},
      {"<a><b>1</b><opt>o</opt><c/></a>", opt, ""},
      {"<a><b>1</b><opt>p</opt><c/></a>", opt,
       "text content different at \"/a/opt\" (ref=o, cmp=p)"},
      {"<a><b/></a>", "<a><b/><tail readcomparemode=\"optional\"/></a>", ""},
      // Strict is the default and the mode named so explicitly.
      {"<a/>", "<a><b readcomparemode=\"strict\"/></a>", "node types different*"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.doc.substr(0, 60) + " against " + c.templ.substr(0, 60));
    const Result r = FromText(c.doc)->CompareWithTemplate(*FromText(c.templ));
    if (c.failure.empty()) {
      EXPECT_TRUE(r.IsSuccess()) << r.Text();
    } else if (c.failure.back() == '*') {
      EXPECT_EQ(r.Category(), util::ErrObjNotExist);
      EXPECT_EQ(r.SlotText(0).rfind(c.failure.substr(0, c.failure.size() - 1), 0), 0u) << r.Text();
    } else {
      EXPECT_EQ(r.Category(), util::ErrObjNotExist);
      EXPECT_EQ(r.SlotText(0), c.failure);
    }
  }
}

TEST(XmlParserCompareTest, TokenAndBinaryDocumentsMatchTheirText) {
  const std::string text = "<a xmlns:p=\"urn:p\"><p:b x=\"1\">hello</p:b><c/><c>two</c></a>";
  EXPECT_TRUE(ToTokens(*FromText(text))->CompareWithTemplate(*FromText(text)).IsSuccess());
  // Binary content is compared as its base64 text.
  XmlParser bin;
  ASSERT_TRUE(bin.OpenElement(0, "a").IsSuccess());
  ASSERT_TRUE(bin.WriteElementBinary(0, "bin", "\x00\x01\x02\x03", 4).IsSuccess());
  ASSERT_TRUE(bin.CloseAll().IsSuccess());
  EXPECT_TRUE(bin.CompareWithTemplate(*FromText("<a><bin>AAECAw==</bin></a>")).IsSuccess());
  ASSERT_TRUE(bin.Rewind().IsSuccess());
  EXPECT_EQ(bin.CompareWithTemplate(*FromText("<a><bin>AAECBA==</bin></a>")).SlotText(0),
            "text content different at \"/a/bin\" (ref=AAECBA==, cmp=AAECAw==)");
}

}  // namespace
}  // namespace velmora::xel
