// XmlParser: decryption of EncryptedData elements (W3C XML Encryption, Blowfish).
//
// Cipher text layout (all methods but 0): blocks of 8 bytes, at least two. The first block is
// a check block: decrypted on its own (ECB) its last four bytes are zero. The remaining
// blocks are CBC with the first cipher block as the initialisation vector; their plain text
// ends in a zero byte, followed by up to seven more zero bytes of padding. The check block's
// first four bytes are random and not part of the plain text.
//
// Key schedule: the key bytes given to SetDecryptionKey are used as they are as the Blowfish
// key (1 to 56 bytes, the classic BF_set_key schedule of OpenSSL).
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "XmlParserState.h"
#include "util/Trace.h"
#include "xel/XmlParser.h"

namespace velmora::xel {

using util::Result;

namespace {

constexpr int kBlock = 8;
constexpr size_t kMaxKeyBytes = 56;
constexpr int kMaxAlgorithmText = 64;  // 63 characters and the NUL

Result DecryptionFailed() { return xmlp::Err(util::ErrIntern, "decryption failed"); }

// Blowfish lives in OpenSSL 3's legacy provider. It is loaded into a library context of our
// own so that the process's default context (used by everything else) keeps its providers.
class BlowfishCiphers {
 public:
  BlowfishCiphers() {
    M_pCtx = OSSL_LIB_CTX_new();
    if (!M_pCtx) return;
    M_pLegacy = OSSL_PROVIDER_load(M_pCtx, "legacy");
    M_pDefault = OSSL_PROVIDER_load(M_pCtx, "default");
    M_pEcb = EVP_CIPHER_fetch(M_pCtx, "BF-ECB", nullptr);
    M_pCbc = EVP_CIPHER_fetch(M_pCtx, "BF-CBC", nullptr);
    if (!M_pEcb || !M_pCbc) {
      XEL_TRACE("XmlParser", util::General_Error,
                "Blowfish is not available from OpenSSL (legacy provider missing)");
    }
  }
  ~BlowfishCiphers() {
    EVP_CIPHER_free(M_pEcb);
    EVP_CIPHER_free(M_pCbc);
    if (M_pDefault) OSSL_PROVIDER_unload(M_pDefault);
    if (M_pLegacy) OSSL_PROVIDER_unload(M_pLegacy);
    OSSL_LIB_CTX_free(M_pCtx);
  }
  BlowfishCiphers(const BlowfishCiphers&) = delete;
  BlowfishCiphers& operator=(const BlowfishCiphers&) = delete;

  const EVP_CIPHER* Ecb() const { return M_pEcb; }
  const EVP_CIPHER* Cbc() const { return M_pCbc; }

