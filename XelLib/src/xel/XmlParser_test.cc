// Tests of the message document: encodings, paths, content reads, escaping and SOAP.
#include "xel/XmlParser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QueueConnection.h"
#include "util/Text.h"

namespace velmora::xel {
namespace {

using util::Result;

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
util::Ref<XmlParser> Convert(XmlParser& src, int format, int indent = 0) {
  util::Ref<XmlParser> out = XmlParser::Create();
  EXPECT_TRUE(out->SetDataFormat(format).IsSuccess());
  EXPECT_TRUE(out->SetIndentation(indent).IsSuccess());
  EXPECT_TRUE(src.Rewind().IsSuccess());
  Result r;
  do {
    r = src.NextToken();
  } while (r.IsSuccess() && src.GetNodeType() != XmlParser::Node_ElementStart);
  EXPECT_TRUE(r.IsSuccess()) << r.Text();
  r = out->CopySubtree(src, 1);
  EXPECT_TRUE(r.IsSuccess()) << r.Text();
  EXPECT_TRUE(out->CloseAll().IsSuccess());
  return out;
}

std::string Text(const std::string& path, const XmlParser& doc) {
  std::string s;
  Result r = doc.ReadStringAtPath(path.c_str(), &s);
  return r.IsSuccess() ? s : "<" + r.ErrorText() + ">";
}

TEST(XmlParserBinaryTest, SmallDocumentHasTheExpectedBytes) {
  XmlParser doc;
  int hp = doc.DeclareNamespace("p", "u");
  ASSERT_TRUE(doc.OpenElement(hp, "b").IsSuccess());
  ASSERT_TRUE(doc.WriteAttribute(0, "x", "1").IsSuccess());
  ASSERT_TRUE(doc.WriteElement(0, "a", "hi").IsSuccess());
  std::string big(200, 'z');
  ASSERT_TRUE(doc.WriteChars(big.c_str()).IsSuccess());
  ASSERT_TRUE(doc.WriteBinary("\x01\x02", 2).IsSuccess());
  ASSERT_TRUE(doc.CloseAll().IsSuccess());
  const std::string expected = std::string("\x02\x01\x00", 3) +
                               // element start p:b and the declaration of p
                               std::string(
                                   "\x64\x06\x80\x01p\x81\x01"
                                   "b",
                                   8) +
                               std::string("\xE0\x06\x80\x01p\x81\x01u", 8) +
                               // attribute x="1"
                               std::string("\x65\x05\x80\x00\x81\x01x", 7) +
                               std::string(
                                   "\xD1\x01"
                                   "1",
                                   3) +
                               std::string("\xA5\x00", 2) +
                               // <a>hi</a>
                               std::string(
                                   "\x64\x05\x80\x00\x81\x01"
                                   "a",
                                   7) +
                               std::string("\xD1\x02hi", 4) + std::string("\xA4\x00", 2) +
                               // 200 characters: a length of two bytes
                               std::string("\xD1\x81\xC8", 3) + big +
                               // binary content and the end of b
                               std::string("\xD3\x02\x01\x02", 4) + std::string("\xA4\x00", 2);
  EXPECT_EQ(Bytes(doc), expected);

  ASSERT_TRUE(doc.Rewind().IsSuccess());
  ASSERT_TRUE(doc.NextToken().IsSuccess());
  EXPECT_EQ(doc.GetLocalName(), "b");
  EXPECT_EQ(doc.GetNamespace(), "u");
  EXPECT_EQ(doc.GetPrefix(), "p");
  EXPECT_EQ(Text("@x", doc), "1");
  EXPECT_EQ(Text("a", doc), "hi");
}

const char kRich[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<!-- a comment -->"
    "<r:root xmlns:r=\"urn:r\" xmlns=\"urn:d\" a=\"1 &amp; &quot;2&quot;\">"
    "<item n=\"1\">x &lt; y &amp; z</item>"
    "<item n=\"2\"><![CDATA[<raw> & ]]>tail</item>"
    "<other xmlns=\"\">plain</other>"
    "<r:deep><r:deeper r:q=\"v\">&#x41;&#66;&unknown;</r:deeper></r:deep>"
    "<empty/>"
    "</r:root>";

TEST(XmlParserRoundTripTest, TextToTokensToTextKeepsEveryConstruct) {
  util::Ref<XmlParser> text = FromText(kRich);
  util::Ref<XmlParser> tokens = Convert(*text, XmlParser::Format_Binary);
  util::Ref<XmlParser> compact = Convert(*tokens, XmlParser::Format_Compact);
  util::Ref<XmlParser> back = Convert(*compact, XmlParser::Format_XmlUtf8);
  EXPECT_EQ(Bytes(*back),
            "<r:root xmlns:r=\"urn:r\" a=\"1 &amp; &quot;2&quot;\">"
            "<item xmlns=\"urn:d\" n=\"1\">x &lt; y &amp; z</item>"
            "<item xmlns=\"urn:d\" n=\"2\">&lt;raw> &amp; tail</item>"
            "<other>plain</other>"
            "<r:deep><r:deeper r:q=\"v\">AB&amp;unknown;</r:deeper></r:deep>"
            "<empty xmlns=\"urn:d\"></empty>"
            "</r:root>");
  for (XmlParser* d : {text.get(), tokens.get(), compact.get(), back.get()}) {
    SCOPED_TRACE(d->GetDataFormat());
    EXPECT_EQ(Text("/root/item[2]", *d), "<raw> & tail");
    EXPECT_EQ(Text("/root/@a", *d), "1 & \"2\"");
    EXPECT_EQ(Text("/root/deep/deeper/@q", *d), "v");
    EXPECT_EQ(Text("/root/deep/deeper", *d), "AB&unknown;");
    XmlParser c(*d);
    ASSERT_TRUE(c.MoveToPath("/root/item[2]").IsSuccess());
    EXPECT_EQ(c.GetNamespace(), "urn:d");
    ASSERT_TRUE(c.MoveToPath("/root/other").IsSuccess());
    EXPECT_EQ(c.GetNamespace(), "");
  }
}

TEST(XmlParserRoundTripTest, BinaryContentTravelsAsBase64InText) {
  std::string data;
  for (int i = 0; i < 70000; ++i) data.push_back(static_cast<char>(i * 31 + (i >> 8)));
  XmlParser doc;
  ASSERT_TRUE(doc.OpenElement(0, "f").IsSuccess());
  // Written in odd pieces so the base64 groups straddle the calls.
  ASSERT_TRUE(doc.WriteBinary(data.data(), 1).IsSuccess());
  ASSERT_TRUE(doc.WriteBinary(data.data() + 1, 50000).IsSuccess());
  ASSERT_TRUE(doc.WriteBinary(data.data() + 50001, data.size() - 50001).IsSuccess());
  ASSERT_TRUE(doc.CloseAll().IsSuccess());
  util::Ref<XmlParser> text = Convert(doc, XmlParser::Format_XmlUtf8);
  const std::string xml = Bytes(*text);
  EXPECT_EQ(xml.substr(0, 3), "<f>");
  EXPECT_EQ(xml.size(), 3 + util::Base64EncodedSize(data.size()) + 4);
  for (XmlParser* d : {&doc, text.get()}) {
    XmlParser c(*d);
    ASSERT_TRUE(c.MoveToPath("/f").IsSuccess());
    std::string got(data.size(), 0);
    Result r = c.ReadBinaryExact(got.data(), static_cast<int>(got.size()));
    ASSERT_TRUE(r.IsSuccess()) << r.Text();
    EXPECT_EQ(got, data);
  }
}

TEST(XmlParserPathTest, IndexConditionsAndAbsolutePaths) {
  util::Ref<XmlParser> doc = FromText(
      "<r><a><b>1</b><b>2</b><b>3</b></a><a><b>4</b><b>5</b></a>"
      "<list><Item>i1</Item><Item>i2</Item><Item>i3</Item></list><last>L</last></r>");
  EXPECT_EQ(Text("/r/a/b[2]", *doc), "2");
  EXPECT_EQ(Text("/r/a[2]/b[2]", *doc), "5");
  EXPECT_EQ(Text("/r/list/Item[>=2]", *doc), "i2");
  EXPECT_EQ(Text("/r/list/Item[<2]", *doc), "i1");
  EXPECT_EQ(Text("/r/list/Item[>2]", *doc), "i3");
  EXPECT_EQ(Text("/r/*/Item[3]", *doc), "i3");
  EXPECT_FALSE(doc->ExistsPath("/r/list/Item[0]"));
  EXPECT_FALSE(doc->ExistsPath("/r/list/Item[4]"));

  // From the middle: an absolute path finds nodes before the cursor; a relative one only
  // looks below the current element.
  ASSERT_TRUE(doc->MoveToPath("/r/list").IsSuccess());
  EXPECT_EQ(Text("/r/a/b", *doc), "1");
  EXPECT_EQ(Text("Item[2]", *doc), "i2");
  EXPECT_FALSE(doc->ExistsPath("last"));
  ASSERT_TRUE(doc->MoveToPath("Item[>=2]").IsSuccess());
  EXPECT_EQ(doc->GetIndex(), 2);
  EXPECT_EQ(doc->GetDepth(), 3);

  XmlParser c(*doc);
  Result r = c.MoveToPath("nothing/here");
  EXPECT_EQ(r.Category(), util::ErrObjNotExist);
  EXPECT_EQ(
      r.ErrorText().rfind("Failed to move to Xpath {nothing/here} (started at {Item,d=3,p=", 0), 0u)
      << r.ErrorText();
}

TEST(XmlParserPathTest, BooleansNumbersAndNamedValues) {
  util::Ref<XmlParser> doc = FromText(
      "<c><t>true</t><f>false</f><one>1</one><zero>0</zero><e></e><bad>yes</bad>"
      "<n> -42 </n><big>-9223372036854775807</big><mode>wildcard</mode></c>");
  bool v = false;
  for (const char* p : {"/c/t", "/c/one"}) {
    ASSERT_TRUE(doc->ReadBoolAtPath(p, &v).IsSuccess());
    EXPECT_TRUE(v) << p;
  }
  for (const char* p : {"/c/f", "/c/zero", "/c/e"}) {
    v = true;
    ASSERT_TRUE(doc->ReadBoolAtPath(p, &v).IsSuccess());
    EXPECT_FALSE(v) << p;
  }
  EXPECT_EQ(doc->ReadBoolAtPath("/c/bad", &v).Category(), util::ErrLogicArgs);
  EXPECT_EQ(doc->ReadBoolAtPath("/c/missing", &v).Category(), util::ErrObjNotExist);
  int32_t n = 0;
  ASSERT_TRUE(doc->ReadIntAtPath("/c/n", &n).IsSuccess());
  EXPECT_EQ(n, -42);
  int64_t big = 0;
  ASSERT_TRUE(doc->ReadInt64AtPath("/c/big", &big).IsSuccess());
  EXPECT_EQ(big, -9223372036854775807LL);
  EXPECT_EQ(doc->ReadIntAtPath("/c/big", &n).Category(), util::ErrLogicArgs);
  const XmlNamedValue modes[] = {{"strict", 0}, {"wildcard", 1}, {"optional", 2}};
  int mode = -1;
  ASSERT_TRUE(doc->ReadNamedValueAtPath("/c/mode", modes, 3, &mode).IsSuccess());
  EXPECT_EQ(mode, 1);
  char buf[8];
  int len = 7;
  EXPECT_EQ(doc->ReadTextAtPath("/c/missing", buf, sizeof(buf), &len).Category(),
            util::ErrObjNotExist);
  EXPECT_EQ(len, 0);
}

TEST(XmlParserEscapeTest, WritingEscapesPerContext) {
  XmlParser doc;
  ASSERT_TRUE(doc.SetDataFormat(XmlParser::Format_XmlUtf8).IsSuccess());
  ASSERT_TRUE(doc.OpenElement(0, "e").IsSuccess());
  ASSERT_TRUE(doc.WriteAttribute(0, "v", "<&\">'").IsSuccess());
  ASSERT_TRUE(doc.WriteChars("<&\">\x01\t\n").IsSuccess());
  ASSERT_TRUE(doc.CloseAll().IsSuccess());
  EXPECT_EQ(Bytes(doc), "<e v=\"&lt;&amp;&quot;>'\">&lt;&amp;\">\t\n</e>");

  std::string out;
  XmlEscapeAppend(&out, "a'b", 3, '\'');
  EXPECT_EQ(out, "a&apos;b");
  out.clear();
  const char* refs = "&#x41;&#66;&foo;&lt;&#;&#12345678;&#x20AC;&#x110000;.";
  XmlUnescapeAppend(&out, refs, std::strlen(refs));
  EXPECT_EQ(out, "AB&foo;<&#;&#12345678;\xE2\x82\xAC.");
}

TEST(XmlParserTextTest, IndentationDeclarationAndErrors) {
  XmlParser doc;
  ASSERT_TRUE(doc.SetDataFormat(XmlParser::Format_XmlUtf8).IsSuccess());
  EXPECT_EQ(doc.SetIndentation(6).Category(), util::ErrLogicArgs);
  ASSERT_TRUE(doc.SetIndentation(2).IsSuccess());
  ASSERT_TRUE(doc.WriteDeclaration("UTF-8").IsSuccess());
  ASSERT_TRUE(doc.OpenElement(0, "a").IsSuccess());
  ASSERT_TRUE(doc.WriteElement(0, "b", "t").IsSuccess());
  ASSERT_TRUE(doc.OpenElement(0, "c").IsSuccess());
  ASSERT_TRUE(doc.WriteEmptyElement(0, "d").IsSuccess());
  ASSERT_TRUE(doc.CloseAll().IsSuccess());
  EXPECT_EQ(Bytes(doc),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<a>\r\n  <b>t</b>\r\n  <c>\r\n"
            "    <d></d>\r\n  </c>\r\n</a>");
  Result r = doc.WriteDeclaration();
  EXPECT_EQ(r.ErrorText(), "Writting XML Start Declaration is not Allowed at this position");
  EXPECT_EQ(doc.SetDataFormat(3).ErrorText(), "Set XmlDataFormat 3 not supported");
  EXPECT_EQ(doc.SetDataFormat(XmlParser::Format_Binary).Category(), util::ErrLogicState);

  struct {
    const char* xml;
    const char* error;
  } bad[] = {
      {"<a b></a>", "Character '=' expected after attribute name"},
      {"<a =\"1\"></a>", "zero-length name"},
      {"<q:a></q:a>", "Invalid namespace prefix 'q'"},
  };
  for (const auto& b : bad) {
    util::Ref<XmlParser> d = FromText(b.xml);
    r = d->NextToken();
    EXPECT_EQ(r.ErrorText(), b.error) << b.xml;
  }
}

TEST(XmlParserTextTest, Latin1IsConvertedToUtf8) {
  util::Ref<XmlParser> doc =
      FromText("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a x=\"\xE9\">gr\xFC\xDF</a>");
  EXPECT_EQ(Text("/a", *doc), "gr\xC3\xBC\xC3\x9F");
  EXPECT_EQ(Text("/a/@x", *doc), "\xC3\xA9");
  ASSERT_TRUE(doc->NextToken().IsSuccess());
  EXPECT_EQ(doc->GetDataFormat(), XmlParser::Format_XmlLatin1);
}

TEST(XmlParserContentTest, ReadsInPartsAndStates) {
  std::string data(1 << 20, 0);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + (i >> 9));
  XmlParser bin;
  ASSERT_TRUE(
      bin.WriteElementBinary(0, "f", data.data(), static_cast<int64_t>(data.size())).IsSuccess());
  util::Ref<XmlParser> text = Convert(bin, XmlParser::Format_XmlUtf8);
  for (XmlParser* d : {&bin, text.get()}) {
    XmlParser c(*d);
    ASSERT_TRUE(c.MoveToPath("/f").IsSuccess());
    std::string got;
    char buf[4000];
    int parts = 0;
    for (;;) {
      int len = 0;
      Result r = c.ReadBinary(buf, sizeof(buf), &len);
      ASSERT_TRUE(r.IsSuccess()) << r.Text();
      got.append(buf, len);
      ++parts;
      if (r.Category() != util::ErrMoreData) break;
      EXPECT_EQ(r.Severity(), util::SevWarning);
      EXPECT_EQ(len, 4000);
    }
    EXPECT_EQ(parts, 263);
    EXPECT_EQ(got, data);
  }

  // Text reads end at whole characters: 3-byte characters through a 7-byte buffer.
  std::string euros;
  for (int i = 0; i < 5; ++i) euros += "\xE2\x82\xAC";
  util::Ref<XmlParser> t = FromText("<t>" + euros + "</t>");
  util::Ref<XmlParser> tb = Convert(*t, XmlParser::Format_Binary);
  for (XmlParser* d : {t.get(), tb.get()}) {
    XmlParser c(*d);
    ASSERT_TRUE(c.MoveToPath("/t").IsSuccess());
    std::string got;
    char buf[8];
    Result r;
    do {
      int len = 0;
      r = c.ReadText(buf, sizeof(buf), &len);
      ASSERT_TRUE(r.IsSuccess());
      EXPECT_EQ(len % 3, 0);
      EXPECT_EQ(static_cast<int>(std::strlen(buf)), len);
      got.append(buf, len);
    } while (r.Category() == util::ErrMoreData);
    EXPECT_EQ(got, euros);
  }

  util::Ref<XmlParser> mixed = FromText("<a><b>x</b></a>");
  ASSERT_TRUE(mixed->MoveToPath("/a").IsSuccess());
  char buf[16];
  int len;
  EXPECT_EQ(mixed->ReadText(buf, sizeof(buf), &len).ErrorText(),
            "XmlParser::ReadChars complex content found");
  ASSERT_TRUE(mixed->NextToken().IsSuccess());  // "x"
  ASSERT_TRUE(mixed->NextToken().IsSuccess());  // </b>
  EXPECT_EQ(mixed->ReadText(buf, sizeof(buf), &len).ErrorText(),
            "Invalid State in XmlParser::ReadChars (NodeType=164, Expected 209)");
  util::Ref<XmlParser> small = FromText("<a>AAA=</a>");
  ASSERT_TRUE(small->MoveToPath("/a").IsSuccess());
  EXPECT_EQ(small->ReadBinaryExact(buf, 4).ErrorText(), "read 2 binary bytes instead of 4");
}

TEST(XmlParserEditTest, CopyModesAndDelete) {
  util::Ref<XmlParser> src = FromText("<a k=\"v\"><b>1</b><c>2</c></a>");
  XmlParser out;
  ASSERT_TRUE(out.SetDataFormat(XmlParser::Format_XmlUtf8).IsSuccess());
  ASSERT_TRUE(out.OpenElement(0, "Config").IsSuccess());
  ASSERT_TRUE(src->MoveToPath("/a").IsSuccess());
  ASSERT_TRUE(out.CopySubtree(*src, 0).IsSuccess());
  ASSERT_TRUE(out.CloseAll().IsSuccess());
  EXPECT_EQ(Bytes(out), "<Config><b>1</b><c>2</c></Config>");

  XmlParser doc;
  ASSERT_TRUE(doc.OpenElement(0, "r").IsSuccess());
  ASSERT_TRUE(doc.WriteElement(0, "keep", "1").IsSuccess());
  const std::string before = Bytes(doc);
  ASSERT_TRUE(doc.WriteElement(0, "drop", "2").IsSuccess());
  ASSERT_TRUE(doc.DeleteNode().IsSuccess());
  EXPECT_EQ(Bytes(doc), before);
  EXPECT_EQ(doc.DeleteNode().ErrorText(), "can't delete, no previous node position stored");
  ASSERT_TRUE(doc.OpenElement(0, "box").IsSuccess());
  ASSERT_TRUE(doc.WriteElement(0, "x", "3").IsSuccess());
  ASSERT_TRUE(doc.OpenElement(0, "y").IsSuccess());
  ASSERT_TRUE(doc.WriteChars("4").IsSuccess());
  ASSERT_TRUE(doc.CloseElement().IsSuccess());
  ASSERT_TRUE(doc.CloseAll().IsSuccess());
  EXPECT_EQ(Text("/r/box/y", doc), "4");
  // Reading: delete the node at the cursor, or its content.
  ASSERT_TRUE(doc.MoveToPath("/r/box/x").IsSuccess());
  ASSERT_TRUE(doc.DeleteNode().IsSuccess());
  EXPECT_FALSE(doc.ExistsPath("/r/box/x"));
  EXPECT_EQ(Text("/r/keep", doc), "1");
  ASSERT_TRUE(doc.MoveToPath("/r/box").IsSuccess());
  {
    Result dr = doc.DeleteNodeContent();
    ASSERT_TRUE(dr.IsSuccess()) << dr.Text();
  }
  EXPECT_FALSE(doc.ExistsPath("/r/box/y"));
  EXPECT_TRUE(doc.ExistsPath("/r/box"));
  ASSERT_TRUE(doc.MoveToPath("/r/keep").IsSuccess());
  ASSERT_TRUE(doc.NextToken().IsSuccess());
  ASSERT_TRUE(doc.NextToken().IsSuccess());
  EXPECT_EQ(doc.DeleteNode().ErrorText(), "can't delete end node");
  EXPECT_EQ(out.DeleteNode().ErrorText(), "DeleteTokens XmlDataFormat 8 not supported");
}

TEST(XmlParserSoapTest, AnswersFaultsAndHeaders) {
  XmlParser ok;
  ASSERT_TRUE(ok.WriteAnswer(Result()).IsSuccess());
  bool progress = true;
  EXPECT_TRUE(ok.CheckAnswer(nullptr, nullptr, &progress).IsSuccess());
  EXPECT_FALSE(progress);
  EXPECT_EQ(Bytes(*Convert(ok, XmlParser::Format_XmlUtf8)),
            std::string("<s:Envelope xmlns:s=\"") + kNsSoapEnvelope +
                "\"><s:Header><t:type xmlns:t=\"" + kNsXelMessage +
                "\">2</t:type></s:Header>"
                "<s:Body><c:ok xmlns:c=\"" +
                kNsXelMessage + "\"></c:ok></s:Body></s:Envelope>");

  for (uint32_t cat : {util::ErrLogicArgs, util::ErrObjNotExist}) {
    Result err =
        Result::Make(cat, util::ModUnknown, util::ObjXelcFile, util::SevError, "bad %u", cat);
    XmlParser answer;
    ASSERT_TRUE(answer.WriteAnswer(err).IsSuccess());
    EXPECT_EQ(Text("/Envelope/Body/Fault/faultcode", answer), cat == 101 ? "s:Client" : "s:Server");
    EXPECT_EQ(Text("/Envelope/Body/Fault/detail/result/info", answer), err.ErrorText());
    Result got = answer.CheckAnswer("x", nullptr, &progress);
    EXPECT_EQ(got.Code(), err.Code());
    EXPECT_EQ(got.ErrorText(), err.ErrorText());
  }

  XmlParser cred;
  ASSERT_TRUE(cred.OpenElement(0, "basic-credentials").IsSuccess());
  ASSERT_TRUE(cred.WriteElement(0, "userid", "bob").IsSuccess());
  ASSERT_TRUE(cred.WriteElement(0, "password", "pw").IsSuccess());
  ASSERT_TRUE(cred.CloseAll().IsSuccess());
  XmlParser req;
  ASSERT_TRUE(
      req.BeginMessage(XmlParser::MsgType_Request, "XelcFile", &cred, "poll-res", kNsXelMessage)
          .IsSuccess());
  ASSERT_TRUE(req.WriteElement(-1, "n", "1").IsSuccess());
  ASSERT_TRUE(req.CloseAll().IsSuccess());
  int type = 0;
  std::string target, fun, ns;
  util::Ref<XmlParser> credDoc;
  ASSERT_TRUE(req.ReadHeader(&type, &target, &credDoc, &fun, &ns).IsSuccess());
  EXPECT_EQ(type, 1);
  EXPECT_EQ(target, "XelcFile");
  EXPECT_EQ(fun, "poll-res");
  EXPECT_EQ(ns, kNsXelMessage);
  EXPECT_EQ(Text("n", req), "1");
  ASSERT_TRUE(credDoc.HasObject());
  char user[16], pw[16];
  ASSERT_TRUE(credDoc->ReadBasicCredentials(user, sizeof(user), pw, sizeof(pw)).IsSuccess());
  EXPECT_STREQ(user, "bob");
  EXPECT_STREQ(pw, "pw");
  EXPECT_EQ(req.CheckAnswer("poll-res", nullptr, &progress).ErrorText(),
            "invalid RPC Message type 1 (expected 2; fun=poll-res) ");

  XmlParser other;
  ASSERT_TRUE(other.BeginMessage(2, nullptr, nullptr, "confirm-res", "urn:x").IsSuccess());
  ASSERT_TRUE(other.CloseAll().IsSuccess());
  EXPECT_EQ(other.CheckAnswer("poll-res", nullptr, &progress).ErrorText(),
            "invalid RPC Response object confirm-res (expected poll-res)");
  EXPECT_EQ(other.CheckAnswer("confirm-res", "urn:y", &progress).ErrorText(),
            "invalid RPC Response Namespace urn:x (expected urn:y)");
  XmlParser notice;
  ASSERT_TRUE(notice.BeginMessage(0, nullptr, nullptr, "CallProgress", kNsXelMessage).IsSuccess());
  ASSERT_TRUE(notice.CloseAll().IsSuccess());
  ASSERT_TRUE(notice.CheckAnswer("poll-res", nullptr, &progress).IsSuccess());
  EXPECT_TRUE(progress);

  struct {
    const char* xml;
    const char* error;
  } bad[] = {
      {"<Envelope/>",
       "invalid SOAP Envelope (Envelope != Envelope) or ( != "
       "http://schemas.xmlsoap.org/soap/envelope/)"},
      {"<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Header/></s:Envelope>",
       "no SOAP Body"},
      {"<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body> "
       "</s:Body></s:Envelope>",
       "empty SOAP Body"},
  };
  for (const auto& b : bad) {
    util::Ref<XmlParser> d = FromText(b.xml);
    Result r = d->ReadHeader(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(r.Category(), util::ErrSoapFormat);
    EXPECT_EQ(r.ErrorText(), b.error);
  }
}

TEST(XmlParserTransferTest, DocumentTravelsOverAConnection) {
  auto a = util::Ref<testing::QueueConnection>::Adopt(new testing::QueueConnection);
  auto b = util::Ref<testing::QueueConnection>::Adopt(new testing::QueueConnection);
  testing::QueueConnection::Pair(a.get(), b.get());
  XmlParser doc;
  std::string big(20000, 'q');
  ASSERT_TRUE(doc.BeginMessage(1, nullptr, nullptr, "CreateFile", kNsXelMessage).IsSuccess());
  ASSERT_TRUE(doc.WriteElement(-1, "data", big.c_str()).IsSuccess());
  ASSERT_TRUE(doc.Send(a.get(), 1000).IsSuccess());
  XmlParser in;
  ASSERT_TRUE(in.Receive(b.get(), 0).IsSuccess());
  EXPECT_EQ(in.GetMessage()->Size(), 4000);  // the rest follows as it is read
  std::string fun;
  ASSERT_TRUE(in.ReadHeader(nullptr, nullptr, nullptr, &fun, nullptr).IsSuccess());
  EXPECT_EQ(fun, "CreateFile");
  EXPECT_EQ(Text("data", in), big);
}

}  // namespace
}  // namespace velmora::xel

namespace velmora::xel {
namespace {

TEST(XmlParserDecryptTest, DecryptedContentIsReadInTheElementsPlace) {
  // Method 0: the cipher value is the content itself ("<x a="1">plain</x><y/>" in base64).
  util::Ref<XmlParser> doc = FromText(
      std::string("<r><e:EncryptedData xmlns:e=\"") + kNsXmlEnc +
      "\"><e:EncryptionMethod Algorithm=\"" + kNsXelEncryption +
      "0\"/><e:CipherData><e:CipherValue>PHggYT0iMSI+cGxhaW48L3g+PHkvPg==</e:CipherValue>" +
      "</e:CipherData></e:EncryptedData><after>z</after></r>");
  doc->SetDecryption(true);
  EXPECT_EQ(Text("/r/x", *doc), "plain");
  EXPECT_EQ(Text("/r/x/@a", *doc), "1");
  EXPECT_TRUE(doc->ExistsPath("/r/y"));
  EXPECT_EQ(Text("/r/after", *doc), "z");
  EXPECT_FALSE(doc->ExistsPath("/r/EncryptedData"));
  util::Ref<XmlParser> tokens = Convert(*doc, XmlParser::Format_Binary);
  EXPECT_EQ(Bytes(*Convert(*tokens, XmlParser::Format_XmlUtf8)),
            "<r><x a=\"1\">plain</x><y></y><after>z</after></r>");
}

TEST(XmlParserStreamTest, ReadBlocksOfALargeIncomingMessageAreReleased) {
  auto a = util::Ref<testing::QueueConnection>::Adopt(new testing::QueueConnection);
  auto b = util::Ref<testing::QueueConnection>::Adopt(new testing::QueueConnection);
  testing::QueueConnection::Pair(a.get(), b.get());
  std::string data(1 << 20, 'd');
  {
    XmlParser doc;
    ASSERT_TRUE(doc.WriteElementBinary(0, "file", data.data(), static_cast<int64_t>(data.size()))
                    .IsSuccess());
    ASSERT_TRUE(doc.Send(a.get(), 1000).IsSuccess());
  }
  XmlParser in;
  ASSERT_TRUE(in.Receive(b.get(), 0).IsSuccess());
  in.SetReleaseReadData(true);
  ASSERT_TRUE(in.MoveToPath("/file").IsSuccess());
  std::vector<char> buf(100000);
  int64_t total = 0;
  Result r;
  do {
    int len = 0;
    r = in.ReadBinary(buf.data(), static_cast<int>(buf.size()), &len);
    ASSERT_TRUE(r.IsSuccess()) << r.Text();
    total += len;
  } while (r.Category() == util::ErrMoreData);
  EXPECT_EQ(total, static_cast<int64_t>(data.size()));
  EXPECT_GT(in.GetMessage()->ReleasedUpTo(), 900000);
  EXPECT_EQ(in.Rewind().Category(), util::ErrObjNotExist);
}

}  // namespace
}  // namespace velmora::xel

namespace velmora::xel {
namespace {

TEST(XmlParserCompactTest, RepeatedNamesAreWrittenOnce) {
  XmlParser doc;
  ASSERT_TRUE(doc.SetDataFormat(XmlParser::Format_Compact).IsSuccess());
  ASSERT_TRUE(doc.OpenElement(0, "a").IsSuccess());
  ASSERT_TRUE(doc.WriteAttribute(0, "x", "1").IsSuccess());
  ASSERT_TRUE(doc.WriteElement(0, "a", "hi").IsSuccess());
  ASSERT_TRUE(doc.CloseAll().IsSuccess());
  const std::string expected = std::string("\x02\x04\x00", 3) +
                               std::string(
                                   "\x64\x00\x00\x01"
                                   "a",
                                   5) +                               // defines name 0
                               std::string("\x65\x01\x00\x01x", 5) +  // defines name 1
                               std::string(
                                   "\xD1\x01"
                                   "1\xA5",
                                   4) +
                               std::string("\x64\x00", 2) +  // name 0 again
                               std::string("\xD1\x02hi\xA4\xA4", 6);
  EXPECT_EQ(Bytes(doc), expected);
  EXPECT_EQ(Text("/a/a", doc), "hi");
  EXPECT_EQ(Text("/a/@x", doc), "1");
}

TEST(XmlParserCommResultTest, WritesOnlyWhatIsSetAndReadsItBack) {
  XmlParser doc;
  ASSERT_TRUE(doc.OpenElement(0, "r").IsSuccess());
  util::CommResult bare;
  ASSERT_TRUE(doc.WriteCommResult(bare, 0, "CommResult").IsSuccess());
  util::CommResult full;
  full.Set(util::CommBadContent, 40, "E", "diag %d", 7);
  ASSERT_TRUE(doc.WriteCommResult(full, 0, "Other").IsSuccess());
  ASSERT_TRUE(doc.CloseAll().IsSuccess());
  util::Ref<XmlParser> text = Convert(doc, XmlParser::Format_XmlUtf8);
  EXPECT_EQ(Bytes(*text),
            "<r><CommResult><ErrorCategory>UNKNOWN</ErrorCategory></CommResult>"
            "<Other><ErrorCategory>BAD-CONTENT</ErrorCategory><ConnectionLevel>40</ConnectionLevel>"
            "<ErrorCode>E</ErrorCode><Diagnostics>diag 7</Diagnostics></Other></r>");
  util::CommResult back;
  ASSERT_TRUE(doc.ReadCommResult("/r/Other", &back).IsSuccess());
  EXPECT_EQ(back.Text(), full.Text());
}

TEST(XmlParserConcurrencyTest, CopiesReadAnArrivingMessageFromSeveralThreads) {
  auto a = util::Ref<testing::QueueConnection>::Adopt(new testing::QueueConnection);
  auto b = util::Ref<testing::QueueConnection>::Adopt(new testing::QueueConnection);
  testing::QueueConnection::Pair(a.get(), b.get());
  {
    XmlParser doc;
    ASSERT_TRUE(doc.OpenElement(0, "list").IsSuccess());
    for (int i = 1; i <= 2000; ++i) ASSERT_TRUE(doc.WriteElementInt(0, "Item", i).IsSuccess());
    ASSERT_TRUE(doc.Send(a.get(), 1000).IsSuccess());
  }
  XmlParser in;
  ASSERT_TRUE(in.Receive(b.get(), 0).IsSuccess());
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&in, &good, t] {
      XmlParser copy(in);
      for (int i = 2000 - t; i > 0; i -= 397) {
        int32_t v = 0;
        char path[64];
        std::snprintf(path, sizeof(path), "/list/Item[%i]", i);
        if (copy.ReadIntAtPath(path, &v).IsSuccess() && v == i) ++good;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 4 * 6);
  EXPECT_TRUE(in.GetMessage()->IsComplete());
}

}  // namespace
}  // namespace velmora::xel
