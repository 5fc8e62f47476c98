// Configuration: typed reads with defaults over a shared message document, standalone copies,
// and XInclude resolution.
#include "xel/Configuration.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "util/Trace.h"
#include "xel/ConnectionFile.h"

namespace velmora::xel {
namespace {

using util::Ref;
using util::Result;

constexpr uint32_t kFileTimeout = 10000;
constexpr int64_t kMaxFileSize = 2147483647;
// Include files may include further files; a chain this deep is taken for a cycle.
constexpr int kMaxIncludeDepth = 16;
// Marks the text of a failure with the included file it concerns.
constexpr const char* kIncludedFile = " (included file ";

Result ConfigError(uint32_t category, const char* fmt, const std::string& arg) {
  return Result::Make(category, util::ModIntellNetwork, util::ObjXmlParser, util::SevError, fmt,
                      arg.c_str());
}

bool IsInclude(const XmlParser& p) {
  return p.GetNodeType() == XmlParser::Node_ElementStart && p.GetLocalName() == "include" &&
         p.GetNamespace() == kNsXInclude;
}

// True when the element at the cursor of at is, or holds, an include element.
bool SubtreeHasInclude(const XmlParser& at) {
  if (IsInclude(at)) return true;
  XmlParser probe(at);
  const int depth0 = probe.GetDepth();
  for (;;) {
    if (probe.NextToken().IsError()) return false;
    if (probe.GetDepth() < depth0) return false;
    if (IsInclude(probe)) return true;
  }
}

// The folder of a path in the connector's form; empty when it has none.
std::string FolderOf(const std::string& path) {
  size_t sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return {};
  return path.substr(0, sep == 0 ? 1 : sep);
}

// The file an include's href names. Relative hrefs (not starting with a separator, no scheme
// or drive before the first separator) are taken below base; "file://" URLs name local files.
Result IncludePath(const std::string& href, const std::string& base, std::string* path) {
  if (href.empty()) return ConfigError(util::ErrBadConfig, "XInclude below %s has no href", base);
  std::string_view h = href;
  if (h.size() > 7 && strncasecmp(href.c_str(), "file://", 7) == 0) {
    *path = std::string(h.substr(7));
    return Result();
  }
  if (h[0] == '\\' || h[0] == '/') {
    *path = href;
    return Result();
  }
  std::string_view first = h.substr(0, h.find_first_of("\\/"));
  size_t colon = first.find(':');
  if (colon == 1) {  // a drive letter
    *path = href;
    return Result();
  }
  if (colon != std::string_view::npos) {
    return ConfigError(util::ErrNotImplemented, "XInclude href %s: only files can be included",
                       href);
  }
  if (base.empty()) {
    *path = href;
  } else {
    char last = base.back();
    *path = base + (last == '/' || last == '\\' ? "" : "/") + href;
  }
  return Result();
}

// The failure r of including the file at path, with the file's name and, when given, the
// step that failed (the failures of reading a file already end in theirs, such as
// "Configuration-file open"). A failure that already names an included file (of a nested
// include) is passed on as it is.
Result NameIncludedFile(Result r, const char* step, const std::string& path) {
  const std::string text = r.ErrorText();
  if (text.find(kIncludedFile) != std::string::npos) return r;
  if (step != nullptr) {
    r.SetText("%s | %s%s%s)", text.c_str(), step, kIncludedFile, path.c_str());
  } else {
    r.SetText("%s%s%s)", text.c_str(), kIncludedFile, path.c_str());
  }
  return r;
}

// Copies the current character or binary content of src to dst in parts.
Result CopyContent(XmlParser& src, XmlParser& dst) {
  std::vector<char> chunk(65536);
  const bool binary = src.GetNodeType() == XmlParser::Node_Binary;
  for (;;) {
    int len = 0;
    Result rr = binary ? src.ReadBinary(chunk.data(), static_cast<int>(chunk.size()), &len)
                       : src.ReadText(chunk.data(), static_cast<int>(chunk.size()), &len);
    if (rr.IsError()) return rr;
    Result r = binary ? dst.WriteBinary(chunk.data(), len) : dst.WriteChars(chunk.data(), len);
    if (r.IsError()) return r;
    if (rr.Category() != util::ErrMoreData) return Result();
  }
}

struct AttrCopy {
  std::string prefix, ns, name, value;
};

// Opens in dst the element at src's cursor with its attributes (namespaces declared first, so
// that they are written on the element itself). src's cursor does not move.
Result OpenElementLike(const XmlParser& src, XmlParser& dst) {
  std::vector<AttrCopy> attrs;
  XmlParser probe(src);
  const int depth0 = probe.GetDepth();
  for (;;) {
    Result r = probe.NextToken();
    if (r.IsError()) break;
    int type = probe.GetNodeType();
    if (type == XmlParser::Node_AttributeEnd) continue;
    if (type != XmlParser::Node_Attribute || probe.GetDepth() != depth0 + 1) break;
    AttrCopy a{probe.GetPrefix(), probe.GetNamespace(), probe.GetLocalName(), {}};
    r = probe.ReadString(&a.value);
    if (r.IsError()) return r;
    attrs.push_back(std::move(a));
  }
  int h = src.GetNamespace().empty()
              ? 0
              : dst.DeclareNamespace(src.GetPrefix().c_str(), src.GetNamespace().c_str());
  std::vector<int> handles;
  for (const AttrCopy& a : attrs) {
    handles.push_back(a.ns.empty() ? 0 : dst.DeclareNamespace(a.prefix.c_str(), a.ns.c_str()));
  }
  Result r = dst.OpenElement(h, src.GetLocalName().c_str());
  for (size_t i = 0; i < attrs.size() && r.IsSuccess(); ++i) {
    r = dst.WriteAttribute(handles[i], attrs[i].name.c_str(), attrs[i].value.c_str());
  }
  return r;
}

}  // namespace

// The texts read so far, valid for one state of the document: the document is not meant to
// change once the configuration is built, but one that does (a new document, content added
// or removed, its cursor moved) simply starts the cache afresh. A document with encrypted
// content is never cached: what its texts read as depends on the keys the process has at
// the time of the read.
struct Configuration::TextCache {
  // Enough for every key a component reads; beyond it texts are read as if uncached.
  static constexpr size_t kMaxEntries = 256;
  struct Stamp {
    const XmlParser* pDoc = nullptr;
    const Message* pMsg = nullptr;
    int64_t size = -1;
    int64_t position = -1;
    int depth = -1;
    bool operator==(const Stamp&) const = default;
  };
  struct Entry {
    bool found = false;
    std::string text;
  };
  std::mutex lock;  // configurations are read from several threads at once
  Stamp stamp;
  bool cacheable = false;  // the document of stamp may be cached
  std::unordered_map<std::string, Entry> entries;
};

namespace {

// True when the document holds an EncryptedData element (or cannot be read to its end).
bool HoldsEncryptedData(const XmlParser& document) {
  XmlParser probe(document);
  probe.SetDecryption(false);
  if (probe.Rewind().IsError()) return true;
  for (;;) {
    Result r = probe.NextToken();
    if (r.IsError()) return r.Category() != util::ErrEndOfObject;
    if (probe.GetNodeType() == XmlParser::Node_ElementStart &&
        probe.GetLocalName() == "EncryptedData") {
      return true;
    }
  }
}

}  // namespace

Configuration::Configuration() : M_pTexts(std::make_unique<TextCache>()) {}

Configuration::Configuration(const std::string& fileName)
    : M_pTexts(std::make_unique<TextCache>()) {
  auto conn = Ref<ConnectionFile>::Adopt(new ConnectionFile);
  Result r = conn->OpenInput(fileName);
  r.ThrowIfError("Configuration-file open");
  Ref<XmlParser> doc = XmlParser::Create();
  doc->SetRxTimeout(kFileTimeout);
  r = doc->Receive(conn.get(), kFileTimeout);
  r.ThrowIfError("Configuration-file Readfirst");
  r = doc->GetMessage()->FetchAll(kMaxFileSize);
  if (r.IsSuccess() && !doc->GetMessage()->IsComplete()) {
    r = ConfigError(util::ErrLogicLenMax, "Configuration file %s is too large", fileName);
  }
  r.ThrowIfError("Configuration-file read all");
  M_pMsg = std::move(doc);
}

Configuration::Configuration(Ref<XmlParser> document)
    : M_pMsg(std::move(document)), M_pTexts(std::make_unique<TextCache>()) {}

Configuration::~Configuration() = default;

Ref<Configuration> Configuration::FromFile(const std::string& fileName) {
  return Ref<Configuration>::Adopt(new Configuration(fileName));
}

Ref<Configuration> Configuration::FromDocument(Ref<XmlParser> document) {
  return Ref<Configuration>::Adopt(new Configuration(std::move(document)));
}

Ref<Configuration> Configuration::SubConfig(const char* fmt, ...) const {
  char path[1000];
  va_list args;
  va_start(args, fmt);
  int n = std::vsnprintf(path, sizeof(path), fmt, args);
  va_end(args);
  if (n < 0) path[0] = 0;
  auto sub = Ref<Configuration>::Adopt(new Configuration(M_pMsg));
  sub->M_Prefix = M_Prefix + path + "/";
  return sub;
}

Result Configuration::MakeStandaloneCopy(const Configuration& source) {
  Ref<XmlParser> doc = XmlParser::Create();
  Result r = doc->OpenElement(0, "Config");
  if (source.M_pMsg.HasObject() && r.IsSuccess()) {
    std::string sPrefix = source.M_Prefix;
    if (sPrefix.length() > 1) {
      // clang-format off
      XEL_ASSERT(sPrefix[sPrefix.length()-1] == '/');
      // clang-format on
      sPrefix.pop_back();
      XmlParser cursor(*source.M_pMsg);
      r = cursor.MoveToPath(sPrefix.c_str());
      if (r.IsSuccess()) r = doc->CopySubtree(cursor, 0);
    }
  }
  r.KeepWorse(doc->CloseAll());
  r.KeepWorse(doc->Rewind());
  M_pMsg = std::move(doc);
  M_Prefix = "Config/";
  ForgetTexts();
  return r;
}

Result Configuration::Share(const Configuration& source) {
  try {
    M_Prefix = source.M_Prefix;
    M_pMsg = source.M_pMsg;
    ForgetTexts();
  } catch (const std::bad_alloc&) {
    return Result::Make(util::ErrResource, util::ModIntellNetwork, util::ObjXmlParser,
                        util::SevError, "Failed to share configuration");
  }
  return Result();
}

void Configuration::ForgetTexts() {
  std::lock_guard<std::mutex> lock(M_pTexts->lock);
  M_pTexts->entries.clear();
  M_pTexts->stamp = TextCache::Stamp();
}

bool Configuration::ReadText(const std::string& path, std::string* text) const {
  XEL_ASSERT(M_pMsg.HasObject());
  const TextCache::Stamp now{M_pMsg.get(), M_pMsg->GetMessage(), M_pMsg->GetMessage()->Size(),
                             M_pMsg->GetPosition(), M_pMsg->GetDepth()};
  TextCache& cache = *M_pTexts;
  {
    std::lock_guard<std::mutex> lock(cache.lock);
    if (!(cache.stamp == now)) {
      cache.entries.clear();
      cache.stamp = now;
      cache.cacheable = !HoldsEncryptedData(*M_pMsg);
    }
    auto it = cache.entries.find(path);
    if (it != cache.entries.end()) {
      *text = it->second.text;
      return it->second.found;
    }
  }
  TextCache::Entry e;
  e.found = Cursor().ReadStringAtPath(path.c_str(), &e.text).IsSuccess();
  if (!e.found) e.text.clear();
  *text = e.text;
  const bool found = e.found;
  std::lock_guard<std::mutex> lock(cache.lock);
  if (cache.stamp == now && cache.cacheable && cache.entries.size() < TextCache::kMaxEntries) {
    cache.entries.emplace(path, std::move(e));
  }
  return found;
}

XmlParser Configuration::Cursor() const {
  XEL_ASSERT(M_pMsg.HasObject());
  return XmlParser(*M_pMsg);
}

std::string Configuration::FullPath(const char* key) const { return M_Prefix + (key ? key : ""); }

int Configuration::GetInt(const char* key, int def) const {
  try {
    XmlParser cursor = Cursor();
    int32_t value = 0;
    if (cursor.ReadIntAtPath(FullPath(key).c_str(), &value).IsSuccess()) return value;
  } catch (...) {
  }
  return def;
}

bool Configuration::GetBool(const char* key, bool def) const {
  // A boolean read takes at most the first 64 bytes of the text.
  return GetNamedFromText(key, 64, XmlParser::kBoolValues, XmlParser::kBoolValueCount,
                          def ? 1 : 0) != 0;
}

std::string Configuration::GetString(const char* key, const char* def) const {
  std::string path = FullPath(key);
  std::string value;
  if (ReadText(path, &value)) return value;
  if (def == nullptr) {
    // The read again, for its failure.
    Cursor().ReadStringAtPath(path.c_str(), &value).ThrowIfError();
    return value;
  }
  return def;
}

Result Configuration::GetString(const char* key, char* buffer, int size, const char* def) const {
  std::string path = FullPath(key);
  if (buffer == nullptr || size <= 0) {
    return ConfigError(util::ErrLogicArgs, "No buffer to read %s into", path);
  }
  XmlParser cursor = Cursor();
  int len = 0;
  Result r = cursor.ReadTextAtPath(path.c_str(), buffer, size, &len);
  if (r.IsSuccess()) return r;
  buffer[0] = 0;
  if (def == nullptr) return r;
  size_t n = std::strlen(def);
  if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
  std::memcpy(buffer, def, n);
  buffer[n] = 0;
  Result warning(util::MakeResultCode(util::SevWarning, util::ErrObjNotExist, util::ObjXmlParser,
                                      util::ModIntellNetwork));
  warning.SetText("Default used for %s", path.c_str());
  return warning;
}

int Configuration::GetNamedValue(const char* key, const XmlNamedValue* table, int count,
                                 int def) const {
  // A named value is read from at most the first 1024 bytes of the text.
  return GetNamedFromText(key, 1024, table, count, def);
}

int Configuration::GetNamedFromText(const char* key, size_t limit, const XmlNamedValue* table,
                                    int count, int def) const {
  try {
    std::string text;
    if (!ReadText(FullPath(key), &text)) return def;
    if (text.size() > limit) text.resize(limit);
    int value = 0;
    if (XmlParser::LookupNamedValue(text, table, count, &value).IsSuccess()) return value;
  } catch (...) {
  }
  return def;
}

bool Configuration::Exists(const char* key) const {
  XmlParser cursor = Cursor();
  return cursor.ExistsPath(FullPath(key).c_str());
}

Result Configuration::CopySubtree(const char* key, XmlParser& target, int mode) const {
  XmlParser cursor = Cursor();
  Result r = cursor.MoveToPath(FullPath(key).c_str());
  if (r.IsError()) return r;
  return target.CopySubtree(cursor, mode);
}

Result Configuration::ResolveIncludes(const std::string& baseLocation) {
  return ResolveIncludesDepth(baseLocation, 0);
}

// The document is rebuilt into a new one (in the binary token format, the cheapest to read):
// elements without includes are copied whole, the ancestors of includes are opened anew, and
// each include is replaced by the included file's root element. A document without includes
// is left as it is.
Result Configuration::ResolveIncludesDepth(const std::string& baseLocation, int depth) {
  XEL_ASSERT(M_pMsg.HasObject());
  try {
    XmlParser src(*M_pMsg);
    Result r = src.Rewind();
    if (r.IsError()) return r;
    if (!SubtreeHasInclude(src)) return Result();
    if (depth >= kMaxIncludeDepth) {
      return ConfigError(util::ErrLoop, "XInclude nesting too deep below %s", baseLocation);
    }
    Ref<XmlParser> dst = XmlParser::Create();
    for (;;) {
      r = src.NextToken();
      if (r.Category() == util::ErrEndOfObject) break;
      if (r.IsError()) return r;
      switch (src.GetNodeType()) {
        case XmlParser::Node_ElementStart:
          if (IsInclude(src)) {
            std::string href, path;
            r = src.ReadStringAtPath("@href", &href);
            if (r.IsSuccess()) r = IncludePath(href, baseLocation, &path);
            if (r.IsError()) return r;
            Ref<Configuration> included;
            try {
              included = FromFile(path);
            } catch (Result& thrown) {
              return NameIncludedFile(thrown, nullptr, path);
            }
            // The file's content is parsed as it is read here: a document that is not
            // well-formed fails now, and counts as a file that could not be read.
            r = included->ResolveIncludesDepth(FolderOf(path), depth + 1);
            XmlParser root(*included->M_pMsg);
            if (r.IsSuccess()) r = root.MoveToPath("/*");
            if (r.IsSuccess()) r = dst->CopySubtree(root, 1);
            if (r.IsError()) return NameIncludedFile(r, "Configuration-file read all", path);
            r = src.SkipElement();
          } else if (SubtreeHasInclude(src)) {
            r = OpenElementLike(src, *dst);
          } else {
            r = dst->CopySubtree(src, 1);
          }
          break;
        case XmlParser::Node_Chars:
        case XmlParser::Node_Text:
        case XmlParser::Node_Binary:
          r = CopyContent(src, *dst);
          break;
        case XmlParser::Node_ElementEnd:
          r = dst->CloseElement();
          break;
        default:  // attributes were written with their element
          break;
      }
      if (r.IsError()) return r;
    }
    r = dst->CloseAll();
    if (r.IsSuccess()) r = dst->Rewind();
    if (r.IsSuccess()) {
      M_pMsg = std::move(dst);
      ForgetTexts();
    }
    return r;
  } catch (const Result& thrown) {
    return thrown;
  } catch (const std::bad_alloc&) {
    return ConfigError(util::ErrResource, "Out of memory resolving includes below %s",
                       baseLocation);
  }
}

Result Configuration::LoadDecryptionKey(const XmlParser& document, const char* keyFilePath) {
  XmlParser cursor(document);
  cursor.SetDecryption(false);
  if (cursor.MoveToPath(keyFilePath).IsError()) {
    XmlParser::SetConfiguredDecryptionKey("");
    return Result();
  }
  std::string path, key;
  Result r = cursor.ReadString(&path, 4096);
  if (r.IsError() || r.Category() == util::ErrMoreData || path.empty()) {
    return ConfigError(util::ErrBadConfig, "%s must name the decryption key file in plain text",
                       keyFilePath);
  }
  r = XmlReadKeyFile(path, &key);
  if (r.IsError()) return r;
  XmlParser::SetConfiguredDecryptionKey(key);
  XEL_TRACE("Configuration", util::General_20, "Decryption key read from %s", path.c_str());
  return Result();
}

}  // namespace velmora::xel