 private:
  OSSL_LIB_CTX* M_pCtx = nullptr;
  OSSL_PROVIDER* M_pLegacy = nullptr;
  OSSL_PROVIDER* M_pDefault = nullptr;
  EVP_CIPHER* M_pEcb = nullptr;
  EVP_CIPHER* M_pCbc = nullptr;
};

const BlowfishCiphers& Ciphers() {
  static BlowfishCiphers ciphers;  // thread-safe initialisation, lives until exit
  return ciphers;
}

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

// Runs one Blowfish decryption without padding; out must hold size bytes.
bool BlowfishDecrypt(const EVP_CIPHER* cipher, const std::string& key, const uint8_t* iv,
                     const uint8_t* in, int size, uint8_t* out) {
  if (!cipher) return false;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  if (EVP_DecryptInit_ex2(ctx.get(), cipher, nullptr, nullptr, nullptr) != 1) return false;
  if (EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key.size())) != 1) return false;
  if (EVP_DecryptInit_ex2(ctx.get(), nullptr, reinterpret_cast<const uint8_t*>(key.data()), iv,
                          nullptr) != 1) {
    return false;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int n = 0, tail = 0;
  if (EVP_DecryptUpdate(ctx.get(), out, &n, in, size) != 1) return false;
  if (EVP_DecryptFinal_ex(ctx.get(), out + n, &tail) != 1) return false;
  return n + tail == size;
}

// The method named by an EncryptionMethod Algorithm text: the platform's own identifiers
// "<namespace>0", "<namespace>1" and "<namespace>2", 99 for anything else.
int MethodFromAlgorithm(const char* text) {
  const size_t nsLen = std::strlen(kNsXelEncryption);
  if (std::strncmp(text, kNsXelEncryption, nsLen) != 0) return 99;
  const char* p = text + nsLen;
  if (p[0] >= '0' && p[0] <= '2' && p[1] == 0) return p[0] - '0';
  return 99;
}

// Hook installed by SetDecryptionKey: the reader calls it on every EncryptedData element.
Result DecryptElement(XmlParser& parser, std::string* plain) {
  return parser.DecryptEncryptedData(plain);
}

// Decrypts cipher with key after the layout described at the top of this file.
Result DecryptBlowfish(const std::string& key, const std::string& cipher, std::string* plain) {
  plain->clear();
  const size_t n = cipher.size();
  if (n < 2 * kBlock || n % kBlock != 0 || key.empty() || key.size() > kMaxKeyBytes ||
      n > 0x7fffffff) {
    return DecryptionFailed();
  }
  const auto* in = reinterpret_cast<const uint8_t*>(cipher.data());
  uint8_t check[kBlock];
  if (!BlowfishDecrypt(Ciphers().Ecb(), key, nullptr, in, kBlock, check)) return DecryptionFailed();
  if (check[4] != 0 || check[5] != 0 || check[6] != 0 || check[7] != 0) return DecryptionFailed();
  std::vector<uint8_t> out(n - kBlock);
  if (!BlowfishDecrypt(Ciphers().Cbc(), key, in, in + kBlock, static_cast<int>(n - kBlock),
                       out.data())) {
    return DecryptionFailed();
  }
  size_t len = out.size();
  if (out[len - 1] != 0) return DecryptionFailed();
  --len;
  for (int i = 0; i < 7 && len > 0 && out[len - 1] == 0; ++i) --len;
  plain->assign(reinterpret_cast<const char*>(out.data()), len);
  return Result();
}

}  // namespace

void XmlParser::SetDecryptionKey(const std::string& key) {
  State().M_DecryptKey = key;
  SetDecryptHook(&DecryptElement);
}

Result XmlParser::DecryptEncryptedData(std::string* plain) {
  XmlParserState& s = State();
  plain->clear();
  if (s.M_NodeType != Node_ElementStart || GetLocalName() != "EncryptedData") {
    return xmlp::Err(util::ErrLogicState, "DecryptEncryptedData: cursor is not on EncryptedData");
  }
  const int depth = s.M_Depth;
  int method = 1;
  char algorithm[kMaxAlgorithmText] = {};
  int algorithmLen = 0;
  Result r =
      ReadTextAtPath("EncryptionMethod/@Algorithm", algorithm, sizeof algorithm, &algorithmLen);
  if (r.IsSuccess()) {
    method = MethodFromAlgorithm(algorithm);
  } else if (r.Category() != util::ErrObjNotExist) {
    return r;
  }

  // The cipher value is base64 text (or a binary token); read it whole.
  std::string cipher;
  r = MoveToPath("CipherData/CipherValue", depth);
  if (r.IsError()) return r;
  char chunk[8192];
  for (;;) {
    int len = 0;
    r = ReadBinary(chunk, sizeof chunk, &len);
    if (r.IsError()) return r;
    cipher.append(chunk, static_cast<size_t>(len));
    if (r.Category() != util::ErrMoreData) break;
  }
  // Leave the cursor after the EncryptedData element.
  while (s.M_Depth >= depth) {
    r = NextToken();
    if (r.IsError()) return r;
  }

  if (method == 0) {
    *plain = std::move(cipher);
    return Result();
  }
  std::string key = s.M_DecryptKey;
  if (key.empty()) {
    if (method == 2) {
      // The cluster's shared key is held by the Windows cluster service; there is none on
      // this platform.
      return xmlp::Err(util::ErrObjNotExist,
                       "unable to access cluster resource (access denied or cluster service "
                       "not running)");
    }
    XEL_TRACE("XmlParser", util::General_Error,
              "EncryptedData method %i found but no decryption key is set", method);
    return DecryptionFailed();
  }
  return DecryptBlowfish(key, cipher, plain);
}

}  // namespace velmora::xel
