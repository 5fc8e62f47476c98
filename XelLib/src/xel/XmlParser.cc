// XmlParser: construction, settings and the token writer for all data formats.
#include "xel/XmlParser.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "XmlParserState.h"
#include "util/Text.h"
#include "xel/Connection.h"

namespace velmora::xel {

using util::Result;
using S = XmlParserState;
using xmlp::Err;

XmlParser::XmlParser() : M_pState(new XmlParserState) {
  M_pState->M_pMsg = util::Ref<Message>::Adopt(new Message);
}

XmlParser::XmlParser(util::Ref<Message> message) : M_pState(new XmlParserState) {
  M_pState->M_pMsg = message ? message : util::Ref<Message>::Adopt(new Message);
}

XmlParser::XmlParser(const XmlParser& other)
    : util::SharedObject(), M_pState(new XmlParserState(*other.M_pState)) {
  // The copy reads on from the same place with a window of its own.
  S& s = *M_pState;
  s.SeekWindow(other.M_pState->Pos());
  s.M_MsgCursor = Message::Cursor();
}

XmlParser::~XmlParser() = default;

util::Ref<XmlParser> XmlParser::Create() { return util::Ref<XmlParser>::Adopt(new XmlParser); }

util::Ref<XmlParser> XmlParser::Clone() const {
  return util::Ref<XmlParser>::Adopt(new XmlParser(*this));
}

Message* XmlParser::GetMessage() const { return State().M_pMsg.get(); }
const util::Ref<Message>& XmlParser::MessageRef() const { return State().M_pMsg; }

void XmlParser::SetMessage(util::Ref<Message> message) {
  S& s = State();
  s.M_pMsg = message ? message : util::Ref<Message>::Adopt(new Message);
  s.M_Format = Format_None;
  s.M_bLatin1Converted = false;
  s.M_bWriting = false;
  (void)Rewind();
}

void XmlParser::Reset() {
  S& s = State();
  // A new message: copies of this document may still be reading the old one.
  s.M_pMsg = util::Ref<Message>::Adopt(new Message);
  s.M_pMsg->SetRxTimeout(s.M_RxTimeout);
  s.M_Format = Format_None;
  s.M_bLatin1Converted = false;
  s.M_bWriting = false;
  s.M_NsTable.assign(1, XmlNsBinding());
  s.M_PendingNs.clear();
  s.M_WriteScope.clear();
  s.M_Open.clear();
  s.M_bTagOpen = s.M_bLastText = s.M_bBinaryOpen = false;
  s.M_WrCarryLen = 0;
  s.M_PrevNodePos = -1;
  s.M_PrevNodeDepth = 0;
  s.M_WrDict.clear();
  (void)Rewind();
}

int XmlParser::GetDataFormat() const { return State().M_Format; }

Result XmlParser::SetDataFormat(int format) {
  S& s = State();
  if (format != Format_Binary && format != Format_Compact && format != Format_XmlUtf8) {
    return Err(util::ErrLogicArgs, "Set XmlDataFormat %i not supported", format);
  }
  if (s.M_pMsg->Size() > 0) {
    if (format == s.M_Format) return Result();
    return Err(util::ErrLogicState, "Set XmlDataFormat %i not allowed: the document holds tokens",
               format);
  }
  s.M_Format = format;
  return Result();
}

Result XmlParser::SetIndentation(int width) {
  if (width < 0 || width > 5)
    return Err(util::ErrLogicArgs, "Indentation %i not supported (0-5)", width);
  State().M_Indent = width;
  return Result();
}

int XmlParser::GetIndentation() const { return State().M_Indent; }
void XmlParser::SetRxTimeout(uint32_t ms) {
  State().M_RxTimeout = ms;
  State().M_pMsg->SetRxTimeout(ms);
}
void XmlParser::SetTxTimeout(uint32_t ms) { State().M_TxTimeout = ms; }
uint32_t XmlParser::GetRxTimeout() const { return State().M_RxTimeout; }
uint32_t XmlParser::GetTxTimeout() const { return State().M_TxTimeout; }
void XmlParser::SetFileFlag(bool on) { State().M_bFileFlag = on; }
bool XmlParser::GetFileFlag() const { return State().M_bFileFlag; }
void XmlParser::SetReleaseReadData(bool on) { State().M_bReleaseRead = on; }

void XmlParser::AttachToConnection(Connection* conn, uint32_t txTimeoutMs, bool fileFlag) {
  S& s = State();
  s.M_pConn = util::Ref<Connection>(conn);
  s.M_TxTimeout = txTimeoutMs;
  s.M_bFileFlag = fileFlag;
}

Connection* XmlParser::GetAttachedConnection() const { return State().M_pConn.get(); }

// --- Escaping -------------------------------------------------------------------------

void XmlEscapeAppend(std::string* out, const char* text, size_t size, char quote) {
  const char* p = text;
  const char* e = text + size;
  const char* run = p;
  for (; p < e; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 32 && c != '&' && c != '<' && (c != static_cast<unsigned char>(quote) || !quote))
      continue;
    if (c < 32 && (c == '\t' || c == '\n' || c == '\r')) continue;
    out->append(run, p - run);
    run = p + 1;
    if (c == '&') {
      out->append("&amp;");
    } else if (c == '<') {
      out->append("&lt;");
    } else if (c == '"') {
      out->append("&quot;");
    } else if (c == '\'') {
      out->append("&apos;");
    }
    // Other control characters are dropped.
  }
  out->append(run, p - run);
}

