// Tests of EncryptedData decryption: documents encrypted here with OpenSSL's Blowfish, the
// key sources, nesting and its limits, and the round trip through XmlEncryptContent.
#include <gtest/gtest.h>
// The low-level Blowfish calls need no provider: deprecated, but the simplest independent cipher.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "osal/System.h"
#include "util/Text.h"
#include "xel/XmlParser.h"

namespace velmora::xel {
namespace {

using util::Result;

const std::string kKey = "test key 0123456789";

// The platform's layout: a check block (four fixed bytes, four zeros) alone in ECB, then the
// plain bytes (already terminated and padded by the caller) in CBC after it.
std::string Layout(const std::string& key, const std::string& paddedPlain) {
  BF_KEY bf;
  BF_set_key(&bf, static_cast<int>(key.size()), reinterpret_cast<const uint8_t*>(key.data()));
  const uint8_t check[8] = {0x5a, 0xa5, 0x3c, 0xc3, 0, 0, 0, 0};
  std::string out(8 + paddedPlain.size(), '\0');
  auto* pOut = reinterpret_cast<uint8_t*>(out.data());
  BF_ecb_encrypt(check, pOut, &bf, BF_ENCRYPT);
  uint8_t iv[8];
  std::memcpy(iv, pOut, sizeof(iv));
  BF_cbc_encrypt(reinterpret_cast<const uint8_t*>(paddedPlain.data()), pOut + 8,
                 static_cast<long>(paddedPlain.size()), &bf, iv, BF_ENCRYPT);
  return out;
}

std::string Seal(const std::string& key, std::string plain) {
  plain.resize((plain.size() / 8 + 1) * 8, '\0');
  return Layout(key, plain);
}

util::Ref<XmlParser> FromText(const std::string& text) {
  util::Ref<XmlParser> doc = XmlParser::Create();
  EXPECT_TRUE(
      doc->GetMessage()->Append(text.data(), static_cast<int32_t>(text.size())).IsSuccess());
  return doc;
}

// An EncryptedData element (algorithm attribute omitted when empty).
std::string Element(const std::string& cipher, const std::string& algorithm) {
  std::string text = std::string("<EncryptedData xmlns=\"") + kNsXmlEnc + "\">";
  if (!algorithm.empty()) text += "<EncryptionMethod Algorithm=\"" + algorithm + "\"/>";
  return text + "<CipherData><CipherValue>" + util::Base64Encode(cipher.data(), cipher.size()) +
         "</CipherValue></CipherData></EncryptedData>";
}

// A document with one EncryptedData element.
util::Ref<XmlParser> Document(const std::string& cipher, const std::string& algorithm) {
  return FromText("<r>" + Element(cipher, algorithm) + "<after>z</after></r>");
}

std::string Method(int n) { return std::string(kNsXelEncryption) + std::to_string(n); }

// Decrypts the document's EncryptedData element directly (the key is set once the cursor
// is on it, so that the reader's own decryption does not take the element first).
Result Decrypt(XmlParser& doc, const std::string& key, std::string* plain) {
  Result r = doc.MoveToPath("/r/EncryptedData");
  if (r.IsError()) return r;
  doc.SetDecryptionKey(key);
  return doc.DecryptEncryptedData(plain);
}

std::string TextAt(const XmlParser& doc, const char* path) {
  std::string text;
  Result r = doc.ReadStringAtPath(path, &text);
  return r.IsSuccess() ? text : "<" + r.SlotText(0) + ">";
}

// Leaves the process's key sources as the tests found them.
class XmlParserCryptTest : public ::testing::Test {
 protected:
  void TearDown() override { XmlParser::SetConfiguredDecryptionKey(""); }
};

TEST_F(XmlParserCryptTest, TheReaderDecryptsWithTheKeyOfTheCallerTheClusterOrTheConfiguration) {
  std::string clusterKey;
  const bool cluster = osal::GetClusterKey(&clusterKey).ok();
  const std::string failed = "<decryption failed>", plain = "<x a=\"1\">k &amp; m</x>",
                    noCluster =
                        "<unable to access cluster resource (access denied or cluster "
                        "service not running)>";
  struct Case {
    std::string algorithm, callerKey, configuredKey, expected;
    bool bNoCluster = false;  // meaningful only where the machine has no cluster key
  } const cases[] = {
      {"", kKey, "", "k & m"},
      {Method(1), kKey, "", "k & m"},
      {Method(2), kKey, "", "k & m"},
      // Method 0: the cipher value is the content itself.
      {Method(0), "", "", "k & m"},
      // Any other algorithm uses the caller's key; so does an unknown platform number.
      {"http://www.w3.org/2001/04/xmlenc#aes128-cbc", kKey, "", "k & m"},
      {Method(3), kKey, "", "k & m"},
      {Method(1), "", "", failed},
      // The configured key when the caller has none; the caller's key wins over it.
      {Method(1), "", kKey, "k & m"},
      {"urn:other-algorithm", "", kKey, "k & m"},
      {Method(1), kKey, kKey, "k & m"},
      {Method(1), "another key", kKey, failed},
      // Method 2 without a caller's key takes the cluster's, then the configured one.
      {Method(2), "", kKey, "k & m", true},
      {Method(2), "", "", noCluster, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.algorithm + " caller key " + c.callerKey + " configured " + c.configuredKey);
    if (c.bNoCluster && cluster) continue;
    XmlParser::SetConfiguredDecryptionKey(c.configuredKey);
    util::Ref<XmlParser> doc =
        Document(c.algorithm == Method(0) ? plain : Seal(kKey, plain), c.algorithm);
    doc->SetDecryptionKey(c.callerKey);
    EXPECT_EQ(TextAt(*doc, "/r/x"), c.expected);
    if (c.expected == "k & m") {
      EXPECT_EQ(TextAt(*doc, "/r/x/@a") + TextAt(*doc, "/r/after"), "1z");
    }
  }
  if (cluster) GTEST_SKIP() << "this machine has a cluster key; its fallbacks are not reached";
  std::string text;
  util::Ref<XmlParser> doc = Document(Seal(kKey, "<x/>"), Method(2));
  EXPECT_EQ(Decrypt(*doc, "", &text).Category(), util::ErrObjNotExist);
}

// Trailing zeros go up to eight; every broken cipher text fails alike, and reading goes on
// after the element.
TEST_F(XmlParserCryptTest, CipherTextsDecryptToTheirTextOrFail) {
  const std::string good = Seal(kKey, "hello"), failed = "<decryption failed>";
  const std::pair<std::string, std::string> cases[] = {
      {Seal(kKey, "12345678"), "12345678"},  // the terminator takes a block of its own
      {Layout(kKey, std::string("ab\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16)),
       std::string("ab\0\0\0\0\0\0", 8)},
      {good.substr(0, 15), failed},
      {good.substr(0, 16) + "abcd", failed},
      {Seal("another key", "hello"), failed},  // the check block fails
      {Layout(kKey, "no terminating z"), failed}};
  for (const auto& [cipher, expected] : cases) {
    SCOPED_TRACE(expected);
    util::Ref<XmlParser> doc = Document(cipher, Method(1));
    std::string plain;
    Result r = Decrypt(*doc, kKey, &plain);
    EXPECT_EQ(r.IsSuccess() ? plain : "<" + r.SlotText(0) + ">", expected);
    EXPECT_TRUE(r.IsSuccess() || r.Category() == util::ErrIntern);
    EXPECT_TRUE(r.IsError() || doc->MoveToPath("after").IsSuccess());
  }
}

// <r> followed by n EncryptedData elements each holding an element that holds the next:
// nested as they stand, with no cipher value anywhere.
std::string StructuralNesting(int n) {
  std::string open, close;
  for (int i = 0; i < n; ++i) {
    open += std::string("<EncryptedData xmlns=\"") + kNsXmlEnc + "\"><e>";
    close += "</e></EncryptedData>";
  }
  return "<r>" + open + close + "<after/></r>";
}

// Content encrypted levels times with method 0, each level inside the next.
std::string EncryptedNesting(int levels, const std::string& inner) {
  std::string content = inner;
  for (int i = 0; i < levels; ++i) content = Element(content, Method(0));
  return "<r>" + content + "<after/></r>";
}

// The nesting rows would take hours if the children of an element were decrypted again, or
// minutes if each level cost time in proportion to the document.
TEST_F(XmlParserCryptTest, DecryptedContentNestingAndTheLevelLimit) {
  const std::string failed = "<decryption failed>";
  const int limit = XmlParser::kMaxDecryptionLevels;
  std::string many = "<r>" + std::string(20000, ' ');
  for (int i = 0; i < 20000; ++i) many += Element("<i/>", Method(0));
  auto in = [](const std::string& plain) {
    return "<r><p>" + Element(plain, Method(0)) + "</p><after/></r>";
  };
  const std::tuple<std::string, const char*, std::string> cases[] = {
      {in(" pass word "), "/r/p", " pass word "},
      {in("   "), "/r/p", "   "},
      {in(""), "/r/p", ""},
      {in("<![CDATA[<raw>]]>"), "/r/p", "<raw>"},
      {in("a &amp; b &lt; c \xC3\xBC"), "/r/p", "a & b < c \xC3\xBC"},
      // White space beside elements at the top is dropped, as between tags.
      {in("\n  <a>hi</a>\n"), "/r/p/a", "hi"},
      {"<r xmlns:q=\"urn:q\">" + Element("<q:a>in q</q:a>", Method(0)) + "<after/></r>", "/r/a",
       "in q"},
      // Content that is no well-formed fragment fails like a wrong key.
      {in("<a>"), "/r/p/a", failed},
      {in("</a>"), "/r/p/a", failed},
      {in("<a></b>"), "/r/p/a", failed},
      {StructuralNesting(24), "/r/e", failed},
      {StructuralNesting(250), "/r/e", failed},  // near the reader's nesting limit
      {EncryptedNesting(limit, "<x>deep</x>"), "/r/x", "deep"},
      {EncryptedNesting(limit + 1, "<x>deep</x>"), "/r/x", failed},
      {many + "<x>" + Element("many", Method(0)) + "</x><after/></r>", "/r/x", "many"}};
  for (const auto& [document, path, expected] : cases) {
    SCOPED_TRACE(document.substr(0, 120));
    util::Ref<XmlParser> doc = FromText(document);
    doc->SetDecryption(true);
    EXPECT_EQ(TextAt(*doc, path), expected);
    // Token by token, the document goes on after an element that cannot be decrypted.
    int failures = 0;
    bool after = false;
    for (Result r; r.Category() != util::ErrEndOfObject && failures < 2;) {
      r = doc->NextToken();
      if (r.IsError() && r.Category() != util::ErrEndOfObject) ++failures;
      if (r.IsSuccess() && doc->GetLocalName() == "after") after = true;
    }
    EXPECT_EQ(failures, expected == failed ? 1 : 0);
    EXPECT_TRUE(after);
  }
  // The prefix declared outside resolves inside; the element's own default namespace does not
  // reach its content.
  util::Ref<XmlParser> doc =
      FromText("<r xmlns:q=\"urn:q\">" + Element("<q:a/><b/>", Method(0)) + "</r>");
  doc->SetDecryption(true);
  ASSERT_TRUE(doc->MoveToPath("/r/a").IsSuccess());
  EXPECT_EQ(doc->GetNamespace(), "urn:q");
  ASSERT_TRUE(doc->MoveToPath("/r/b").IsSuccess());
  EXPECT_EQ(doc->GetNamespace(), "");
}

TEST_F(XmlParserCryptTest, EncryptedContentReadsBackByteForByte) {
  // Characters of one to four bytes, and the markup characters that text must escape.
  const std::vector<std::string> chars = {
      "a", "&", "<", ">", "\"", "\xC3\xBC", " ", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\t", "0"};
  std::string text;
  for (size_t length = 0; length <= 100; ++length) {
    for (int method = 0; method <= 2; ++method) {
      SCOPED_TRACE("length " + std::to_string(length) + " method " + std::to_string(method));
      std::string escaped, element;
      XmlEscapeAppend(&escaped, text.data(), text.size(), 0);
      ASSERT_TRUE(XmlEncryptContent(method, kKey, escaped, &element).IsSuccess());
      util::Ref<XmlParser> doc = FromText("<v>" + element + "</v>");
      doc->SetDecryptionKey(kKey);
      EXPECT_EQ(TextAt(*doc, "/v"), text);
    }
    text += chars[length % chars.size()];
  }
  // The cipher text is the platform's layout, readable without XmlEncryptContent's help.
  std::string element, plain;
  ASSERT_TRUE(XmlEncryptContent(1, kKey, "<a b=\"c\">hi</a>", &element).IsSuccess());
  util::Ref<XmlParser> doc = FromText("<r>" + element + "</r>");
  ASSERT_TRUE(Decrypt(*doc, kKey, &plain).IsSuccess());
  EXPECT_EQ(plain, "<a b=\"c\">hi</a>");
  EXPECT_EQ(XmlEncryptContent(1, "", "x", &element).Category(), util::ErrLogicArgs);
  EXPECT_EQ(XmlEncryptContent(3, kKey, "x", &element).Category(), util::ErrLogicArgs);
}

}  // namespace
}  // namespace velmora::xel
