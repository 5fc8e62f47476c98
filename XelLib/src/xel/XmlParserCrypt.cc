// XmlParser: decryption of EncryptedData elements (W3C XML Encryption, Blowfish), the keys it
// takes, and the encryption that makes such elements.
//
// Cipher text layout (all methods but 0): blocks of 8 bytes, at least two. The first block is
// a check block: decrypted on its own (ECB) its last four bytes are zero. The remaining
// blocks are CBC with the first cipher block as the initialisation vector; their plain text
// ends in a zero byte, followed by up to seven more zero bytes of padding. The check block's
// first four bytes are random and not part of the plain text.
//
// Key schedule: the key bytes are used as they are as the Blowfish key (1 to 56 bytes, the
// classic BF_set_key schedule of OpenSSL).
//
// Keys, in this order: the caller's (SetDecryptionKey); for method 2 the cluster's
// (osal::GetClusterKey); the process's configured key (the plug-in's key file). No key is
// ever written to the trace.
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "XmlParserState.h"
#include "osal/Lock.h"
#include "osal/System.h"
#include "util/Trace.h"
#include "xel/XmlParser.h"

namespace velmora::xel {

using util::Result;

namespace {

constexpr int kBlock = 8;
constexpr size_t kMaxKeyBytes = 56;
// The cluster's answer (key or failure) is asked again after this long.
constexpr uint64_t kClusterKeyLifeMs = 60000;

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

// Runs one Blowfish encryption or decryption without padding; out must hold size bytes.
bool BlowfishRun(const EVP_CIPHER* cipher, bool encrypt, const std::string& key, const uint8_t* iv,
                 const uint8_t* in, int size, uint8_t* out) {
  if (!cipher) return false;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  const int enc = encrypt ? 1 : 0;
  if (EVP_CipherInit_ex2(ctx.get(), cipher, nullptr, nullptr, enc, nullptr) != 1) return false;
  if (EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key.size())) != 1) return false;
  if (EVP_CipherInit_ex2(ctx.get(), nullptr, reinterpret_cast<const uint8_t*>(key.data()), iv, enc,
                         nullptr) != 1) {
    return false;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int n = 0, tail = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &n, in, size) != 1) return false;
  if (EVP_CipherFinal_ex(ctx.get(), out + n, &tail) != 1) return false;
  return n + tail == size;
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
  if (!BlowfishRun(Ciphers().Ecb(), false, key, nullptr, in, kBlock, check)) {
    return DecryptionFailed();
  }
  if (check[4] != 0 || check[5] != 0 || check[6] != 0 || check[7] != 0) return DecryptionFailed();
  std::vector<uint8_t> out(n - kBlock);
  if (!BlowfishRun(Ciphers().Cbc(), false, key, in, in + kBlock, static_cast<int>(n - kBlock),
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

// The process's key sources: the configured key and the cluster's last answer.
struct KeySources {
  osal::Lock M_Lock{"XmlParser keys"};
  std::string M_Configured;
  std::string M_Cluster;
  bool M_bClusterAsked = false;
  bool M_bClusterOk = false;
  uint64_t M_ClusterAskedAt = 0;
};

KeySources& Keys() {
  static KeySources* keys = new KeySources;  // never destroyed: documents may outlive statics
  return *keys;
}

std::atomic<bool> g_bDecryptByDefault{false};

// The cluster's key. Asked at most once a minute, so that a document full of method 2
// elements on a machine without a cluster costs one attempt, not one per element.
bool ClusterKey(std::string* key) {
  KeySources& k = Keys();
  osal::ScopedLock lock(k.M_Lock);
  const uint64_t now = osal::TickCountMs();
  if (!k.M_bClusterAsked || now - k.M_ClusterAskedAt > kClusterKeyLifeMs) {
    osal::Status status = osal::GetClusterKey(&k.M_Cluster);
    k.M_bClusterAsked = true;
    k.M_bClusterOk = status.ok() && !k.M_Cluster.empty();
    k.M_ClusterAskedAt = now;
  }
  if (k.M_bClusterOk) *key = k.M_Cluster;
  return k.M_bClusterOk;
}

std::string ConfiguredKey() {
  KeySources& k = Keys();
  osal::ScopedLock lock(k.M_Lock);
  return k.M_Configured;
}

}  // namespace

namespace xmlp {

bool DecryptionDefault() { return g_bDecryptByDefault.load(); }

int MethodFromAlgorithm(const char* text) {
  const size_t nsLen = std::strlen(kNsXelEncryption);
  if (std::strncmp(text, kNsXelEncryption, nsLen) != 0) return 99;
  const char* p = text + nsLen;
  if (p[0] >= '0' && p[0] <= '2' && p[1] == 0) return p[0] - '0';
  return 99;
}

}  // namespace xmlp

void XmlParser::SetDecryption(bool on) { State().M_bDecrypt = on; }
bool XmlParser::GetDecryption() const { return State().M_bDecrypt; }
void XmlParser::SetDecryptionDefault(bool on) { g_bDecryptByDefault.store(on); }
bool XmlParser::GetDecryptionDefault() { return g_bDecryptByDefault.load(); }

void XmlParser::SetDecryptionKey(const std::string& key) {
  State().M_DecryptKey = key;
  State().M_bDecrypt = true;
}

void XmlParser::SetConfiguredDecryptionKey(const std::string& key) {
  KeySources& k = Keys();
  osal::ScopedLock lock(k.M_Lock);
  k.M_Configured = key;
}

Result XmlParser::DecryptEncryptedData(std::string* plain) {
  XmlParserState& s = State();
  plain->clear();
  if (s.M_NodeType != Node_ElementStart || GetLocalName() != "EncryptedData") {
    return xmlp::Err(util::ErrLogicState, "DecryptEncryptedData: cursor is not on EncryptedData");
  }
  int method = 1;
  std::string cipher;
  Result r = ReadEncryptedParts(&method, &cipher);
  if (r.IsError()) return r;

  if (method == 0) {
    *plain = std::move(cipher);
    return Result();
  }
  std::string key = s.M_DecryptKey;
  if (key.empty() && method == 2 && !ClusterKey(&key)) {
    key = ConfiguredKey();
    if (key.empty()) {
      return xmlp::Err(util::ErrObjNotExist,
                       "unable to access cluster resource (access denied or cluster service "
                       "not running)");
    }
  }
  if (key.empty()) key = ConfiguredKey();
  if (key.empty()) {
    XEL_TRACE("XmlParser", util::General_Error,
              "EncryptedData method %i found but no decryption key is set", method);
    return DecryptionFailed();
  }
  return DecryptBlowfish(key, cipher, plain);
}

Result XmlEncryptContent(int method, const std::string& key, const std::string& content,
                         std::string* element) {
  if (method < 0 || method > 2) {
    return xmlp::Err(util::ErrLogicArgs, "encryption method %i is not 0, 1 or 2", method);
  }
  std::string cipher;
  if (method == 0) {
    cipher = content;
  } else {
    if (key.empty() || key.size() > kMaxKeyBytes) {
      return xmlp::Err(util::ErrLogicArgs, "the key must have 1 to %i bytes",
                       static_cast<int>(kMaxKeyBytes));
    }
    if (content.size() > 0x7fffffff - 3 * kBlock) {
      return xmlp::Err(util::ErrLogicLenMax, "content too large to encrypt");
    }
    // The terminating zero, padded with zeros to whole blocks.
    std::string padded = content;
    padded.push_back('\0');
    padded.resize((padded.size() + kBlock - 1) / kBlock * kBlock, '\0');
    uint8_t check[kBlock] = {};
    osal::RandomBytes(check, 4);
    cipher.resize(kBlock + padded.size());
    auto* out = reinterpret_cast<uint8_t*>(cipher.data());
    if (!BlowfishRun(Ciphers().Ecb(), true, key, nullptr, check, kBlock, out) ||
        !BlowfishRun(Ciphers().Cbc(), true, key, out,
                     reinterpret_cast<const uint8_t*>(padded.data()),
                     static_cast<int>(padded.size()), out + kBlock)) {
      return xmlp::Err(util::ErrIntern, "encryption failed");
    }
  }
  std::vector<unsigned char> base64(4 * ((cipher.size() + 2) / 3) + 1);
  const int n =
      EVP_EncodeBlock(base64.data(), reinterpret_cast<const unsigned char*>(cipher.data()),
                      static_cast<int>(cipher.size()));
  *element += std::string("<EncryptedData xmlns=\"") + kNsXmlEnc +
              "\"><EncryptionMethod Algorithm=\"" + kNsXelEncryption + std::to_string(method) +
              "\"/><CipherData><CipherValue>" +
              std::string(reinterpret_cast<const char*>(base64.data()), static_cast<size_t>(n)) +
              "</CipherValue></CipherData></EncryptedData>";
  return Result();
}

Result XmlReadKeyFile(const std::string& path, std::string* key) {
  key->clear();
  std::string bytes;
  const osal::Status status = osal::ReadOwnerOnlyFile(path, 4096, &bytes);
  const char* reason = nullptr;
  if (status.Is(osal::ErrorKind::kAccessDenied)) {
    reason = "other accounts may read it, or it cannot be read";
  } else if (status.Is(osal::ErrorKind::kInvalid)) {
    reason = "not a small regular file";
  } else if (!status.ok()) {
    reason = "cannot be read";
  } else {
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
    if (bytes.empty() || bytes.size() > kMaxKeyBytes) reason = "the key must have 1 to 56 bytes";
  }
  if (reason) {
    return Result::Make(util::ErrBadConfig, util::ModIntellNetwork, util::ObjXmlParser,
                        util::SevError, "decryption key file %s: %s (%s)", path.c_str(), reason,
                        status.ok() ? "" : status.Text().c_str());
  }
  *key = std::move(bytes);
  return Result();
}

}  // namespace velmora::xel