// --- Writer ---------------------------------------------------------------------------

namespace {

// The length field of the token stream at out (at most 9 bytes); returns its size.
size_t EncodeLen1(char* out, uint64_t len) {
  if (len < 128) {
    out[0] = static_cast<char>(len);
    return 1;
  }
  int n = 0;
  for (uint64_t x = len; x; x >>= 8) ++n;
  out[0] = static_cast<char>(0x80 + n);
  for (int i = 0; i < n; ++i) out[1 + i] = static_cast<char>((len >> (8 * (n - 1 - i))) & 0xFF);
  return static_cast<size_t>(n) + 1;
}

size_t Len1Size(uint64_t len) {
  size_t n = 1;
  if (len >= 128) {
    for (uint64_t x = len; x; x >>= 8) ++n;
  }
  return n;
}

// A varint of the compact format at out (at most 10 bytes); returns its size.
size_t EncodeVarint(char* out, uint64_t v) {
  size_t n = 0;
  while (v >= 0x80) {
    out[n++] = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out[n++] = static_cast<char>(v);
  return n;
}

// A token's bytes (or a few tokens'), assembled in place when they are few, as nearly all
// are, so that they cost one append to the message and no allocation. Put does not check for
// room: Reserve first.
class TokenBuffer {
 public:
  void Reserve(size_t n) {
    if (M_Size + n <= M_Capacity) return;
    const size_t capacity = std::max(M_Capacity * 2, M_Size + n);
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    std::memcpy(bigger.get(), M_p, M_Size);
    M_Heap = std::move(bigger);
    M_p = M_Heap.get();
    M_Capacity = capacity;
  }
  void Put(char c) { M_p[M_Size++] = c; }
  void Put(const void* data, size_t n) {
    if (n) std::memcpy(M_p + M_Size, data, n);
    M_Size += n;
  }
  void PutLen1(uint64_t len) { M_Size += EncodeLen1(M_p + M_Size, len); }
  void PutVarint(uint64_t v) { M_Size += EncodeVarint(M_p + M_Size, v); }
  const char* data() const { return M_p; }
  size_t size() const { return M_Size; }

 private:
  char M_Inline[512];
  std::unique_ptr<char[]> M_Heap;
  char* M_p = M_Inline;
  size_t M_Capacity = sizeof(M_Inline);
  size_t M_Size = 0;
};

// Content up to this size travels in one append with its header (and, for an attribute's
// value, with the attribute's other tokens); longer content is appended on its own rather
// than copied once more.
constexpr int64_t kJoinBelow = 4096;

// The bytes of a token with two parts (an element or attribute start, a namespace
// declaration) or of an end token, added to t in the document's token format.
util::Result EncodeToken(S& s, TokenBuffer& t, int type, const char* a, size_t alen, const char* b,
                         size_t blen) {
  const bool end = type == XmlParser::Node_ElementEnd || type == XmlParser::Node_AttributeEnd;
  if (s.M_Format == XmlParser::Format_Binary) {
    if (end) {
      t.Reserve(2);
      t.Put(static_cast<char>(type));
      t.Put(char{0});
      return util::Result();
    }
    // Two parts, each a sub-token (128, then 129) with its own length.
    const uint64_t parts = 2 + Len1Size(alen) + alen + Len1Size(blen) + blen;
    t.Reserve(1 + 9 + parts);
    t.Put(static_cast<char>(type));
    t.PutLen1(parts);
    t.Put(static_cast<char>(128));
    t.PutLen1(alen);
    t.Put(a, alen);
    t.Put(static_cast<char>(129));
    t.PutLen1(blen);
    t.Put(b, blen);
    return util::Result();
  }
  if (s.M_Format != XmlParser::Format_Compact) {
    return Err(util::ErrIntern, "WriteToken XmlDataFormat %i not supported", s.M_Format);
  }
  t.Reserve(1 + 30 + alen + blen);
  t.Put(static_cast<char>(type));
  if (!end) {
    std::string_view av(a, alen), bv(b, blen);
    size_t id = s.M_WrDict.size();
    for (size_t i = 0; i < s.M_WrDict.size(); ++i) {
      if (s.M_WrDict[i].first == av && s.M_WrDict[i].second == bv) {
        id = i;
        break;
      }
    }
    t.PutVarint(id);
    if (id == s.M_WrDict.size()) {
      t.PutVarint(alen);
      t.Put(a, alen);
      t.PutVarint(blen);
      t.Put(b, blen);
      s.M_WrDict.emplace_back(std::string(av), std::string(bv));
    }
  }
  return util::Result();
}

// The header of a content token (character or binary content) of size bytes, added to t;
// then, when given, the content itself.
util::Result EncodeContent(S& s, TokenBuffer& t, int type, const void* data, int64_t size) {
  if (s.M_Format != XmlParser::Format_Binary && s.M_Format != XmlParser::Format_Compact) {
    return Err(util::ErrIntern, "WriteToken XmlDataFormat %i not supported", s.M_Format);
  }
  t.Reserve(11 + (data ? static_cast<size_t>(size) : 0));
  t.Put(static_cast<char>(type));
  if (s.M_Format == XmlParser::Format_Binary) {
    t.PutLen1(static_cast<uint64_t>(size));
  } else {
    t.PutVarint(static_cast<uint64_t>(size));
  }
  if (data) t.Put(data, static_cast<size_t>(size));
  return util::Result();
}

// The failure of content that would take the message beyond its largest size.
util::Result ContentTooLarge(int64_t size, int64_t at) {
  return util::Result::Make(util::ErrLogicLenMax, util::ModIntellNetwork, util::ObjStringStack,
                            util::SevError,
                            "Maximum internal Buffer Size (%i) exceeded during attempt to insert "
                            "%i Bytes at %" PRId64 ".",
                            static_cast<int>(Message::kMaxSize), static_cast<int>(size), at);
}

bool IsTokenFormat(int f) {
  return f == XmlParser::Format_Binary || f == XmlParser::Format_Compact;
}

}  // namespace

Result XmlParser::Emit(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    int32_t n = size > 0x10000000 ? 0x10000000 : static_cast<int32_t>(size);
    Result r = State().M_pMsg->Append(p, n);
    if (r.IsError()) return r;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return Result();
}

Result XmlParser::BeginWrite() {
  S& s = State();
  s.M_bWriting = true;
  if (s.M_Format == Format_None) s.M_Format = Format_Binary;
  if (s.M_Format == Format_XmlLatin1) {
    return Err(util::ErrIntern, "WriteToken XmlDataFormat %i not supported", s.M_Format);
  }
  if (IsTokenFormat(s.M_Format) && s.M_pMsg->Size() == 0) {
    const char head[3] = {0x02, static_cast<char>(s.M_Format), 0x00};
    return Emit(head, 3);
  }
  return Result();
}

Result XmlParser::WriteToken(int type, const char* a, size_t alen, const char* b, size_t blen) {
  TokenBuffer t;
  Result r = EncodeToken(State(), t, type, a, alen, b, blen);
  return r.IsSuccess() ? Emit(t.data(), t.size()) : r;
}

Result XmlParser::WriteContentToken(int type, const void* data, int64_t size) {
  S& s = State();
  const bool join = size < kJoinBelow;
  TokenBuffer t;
  Result r = EncodeContent(s, t, type, join ? data : nullptr, size);
  if (r.IsError()) return r;
  const int64_t header = static_cast<int64_t>(t.size()) - (join ? size : 0);
  if (s.M_pMsg->Size() + header + size > Message::kMaxSize) {
    return ContentTooLarge(size, s.M_pMsg->Size());
  }
  r = Emit(t.data(), t.size());
  if (r.IsSuccess() && !join) r = Emit(data, static_cast<size_t>(size));
  return r;
}

Result XmlParser::WriteIndent(int level) {
  S& s = State();
  if (s.M_Indent <= 0) return Result();
  char buf[256];
  buf[0] = '\r';
  buf[1] = '\n';
  int n = std::min(level * s.M_Indent, 250);
  if (n < 0) n = 0;
  std::memset(buf + 2, ' ', n);
  return Emit(buf, 2 + n);
}

Result XmlParser::FlushBinary() {
  S& s = State();
  if (!s.M_bBinaryOpen) return Result();
  s.M_bBinaryOpen = false;
  if (s.M_WrCarryLen == 0) return Result();
  char out[8];
  size_t n = util::Base64EncodeTo(s.M_WrCarry, s.M_WrCarryLen, out);
  s.M_WrCarryLen = 0;
  return Emit(out, n);
}

Result XmlParser::CloseStartTag() {
  S& s = State();
  Result r = FlushBinary();
  if (r.IsError()) return r;
  if (!s.M_Open.empty()) s.M_Open.back().M_bHasContent = true;
  if (s.M_bTagOpen) {
    s.M_bTagOpen = false;
    r = Emit(">", 1);
    if (!s.M_Open.empty()) s.M_Open.back().M_ContentPos = s.M_pMsg->Size();
  }
  return r;
}

Result XmlParser::WriteDeclaration(const char* encoding) {
  S& s = State();
  if (s.M_Format != Format_XmlUtf8) return Result();
  if (s.M_pMsg->Size() != 0) {
    return Err(util::ErrLogicState,
               "Writting XML Start Declaration is not Allowed at this position");
  }
  s.M_bWriting = true;
  std::string d = "<?xml version=\"1.0\"";
  if (encoding && *encoding) {
    d += " encoding=\"";
    XmlEscapeAppend(&d, encoding, std::strlen(encoding), '"');
    d += "\"";
  }
  d += "?>";
  return Emit(d.data(), d.size());
}

int XmlParser::DeclareNamespace(const char* prefix, const char* uri) {
  S& s = State();
  std::string p = prefix ? prefix : "";
  std::string u = uri ? uri : "";
  int handle = 0;
  for (size_t i = 1; i < s.M_NsTable.size(); ++i) {
    if (s.M_NsTable[i].M_Prefix == p && s.M_NsTable[i].M_Uri == u) {
      handle = static_cast<int>(i);
      break;
    }
  }
  if (!handle) {
    s.M_NsTable.push_back({p, u});
    handle = static_cast<int>(s.M_NsTable.size() - 1);
  }
  if (std::find(s.M_PendingNs.begin(), s.M_PendingNs.end(), handle) == s.M_PendingNs.end()) {
    s.M_PendingNs.push_back(handle);
  }
  return handle;
}

namespace {

// The namespace bound to prefix in the writer's scope (nullptr when unbound).
const std::string* BoundUri(const S& s, std::string_view prefix) {
  for (auto it = s.M_WriteScope.rbegin(); it != s.M_WriteScope.rend(); ++it) {
    if (it->M_Prefix == prefix) return &it->M_Uri;
  }
  return nullptr;
}

bool InScope(const S& s, std::string_view prefix, std::string_view uri) {
  const std::string* b = BoundUri(s, prefix);
  if (!b) return prefix.empty() ? uri.empty() : (prefix == "xml" && uri == kNsXml);
  return *b == uri;
}

// The prefix and URI that namespace handle ns gives a new element: -1 the parent's, 0 none,
// above 0 the table's. The strings are the parent's or the table's own.
Result ElementNamespace(const S& s, int ns, const std::string** pPrefix, const std::string** pUri) {
  static const std::string kNone;
  *pPrefix = &kNone;
  *pUri = &kNone;
  if (ns == -1) {
    if (!s.M_Open.empty()) {
      *pPrefix = &s.M_Open.back().M_Prefix;
      *pUri = &s.M_Open.back().M_Uri;
    }
  } else if (ns > 0) {
    if (static_cast<size_t>(ns) >= s.M_NsTable.size()) {
      return Err(util::ErrLogicArgs, "invalid namespace handle %i", ns);
    }
    *pPrefix = &s.M_NsTable[ns].M_Prefix;
    *pUri = &s.M_NsTable[ns].M_Uri;
  } else if (ns != 0) {
    return Err(util::ErrLogicArgs, "invalid namespace handle %i", ns);
  }
  return Result();
}

}  // namespace

Result XmlParser::OpenElementQ(const std::string& prefix, const std::string& uri,
                               const std::string& name) {
  S& s = State();
  if (name.empty()) return Err(util::ErrLogicArgs, "zero-length name");
  Result r = BeginWrite();
  if (r.IsError()) return r;
  const bool xml = s.M_Format == Format_XmlUtf8;
  const bool atStart = s.M_pMsg->Size() == 0;
  if (xml) {
    r = CloseStartTag();
    if (r.IsError()) return r;
  } else {
    r = FlushBinary();
    if (r.IsError()) return r;
    if (!s.M_Open.empty()) s.M_Open.back().M_bHasContent = true;
  }
  // Declarations written with this element: the pending ones and its own when unbound.
  std::vector<XmlNsBinding> decls;
  for (int h : s.M_PendingNs) {
    const XmlNsBinding& b = s.M_NsTable[h];
    if (!InScope(s, b.M_Prefix, b.M_Uri)) decls.push_back(b);
  }
  s.M_PendingNs.clear();
  bool own = InScope(s, prefix, uri);
  for (const auto& d : decls) {
    if (d.M_Prefix == prefix) own = d.M_Uri == uri;
  }
  if (!own) decls.push_back({prefix, uri});

  if (xml && !atStart && !s.M_bLastText) {
    r = WriteIndent(static_cast<int>(s.M_Open.size()));
    if (r.IsError()) return r;
  }
  XmlOpenElement e;
  e.M_Prefix = prefix;
  e.M_Name = name;
  e.M_Uri = uri;
  e.M_NsScope = static_cast<int>(s.M_WriteScope.size());
  e.M_StartPos = s.M_pMsg->Size();
  e.M_DictSize = s.M_WrDict.size();
  if (xml) {
    std::string t = "<";
    if (!prefix.empty()) t += prefix + ":";
    t += name;
    for (const auto& d : decls) {
      t += " xmlns";
      if (!d.M_Prefix.empty()) t += ":" + d.M_Prefix;
      t += "=\"";
      XmlEscapeAppend(&t, d.M_Uri.data(), d.M_Uri.size(), '"');
      t += "\"";
    }
    r = Emit(t.data(), t.size());
    s.M_bTagOpen = true;
  } else {
    r = WriteToken(Node_ElementStart, prefix.data(), prefix.size(), name.data(), name.size());
    for (const auto& d : decls) {
      if (r.IsError()) break;
      r = WriteToken(Node_NamespaceDecl, d.M_Prefix.data(), d.M_Prefix.size(), d.M_Uri.data(),
                     d.M_Uri.size());
    }
  }
  if (r.IsError()) return r;
  for (const auto& d : decls) s.M_WriteScope.push_back(d);
  e.M_ContentPos = s.M_pMsg->Size();
  s.M_PrevNodePos = e.M_StartPos;
  s.M_PrevNodeEnd = -1;
  s.M_Open.push_back(std::move(e));
  s.M_PrevNodeDepth = static_cast<int>(s.M_Open.size());
  s.M_bLastText = false;
  return Result();
}

Result XmlParser::OpenElement(int ns, const char* name) {
  S& s = State();
  if (!name || !*name) return Err(util::ErrLogicArgs, "zero-length name");
  // OpenElementQ copies the prefix and URI before it adds the element to the open ones,
  // so the parent's or the table's strings can be passed without a copy of their own.
  const std::string* prefix = nullptr;
  const std::string* uri = nullptr;
  Result r = ElementNamespace(s, ns, &prefix, &uri);
  if (r.IsError()) return r;
  return OpenElementQ(*prefix, *uri, name);
}

Result XmlParser::CloseElement() {
  S& s = State();
  if (s.M_Open.empty()) return Err(util::ErrLogicState, "CloseElement: no open element");
  Result r = FlushBinary();
  if (r.IsError()) return r;
  XmlOpenElement& e = s.M_Open.back();
  if (s.M_Format == Format_XmlUtf8) {
    std::string t;
    if (s.M_bTagOpen) {
      t = ">";
      s.M_bTagOpen = false;
    } else if (!s.M_bLastText && e.M_bHasContent && s.M_Indent > 0) {
      r = WriteIndent(static_cast<int>(s.M_Open.size()) - 1);
      if (r.IsError()) return r;
    }
    t += "</";
    if (!e.M_Prefix.empty()) t += e.M_Prefix + ":";
    t += e.M_Name;
    t += ">";
    r = Emit(t.data(), t.size());
  } else {
    const int64_t endTok = s.M_pMsg->Size();
    r = WriteToken(Node_ElementEnd, nullptr, 0, nullptr, 0);
    if (r.IsSuccess() && e.M_StartPos == s.M_PrevNodePos) {
      s.M_PrevNodeContent = e.M_ContentPos;
      s.M_PrevNodeEndTok = endTok;
      s.M_PrevNodeEnd = s.M_pMsg->Size();
    }
  }
  if (r.IsError()) return r;
  s.M_WriteScope.resize(e.M_NsScope);
  s.M_Open.pop_back();
  s.M_bLastText = false;
  return Result();
}

Result XmlParser::CloseAll() {
  S& s = State();
  while (!s.M_Open.empty()) {
    Result r = CloseElement();
    if (r.IsError()) return r;
  }
  return FlushBinary();
}

Result XmlParser::WriteElement(int ns, const char* name, const char* text) {
  S& s = State();
  // Most elements of a token document are written this way, with a short text and a
  // namespace already in scope: their three tokens then go to the message in one append,
  // and the writer is left as opening, filling and closing the element would leave it.
  const int64_t start = s.M_pMsg->Size();
  if (IsTokenFormat(s.M_Format) && start > 0 && s.M_PendingNs.empty() && !s.M_bBinaryOpen &&
      name != nullptr && *name != '\0' && start + 2 * kJoinBelow < Message::kMaxSize) {
    const size_t textLength = text ? std::strlen(text) : 0;
    const std::string* prefix = nullptr;
    const std::string* uri = nullptr;
    if (static_cast<int64_t>(textLength) < kJoinBelow &&
        ElementNamespace(s, ns, &prefix, &uri).IsSuccess() && InScope(s, *prefix, *uri)) {
      s.M_bWriting = true;
      TokenBuffer t;
      Result r = EncodeToken(s, t, Node_ElementStart, prefix->data(), prefix->size(), name,
                             std::strlen(name));
      const int64_t content = start + static_cast<int64_t>(t.size());
      if (r.IsSuccess() && textLength > 0) {
        r = EncodeContent(s, t, Node_Chars, text, static_cast<int64_t>(textLength));
      }
      const int64_t endToken = start + static_cast<int64_t>(t.size());
      if (r.IsSuccess()) r = EncodeToken(s, t, Node_ElementEnd, nullptr, 0, nullptr, 0);
      if (r.IsSuccess()) r = Emit(t.data(), t.size());
      if (r.IsError()) return r;
      if (!s.M_Open.empty()) s.M_Open.back().M_bHasContent = true;
      s.M_PrevNodePos = start;
      s.M_PrevNodeDepth = static_cast<int>(s.M_Open.size()) + 1;
      s.M_PrevNodeContent = content;
      s.M_PrevNodeEndTok = endToken;
      s.M_PrevNodeEnd = s.M_pMsg->Size();
      s.M_bLastText = false;
      return Result();
    }
  }
  Result r = OpenElement(ns, name);
  if (r.IsSuccess() && text && *text) r = WriteChars(text);
  if (r.IsSuccess()) r = CloseElement();
  return r;
}

Result XmlParser::WriteElementInt(int ns, const char* name, int32_t value) {
  char buf[16];
  *std::to_chars(buf, buf + sizeof(buf) - 1, value).ptr = 0;
  return WriteElement(ns, name, buf);
}

Result XmlParser::WriteElementInt64(int ns, const char* name, int64_t value) {
  char buf[32];
  *std::to_chars(buf, buf + sizeof(buf) - 1, value).ptr = 0;
  return WriteElement(ns, name, buf);
}

Result XmlParser::WriteElementBinary(int ns, const char* name, const void* data, int64_t size) {
  Result r = OpenElement(ns, name);
  if (r.IsSuccess() && size > 0) r = WriteBinary(data, size);
  if (r.IsSuccess()) r = CloseElement();
  return r;
}

Result XmlParser::WriteEmptyElement(int ns, const char* name) {
  Result r = OpenElement(ns, name);
  if (r.IsSuccess()) r = CloseElement();
  return r;
}

Result XmlParser::WriteAttribute(int ns, const char* name, const char* value) {
  S& s = State();
  if (!name || !*name) return Err(util::ErrLogicArgs, "zero-length name");
  // The prefix and URI are taken as views: WriteAttributeQ copies them before it adds a
  // binding to the scope, and the table and the open elements stay as they are until then.
  std::string_view prefix, uri;
  if (ns == -1) {
    if (!s.M_Open.empty()) {
      prefix = s.M_Open.back().M_Prefix;
      uri = s.M_Open.back().M_Uri;
    }
  } else if (ns > 0 && static_cast<size_t>(ns) < s.M_NsTable.size()) {
    prefix = s.M_NsTable[ns].M_Prefix;
    uri = s.M_NsTable[ns].M_Uri;
  } else if (ns != 0) {
    if (s.M_Open.empty() || s.M_Open.back().M_bHasContent ||
        (s.M_Format == Format_XmlUtf8 && !s.M_bTagOpen)) {
      return Err(util::ErrLogicState, "WriteAttribute(%s): no element start to add it to", name);
    }
    return Err(util::ErrLogicArgs, "invalid namespace handle %i", ns);
  }
  return WriteAttributeQ(prefix, uri, name, value ? value : "");
}

Result XmlParser::WriteAttributeQ(std::string_view prefix, std::string_view uri,
                                  std::string_view name, std::string_view value) {
  S& s = State();
  if (s.M_Open.empty() || s.M_Open.back().M_bHasContent ||
      (s.M_Format == Format_XmlUtf8 && !s.M_bTagOpen)) {
    return Err(util::ErrLogicState, "WriteAttribute(%.*s): no element start to add it to",
               static_cast<int>(name.size()), name.data());
  }
  Result r;
  const bool needDecl = !prefix.empty() && !InScope(s, prefix, uri);
  if (s.M_Format == Format_XmlUtf8) {
    std::string t;
    if (needDecl) {
      t += " xmlns:";
      t += prefix;
      t += "=\"";
      XmlEscapeAppend(&t, uri.data(), uri.size(), '"');
      t += "\"";
    }
    t += " ";
    if (!prefix.empty()) {
      t += prefix;
      t += ":";
    }
    t += name;
    t += "=\"";
    XmlEscapeAppend(&t, value.data(), value.size(), '"');
    t += "\"";
    r = Emit(t.data(), t.size());
  } else {
    // The declaration, the attribute, its value and its end in one append; a long value is
    // appended on its own, between the tokens before it and the end token.
    const int64_t size = static_cast<int64_t>(value.size());
    const bool join = size < kJoinBelow;
    TokenBuffer t;
    if (needDecl) {
      r = EncodeToken(s, t, Node_NamespaceDecl, prefix.data(), prefix.size(), uri.data(),
                      uri.size());
    }
    if (r.IsSuccess()) {
      r = EncodeToken(s, t, Node_Attribute, prefix.data(), prefix.size(), name.data(), name.size());
    }
    const int64_t before = static_cast<int64_t>(t.size());
    if (r.IsSuccess()) r = EncodeContent(s, t, Node_Chars, join ? value.data() : nullptr, size);
    if (r.IsSuccess() && join) r = EncodeToken(s, t, Node_AttributeEnd, nullptr, 0, nullptr, 0);
    const int64_t total = static_cast<int64_t>(t.size()) + (join ? 0 : size);
    if (r.IsSuccess() && s.M_pMsg->Size() + total > Message::kMaxSize) {
      r = ContentTooLarge(size, s.M_pMsg->Size() + before);
    }
    if (r.IsSuccess()) r = Emit(t.data(), t.size());
    if (r.IsSuccess() && !join) r = Emit(value.data(), value.size());
    if (r.IsSuccess() && !join) r = WriteToken(Node_AttributeEnd, nullptr, 0, nullptr, 0);
  }
  if (r.IsSuccess() && needDecl) s.M_WriteScope.push_back({std::string(prefix), std::string(uri)});
  if (r.IsSuccess()) s.M_Open.back().M_ContentPos = s.M_pMsg->Size();
  return r;
}

Result XmlParser::WriteChars(const char* text, int64_t size) {
  S& s = State();
  if (!text) return Result();
  if (size < 0) size = static_cast<int64_t>(std::strlen(text));
  Result r = BeginWrite();
  if (r.IsError()) return r;
  if (s.M_Format == Format_XmlUtf8) {
    r = CloseStartTag();
    if (r.IsError()) return r;
    std::string out;
    const int64_t kChunk = 256 * 1024;
    for (int64_t off = 0; off < size; off += kChunk) {
      out.clear();
      XmlEscapeAppend(&out, text + off, static_cast<size_t>(std::min(kChunk, size - off)), 0);
      r = Emit(out.data(), out.size());
      if (r.IsError()) return r;
    }
    s.M_bLastText = true;
    return Result();
  }
  r = FlushBinary();
  if (r.IsError()) return r;
  if (!s.M_Open.empty()) s.M_Open.back().M_bHasContent = true;
  return WriteContentToken(Node_Chars, text, size);
}

Result XmlParser::WriteBinary(const void* data, int64_t size) {
  S& s = State();
  if (size < 0 || (!data && size > 0))
    return Err(util::ErrLogicArgs, "WriteBinary: bad size %" PRId64, size);
  Result r = BeginWrite();
  if (r.IsError()) return r;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (s.M_Format != Format_XmlUtf8) {
    if (!s.M_Open.empty()) s.M_Open.back().M_bHasContent = true;
    return WriteContentToken(Node_Binary, p, size);
  }
  if (!s.M_bBinaryOpen) {
    r = CloseStartTag();
    if (r.IsError()) return r;
    s.M_bBinaryOpen = true;
    s.M_WrCarryLen = 0;
  }
  s.M_bLastText = true;
  // Complete the carried partial group first.
  while (s.M_WrCarryLen > 0 && s.M_WrCarryLen < 3 && size > 0) {
    s.M_WrCarry[s.M_WrCarryLen++] = *p++;
    --size;
  }
  char out[4];
  if (s.M_WrCarryLen == 3) {
    util::Base64EncodeTo(s.M_WrCarry, 3, out);
    s.M_WrCarryLen = 0;
    r = Emit(out, 4);
    if (r.IsError()) return r;
  }
  // Whole groups are encoded straight into the message's last block; only a group that
  // straddles two blocks goes through a small buffer. Steps of at most 64 KiB of output keep
  // the size check (and its text) as it was for copied output.
  Message& msg = *s.M_pMsg;
  while (size >= 3) {
    const int64_t groups = size / 3;
    const int32_t want = static_cast<int32_t>(std::min<int64_t>(groups * 4, 65536));
    uint8_t* dst = nullptr;
    int32_t avail = 0;
    r = msg.ReserveAppend(want, &dst, &avail);
    if (r.IsError()) return r;
    const int64_t fit = avail / 4;
    if (fit == 0) {
      msg.CommitAppend(0);
      util::Base64EncodeTo(p, 3, out);
      r = Emit(out, 4);
      if (r.IsError()) return r;
      p += 3;
      size -= 3;
      continue;
    }
    size_t m = util::Base64EncodeTo(p, static_cast<size_t>(fit * 3), reinterpret_cast<char*>(dst));
    msg.CommitAppend(static_cast<int32_t>(m));
    p += fit * 3;
    size -= fit * 3;
  }
  while (size > 0) {
    s.M_WrCarry[s.M_WrCarryLen++] = *p++;
    --size;
  }
  return Result();
}

Result XmlParser::WriteComment(const char* text) {
  S& s = State();
  Result r = BeginWrite();
  if (r.IsError() || s.M_Format != Format_XmlUtf8) return r;
  if (!s.M_Open.empty()) {
    r = CloseStartTag();
    if (r.IsError()) return r;
  }
  std::string t = "<!--";
  t += text ? text : "";
  t += "-->";
  return Emit(t.data(), t.size());
}

Result XmlParser::WriteCData(const char* text) {
  S& s = State();
  Result r = BeginWrite();
  if (r.IsError()) return r;
  if (s.M_Format != Format_XmlUtf8) return WriteChars(text);
  r = CloseStartTag();
  if (r.IsError()) return r;
  std::string_view v(text ? text : "");
  std::string t = "<![CDATA[";
  size_t pos;
  // "]]>" cannot appear inside a section: split it across two sections.
  while ((pos = v.find("]]>")) != std::string_view::npos) {
    t.append(v.substr(0, pos + 2));
    t += "]]><![CDATA[";
    v.remove_prefix(pos + 2);
  }
  t.append(v);
  t += "]]>";
  s.M_bLastText = true;
  return Emit(t.data(), t.size());
}

Result XmlParser::CopySubtree(XmlParser& source, int mode) {
  S& src = source.State();
  if (src.M_NodeType != Node_ElementStart) {
    return Err(util::ErrLogicState,
               "CopySubtree: the source cursor is not on an element start (NodeType=%i)",
               src.M_NodeType);
  }
  const int depth0 = src.M_Depth;
  Result r;
  if (mode == 1) {
    r = OpenElementQ(source.GetPrefix(), source.GetNamespace(), source.GetLocalName());
    if (r.IsError()) return r;
  }
  // Not cleared: a copy made per small element (a streamed answer) would spend its time
  // zeroing the buffer rather than copying.
  constexpr int kChunk = 65536;
  const auto chunk = std::make_unique_for_overwrite<char[]>(kChunk);
  for (;;) {
    r = source.NextToken();
    if (r.IsError()) return r;
    switch (src.M_NodeType) {
      case Node_ElementStart:
        r = OpenElementQ(source.GetPrefix(), source.GetNamespace(), source.GetLocalName());
        break;
      case Node_Attribute: {
        const bool own = src.M_Depth == depth0 + 1;
        // The attribute's level stays as it is while its value is read.
        const XmlLevel& level = src.M_Levels[src.M_Depth];
        std::string& value = State().M_CopyValue;
        r = source.ReadString(&value);
        if (r.IsError()) return r;
        if (own && mode != 1) break;
        // The value ends at its first zero byte, as the text of an attribute always has.
        r = WriteAttributeQ(level.M_Prefix, level.M_Ns, level.M_Name,
                            std::string_view(value.c_str()));
        break;
      }
      case Node_Chars:
      case Node_Binary: {
        const bool binary = src.M_NodeType == Node_Binary && IsTokenFormat(src.M_Format);
        for (;;) {
          int len = 0;
          Result rr = binary ? source.ReadBinary(chunk.get(), kChunk, &len)
                             : source.ReadText(chunk.get(), kChunk, &len);
          if (rr.IsError()) return rr;
          r = binary ? WriteBinary(chunk.get(), len) : WriteChars(chunk.get(), len);
          if (r.IsError() || rr.Category() != util::ErrMoreData) break;
        }
        break;
      }
      case Node_ElementEnd:
        if (src.M_Depth < depth0) {
          return mode == 1 ? CloseElement() : FlushBinary();
        }
        r = CloseElement();
        break;
      default:
        break;
    }
    if (r.IsError()) return r;
  }
}

Result XmlParser::DeleteAt(bool contentOnly) {
  S& s = State();
  if (s.M_Format != Format_Binary && s.M_Format != Format_Compact) {
    return Err(util::ErrIntern, "DeleteTokens XmlDataFormat %i not supported", s.M_Format);
  }
  if (!(s.M_bStarted && s.M_NodeType != Node_None)) {
    if (s.M_PrevNodePos < 0)
      return Err(util::ErrLogicState, "can't delete, no previous node position stored");
    const int64_t size = s.M_pMsg->Size();
    if (static_cast<int>(s.M_Open.size()) >= s.M_PrevNodeDepth && s.M_PrevNodeDepth > 0 &&
        s.M_Open[s.M_PrevNodeDepth - 1].M_StartPos == s.M_PrevNodePos) {
      // The node is still open: everything from it (or from its content) to the end goes.
      XmlOpenElement& e = s.M_Open[s.M_PrevNodeDepth - 1];
      const int64_t from = contentOnly ? e.M_ContentPos : e.M_StartPos;
      const size_t keep = contentOnly ? static_cast<size_t>(s.M_PrevNodeDepth)
                                      : static_cast<size_t>(s.M_PrevNodeDepth - 1);
      const size_t dict = e.M_DictSize;
      Result r = s.M_pMsg->Delete(from, size - from);
      if (r.IsError()) return r;
      if (keep < s.M_Open.size()) s.M_WriteScope.resize(s.M_Open[keep].M_NsScope);
      s.M_Open.resize(keep);
      if (!contentOnly) {
        s.M_WrDict.resize(std::min(dict, s.M_WrDict.size()));
        s.M_PrevNodePos = -1;
      } else {
        s.M_Open.back().M_bHasContent = false;
      }
      return Result();
    }
    // The node has been closed: it runs to its end token.
    if (s.M_PrevNodeEnd <= s.M_PrevNodePos)
      return Err(util::ErrLogicState, "can't delete end node");
    Result r;
    if (contentOnly) {
      r = s.M_pMsg->Delete(s.M_PrevNodeContent, s.M_PrevNodeEndTok - s.M_PrevNodeContent);
    } else {
      r = s.M_pMsg->Delete(s.M_PrevNodePos, s.M_PrevNodeEnd - s.M_PrevNodePos);
      s.M_PrevNodePos = -1;
    }
    return r;
  }
  // Reading: the node at the cursor.
  if (s.M_TokenPos < 0 || s.M_NodeType == Node_None) {
    return Err(util::ErrLogicState, "can't delete, no previous node position stored");
  }
  if (s.M_NodeType == Node_ElementEnd || s.M_NodeType == Node_AttributeEnd) {
    return Err(util::ErrLogicState, "can't delete end node");
  }
  if (contentOnly && s.M_NodeType != Node_ElementStart) {
    return Err(util::ErrLogicState, "DeleteNodeContent invalid node");
  }
  if (s.M_Format == Format_Compact) {
    return Err(util::ErrIntern, "DeleteTokens XmlDataFormat %i not supported", s.M_Format);
  }
  XmlParser copy(*this);
  S& c = copy.State();
  int64_t from = s.M_TokenPos;
  int64_t to;
  const int d = s.M_Depth;
  if (s.M_NodeType == Node_ElementStart || s.M_NodeType == Node_Attribute) {
    Result r;
    if (contentOnly) {
      // Content starts after the attributes.
      for (;;) {
        r = copy.NextToken();
        if (r.IsError()) return r;
        if (c.M_NodeType == Node_Attribute) {
          r = copy.SkipElement();
          if (r.IsError()) return r;
          continue;
        }
        if (c.M_NodeType == Node_AttributeEnd) continue;
        break;
      }
      from = c.M_TokenPos;
      while (c.M_Depth >= d) {
        r = copy.NextToken();
        if (r.IsError()) return r;
      }
      to = c.M_TokenPos;
    } else {
      r = copy.SkipElement();
      if (r.IsError()) return r;
      to = copy.GetPosition();
    }
  } else {
    Result r = copy.NextToken();
    if (r.IsError() && r.Category() != util::ErrEndOfObject) return r;
    to = r.IsError() ? s.M_pMsg->Size() : c.M_TokenPos;
  }
  Result r = s.M_pMsg->Delete(from, to - from);
  if (r.IsError()) return r;
  if (!contentOnly) {
    // The cursor stands where the node was, as if it had been skipped.
    if (s.M_NodeType == Node_ElementStart || s.M_NodeType == Node_Attribute) {
      s.M_Depth = d - 1;
      s.M_ReadNs.resize(s.M_ReadNs.size() - s.M_Levels[d].M_NsDeclCount);
      s.M_Levels[d].M_NsDeclCount = 0;
    }
    s.M_ContentKind = S::Content_None;
    s.M_NodeType = Node_None;
    s.SeekWindow(from);
  } else {
    s.SeekWindow(s.Pos());
  }
  s.M_MsgCursor = Message::Cursor();
  return Result();
}

Result XmlParser::DeleteNode() { return DeleteAt(false); }
Result XmlParser::DeleteNodeContent() { return DeleteAt(true); }

}  // namespace velmora::xel
