// Configuration: typed reads with defaults over a shared message document, standalone copies,
// and XInclude resolution.
#include "xel/Configuration.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
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

Configuration::Configuration() = default;

Configuration::Configuration(const std::string& fileName) {
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

Configuration::Configuration(Ref<XmlParser> document) : M_pMsg(std::move(document)) {}

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
  return r;
}

Result Configuration::Share(const Configuration& source) {
  try {
    M_Prefix = source.M_Prefix;
    M_pMsg = source.M_pMsg;
  } catch (const std::bad_alloc&) {
    return Result::Make(util::ErrResource, util::ModIntellNetwork, util::ObjXmlParser,
                        util::SevError, "Failed to share configuration");
  }
  return Result();
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
  try {
    XmlParser cursor = Cursor();
    bool value = false;
    if (cursor.ReadBoolAtPath(FullPath(key).c_str(), &value).IsSuccess()) return value;
  } catch (...) {
  }
  return def;
}

std::string Configuration::GetString(const char* key, const char* def) const {
  std::string path = FullPath(key);
  XmlParser cursor = Cursor();
  std::string value;
  Result r = cursor.ReadStringAtPath(path.c_str(), &value);
  if (r.IsSuccess()) return value;
  if (def == nullptr) r.ThrowIfError();
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
  try {
    XmlParser cursor = Cursor();
    int value = 0;
    if (cursor.ReadNamedValueAtPath(FullPath(key).c_str(), table, count, &value).IsSuccess()) {
      return value;
    }
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
    if (r.IsSuccess()) M_pMsg = std::move(dst);
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
