// Tests of EncryptedData decryption: documents encrypted here with OpenSSL's Blowfish.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <string>
#include <vector>

#include "xel/XmlParser.h"

namespace velmora::xel {
namespace {

using util::Result;

const std::string kKey = "test key 0123456789";

// Blowfish from OpenSSL's legacy provider, in a library context of the test's own.
struct Blowfish {
  OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(ctx, "legacy");
  OSSL_PROVIDER* def = OSSL_PROVIDER_load(ctx, "default");
  EVP_CIPHER* ecb = EVP_CIPHER_fetch(ctx, "BF-ECB", nullptr);
  EVP_CIPHER* cbc = EVP_CIPHER_fetch(ctx, "BF-CBC", nullptr);
  ~Blowfish() {
    EVP_CIPHER_free(ecb);
    EVP_CIPHER_free(cbc);
    OSSL_PROVIDER_unload(def);
    OSSL_PROVIDER_unload(legacy);
    OSSL_LIB_CTX_free(ctx);
  }

  std::string Encrypt(const EVP_CIPHER* cipher, const std::string& key, const uint8_t* iv,
                      const std::string& in) {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    std::string out(in.size(), 0);
    int n = 0, tail = 0;
    bool ok = EVP_EncryptInit_ex2(c, cipher, nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_key_length(c, static_cast<int>(key.size())) == 1 &&
              EVP_EncryptInit_ex2(c, nullptr, reinterpret_cast<const uint8_t*>(key.data()), iv,
                                  nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(c, 0) == 1 &&
              EVP_EncryptUpdate(c, reinterpret_cast<uint8_t*>(out.data()), &n,
                                reinterpret_cast<const uint8_t*>(in.data()),
                                static_cast<int>(in.size())) == 1 &&
              EVP_EncryptFinal_ex(c, reinterpret_cast<uint8_t*>(out.data()) + n, &tail) == 1;
    EVP_CIPHER_CTX_free(c);
    EXPECT_TRUE(ok);
    return out;
  }

  // The platform's layout: a check block (four random bytes, four zeros) alone, then the
  // plain bytes (already terminated and padded by the caller) in CBC after it.
  std::string Layout(const std::string& key, const std::string& paddedPlain) {
    std::string check("\x5a\xa5\x3c\xc3\0\0\0\0", 8);
    std::string first = Encrypt(ecb, key, nullptr, check);
    return first + Encrypt(cbc, key, reinterpret_cast<const uint8_t*>(first.data()), paddedPlain);
  }
  std::string Seal(const std::string& key, std::string plain) {
    plain.push_back('\0');
    while (plain.size() % 8) plain.push_back('\0');
    return Layout(key, plain);
  }
};

std::string Base64(const std::string& bytes) {
  std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
  int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  return std::string(reinterpret_cast<char*>(out.data()), static_cast<size_t>(n));
}

// A document with one EncryptedData element (algorithm attribute omitted when empty).
util::Ref<XmlParser> Document(const std::string& cipher, const std::string& algorithm) {
  std::string text = std::string("<r><EncryptedData xmlns=\"") + kNsXmlEnc + "\">";
  if (!algorithm.empty()) text += "<EncryptionMethod Algorithm=\"" + algorithm + "\"/>";
  text += "<CipherData><CipherValue>" + Base64(cipher) +
          "</CipherValue></CipherData></EncryptedData><after>z</after></r>";
  util::Ref<XmlParser> doc = XmlParser::Create();
  EXPECT_TRUE(
      doc->GetMessage()->Append(text.data(), static_cast<int32_t>(text.size())).IsSuccess());
  return doc;
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

class XmlParserCryptTest : public ::testing::Test {
 protected:
  Blowfish M_Bf;
};

TEST_F(XmlParserCryptTest, ReaderYieldsTheDecryptedContent) {
  for (const std::string& algorithm : {std::string(), Method(1), Method(2)}) {
    SCOPED_TRACE(algorithm);
    util::Ref<XmlParser> doc =
        Document(M_Bf.Seal(kKey, "<secret kind=\"k\">open &amp; shut</secret>"), algorithm);
    doc->SetDecryptionKey(kKey);
    std::string text;
    ASSERT_TRUE(doc->ReadStringAtPath("/r/secret", &text).IsSuccess());
    EXPECT_EQ(text, "open & shut");
    ASSERT_TRUE(doc->ReadStringAtPath("/r/secret/@kind", &text).IsSuccess());
    EXPECT_EQ(text, "k");
    ASSERT_TRUE(doc->ReadStringAtPath("/r/after", &text).IsSuccess());
    EXPECT_EQ(text, "z");
  }
}

TEST_F(XmlParserCryptTest, TrailingZerosAreRemovedUpToEight) {
  std::string plain;
  // Plain text filling whole blocks: the terminator takes a block of its own.
  util::Ref<XmlParser> doc = Document(M_Bf.Seal(kKey, "12345678"), Method(1));
  ASSERT_TRUE(Decrypt(*doc, kKey, &plain).IsSuccess());
  EXPECT_EQ(plain, "12345678");
  // Zeros beyond eight stay part of the text.
  doc = Document(M_Bf.Layout(kKey, std::string("ab\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16)), Method(1));
  ASSERT_TRUE(Decrypt(*doc, kKey, &plain).IsSuccess());
  EXPECT_EQ(plain, std::string("ab\0\0\0\0\0\0", 8));
  // The cursor is left after the element.
  EXPECT_EQ(doc->GetDepth(), 1);
  EXPECT_TRUE(doc->MoveToPath("after").IsSuccess());
}

TEST_F(XmlParserCryptTest, BadCipherTextsFailWithDecryptionFailed) {
  const std::string good = M_Bf.Seal(kKey, "hello");
  const std::vector<std::string> bad = {
      good.substr(0, 15),                     // too short
      good.substr(0, 16) + "abcd",            // 20 bytes: not whole blocks
      M_Bf.Seal("another key", "hello"),      // wrong key: check block fails
      M_Bf.Layout(kKey, "no terminating z"),  // plain text not ending in zero
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    util::Ref<XmlParser> doc = Document(bad[i], Method(1));
    std::string plain;
    Result r = Decrypt(*doc, kKey, &plain);
    EXPECT_EQ(r.Category(), util::ErrIntern);
    EXPECT_EQ(r.SlotText(0), "decryption failed");
  }
  // Through the reader the failure ends the read.
  util::Ref<XmlParser> doc = Document(good.substr(0, 15), Method(1));
  doc->SetDecryptionKey(kKey);
  EXPECT_FALSE(doc->ExistsPath("/r/after"));
}

TEST_F(XmlParserCryptTest, MethodsZeroTwoAndOthers) {
  std::string plain;
  // Method 0: the cipher value is the content itself.
  util::Ref<XmlParser> doc = Document("<x>plain</x>", Method(0));
  doc->SetDecryptionKey("");
  std::string text;
  ASSERT_TRUE(doc->ReadStringAtPath("/r/x", &text).IsSuccess());
  EXPECT_EQ(text, "plain");

  // Method 2 without a caller's key needs the cluster's key, which is not available here.
  doc = Document(M_Bf.Seal(kKey, "<x/>"), Method(2));
  Result r = Decrypt(*doc, "", &plain);
  EXPECT_EQ(r.Category(), util::ErrObjNotExist);
  EXPECT_EQ(r.SlotText(0),
            "unable to access cluster resource (access denied or cluster service not running)");

  // Any other algorithm (99) uses the caller's key; so does an unknown platform number.
  for (const std::string& algorithm :
       {std::string("http://www.w3.org/2001/04/xmlenc#aes128-cbc"), Method(3)}) {
    doc = Document(M_Bf.Seal(kKey, "<x>99</x>"), algorithm);
    ASSERT_TRUE(Decrypt(*doc, kKey, &plain).IsSuccess());
    EXPECT_EQ(plain, "<x>99</x>");
  }
  // Method 1 without any key cannot decrypt.
  doc = Document(M_Bf.Seal(kKey, "<x/>"), Method(1));
  EXPECT_EQ(Decrypt(*doc, "", &plain).SlotText(0), "decryption failed");
}

}  // namespace
}  // namespace velmora::xel
