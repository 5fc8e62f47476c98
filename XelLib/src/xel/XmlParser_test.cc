// Tests of the message document: encodings, paths, reads, SOAP, comparison, dump, bad input.
#include "xel/XmlParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "AppTestSupport.h"
#include "QueueConnection.h"
#include "util/Text.h"
#include "util/Trace.h"

namespace velmora::xel {
namespace {

using std::string_literals::operator""s;
using util::Result;

// Runs every step in order; a failure names the first step that failed.
::testing::AssertionResult AllOk(std::initializer_list<Result> steps) {
  for (const Result& r : steps) {
    if (!r.IsSuccess()) return ::testing::AssertionFailure() << r.Text();
  }
  return ::testing::AssertionSuccess();
}

std::string Bytes(const XmlParser& doc) {
  Message* m = doc.GetMessage();
  std::string out(static_cast<size_t>(m->Size()), 0);
  int32_t got = 0;
  EXPECT_TRUE(m->Read(0, out.data(), static_cast<int32_t>(out.size()), &got).IsSuccess());
  return out;
}

util::Ref<XmlParser> FromText(const std::string& text) {
  util::Ref<XmlParser> doc = XmlParser::Create();
  EXPECT_TRUE(
      doc->GetMessage()->Append(text.data(), static_cast<int32_t>(text.size())).IsSuccess());
  return doc;
}

// Copies the whole of src (from its start) into a new document of the given format.
util::Ref<XmlParser> Convert(XmlParser& src, int format) {
  util::Ref<XmlParser> out = XmlParser::Create();
  EXPECT_TRUE(AllOk({out->SetDataFormat(format), src.Rewind()}));
  Result r;
  do {
    r = src.NextToken();
  } while (r.IsSuccess() && src.GetNodeType() != XmlParser::Node_ElementStart);
  EXPECT_TRUE(AllOk({r, out->CopySubtree(src, 1), out->CloseAll()}));
  return out;
}

// Checks the text at each path: pairs of path and expected text.
void ExpectTexts(const XmlParser& doc, std::initializer_list<const char*> pathsAndTexts) {
  for (auto it = pathsAndTexts.begin(); it + 1 < pathsAndTexts.end(); it += 2) {
    EXPECT_EQ(testing::At(doc, it[0]), it[1]) << it[0];
  }
}

TEST(XmlParserBinaryTest, SmallDocumentsHaveTheExpectedBytes) {
  XmlParser doc;
  const std::string big(300, 'z');
  ASSERT_TRUE(AllOk({doc.OpenElement(doc.DeclareNamespace("p", "u"), "b"),
                     doc.WriteAttribute(0, "x", "1"), doc.WriteElement(0, "a", "hi"),
                     doc.WriteChars(big.c_str()), doc.WriteBinary("\x01\x02", 2), doc.CloseAll()}));
  // p:b declaring p; x="1"; <a>hi</a>; 300 characters (a length of 0x82 and two bytes, most
  // significant first); binary; end.
  EXPECT_EQ(Bytes(doc),
            "\x02\x01\x00\x64\x06\x80\x01p\x81\x01\x62\xE0\x06\x80\x01p\x81\x01u"
            "\x65\x05\x80\x00\x81\x01x\xD1\x01\x31\xA5\x00"
            "\x64\x05\x80\x00\x81\x01\x61\xD1\x02hi\xA4\x00\xD1\x82\x01\x2C"s +
                big + "\xD3\x02\x01\x02\xA4\x00"s);
  ASSERT_TRUE(AllOk({doc.Rewind(), doc.NextToken()}));
  EXPECT_EQ(doc.GetLocalName() + doc.GetNamespace() + doc.GetPrefix(), "bup");
  ExpectTexts(doc, {"@x", "1", "a", "hi"});
  // The compact format defines name 0 (a) and name 1 (x); the inner element uses name 0 again.
  XmlParser compact;
  ASSERT_TRUE(AllOk({compact.SetDataFormat(XmlParser::Format_Compact), compact.OpenElement(0, "a"),
                     compact.WriteAttribute(0, "x", "1"), compact.WriteElement(0, "a", "hi"),
                     compact.CloseAll()}));
  EXPECT_EQ(Bytes(compact),
            "\x02\x04\x00\x64\x00\x00\x01\x61\x65\x01\x00\x01x\xD1\x01\x31\xA5"
            "\x64\x00\xD1\x02hi\xA4\xA4"s);
  ExpectTexts(compact, {"/a/a", "hi", "/a/@x", "1"});
}

TEST(XmlParserRoundTripTest, TextToTokensToTextKeepsEveryConstruct) {
  util::Ref<XmlParser> text = FromText(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- a comment -->"
      "<r:root xmlns:r=\"urn:r\" xmlns=\"urn:d\" a=\"1 &amp; &quot;2&quot;\">"
      "<item n=\"1\">x &lt; y &amp; z</item><item n=\"2\"><![CDATA[<raw> & ]]>tail</item>"
      "<other xmlns=\"\">plain</other>"
      "<r:deep><r:deeper r:q=\"v\">&#x41;&#66;&unknown;</r:deeper></r:deep><empty "
      "b=\"3\"/></r:root>");
  util::Ref<XmlParser> tokens = Convert(*text, XmlParser::Format_Binary);
  util::Ref<XmlParser> compact = Convert(*tokens, XmlParser::Format_Compact);
  util::Ref<XmlParser> back = Convert(*compact, XmlParser::Format_XmlUtf8);
  EXPECT_EQ(Bytes(*back),
            "<r:root xmlns:r=\"urn:r\" a=\"1 &amp; &quot;2&quot;\">"
            "<item xmlns=\"urn:d\" n=\"1\">x &lt; y &amp; z</item>"
            "<item xmlns=\"urn:d\" n=\"2\">&lt;raw> &amp; tail</item><other>plain</other>"
            "<r:deep><r:deeper r:q=\"v\">AB&amp;unknown;</r:deeper></r:deep>"
            "<empty xmlns=\"urn:d\" b=\"3\"></empty></r:root>");
  for (XmlParser* d : {text.get(), tokens.get(), compact.get(), back.get()}) {
    SCOPED_TRACE(d->GetDataFormat());
    ExpectTexts(*d, {"/root/item[2]", "<raw> & tail", "/root/@a", "1 & \"2\"",
                     "/root/deep/deeper/@q", "v", "/root/deep/deeper", "AB&unknown;"});
    XmlParser c(*d);
    ASSERT_TRUE(c.MoveToPath("/root/item[2]").IsSuccess());
    EXPECT_EQ(c.GetNamespace(), "urn:d");
    ASSERT_TRUE(c.MoveToPath("/root/other").IsSuccess());
    EXPECT_EQ(c.GetNamespace(), "");
    // An attribute without a prefix has no namespace, after one that had.
    ASSERT_TRUE(c.MoveToPath("/root/empty/@b").IsSuccess());
    EXPECT_EQ(c.GetNamespace(), "");
  }
}

TEST(XmlParserPathTest, IndexConditionsAbsolutePathsAndTypedReads) {
  util::Ref<XmlParser> doc = FromText(
      "<r><a><b>1</b><b>2</b><b>3</b></a><a><b>4</b><b>5</b></a>"
      "<list><Item>i1</Item><Item>i2</Item><Item>i3</Item></list><last>L</last></r>");
  ExpectTexts(*doc, {"/r/a/b[2]", "2", "/r/a[2]/b[2]", "5", "/r/list/Item[>=2]", "i2",
                     "/r/list/Item[<2]", "i1", "/r/list/Item[>2]", "i3", "/r/*/Item[3]", "i3"});
  EXPECT_FALSE(doc->ExistsPath("/r/list/Item[0]"));
  EXPECT_FALSE(doc->ExistsPath("/r/list/Item[4]"));
  // From the middle: an absolute path finds nodes before the cursor; a relative one only
  // looks below the current element.
  ASSERT_TRUE(doc->MoveToPath("/r/list").IsSuccess());
  ExpectTexts(*doc, {"/r/a/b", "1", "Item[2]", "i2"});
  EXPECT_FALSE(doc->ExistsPath("last"));
  ASSERT_TRUE(doc->MoveToPath("Item[>=2]").IsSuccess());
  EXPECT_EQ(doc->GetIndex(), 2);
  EXPECT_EQ(doc->GetDepth(), 3);
  Result r = XmlParser(*doc).MoveToPath("nothing/here");
  EXPECT_EQ(r.Category(), util::ErrObjNotExist);
  EXPECT_EQ(
      r.ErrorText().rfind("Failed to move to Xpath {nothing/here} (started at {Item,d=3,p=", 0), 0u)
      << r.ErrorText();
  // Typed reads.
  doc = FromText(
      "<c><t>true</t><f>false</f><one>1</one><zero>0</zero><e></e><bad>yes</bad>"
      "<n> -42 </n><big>-9223372036854775807</big><mode>wildcard</mode></c>");
  const std::pair<const char*, bool> bools[] = {
      {"/c/t", true}, {"/c/one", true}, {"/c/f", false}, {"/c/zero", false}, {"/c/e", false}};
  for (const auto& [path, want] : bools) {
    bool v = !want;
    ASSERT_TRUE(doc->ReadBoolAtPath(path, &v).IsSuccess());
    EXPECT_EQ(v, want) << path;
  }
  bool v = false;
  EXPECT_EQ(doc->ReadBoolAtPath("/c/bad", &v).Category(), util::ErrLogicArgs);
  EXPECT_EQ(doc->ReadBoolAtPath("/c/missing", &v).Category(), util::ErrObjNotExist);
  int32_t n = 0;
  int64_t big = 0;
  int mode = -1;
  const XmlNamedValue modes[] = {{"strict", 0}, {"wildcard", 1}, {"optional", 2}};
  ASSERT_TRUE(AllOk({doc->ReadIntAtPath("/c/n", &n), doc->ReadInt64AtPath("/c/big", &big),
                     doc->ReadNamedValueAtPath("/c/mode", modes, 3, &mode)}));
  EXPECT_EQ(n, -42);
  EXPECT_EQ(big, -9223372036854775807LL);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(doc->ReadIntAtPath("/c/big", &n).Category(), util::ErrLogicArgs);
  char buf[8];
  int len = 7;
  EXPECT_EQ(doc->ReadTextAtPath("/c/missing", buf, sizeof(buf), &len).Category(),
            util::ErrObjNotExist);
  EXPECT_EQ(len, 0);
}

// One walk for several paths finds, for each, the node that MoveToPath finds: the first on
// it in document order, behind same-named nodes elsewhere and paths that end early.
TEST(XmlParserPathTest, SeveralPathsInOneWalkFindWhatMoveToPathFinds) {
  util::Ref<XmlParser> text = FromText(
      "<r><f><x><a>early</a></x><g a=\"attr\"><a>1</a><b>2</b><a>3</a></g>"
      "<g><c>4</c><h><d>5</d></h></g><e>6</e></f><after><a>out</a></after></r>");
  util::Ref<XmlParser> tokens = Convert(*text, XmlParser::Format_Binary);
  const char* const paths[] = {"g/a", "g/c", "g/h/d", "g/h", "e", "a", "g/missing", "nothing"};
  for (XmlParser* doc : {text.get(), tokens.get()}) {
    SCOPED_TRACE(doc->GetDataFormat());
    XmlParser function(*doc);
    ASSERT_TRUE(function.MoveToPath("/r/f").IsSuccess());
    std::vector<util::Ref<XmlParser>> found;
    ASSERT_TRUE(function.FindPaths(paths, 8, &found).IsSuccess());
    ASSERT_EQ(found.size(), 8u);
    for (int i = 0; i < 8; ++i) {
      SCOPED_TRACE(paths[i]);
      XmlParser alone(function);
      if (alone.MoveToPath(paths[i]).IsError()) {
        EXPECT_FALSE(found[i]);
        continue;
      }
      ASSERT_TRUE(found[i]);
      EXPECT_EQ(found[i]->GetPosition(), alone.GetPosition());
      EXPECT_EQ(found[i]->GetDepth(), alone.GetDepth());
      std::string a, b;  // the same text, or the same refusal (an element with children)
      EXPECT_EQ(found[i]->ReadString(&a).IsSuccess(), alone.ReadString(&b).IsSuccess());
      EXPECT_EQ(a, b);
    }
    EXPECT_EQ(function.GetPosition(), XmlParser(function).GetPosition()) << "the cursor moved";
    // Paths of another form are left to MoveToPath: the walk says it is not complete.
    const char* const others[] = {"g//b", "g/@a", "g[2]/c", "*/a", "/r/f/e"};
    EXPECT_TRUE(function.FindPaths(others, 5, &found).IsError());
    EXPECT_TRUE(found[0]);
    EXPECT_FALSE(found[1] || found[2] || found[3] || found[4]);
  }
}

TEST(XmlParserTextTest, EscapesIndentationDeclarationLatin1AndErrors) {
  XmlParser doc;
  ASSERT_TRUE(AllOk({doc.SetDataFormat(XmlParser::Format_XmlUtf8), doc.OpenElement(0, "e"),
                     doc.WriteAttribute(0, "v", "<&\">'"), doc.WriteChars("<&\">\x01\t\n"),
                     doc.CloseAll()}));
  EXPECT_EQ(Bytes(doc), "<e v=\"&lt;&amp;&quot;>'\">&lt;&amp;\">\t\n</e>");
  std::string out;
  XmlEscapeAppend(&out, "a'b", 3, '\'');
  EXPECT_EQ(out, "a&apos;b");
  out.clear();
  const char* refs = "&#x41;&#66;&foo;&lt;&#;&#12345678;&#x20AC;&#x110000;.";
  XmlUnescapeAppend(&out, refs, std::strlen(refs));
  EXPECT_EQ(out, "AB&foo;<&#;&#12345678;\xE2\x82\xAC.");
  doc.Reset();
  ASSERT_TRUE(doc.SetDataFormat(XmlParser::Format_XmlUtf8).IsSuccess());
  EXPECT_EQ(doc.SetIndentation(6).Category(), util::ErrLogicArgs);
  ASSERT_TRUE(AllOk({doc.SetIndentation(2), doc.WriteDeclaration("UTF-8"), doc.OpenElement(0, "a"),
                     doc.WriteElement(0, "b", "t"), doc.OpenElement(0, "c"),
                     doc.WriteEmptyElement(0, "d"), doc.CloseAll()}));
  EXPECT_EQ(Bytes(doc),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<a>\r\n  <b>t</b>\r\n  <c>\r\n"
            "    <d></d>\r\n  </c>\r\n</a>");
  EXPECT_EQ(doc.WriteDeclaration().ErrorText(),
            "Writting XML Start Declaration is not Allowed at this position");
  EXPECT_EQ(doc.SetDataFormat(3).ErrorText(), "Set XmlDataFormat 3 not supported");
  EXPECT_EQ(doc.SetDataFormat(XmlParser::Format_Binary).Category(), util::ErrLogicState);
  const std::pair<const char*, const char*> bad[] = {
      {"<a b></a>", "Character '=' expected after attribute name"},
      {"<a =\"1\"></a>", "zero-length name"},
      {"<q:a></q:a>", "Invalid namespace prefix 'q'"}};
  for (const auto& [xml, error] : bad) EXPECT_EQ(FromText(xml)->NextToken().ErrorText(), error);
  util::Ref<XmlParser> latin1 =
      FromText("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a x=\"\xE9\">gr\xFC\xDF</a>");
  ExpectTexts(*latin1, {"/a", "gr\xC3\xBC\xC3\x9F", "/a/@x", "\xC3\xA9"});
  ASSERT_TRUE(latin1->NextToken().IsSuccess());
  EXPECT_EQ(latin1->GetDataFormat(), XmlParser::Format_XmlLatin1);
}

TEST(XmlParserContentTest, ReadsInPartsAndStates) {
  std::string data(100000, 0);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + (i >> 9));
  XmlParser bin;
  // Written in odd pieces so that the base64 groups of the text copy straddle the calls.
  ASSERT_TRUE(AllOk({bin.OpenElement(0, "f"), bin.WriteBinary(data.data(), 1),
                     bin.WriteBinary(data.data() + 1, 50000),
                     bin.WriteBinary(data.data() + 50001, data.size() - 50001), bin.CloseAll()}));
  // Binary reads fill the buffer and warn of more; text reads end at whole characters
  // (3-byte characters through an 8-byte buffer).
  std::string euros;
  for (int i = 0; i < 5; ++i) euros += "\xE2\x82\xAC";
  util::Ref<XmlParser> text = Convert(bin, XmlParser::Format_XmlUtf8),
                       t = FromText("<f>" + euros + "</f>"),
                       tb = Convert(*t, XmlParser::Format_Binary);
  for (XmlParser* d : {&bin, text.get(), t.get(), tb.get()}) {
    const bool binary = d->GetMessage()->Size() > 1000;
    ASSERT_TRUE(d->MoveToPath("/f").IsSuccess());
    std::string got;
    char buf[4000];
    for (Result r; got.empty() || r.Category() == util::ErrMoreData;) {
      int len = 0;
      r = binary ? d->ReadBinary(buf, sizeof(buf), &len) : d->ReadText(buf, 8, &len);
      ASSERT_TRUE(r.IsSuccess()) << r.Text();
      got.append(buf, len);
      EXPECT_TRUE(binary || (len % 3 == 0 && std::strlen(buf) == static_cast<size_t>(len)));
      EXPECT_TRUE(r.Category() != util::ErrMoreData || !binary || len == 4000);
    }
    EXPECT_EQ(got, binary ? data : euros);
  }
  EXPECT_EQ(Bytes(*text).size(), 3 + util::Base64EncodedSize(data.size()) + 4);
  std::string exact(data.size(), 0);
  ASSERT_TRUE(AllOk({text->MoveToPath("/f"), text->ReadBinaryExact(exact.data(), 100000)}));
  EXPECT_EQ(exact, data);
  util::Ref<XmlParser> mixed = FromText("<a><b>x</b></a>");
  ASSERT_TRUE(mixed->MoveToPath("/a").IsSuccess());
  char buf[16];
  int len;
  EXPECT_EQ(mixed->ReadText(buf, sizeof(buf), &len).ErrorText(),
            "XmlParser::ReadChars complex content found");
  ASSERT_TRUE(AllOk({mixed->NextToken(), mixed->NextToken()}));  // "x", </b>
  EXPECT_EQ(mixed->ReadText(buf, sizeof(buf), &len).ErrorText(),
            "Invalid State in XmlParser::ReadChars (NodeType=164, Expected 209)");
  util::Ref<XmlParser> small = FromText("<a>AAA=</a>");
  ASSERT_TRUE(small->MoveToPath("/a").IsSuccess());
  EXPECT_EQ(small->ReadBinaryExact(buf, 4).ErrorText(), "read 2 binary bytes instead of 4");
}

TEST(XmlParserEditTest, CopyModesAndDelete) {
  util::Ref<XmlParser> src = FromText("<a k=\"v\"><b>1</b><c>2</c></a>");
  XmlParser out;
  ASSERT_TRUE(AllOk({out.SetDataFormat(XmlParser::Format_XmlUtf8), out.OpenElement(0, "Config"),
                     src->MoveToPath("/a"), out.CopySubtree(*src, 0), out.CloseAll()}));
  EXPECT_EQ(Bytes(out), "<Config><b>1</b><c>2</c></Config>");
  XmlParser doc;
  ASSERT_TRUE(AllOk({doc.OpenElement(0, "r"), doc.WriteElement(0, "keep", "1")}));
  const std::string before = Bytes(doc);
  ASSERT_TRUE(AllOk({doc.WriteElement(0, "drop", "2"), doc.DeleteNode()}));
  EXPECT_EQ(Bytes(doc), before);
  EXPECT_EQ(doc.DeleteNode().ErrorText(), "can't delete, no previous node position stored");
  ASSERT_TRUE(
      AllOk({doc.OpenElement(0, "box"), doc.WriteElement(0, "x", "3"), doc.OpenElement(0, "y"),
             doc.WriteChars("4"), doc.CloseElement(), doc.CloseAll()}));
  EXPECT_EQ(testing::At(doc, "/r/box/y"), "4");
  // Reading: delete the node at the cursor, or its content.
  ASSERT_TRUE(AllOk({doc.MoveToPath("/r/box/x"), doc.DeleteNode()}));
  EXPECT_FALSE(doc.ExistsPath("/r/box/x"));
  EXPECT_EQ(testing::At(doc, "/r/keep"), "1");
  ASSERT_TRUE(AllOk({doc.MoveToPath("/r/box"), doc.DeleteNodeContent()}));
  EXPECT_FALSE(doc.ExistsPath("/r/box/y"));
  EXPECT_TRUE(doc.ExistsPath("/r/box"));
  ASSERT_TRUE(AllOk({doc.MoveToPath("/r/keep"), doc.NextToken(), doc.NextToken()}));
  EXPECT_EQ(doc.DeleteNode().ErrorText(), "can't delete end node");
  EXPECT_EQ(out.DeleteNode().ErrorText(), "DeleteTokens XmlDataFormat 8 not supported");
}

// An element written whole leaves the bytes and the writer as opening it, writing its text
// and closing it do: in both token formats, with its namespace inherited, absent, in scope or
// to be declared, with no, short and long text, and whatever follows (an element, a deletion).
TEST(XmlParserEditTest, AnElementWrittenWholeIsOneOpenedFilledAndClosed) {
  const std::string longText(5000, 'x');
  for (int format : {XmlParser::Format_Binary, XmlParser::Format_Compact}) {
    for (const char* text : {"", "short", longText.c_str()}) {
      for (int after = 0; after < 3; ++after) {
        XmlParser whole, parts;
        for (XmlParser* doc : {&whole, &parts}) {
          const int p = doc->DeclareNamespace("p", "urn:p");
          ASSERT_TRUE(AllOk({doc->SetDataFormat(format), doc->OpenElement(p, "r")}));
          const int q = doc->DeclareNamespace("q", "urn:q");
          // q is declared with its first element and out of scope again for its second; the
          // last element is the one that a deletion after it removes.
          for (int ns : {q, -1, 0, q, p}) {
            if (doc == &whole) {
              ASSERT_TRUE(AllOk({doc->WriteElement(ns, "e", text)}));
            } else {
              ASSERT_TRUE(AllOk({doc->OpenElement(ns, "e"),
                                 *text ? doc->WriteChars(text) : Result(), doc->CloseElement()}));
            }
          }
          const Result next = after == 0   ? doc->WriteElement(-1, "next", "n")
                              : after == 1 ? doc->DeleteNode()
                                           : doc->DeleteNodeContent();
          ASSERT_TRUE(AllOk({next, doc->CloseAll()}));
        }
        EXPECT_EQ(Bytes(whole), Bytes(parts)) << format << " " << std::strlen(text) << " " << after;
      }
    }
  }
}

TEST(XmlParserSoapTest, AnswersFaultsHeadersAndCommunicationResults) {
  XmlParser ok;
  ASSERT_TRUE(ok.WriteAnswer(Result()).IsSuccess());
  bool progress = true;
  EXPECT_TRUE(ok.CheckAnswer(nullptr, nullptr, &progress).IsSuccess());
  EXPECT_FALSE(progress);
  EXPECT_EQ(Bytes(*Convert(ok, XmlParser::Format_XmlUtf8)),
            std::string("<s:Envelope xmlns:s=\"") + kNsSoapEnvelope +
                "\"><s:Header><t:type xmlns:t=\"" + kNsXelMessage +
                "\">2</t:type></s:Header><s:Body><c:ok xmlns:c=\"" + kNsXelMessage +
                "\"></c:ok></s:Body></s:Envelope>");
  for (uint32_t cat : {util::ErrLogicArgs, util::ErrObjNotExist}) {
    Result err =
        Result::Make(cat, util::ModUnknown, util::ObjXelcFile, util::SevError, "bad %u", cat);
    XmlParser answer;
    ASSERT_TRUE(answer.WriteAnswer(err).IsSuccess());
    EXPECT_EQ(testing::At(answer, "/Envelope/Body/Fault/faultcode"),
              cat == 101 ? "s:Client" : "s:Server");
    EXPECT_EQ(testing::At(answer, "/Envelope/Body/Fault/detail/result/info"), err.ErrorText());
    Result got = answer.CheckAnswer("x", nullptr, &progress);
    EXPECT_EQ(got.Code(), err.Code());
    EXPECT_EQ(got.ErrorText(), err.ErrorText());
  }
  XmlParser cred, req;
  ASSERT_TRUE(AllOk(
      {cred.OpenElement(0, "basic-credentials"), cred.WriteElement(0, "userid", "bob"),
       cred.WriteElement(0, "password", "pw"), cred.CloseAll(),
       req.BeginMessage(XmlParser::MsgType_Request, "XelcFile", &cred, "poll-res", kNsXelMessage),
       req.WriteElement(-1, "n", "1"), req.CloseAll()}));
  int type = 0;
  std::string target, fun, ns;
  util::Ref<XmlParser> credDoc;
  ASSERT_TRUE(req.ReadHeader(&type, &target, &credDoc, &fun, &ns).IsSuccess());
  EXPECT_EQ(type, 1);
  EXPECT_EQ(target + " " + fun + " " + ns, std::string("XelcFile poll-res ") + kNsXelMessage);
  EXPECT_EQ(testing::At(req, "n"), "1");
  ASSERT_TRUE(credDoc.HasObject());
  char user[16], pw[16];
  ASSERT_TRUE(credDoc->ReadBasicCredentials(user, sizeof(user), pw, sizeof(pw)).IsSuccess());
  EXPECT_EQ(std::string(user) + "/" + pw, "bob/pw");
  EXPECT_EQ(req.CheckAnswer("poll-res", nullptr, &progress).ErrorText(),
            "invalid RPC Message type 1 (expected 2; fun=poll-res) ");
  XmlParser other, notice;
  ASSERT_TRUE(
      AllOk({other.BeginMessage(2, nullptr, nullptr, "confirm-res", "urn:x"), other.CloseAll(),
             notice.BeginMessage(0, nullptr, nullptr, "CallProgress", kNsXelMessage),
             notice.CloseAll()}));
  EXPECT_EQ(other.CheckAnswer("poll-res", nullptr, &progress).ErrorText(),
            "invalid RPC Response object confirm-res (expected poll-res)");
  EXPECT_EQ(other.CheckAnswer("confirm-res", "urn:y", &progress).ErrorText(),
            "invalid RPC Response Namespace urn:x (expected urn:y)");
  ASSERT_TRUE(notice.CheckAnswer("poll-res", nullptr, &progress).IsSuccess());
  EXPECT_TRUE(progress);
  const std::string env = "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">";
  const std::pair<std::string, const char*> bad[] = {
      {"<Envelope/>",
       "invalid SOAP Envelope (Envelope != Envelope) or ( != "
       "http://schemas.xmlsoap.org/soap/envelope/)"},
      {env + "<s:Header/></s:Envelope>", "no SOAP Body"},
      {env + "<s:Body> </s:Body></s:Envelope>", "empty SOAP Body"}};
  for (const auto& [xml, error] : bad) {
    Result r = FromText(xml)->ReadHeader(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(r.Category(), util::ErrSoapFormat);
    EXPECT_EQ(r.ErrorText(), error);
  }
  // Communication results write only what is set and read back.
  XmlParser doc;
  util::CommResult bare, full, back;
  full.Set(util::CommBadContent, 40, "E", "diag %d", 7);
  ASSERT_TRUE(AllOk({doc.OpenElement(0, "r"), doc.WriteCommResult(bare, 0, "CommResult"),
                     doc.WriteCommResult(full, 0, "Other"), doc.CloseAll()}));
  EXPECT_EQ(Bytes(*Convert(doc, XmlParser::Format_XmlUtf8)),
            "<r><CommResult><ErrorCategory>UNKNOWN</ErrorCategory></CommResult>"
            "<Other><ErrorCategory>BAD-CONTENT</ErrorCategory><ConnectionLevel>40</ConnectionLevel>"
            "<ErrorCode>E</ErrorCode><Diagnostics>diag 7</Diagnostics></Other></r>");
  ASSERT_TRUE(doc.ReadCommResult("/r/Other", &back).IsSuccess());
  EXPECT_EQ(back.Text(), full.Text());
}

TEST(XmlParserTransferTest, CopiesReadAnArrivingMessageAndReadBlocksAreReleased) {
  auto a = util::Ref<testing::QueueConnection>::Adopt(new testing::QueueConnection);
  auto b = util::Ref<testing::QueueConnection>::Adopt(new testing::QueueConnection);
  testing::QueueConnection::Pair(a.get(), b.get());
  XmlParser out, in;
  ASSERT_TRUE(out.OpenElement(0, "list").IsSuccess());
  for (int i = 1; i <= 2000; ++i) ASSERT_TRUE(out.WriteElementInt(0, "Item", i).IsSuccess());
  ASSERT_TRUE(AllOk({out.Send(a.get(), 1000), in.Receive(b.get(), 0)}));
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&in, &good, t] {
      XmlParser copy(in);
      for (int i = 2000 - t; i > 0; i -= 397) {
        const std::string path = "/list/Item[" + std::to_string(i) + "]";
        good += testing::At(copy, path.c_str()) == std::to_string(i);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 4 * 6);
  EXPECT_TRUE(in.GetMessage()->IsComplete());
  // A large document: read blocks are released once the reader asks for it.
  XmlParser bigOut, bigIn;
  const std::string big(20000, 'q'), data(1 << 20, 'd');
  ASSERT_TRUE(AllOk({bigOut.BeginMessage(1, nullptr, nullptr, "CreateFile", kNsXelMessage),
                     bigOut.WriteElement(-1, "data", big.c_str()),
                     bigOut.WriteElementBinary(-1, "file", data.data(), int64_t{1} << 20),
                     bigOut.Send(a.get(), 1000), bigIn.Receive(b.get(), 0)}));
  EXPECT_EQ(bigIn.GetMessage()->Size(), 4000);  // the rest follows as it is read
  std::string fun;
  ASSERT_TRUE(bigIn.ReadHeader(nullptr, nullptr, nullptr, &fun, nullptr).IsSuccess());
  EXPECT_EQ(fun, "CreateFile");
  EXPECT_EQ(testing::At(bigIn, "data"), big);
  bigIn.SetReleaseReadData(true);
  ASSERT_TRUE(bigIn.MoveToPath("file").IsSuccess());
  std::vector<char> buf(100000);
  int64_t total = 0;
  for (Result r; total == 0 || r.Category() == util::ErrMoreData;) {
    int len = 0;
    r = bigIn.ReadBinary(buf.data(), static_cast<int>(buf.size()), &len);
    ASSERT_TRUE(r.IsSuccess()) << r.Text();
    total += len;
  }
  EXPECT_EQ(total, static_cast<int64_t>(data.size()));
  EXPECT_GT(bigIn.GetMessage()->ReleasedUpTo(), 900000);
  EXPECT_EQ(bigIn.Rewind().Category(), util::ErrObjNotExist);
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
  EXPECT_TRUE(Convert(*FromText(text), XmlParser::Format_Binary)
                  ->CompareWithTemplate(*FromText(text))
                  .IsSuccess());
  // Binary content is compared as its base64 text.
  XmlParser bin;
  ASSERT_TRUE(AllOk({bin.OpenElement(0, "a"),
                     bin.WriteElementBinary(0, "bin", "\x00\x01\x02\x03", 4), bin.CloseAll()}));
  EXPECT_TRUE(bin.CompareWithTemplate(*FromText("<a><bin>AAECAw==</bin></a>")).IsSuccess());
  ASSERT_TRUE(bin.Rewind().IsSuccess());
  EXPECT_EQ(bin.CompareWithTemplate(*FromText("<a><bin>AAECBA==</bin></a>")).SlotText(0),
            "text content different at \"/a/bin\" (ref=AAECBA==, cmp=AAECAw==)");
}

TEST(XmlParserDumpTest, DumpsIndentedTruncatedAndBadDocumentsWhileTheIdIsOn) {
  XmlParser doc, big, bad;
  ASSERT_TRUE(AllOk({doc.OpenElement(0, "a"), doc.WriteElement(0, "b", "text"), doc.CloseAll(),
                     big.WriteElement(0, "big", std::string(200000, 'x').c_str()), big.CloseAll(),
                     bad.GetMessage()->Append("<a><b></a>", 10)}));
  constexpr uint32_t kId = util::General_99;
  testing::LogCapture capture(util::LogChannelTrace);
  util::EnableTraceId(kId, true);
  // The trace lines without their leading typed arguments.
  auto lines = [&capture] {
    std::vector<std::string> out = capture.Matching("");
    for (std::string& line : out) line.erase(0, line.rfind("{", 0) == 0 ? line.find("} ") + 2 : 0);
    return out;
  };
  doc.DumpToTrace(kId, "out");
  const std::string size = std::to_string(doc.GetMessage()->Size());
  EXPECT_EQ(lines(),
            std::vector<std::string>({"Trace Message (out) RxSize=" + size + ", CurrentPos=" + size,
                                      "<a>", "  <b>text</b>", "</a>"}));
  // The dump reads a copy: the document's cursor does not move.
  EXPECT_EQ(doc.GetDepth(), 0);
  big.DumpToTrace(kId, "big");
  EXPECT_EQ(lines().back(), "XML Dump truncated (BufferSize=65536)");
  bad.DumpToTrace(kId, "bad");
  EXPECT_EQ(lines().back().rfind("XML Dump failed with ", 0), 0u) << lines().back();
  const size_t count = capture.Count();
  util::EnableTraceId(kId, false);
  bad.DumpToTrace(kId, "off");
  EXPECT_EQ(capture.Count(), count);
}

// A document of nothing but start tags must not make the reader keep a level per tag without
// end: nesting beyond the limit is refused in every format, and the depth below it is read.
TEST(XmlParserMalformed, NestingBeyondTheLimitIsRefused) {
  for (int format :
       {XmlParser::Format_XmlUtf8, XmlParser::Format_Binary, XmlParser::Format_Compact}) {
    for (const auto& [levels, refused] : {std::pair{500, false}, std::pair{513, true}}) {
      SCOPED_TRACE("format " + std::to_string(format) + ", " + std::to_string(levels) + " levels");
      util::Ref<XmlParser> doc = XmlParser::Create();
      ASSERT_TRUE(doc->SetDataFormat(format).IsSuccess());
      for (int i = 0; i < levels; ++i) ASSERT_TRUE(doc->OpenElement(0, "a").IsSuccess());
      ASSERT_TRUE(AllOk({doc->CloseAll(), doc->Rewind()}));
      util::Result r;
      int deepest = 0;
      while ((r = doc->NextToken()).IsSuccess()) deepest = std::max(deepest, doc->GetDepth());
      if (refused) {
        EXPECT_EQ(r.Category(), util::ErrXmlFormat) << r.Text();
        EXPECT_NE(r.Text().find("nested deeper than 512"), std::string::npos) << r.Text();
      } else {
        EXPECT_EQ(deepest, levels);
        EXPECT_NE(r.Category(), util::ErrXmlFormat) << r.Text();
      }
    }
  }
}

}  // namespace
}  // namespace velmora::xel
