// XmlParser reading: input window, token readers for the token streams and XML text,
// the cursor, path matching and content reads.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>

#include "XmlParserState.h"
#include "util/Text.h"
#include "util/Trace.h"
#include "xel/XmlParser.h"

namespace velmora::xel {

using util::Result;
using S = XmlParserState;

namespace xmlp {

Result Err(uint32_t category, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Result r = Result::MakeV(category, util::ModIntellNetwork, util::ObjXmlParser, util::SevError,
                           fmt, args);
  va_end(args);
  return r;
}

Result MoreData() {
  return Result(util::MakeResultCode(util::SevWarning, util::ErrMoreData, util::ObjXmlParser,
                                     util::ModIntellNetwork));
}

Result EndOfDocument() {
  return Result(util::MakeResultCode(util::SevError, util::ErrEndOfObject, util::ObjXmlParser,
                                     util::ModIntellNetwork));
}

}  // namespace xmlp

using xmlp::Err;

namespace {

constexpr size_t kMinFill = 4096;
constexpr size_t kMaxFill = 64 * 1024;
constexpr size_t kShortFill = 64;  // a token header with room to spare

inline bool IsWs(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Makes at least n bytes available at M_Rd when the message holds them (fewer only at the
// end of the message). Reads ahead generously so most calls return at the first test.
Result Ensure(S& s, size_t n) {
  if (s.M_End - s.M_Rd >= n || s.M_bEof) return Result();
  S::WindowBuffer& buf = s.M_Buf;
  if (s.M_Rd > 0) {
    std::memmove(buf.p.get(), buf.p.get() + s.M_Rd, s.M_End - s.M_Rd);
    s.M_BufPos += static_cast<int64_t>(s.M_Rd);
    s.M_End -= s.M_Rd;
    s.M_Rd = 0;
    if (s.M_bReleaseRead) s.M_pMsg->ReleaseUpTo(s.M_BufPos);
  }
  // Grow the window gradually: short look-ups on copies should not copy 64 KiB each.
  size_t want = kMinFill << (s.M_FillCount < 4 ? s.M_FillCount : 4);
  if (want < n) want = n;
  if (want > kMaxFill && n <= kMaxFill) want = kMaxFill;
  size_t limit = SIZE_MAX;
  if (s.M_bShortFill) {
    s.M_bShortFill = false;
    limit = n > kShortFill ? n : kShortFill;
  }
  buf.Grow(want, s.M_End);
  ++s.M_FillCount;
  while (s.M_End < n && !s.M_bEof) {
    int32_t got = 0;
    size_t room = buf.size - s.M_End;
    if (room > limit - s.M_End) room = limit - s.M_End;
    Result r = s.M_pMsg->Read(s.M_BufPos + static_cast<int64_t>(s.M_End), buf.p.get() + s.M_End,
                              static_cast<int32_t>(room), &got, &s.M_MsgCursor);
    s.M_End += static_cast<size_t>(got);
    if (r.IsError()) return r;
    if (got == 0) s.M_bEof = true;
  }
  return Result();
}

inline size_t Avail(const S& s) { return s.M_End - s.M_Rd; }
inline const char* Cur(const S& s) { return s.M_Buf.p.get() + s.M_Rd; }

// Advances the read position by n bytes (possibly beyond the window).
void Advance(S& s, int64_t n) {
  if (static_cast<int64_t>(Avail(s)) >= n) {
    s.M_Rd += static_cast<size_t>(n);
  } else {
    int64_t pos = s.Pos() + n;
    s.M_BufPos = pos;
    s.M_Rd = s.M_End = 0;
    s.M_bEof = false;
  }
}

// The first occurrence of needle[0, len) in hay[0, size), or nullptr.
const char* FindBytes(const char* hay, size_t size, const char* needle, size_t len) {
  const size_t at = std::string_view(hay, size).find(std::string_view(needle, len));
  return at == std::string_view::npos ? nullptr : hay + at;
}

// Finds seq at or after offset from M_Rd, growing the window. Offset from M_Rd or npos.
Result FindSeq(S& s, size_t from, const char* seq, size_t* pOff) {
  const size_t len = std::strlen(seq);
  for (;;) {
    const char* base = Cur(s);
    size_t avail = Avail(s);
    if (avail >= from + len) {
      const char* hit = FindBytes(base + from, avail - from, seq, len);
      if (hit) {
        *pOff = hit - base;
        return Result();
      }
      from = avail - len + 1;
    }
    if (s.M_bEof) {
      *pOff = std::string::npos;
      return Result();
    }
    Result r = Ensure(s, avail + 4096);
    if (r.IsError()) return r;
  }
}

bool StartsWith(S& s, const char* lit) {
  size_t n = std::strlen(lit);
  if (Ensure(s, n).IsError() || Avail(s) < n) return false;
  return std::memcmp(Cur(s), lit, n) == 0;
}

// --- Levels and namespaces ------------------------------------------------------------

// How deep elements may nest in a document that is read. Every open element keeps a level of
// its own, so a hostile document of nothing but start tags would otherwise make the reader's
// memory grow with its size; no message of the platform comes near this depth.
constexpr int kMaxElementDepth = 512;

Result CheckNestingDepth(const S& s) {
  if (s.M_Depth < kMaxElementDepth) return Result();
  return Err(util::ErrXmlFormat, "elements nested deeper than %d levels at %" PRId64,
             kMaxElementDepth, s.Pos());
}

void PushLevel(S& s, int type, std::string_view prefix, std::string_view name) {
  XmlLevel& parent = s.M_Levels[s.M_Depth];
  int index = 1;
  if (type == XmlParser::Node_ElementStart) index = parent.NextIndexFor(name);
  ++s.M_Depth;
  if (s.M_Levels.size() <= static_cast<size_t>(s.M_Depth)) s.M_Levels.resize(s.M_Depth + 1);
  s.M_Levels[s.M_Depth].Start(type, prefix, name, index);
}

void PopLevel(S& s) {
  if (s.M_Depth <= 0) return;
  XmlLevel& l = s.M_Levels[s.M_Depth];
  s.M_ReadNs.resize(s.M_ReadNs.size() - l.M_NsDeclCount);
  l.M_NsDeclCount = 0;
  --s.M_Depth;
}

void DeclareReadNs(S& s, std::string_view prefix, std::string_view uri) {
  s.M_ReadNs.push_back({std::string(prefix), std::string(uri)});
  ++s.M_Levels[s.M_Depth].M_NsDeclCount;
}

Result ResolvePrefix(const S& s, std::string_view prefix, bool attribute, std::string* uri) {
  for (auto it = s.M_ReadNs.rbegin(); it != s.M_ReadNs.rend(); ++it) {
    if (it->M_Prefix == prefix) {
      *uri = it->M_Uri;
      return Result();
    }
  }
  if (prefix.empty()) {
    uri->clear();
    return Result();
  }
  if (prefix == "xml") {
    *uri = kNsXml;
    return Result();
  }
  (void)attribute;
  return Err(util::ErrXmlNamespace, "Invalid namespace prefix '%.*s'",
             static_cast<int>(prefix.size()), prefix.data());
}

void ResetContent(S& s) {
  s.M_ContentKind = S::Content_None;
  s.M_ContentLeft = 0;
  s.M_ContentStr.clear();
  s.M_ContentStrPos = 0;
  s.M_bInCData = false;
  s.M_bContentBinary = false;
  s.M_DecCarryLen = s.M_EncCarryLen = s.M_RawCarryLen = 0;
  s.M_TextOut.clear();
}

// --- Token streams (formats 1 and 4) --------------------------------------------------

Result ReadVarint(S& s, uint64_t* v) {
  Result r = Ensure(s, 10);
  if (r.IsError()) return r;
  uint64_t x = 0;
  int shift = 0;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(Cur(s));
  size_t avail = Avail(s);
  for (size_t i = 0; i < avail && i < 10; ++i) {
    x |= static_cast<uint64_t>(p[i] & 0x7f) << shift;
    if (!(p[i] & 0x80)) {
      s.M_Rd += i + 1;
      *v = x;
      return Result();
    }
    shift += 7;
  }
  return Err(util::ErrXmlFormat, "bad length in token stream at %" PRId64, s.Pos());
}

// Token header of format 1: type byte and length.
Result ReadHeader1(S& s, int* type, uint64_t* len) {
  Result r = Ensure(s, 10);
  if (r.IsError()) return r;
  size_t avail = Avail(s);
  if (avail == 0) return xmlp::EndOfDocument();
  const uint8_t* p = reinterpret_cast<const uint8_t*>(Cur(s));
  if (avail < 2) return Err(util::ErrXmlFormat, "truncated token at %" PRId64, s.Pos());
  *type = p[0];
  uint8_t b = p[1];
  if (b < 128) {
    *len = b;
    s.M_Rd += 2;
    return Result();
  }
  size_t n = b - 128;
  if (n > 8 || avail < 2 + n) {
    return Err(util::ErrXmlFormat, "bad length in token stream at %" PRId64, s.Pos());
  }
  uint64_t x = 0;
  for (size_t i = 0; i < n; ++i) x = (x << 8) | p[2 + i];
  *len = x;
  s.M_Rd += 2 + n;
  return Result();
}

// The two parts of a two-part token of format 1 (data length len at M_Rd), as views into the
// window: they hold until the window is next filled, so callers take them over at once.
Result ReadParts1(S& s, uint64_t len, std::string_view* a, std::string_view* b) {
  *a = *b = std::string_view();
  if (len == 0) return Result();
  if (len > 0x10000000) return Err(util::ErrXmlFormat, "bad token at %" PRId64, s.Pos());
  Result r = Ensure(s, static_cast<size_t>(len));
  if (r.IsError()) return r;
  if (Avail(s) < len) return Err(util::ErrXmlFormat, "truncated token at %" PRId64, s.Pos());
  const uint8_t* p = reinterpret_cast<const uint8_t*>(Cur(s));
  const uint8_t* e = p + len;
  for (int part = 0; part < 2 && p < e; ++part) {
    if (e - p < 2) break;
    uint8_t b0 = p[1];
    size_t hl = 2;
    uint64_t l = b0;
    if (b0 >= 128) {
      size_t n = b0 - 128;
      if (n > 8 || static_cast<size_t>(e - p) < 2 + n) break;
      l = 0;
      for (size_t i = 0; i < n; ++i) l = (l << 8) | p[2 + i];
      hl += n;
    }
    // Compared without adding, so a length near 2^64 cannot wrap past the check.
    if (static_cast<uint64_t>(e - p) < hl || l > static_cast<uint64_t>(e - p) - hl) break;
    std::string_view* out = (p[0] == 129 || part == 1) ? b : a;
    *out = std::string_view(reinterpret_cast<const char*>(p + hl), static_cast<size_t>(l));
    p += hl + l;
  }
  s.M_Rd += static_cast<size_t>(len);
  return Result();
}

Result ReadString4(S& s, std::string* out) {
  uint64_t len = 0;
  Result r = ReadVarint(s, &len);
  if (r.IsError()) return r;
  if (len > 0x10000000) return Err(util::ErrXmlFormat, "bad token at %" PRId64, s.Pos());
  r = Ensure(s, static_cast<size_t>(len));
  if (r.IsError()) return r;
  if (Avail(s) < len) return Err(util::ErrXmlFormat, "truncated token at %" PRId64, s.Pos());
  out->assign(Cur(s), static_cast<size_t>(len));
  s.M_Rd += static_cast<size_t>(len);
  return Result();
}

// A name of format 4, as views into the dictionary (which holds until it next grows).
Result ReadName4(S& s, std::string_view* a, std::string_view* b) {
  uint64_t id = 0;
  Result r = ReadVarint(s, &id);
  if (r.IsError()) return r;
  if (id == s.M_Dict.size()) {
    std::string first, second;
    r = ReadString4(s, &first);
    if (r.IsSuccess()) r = ReadString4(s, &second);
    if (r.IsError()) return r;
    s.M_Dict.emplace_back(std::move(first), std::move(second));
  } else if (id > s.M_Dict.size()) {
    return Err(util::ErrXmlFormat, "bad name id %" PRIu64, id);
  }
  *a = s.M_Dict[id].first;
  *b = s.M_Dict[id].second;
  return Result();
}

// Takes a token's content length from the stream. No content can be longer than a message,
// so a larger length is a broken stream; refusing it here also keeps every later position
// computation far from overflowing.
Result SetContentLength(S& s, uint64_t len) {
  if (len > static_cast<uint64_t>(Message::kMaxSize)) {
    return Err(util::ErrXmlFormat, "bad length in token stream at %" PRId64, s.Pos());
  }
  s.M_ContentLeft = static_cast<int64_t>(len);
  return Result();
}

// Reads one raw token of format 1 or 4; *type is the token type; a content token's length is
// stored in the state, a name's two parts are views (see ReadParts1 and ReadName4) to be taken
// over before the next read. Namespace declarations are returned like other tokens.
Result ReadRawToken(S& s, int* type, std::string_view* a, std::string_view* b) {
  if (s.M_Format == XmlParser::Format_Compact) {
    Result r = Ensure(s, 1);
    if (r.IsError()) return r;
    if (Avail(s) == 0) return xmlp::EndOfDocument();
    *type = static_cast<uint8_t>(*Cur(s));
    ++s.M_Rd;
    switch (*type) {
      case XmlParser::Node_ElementStart:
      case XmlParser::Node_Attribute:
      case XmlParser::Node_NamespaceDecl:
        return ReadName4(s, a, b);
      case XmlParser::Node_ElementEnd:
      case XmlParser::Node_AttributeEnd:
        return Result();
      default: {
        uint64_t len = 0;
        r = ReadVarint(s, &len);
        if (r.IsError()) return r;
        return SetContentLength(s, len);
      }
    }
  }
  uint64_t len = 0;
  Result r = ReadHeader1(s, type, &len);
  if (r.IsError()) return r;
  if ((*type & 0x20) && *type != XmlParser::Node_Chars && *type != XmlParser::Node_Binary) {
    return ReadParts1(s, len, a, b);
  }
  return SetContentLength(s, len);
}

Result NextTokenBinary(S& s) {
  std::string_view a, b;
  for (;;) {
    int type = 0;
    Result r = ReadRawToken(s, &type, &a, &b);
    if (r.IsError()) return r;
    switch (type) {
      case XmlParser::Node_ElementStart: {
        r = CheckNestingDepth(s);
        if (r.IsError()) return r;
        PushLevel(s, type, a, b);
        // Declarations follow the element start that makes them.
        for (;;) {
          r = Ensure(s, 1);
          if (r.IsError()) return r;
          if (Avail(s) == 0 || static_cast<uint8_t>(*Cur(s)) != XmlParser::Node_NamespaceDecl)
            break;
          std::string_view p, u;
          int t2;
          r = ReadRawToken(s, &t2, &p, &u);
          if (r.IsError()) return r;
          DeclareReadNs(s, p, u);
        }
        XmlLevel& l = s.M_Levels[s.M_Depth];
        r = ResolvePrefix(s, l.M_Prefix, false, &l.M_Ns);
        if (r.IsError()) return r;
        s.M_NodeType = type;
        return Result();
      }
      case XmlParser::Node_Attribute: {
        PushLevel(s, type, a, b);
        XmlLevel& l = s.M_Levels[s.M_Depth];
        if (!l.M_Prefix.empty()) {
          r = ResolvePrefix(s, l.M_Prefix, true, &l.M_Ns);
          if (r.IsError()) return r;
        }
        s.M_NodeType = type;
        return Result();
      }
      case XmlParser::Node_NamespaceDecl:
        DeclareReadNs(s, a, b);
        continue;
      case XmlParser::Node_ElementEnd:
      case XmlParser::Node_AttributeEnd:
        if (s.M_Depth <= 0)
          return Err(util::ErrXmlFormat, "unexpected end token at %" PRId64, s.Pos());
        PopLevel(s);
        s.M_NodeType = type;
        return Result();
      case XmlParser::Node_Chars:
      case XmlParser::Node_Text:
      case XmlParser::Node_Binary:
        s.M_NodeType = type == XmlParser::Node_Text ? XmlParser::Node_Chars : type;
        s.M_ContentKind = S::Content_Bytes;
        s.M_bContentBinary = type == XmlParser::Node_Binary;
        return Result();
      default:
        // Token types this reader does not use carry data that is skipped.
        Advance(s, s.M_ContentLeft);
        s.M_ContentLeft = 0;
        continue;
    }
  }
}

// --- XML text ---------------------------------------------------------------------------

// Appends the UTF-8 form of code point c (nothing at or above 0x110000).
int EncodeUtf8(uint32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  if (c < 0x110000) {
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
  }
  return 0;
}

const char* const kEntities[] = {"lt;", "gt;", "amp;", "apos;", "quot;"};
const char kEntityChars[] = {'<', '>', '&', '\'', '"'};

// Decodes a reference at p ("&..."); *consumed is 1 when it is not a reference (the "&"
// stays). Writes up to 4 bytes to out and returns their count.
int DecodeReference(const char* p, size_t avail, size_t* consumed, char* out) {
  *consumed = 1;
  out[0] = '&';
  if (avail >= 2 && p[1] == '#') {
    size_t i = 2;
    bool hex = false;
    if (i < avail && (p[i] == 'x' || p[i] == 'X')) {
      hex = true;
      ++i;
    }
    size_t start = i;
    uint32_t v = 0;
    while (i < avail && i - start < 8) {
      char c = p[i];
      int d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (hex && c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else if (hex && c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
      } else {
        break;
      }
      v = v * (hex ? 16 : 10) + d;
      ++i;
    }
    size_t digits = i - start;
    if (digits >= 1 && digits <= 7 && i < avail && p[i] == ';') {
      *consumed = i + 1;
      return EncodeUtf8(v, out);
    }
    return 1;
  }
  for (int e = 0; e < 5; ++e) {
    size_t n = std::strlen(kEntities[e]);
    if (avail >= n + 1 && std::memcmp(p + 1, kEntities[e], n) == 0) {
      *consumed = n + 1;
      out[0] = kEntityChars[e];
      return 1;
    }
  }
  return 1;
}

// Length of the longest prefix of p[0..n) that does not end inside a UTF-8 character.
size_t Utf8SafeCut(const char* p, size_t n) {
  size_t i = n;
  int back = 0;
  while (i > 0 && back < 4) {
    uint8_t c = static_cast<uint8_t>(p[i - 1]);
    if ((c & 0xC0) != 0x80) {
      size_t need = c < 0x80 ? 1 : (c >= 0xF0 ? 4 : (c >= 0xE0 ? 3 : (c >= 0xC0 ? 2 : 1)));
      return (n - (i - 1) >= need) ? n : i - 1;
    }
    --i;
    ++back;
  }
  return n;
}

// Skips a comment, processing instruction or DOCTYPE at M_Rd.
Result SkipMarkup(S& s, const char* endSeq) {
  size_t off;
  Result r = FindSeq(s, 2, endSeq, &off);
  if (r.IsError()) return r;
  if (off == std::string::npos)
    return Err(util::ErrXmlFormat, "unterminated markup (missing '%s')", endSeq);
  s.M_Rd += off + std::strlen(endSeq);
  return Result();
}

Result SkipDoctype(S& s) {
  int bracket = 0;
  size_t i = 2;
  for (;;) {
    Result r = Ensure(s, i + 1);
    if (r.IsError()) return r;
    if (Avail(s) <= i) return Err(util::ErrXmlFormat, "unterminated DOCTYPE");
    char c = Cur(s)[i];
    if (c == '[') ++bracket;
    if (c == ']') --bracket;
    if (c == '>' && bracket <= 0) {
      s.M_Rd += i + 1;
      return Result();
    }
    ++i;
  }
}

// Converts the whole message from ISO-8859-1 to UTF-8 and continues reading at the same
// position of the converted text (the declaration before it is ASCII).
Result ConvertLatin1(S& s, int64_t resumePos) {
  Message& src = *s.M_pMsg;
  Result r = src.FetchAll();
  if (r.IsError()) return r;
  util::Ref<Message> out = util::Ref<Message>::Adopt(new Message);
  const int64_t size = src.Size();
  std::vector<char> in(64 * 1024);
  std::string conv;
  Message::Cursor cursor;
  for (int64_t pos = 0; pos < size;) {
    int32_t got = 0;
    r = src.Read(pos, in.data(), static_cast<int32_t>(in.size()), &got, &cursor);
    if (r.IsError()) return r;
    if (got == 0) break;
    conv.clear();
    for (int32_t i = 0; i < got; ++i) {
      uint8_t c = static_cast<uint8_t>(in[i]);
      if (c < 0x80) {
        conv.push_back(static_cast<char>(c));
      } else {
        conv.push_back(static_cast<char>(0xC0 | (c >> 6)));
        conv.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      }
    }
    r = out->Append(conv.data(), static_cast<int32_t>(conv.size()));
    if (r.IsError()) return r;
    pos += got;
  }
  s.M_pMsg = out;
  s.M_MsgCursor = Message::Cursor();
  s.M_Format = XmlParser::Format_XmlLatin1;
  s.M_bLatin1Converted = true;
  s.SeekWindow(resumePos);
  return Result();
}

// Reads the attributes of the declaration at M_Rd ("<?xml ... ?>").
Result ReadDeclaration(S& s) {
  size_t off;
  Result r = FindSeq(s, 2, "?>", &off);
  if (r.IsError()) return r;
  if (off == std::string::npos) return Err(util::ErrXmlFormat, "unterminated XML declaration");
  std::string decl(Cur(s), off);
  s.M_Rd += off + 2;
  size_t e = decl.find("encoding");
  if (e != std::string::npos && !s.M_bLatin1Converted) {
    size_t q = decl.find_first_of("\"'", e);
    if (q != std::string::npos) {
      size_t q2 = decl.find(decl[q], q + 1);
      std::string enc =
          decl.substr(q + 1, q2 == std::string::npos ? std::string::npos : q2 - q - 1);
      if (util::EqualsNoCase(enc, "ISO-8859-1") || util::EqualsNoCase(enc, "latin1")) {
        return ConvertLatin1(s, s.Pos());
      }
    }
  }
  return Result();
}

std::string_view SplitQName(std::string_view q, std::string_view* prefix) {
  size_t c = q.find(':');
  if (c == std::string_view::npos) {
    *prefix = std::string_view();
    return q;
  }
  *prefix = q.substr(0, c);
  return q.substr(c + 1);
}

void ApplyPending(S& s, XmlPendingToken& t) {
  switch (t.M_Type) {
    case XmlParser::Node_ElementStart:
      PushLevel(s, t.M_Type, t.M_Prefix, t.M_Name);
      s.M_Levels[s.M_Depth].M_Ns = t.M_Ns;
      break;
    case XmlParser::Node_Attribute:
      PushLevel(s, t.M_Type, t.M_Prefix, t.M_Name);
      s.M_Levels[s.M_Depth].M_Ns = t.M_Ns;
      break;
    case XmlParser::Node_Chars:
      s.M_ContentKind = S::Content_String;
      s.M_ContentStr.swap(t.M_Value);
      s.M_ContentStrPos = 0;
      break;
    case XmlParser::Node_ElementEnd:
    case XmlParser::Node_AttributeEnd:
      PopLevel(s);
      break;
  }
  s.M_NodeType = t.M_Type;
}

// The next pending token, reusing an earlier entry (and its strings' storage) when there is one.
XmlPendingToken& AddPending(S& s, int type) {
  if (s.M_PendingCount == s.M_Pending.size()) s.M_Pending.emplace_back();
  XmlPendingToken& t = s.M_Pending[s.M_PendingCount++];
  t.M_Type = type;
  return t;
}

// Parses the start tag at M_Rd.
Result ParseStartTag(S& s) {
  // Find the closing ">" outside quoted values.
  size_t i = 1;
  char quote = 0;
  for (;;) {
    const char* p = Cur(s);
    size_t avail = Avail(s);
    while (i < avail) {
      char c = p[i];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        break;
      }
      ++i;
    }
    if (i < avail) break;
    if (s.M_bEof) return Err(util::ErrXmlFormat, "unterminated start tag at %" PRId64, s.Pos());
    Result r = Ensure(s, avail + 4096);
    if (r.IsError()) return r;
  }
  const char* p = Cur(s) + 1;
  const char* end = Cur(s) + i;  // at ">"
  bool empty = end > p && end[-1] == '/';
  if (empty) --end;
  const char* n0 = p;
  while (p < end && !IsWs(*p)) ++p;
  std::string_view qname(n0, p - n0);
  if (qname.empty()) return Err(util::ErrXmlFormat, "zero-length name");

  // Names and raw values, pointing into the window; values are unescaped into the pending
  // tokens once the element's own declarations are known.
  std::vector<XmlTagAttribute>& attrs = s.M_TagAttrs;
  attrs.clear();
  std::vector<std::pair<std::string_view, std::string>> decls;
  for (;;) {
    while (p < end && IsWs(*p)) ++p;
    if (p >= end) break;
    const char* a0 = p;
    while (p < end && !IsWs(*p) && *p != '=') ++p;
    std::string_view aq(a0, p - a0);
    if (aq.empty()) return Err(util::ErrXmlFormat, "zero-length name");
    while (p < end && IsWs(*p)) ++p;
    if (p >= end || *p != '=')
      return Err(util::ErrXmlFormat, "Character '=' expected after attribute name");
    ++p;
    while (p < end && IsWs(*p)) ++p;
    if (p >= end || (*p != '"' && *p != '\'')) {
      return Err(util::ErrXmlFormat, "quote expected for the value of attribute '%.*s'",
                 static_cast<int>(aq.size()), aq.data());
    }
    char q = *p++;
    const char* v0 = p;
    while (p < end && *p != q) ++p;
    const std::string_view raw(v0, p - v0);
    if (p < end) ++p;
    if (aq == "xmlns" || (aq.size() > 6 && aq.substr(0, 6) == "xmlns:")) {
      std::string value;
      XmlUnescapeAppend(&value, raw.data(), raw.size());
      decls.emplace_back(aq.size() > 5 ? aq.substr(6) : std::string_view(), std::move(value));
    } else {
      attrs.push_back({aq, raw});
    }
  }
  std::string_view prefix;
  std::string_view local = SplitQName(qname, &prefix);
  if (local.empty()) return Err(util::ErrXmlFormat, "zero-length name");
  Result depth = CheckNestingDepth(s);
  if (depth.IsError()) return depth;
  PushLevel(s, XmlParser::Node_ElementStart, prefix, local);
  for (auto& d : decls) DeclareReadNs(s, d.first, d.second);
  XmlLevel& l = s.M_Levels[s.M_Depth];
  Result r = ResolvePrefix(s, prefix, false, &l.M_Ns);
  if (r.IsError()) return r;
  s.M_PendingCount = 0;
  s.M_PendingPos = 0;
  for (const XmlTagAttribute& a : attrs) {
    std::string_view ap;
    std::string_view an = SplitQName(a.q, &ap);
    if (an.empty()) return Err(util::ErrXmlFormat, "zero-length name");
    XmlPendingToken& t = AddPending(s, XmlParser::Node_Attribute);
    t.M_Prefix.assign(ap);
    t.M_Name.assign(an);
    t.M_Ns.clear();
    if (!ap.empty()) {
      r = ResolvePrefix(s, ap, true, &t.M_Ns);
      if (r.IsError()) return r;
    }
    XmlPendingToken& v = AddPending(s, XmlParser::Node_Chars);
    v.M_Value.clear();
    XmlUnescapeAppend(&v.M_Value, a.raw.data(), a.raw.size());
    AddPending(s, XmlParser::Node_AttributeEnd);
  }
  if (empty) AddPending(s, XmlParser::Node_ElementEnd);
  s.M_Rd += i + 1;
  s.M_NodeType = XmlParser::Node_ElementStart;
  return Result();
}

Result NextTokenXml(S& s) {
  for (;;) {
    Result r = Ensure(s, 16);
    if (r.IsError()) return r;
    if (Avail(s) == 0) return xmlp::EndOfDocument();
    const char* p = Cur(s);
    if (*p != '<' && s.M_bFragment && s.M_Depth == 0) {
      // Decrypted content: text beside (or instead of) elements is content of the element
      // that held the EncryptedData.
      s.M_NodeType = XmlParser::Node_Chars;
      s.M_ContentKind = S::Content_XmlText;
      s.M_bInCData = false;
      return Result();
    }
    if (*p != '<') {
      // Text. Whitespace between tags and text outside the root are not content.
      size_t k = 0;
      for (;;) {
        p = Cur(s);
        size_t avail = Avail(s);
        while (k < avail && IsWs(p[k])) ++k;
        if (k < avail || s.M_bEof) break;
        r = Ensure(s, avail + 4096);
        if (r.IsError()) return r;
      }
      if (k == Avail(s)) {
        s.M_Rd += k;
        continue;
      }
      if (s.M_Depth == 0 || (Cur(s)[k] == '<')) {
        bool cdata = false;
        if (s.M_Depth > 0) {
          r = Ensure(s, k + 9);
          if (r.IsError()) return r;
          cdata = Avail(s) >= k + 9 && std::memcmp(Cur(s) + k, "<![CDATA[", 9) == 0;
        }
        if (!cdata) {
          if (s.M_Depth == 0) {
            // Skip stray text outside the root element.
            const void* lt = std::memchr(Cur(s) + k, '<', Avail(s) - k);
            s.M_Rd += lt ? static_cast<const char*>(lt) - Cur(s) : Avail(s);
          } else {
            s.M_Rd += k;
          }
          continue;
        }
      }
      s.M_NodeType = XmlParser::Node_Chars;
      s.M_ContentKind = S::Content_XmlText;
      s.M_bInCData = false;
      return Result();
    }
    if (Avail(s) < 2) return Err(util::ErrXmlFormat, "unexpected end of XML text");
    char c1 = p[1];
    if (c1 == '?') {
      if (StartsWith(s, "<?xml") && Avail(s) > 5 && IsWs(Cur(s)[5])) {
        r = ReadDeclaration(s);
      } else {
        r = SkipMarkup(s, "?>");
      }
      if (r.IsError()) return r;
      continue;
    }
    if (c1 == '!') {
      if (StartsWith(s, "<!--")) {
        r = SkipMarkup(s, "-->");
        if (r.IsError()) return r;
        continue;
      }
      if (StartsWith(s, "<![CDATA[")) {
        if (s.M_Depth == 0 && !s.M_bFragment) {
          r = SkipMarkup(s, "]]>");
          if (r.IsError()) return r;
          continue;
        }
        s.M_NodeType = XmlParser::Node_Chars;
        s.M_ContentKind = S::Content_XmlText;
        s.M_bInCData = false;
        return Result();
      }
      r = SkipDoctype(s);
      if (r.IsError()) return r;
      continue;
    }
    if (c1 == '/') {
      size_t off;
      r = FindSeq(s, 2, ">", &off);
      if (r.IsError()) return r;
      if (off == std::string::npos) return Err(util::ErrXmlFormat, "unterminated end tag");
      if (s.M_Depth <= 0) return Err(util::ErrXmlFormat, "unexpected end tag at %" PRId64, s.Pos());
      std::string_view q(Cur(s) + 2, off - 2);
      while (!q.empty() && IsWs(q.back())) q.remove_suffix(1);
      std::string_view pf;
      std::string_view ln = SplitQName(q, &pf);
      const XmlLevel& l = s.M_Levels[s.M_Depth];
      if (ln != l.M_Name || pf != l.M_Prefix) {
        return Err(util::ErrXmlFormat, "end tag </%.*s> does not match <%s>",
                   static_cast<int>(q.size()), q.data(), l.M_Name.c_str());
      }
      s.M_Rd += off + 1;
      PopLevel(s);
      s.M_NodeType = XmlParser::Node_ElementEnd;
      return Result();
    }
    return ParseStartTag(s);
  }
}

// Reads raw content bytes of the current token into out (at most cap). For text, never
// ends inside a UTF-8 character. *pDone is set when the token's content is exhausted.
Result FillContent(S& s, char* out, size_t cap, bool utf8, size_t* pGot, bool* pDone) {
  size_t got = 0;
  *pDone = false;
  switch (s.M_ContentKind) {
    case S::Content_None:
      *pDone = true;
      break;
    case S::Content_String: {
      size_t left = s.M_ContentStr.size() - s.M_ContentStrPos;
      size_t n = left < cap ? left : cap;
      if (n < left && utf8) n = Utf8SafeCut(s.M_ContentStr.data() + s.M_ContentStrPos, n);
      std::memcpy(out, s.M_ContentStr.data() + s.M_ContentStrPos, n);
      s.M_ContentStrPos += n;
      got = n;
      *pDone = s.M_ContentStrPos == s.M_ContentStr.size();
      break;
    }
    case S::Content_Bytes: {
      while (got < cap && s.M_ContentLeft > 0) {
        if (Avail(s) == 0) {
          size_t want = cap - got;
          if (static_cast<int64_t>(want) > s.M_ContentLeft)
            want = static_cast<size_t>(s.M_ContentLeft);
          if (!utf8 && (want >= kMinFill || static_cast<int64_t>(want) == s.M_ContentLeft)) {
            // Large reads, and the rest of a token, go straight from the message into the
            // caller's buffer; the next token's header is then read on its own, so that its
            // content can follow them.
            int32_t n = 0;
            Result r =
                s.M_pMsg->Read(s.Pos(), out + got, static_cast<int32_t>(want), &n, &s.M_MsgCursor);
            if (r.IsError()) return r;
            if (n == 0) return Err(util::ErrXmlFormat, "content truncated at %" PRId64, s.Pos());
            s.M_BufPos += n;
            got += n;
            s.M_ContentLeft -= n;
            s.M_bShortFill = true;
            if (s.M_bReleaseRead) s.M_pMsg->ReleaseUpTo(s.M_BufPos);
            continue;
          }
          Result r = Ensure(s, 8);
          if (r.IsError()) return r;
          if (Avail(s) == 0)
            return Err(util::ErrXmlFormat, "content truncated at %" PRId64, s.Pos());
        }
        size_t n = Avail(s);
        if (static_cast<int64_t>(n) > s.M_ContentLeft) n = static_cast<size_t>(s.M_ContentLeft);
        size_t room = cap - got;
        if (n > room) {
          n = room;
          if (utf8) {
            // The cut must not fall inside a character; look at the byte after the cut.
            const char* p = Cur(s);
            while (n > 0 && (static_cast<uint8_t>(p[n]) & 0xC0) == 0x80) --n;
            std::memcpy(out + got, p, n);
            s.M_Rd += n;
            s.M_ContentLeft -= n;
            got += n;
            break;
          }
        } else if (utf8 && n == Avail(s) && static_cast<int64_t>(n) < s.M_ContentLeft &&
                   n + got == cap) {
          n = Utf8SafeCut(Cur(s), n);
        }
        std::memcpy(out + got, Cur(s), n);
        s.M_Rd += n;
        s.M_ContentLeft -= n;
        got += n;
        if (n == 0) break;
      }
      *pDone = s.M_ContentLeft == 0;
      break;
    }
    case S::Content_XmlText: {
      while (got < cap) {
        Result r = Ensure(s, 16);
        if (r.IsError()) return r;
        size_t avail = Avail(s);
        if (avail == 0) {
          *pDone = true;
          break;
        }
        const char* p = Cur(s);
        if (s.M_bInCData) {
          const char* hit = avail >= 3 ? FindBytes(p, avail, "]]>", 3) : nullptr;
          size_t run = hit ? hit - p : (s.M_bEof ? avail : avail - 2);
          size_t n = run < cap - got ? run : cap - got;
          if (n < run || (!hit && !s.M_bEof)) n = Utf8SafeCut(p, n);
          std::memcpy(out + got, p, n);
          got += n;
          s.M_Rd += n;
          if (hit && n == run) {
            s.M_Rd += 3;
            s.M_bInCData = false;
            continue;
          }
          if (n < run || n == 0) {
            if (n == 0 && run < 4 && !s.M_bEof) {
              r = Ensure(s, avail + 64);
              if (r.IsError()) return r;
              continue;
            }
            break;
          }
          continue;
        }
        char c = *p;
        if (c == '<') {
          if (avail >= 9 && std::memcmp(p, "<![CDATA[", 9) == 0) {
            s.M_Rd += 9;
            s.M_bInCData = true;
            continue;
          }
          if (avail >= 4 && std::memcmp(p, "<!--", 4) == 0) {
            r = SkipMarkup(s, "-->");
            if (r.IsError()) return r;
            continue;
          }
          if (avail >= 2 && p[1] == '?') {
            r = SkipMarkup(s, "?>");
            if (r.IsError()) return r;
            continue;
          }
          *pDone = true;
          break;
        }
        if (c == '&') {
          char u[4];
          size_t consumed;
          int len = DecodeReference(p, avail, &consumed, u);
          if (static_cast<size_t>(len) > cap - got) break;
          std::memcpy(out + got, u, len);
          got += len;
          s.M_Rd += consumed;
          continue;
        }
        // The run up to the next markup or reference (memchr is vectorised).
        size_t lim = std::min(avail, cap - got + 4);
        const void* lt = std::memchr(p, '<', lim);
        size_t k = lt ? static_cast<const char*>(lt) - p : lim;
        const void* amp = std::memchr(p, '&', k);
        if (amp) k = static_cast<const char*>(amp) - p;
        if (k == lim && lim < avail) k = lim;  // more text follows beyond the caller's room
        size_t n = k < cap - got ? k : cap - got;
        if (n < k || (k == avail && !s.M_bEof)) n = Utf8SafeCut(p, n);
        if (n == 0) {
          if (k == avail && !s.M_bEof) {
            r = Ensure(s, avail + 64);
            if (r.IsError()) return r;
            continue;
          }
          break;
        }
        std::memcpy(out + got, p, n);
        got += n;
        s.M_Rd += n;
      }
      break;
    }
  }
  *pGot = got;
  return Result();
}

// Skips what remains of the current content token.
Result SkipContent(S& s) {
  switch (s.M_ContentKind) {
    case S::Content_Bytes:
      Advance(s, s.M_ContentLeft);
      break;
    case S::Content_XmlText: {
      for (;;) {
        Result r = Ensure(s, 16);
        if (r.IsError()) return r;
        size_t avail = Avail(s);
        if (avail == 0) break;
        const char* p = Cur(s);
        if (s.M_bInCData) {
          size_t off;
          r = FindSeq(s, 0, "]]>", &off);
          if (r.IsError()) return r;
          if (off == std::string::npos) return Err(util::ErrXmlFormat, "unterminated CDATA");
          s.M_Rd += off + 3;
          s.M_bInCData = false;
          continue;
        }
        if (*p == '<') {
          if (avail >= 9 && std::memcmp(p, "<![CDATA[", 9) == 0) {
            s.M_Rd += 9;
            s.M_bInCData = true;
            continue;
          }
          if (avail >= 4 && std::memcmp(p, "<!--", 4) == 0) {
            r = SkipMarkup(s, "-->");
            if (r.IsError()) return r;
            continue;
          }
          if (avail >= 2 && p[1] == '?') {
            r = SkipMarkup(s, "?>");
            if (r.IsError()) return r;
            continue;
          }
          break;
        }
        const void* lt = std::memchr(p, '<', avail);
        s.M_Rd += lt ? static_cast<const char*>(lt) - p : avail;
      }
      break;
    }
    default:
      break;
  }
  ResetContent(s);
  return Result();
}

// Reads the start of the document: the format header of the token streams.
Result StartReading(S& s) {
  s.M_bStarted = true;
  Result r = Ensure(s, 3);
  if (r.IsError()) return r;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(Cur(s));
  size_t avail = Avail(s);
  if (avail >= 3 && p[0] == 0x02 && p[2] == 0x00 && (p[1] == 0x01 || p[1] == 0x04)) {
    s.M_Format = p[1];
    s.M_Rd += 3;
    return Result();
  }
  if (avail == 0) {
    return Result();
  }
  if (avail >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) s.M_Rd += 3;
  if (!s.M_bLatin1Converted) s.M_Format = XmlParser::Format_XmlUtf8;
  return Result();
}

}  // namespace

// --- Escaping -------------------------------------------------------------------------

void XmlUnescapeAppend(std::string* out, const char* text, size_t size) {
  const char* p = text;
  const char* e = text + size;
  while (p < e) {
    const char* amp = static_cast<const char*>(std::memchr(p, '&', e - p));
    if (!amp) {
      out->append(p, e - p);
      return;
    }
    out->append(p, amp - p);
    char u[4];
    size_t consumed;
    int len = DecodeReference(amp, e - amp, &consumed, u);
    out->append(u, len);
    p = amp + consumed;
  }
}

// --- Cursor ---------------------------------------------------------------------------

namespace {

void PutVarint(std::string* out, uint64_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}

uint64_t GetVarint(const std::string& in, size_t* pos) {
  uint64_t v = 0;
  for (int shift = 0; *pos < in.size() && shift < 64; shift += 7) {
    const uint8_t b = static_cast<uint8_t>(in[(*pos)++]);
    v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) break;
  }
  return v;
}

// Applies the next token of the decrypted content being read.
void ApplyDecrypted(S& s) {
  const XmlDecrypted& d = *s.M_pDecrypted;
  const std::string& t = d.M_Tokens;
  size_t& pos = s.M_DecryptedPos;
  const int type = static_cast<uint8_t>(t[pos++]);
  switch (type) {
    case XmlParser::Node_ElementStart:
    case XmlParser::Node_Attribute: {
      const XmlDecrypted::Name& n = d.M_Names[static_cast<size_t>(GetVarint(t, &pos))];
      PushLevel(s, type, n.M_Prefix, n.M_Name);
      s.M_Levels[s.M_Depth].M_Ns = n.M_Ns;
      break;
    }
    case XmlParser::Node_Chars: {
      const size_t len = static_cast<size_t>(GetVarint(t, &pos));
      s.M_ContentKind = S::Content_String;
      s.M_ContentStr.assign(t, pos, len);
      s.M_ContentStrPos = 0;
      pos += len;
      break;
    }
    default:  // the ends of elements and attributes
      PopLevel(s);
      break;
  }
  s.M_NodeType = type;
  if (pos >= t.size()) {
    s.M_pDecrypted.reset();
    pos = 0;
  }
}

bool IsEncryptedData(const S& s) {
  const XmlLevel& l = s.M_Levels[s.M_Depth];
  return s.M_NodeType == XmlParser::Node_ElementStart && l.M_Name == "EncryptedData" &&
         l.M_Ns == kNsXmlEnc;
}

// Turns decryption off for the life of the guard (reading an element as it stands).
class RawReading {
 public:
  explicit RawReading(S& s) : M_S(s), M_bWas(s.M_bDecrypt) { s.M_bDecrypt = false; }
  ~RawReading() { M_S.M_bDecrypt = M_bWas; }
  RawReading(const RawReading&) = delete;
  RawReading& operator=(const RawReading&) = delete;

 private:
  S& M_S;
  bool M_bWas;
};

bool IsWhiteSpace(const std::string& text) {
  for (char c : text) {
    if (!IsWs(c)) return false;
  }
  return true;
}

Result DecryptionFailed() { return Err(util::ErrIntern, "decryption failed"); }

}  // namespace

// Decrypted content while it is made: tokens, interned names, and character content not yet
// written (adjacent pieces become one token).
struct XmlDecryptedBuilder {
  std::shared_ptr<XmlDecrypted> M_pOut = std::make_shared<XmlDecrypted>();
  std::map<std::array<std::string, 3>, size_t> M_NameIndex;
  std::string M_Text;

  size_t Size() const { return M_pOut->M_Tokens.size() + M_Text.size(); }
  void FlushText() {
    if (M_Text.empty()) return;
    M_pOut->M_Tokens.push_back(static_cast<char>(XmlParser::Node_Chars));
    PutVarint(&M_pOut->M_Tokens, M_Text.size());
    M_pOut->M_Tokens += M_Text;
    M_Text.clear();
  }
  void Token(int type) {
    FlushText();
    M_pOut->M_Tokens.push_back(static_cast<char>(type));
  }
  void Named(int type, const std::string& prefix, const std::string& name, const std::string& ns) {
    Token(type);
    auto [it, added] = M_NameIndex.try_emplace({prefix, name, ns}, M_pOut->M_Names.size());
    if (added) M_pOut->M_Names.push_back({prefix, name, ns});
    PutVarint(&M_pOut->M_Tokens, it->second);
  }
};

Result XmlParser::NextToken() {
  S& s = State();
  s.M_bDecryptFailed = false;
  if (!s.M_bStarted) {
    Result r = StartReading(s);
    if (r.IsError()) return r;
  }
  for (;;) {
    if (s.M_ContentKind != S::Content_None) {
      Result r = SkipContent(s);
      if (r.IsError()) return r;
    }
    s.M_TokenPos = s.Pos();
    if (s.M_pDecrypted) {
      // Decrypted content was decrypted whole when its element was met.
      ApplyDecrypted(s);
      return Result();
    }
    Result r;
    if (s.M_PendingPos < s.M_PendingCount) {
      ApplyPending(s, s.M_Pending[s.M_PendingPos++]);
      if (s.M_PendingPos == s.M_PendingCount) {
        s.M_PendingCount = 0;
        s.M_PendingPos = 0;
      }
    } else if (s.M_Format == Format_Binary || s.M_Format == Format_Compact) {
      r = NextTokenBinary(s);
    } else if (s.M_Format == Format_XmlUtf8 || s.M_Format == Format_XmlLatin1) {
      r = NextTokenXml(s);
    } else {
      r = xmlp::EndOfDocument();
    }
    if (r.IsError()) {
      if (r.Category() == util::ErrEndOfObject) s.M_bAtEnd = true;
      return r;
    }
    if (!s.M_bDecrypt || !IsEncryptedData(s)) return r;
    r = ReadDecrypted();
    if (r.IsError()) {
      s.M_bDecryptFailed = true;
      return r;
    }
    if (s.M_pDecrypted) {
      ApplyDecrypted(s);
      return r;
    }
    // The element held nothing: go on with what follows it.
  }
}

// At an EncryptedData start: decrypts the element whole (nested levels included) and leaves
// the cursor on its end, with the content queued in s.M_pDecrypted (nothing for an empty
// content).
Result XmlParser::ReadDecrypted() {
  S& s = State();
  std::string plain;
  Result r = DecryptEncryptedData(&plain);
  if (r.IsError()) return r;
  XmlDecryptedBuilder out;
  r = ExpandDecrypted(plain, 1, out);
  if (r.IsError()) return r;
  out.FlushText();
  if (!out.M_pOut->M_Tokens.empty()) {
    s.M_pDecrypted = std::move(out.M_pOut);
    s.M_DecryptedPos = 0;
  }
  return Result();
}

namespace {
const int8_t* DecodeTable();
bool DecodeBase64(const std::string& text, std::string* out);
}  // namespace

// At an EncryptedData start: reads the element as it stands (nothing below it is decrypted)
// for the method named by EncryptionMethod/@Algorithm (1 without one) and the bytes of
// CipherData/CipherValue; the cursor ends on the element's end. A missing or unreadable
// cipher value fails with "decryption failed".
Result XmlParser::ReadEncryptedParts(int* pMethod, std::string* pCipher) {
  S& s = State();
  RawReading raw(s);
  const int depth = s.M_Depth;
  *pMethod = 1;
  pCipher->clear();
  bool bMethod = false, bCipher = false, bCipherOk = true;
  for (;;) {
    Result r = NextToken();
    if (r.IsError()) return r;
    if (s.M_Depth < depth) break;
    const XmlLevel& l = s.M_Levels[s.M_Depth];
    if (s.M_Depth != depth + 2 || s.M_Levels[depth + 1].M_Type != Node_ElementStart) continue;
    const std::string& parent = s.M_Levels[depth + 1].M_Name;
    if (!bMethod && s.M_NodeType == Node_Attribute && l.M_Name == "Algorithm" &&
        parent == "EncryptionMethod") {
      char algorithm[xmlp::kMaxAlgorithmText + 1] = {};
      int len = 0;
      r = ReadText(algorithm, sizeof algorithm, &len);
      if (r.IsError()) return r;
      *pMethod = xmlp::MethodFromAlgorithm(algorithm);
      bMethod = true;
    } else if (!bCipher && s.M_NodeType == Node_ElementStart && l.M_Name == "CipherValue" &&
               parent == "CipherData") {
      bCipher = true;
      // Read as text: base64 in XML text and in character tokens alike (a binary token reads
      // as its base64), so that the value means the same in every data format.
      std::string base64;
      r = ReadString(&base64);
      bCipherOk = r.IsSuccess() && DecodeBase64(base64, pCipher);
      if (s.M_Depth < depth) break;  // an empty CipherValue left the cursor on its end
    }
  }
  if (!bCipher || !bCipherOk) return DecryptionFailed();
  return Result();
}

namespace {

// Decodes base64 text (white space ignored, padding optional); false for other characters.
bool DecodeBase64(const std::string& text, std::string* out) {
  out->clear();
  out->reserve(text.size() / 4 * 3 + 3);
  const int8_t* table = DecodeTable();
  uint32_t acc = 0;
  int q = 0;
  for (char c : text) {
    const int8_t v = table[static_cast<uint8_t>(c)];
    if (v < 0) {
      if (c == '=') break;
      if (IsWs(c)) continue;
      return false;
    }
    acc = (acc << 6) | static_cast<uint32_t>(v);
    if (++q == 4) {
      out->push_back(static_cast<char>(acc >> 16));
      out->push_back(static_cast<char>(acc >> 8));
      out->push_back(static_cast<char>(acc));
      acc = 0;
      q = 0;
    }
  }
  if (q == 1) return false;
  if (q >= 2) out->push_back(static_cast<char>(q == 2 ? acc >> 4 : acc >> 10));
  if (q == 3) out->push_back(static_cast<char>(acc >> 2));
  return true;
}

}  // namespace

// The whole content of the current character or binary token (as text), without looking
// beyond it.
Result XmlParser::ReadWholeContent(std::string* out) {
  out->clear();
  char chunk[8192];
  for (;;) {
    size_t n = 0;
    bool done = false;
    Result r = FillText(chunk, sizeof chunk, &n, &done);
    if (r.IsError()) return r;
    out->append(chunk, n);
    if (done || n == 0) return Result();
  }
}

// Reads plain, the content decrypted from an EncryptedData element of this document at the
// cursor (level 1 for the document's own), as XML in the namespaces in scope here, and
// appends its tokens to out. EncryptedData in it is decrypted in turn, one level deeper. White
// space beside elements at its top is dropped, as between tags; content that is nothing but
// white space is kept. Content that is no well-formed XML fragment fails like a wrong key.
Result XmlParser::ExpandDecrypted(const std::string& plain, int level, XmlDecryptedBuilder& out) {
  if (plain.empty()) return Result();
  if (plain.size() > static_cast<size_t>(Message::kMaxSize)) return DecryptionFailed();
  XmlParser inner;
  S& in = inner.State();
  Result r = inner.GetMessage()->Append(plain.data(), static_cast<int32_t>(plain.size()));
  if (r.IsError()) return r;
  in.M_ReadNs = State().M_ReadNs;
  in.M_bFragment = true;
  in.M_bDecrypt = false;
  in.M_DecryptKey = State().M_DecryptKey;
  const size_t sizeBefore = out.Size();
  std::string heldWhiteSpace;
  std::string text;
  for (;;) {
    r = inner.NextToken();
    if (r.Category() == util::ErrEndOfObject) break;
    if (r.IsError()) return DecryptionFailed();
    const int type = in.M_NodeType;
    if (IsEncryptedData(in)) {
      if (level >= kMaxDecryptionLevels) {
        XEL_TRACE("XmlParser", util::General_Error,
                  "EncryptedData nested deeper than %i levels refused", kMaxDecryptionLevels);
        return DecryptionFailed();
      }
      std::string nested;
      r = inner.DecryptEncryptedData(&nested);
      if (r.IsError()) return r;
      r = inner.ExpandDecrypted(nested, level + 1, out);
      if (r.IsError()) return r;
      continue;
    }
    switch (type) {
      case Node_ElementStart:
      case Node_Attribute: {
        const XmlLevel& l = in.M_Levels[in.M_Depth];
        out.Named(type, l.M_Prefix, l.M_Name, l.M_Ns);
        break;
      }
      case Node_Chars:
      case Node_Binary:
        r = inner.ReadWholeContent(&text);
        if (r.IsError()) return DecryptionFailed();
        if (in.M_Depth == 0 && IsWhiteSpace(text)) {
          heldWhiteSpace += text;
        } else {
          out.M_Text += text;
        }
        break;
      case Node_ElementEnd:
      case Node_AttributeEnd:
        out.Token(type);
        break;
      default:
        break;
    }
  }
  if (in.M_Depth != 0) return DecryptionFailed();  // an element left open
  if (out.Size() == sizeBefore) out.M_Text += heldWhiteSpace;
  return Result();
}

int XmlParser::GetNodeType() const { return State().M_NodeType; }
int XmlParser::GetDepth() const { return State().M_Depth; }
const std::string& XmlParser::GetLocalName() const {
  const S& s = State();
  return s.M_Levels[s.M_Depth].M_Name;
}
const std::string& XmlParser::GetNamespace() const {
  const S& s = State();
  return s.M_Levels[s.M_Depth].M_Ns;
}
const std::string& XmlParser::GetPrefix() const {
  const S& s = State();
  return s.M_Levels[s.M_Depth].M_Prefix;
}
int XmlParser::GetIndex() const {
  const S& s = State();
  return s.M_Levels[s.M_Depth].M_Index;
}
int64_t XmlParser::GetPosition() const {
  const S& s = State();
  return (s.M_bWriting && !s.M_bStarted) ? s.M_pMsg->Size() : s.Pos();
}

Result XmlParser::SkipElement() {
  S& s = State();
  int target = s.M_Depth;
  if (s.M_NodeType == Node_ElementEnd || s.M_NodeType == Node_AttributeEnd ||
      s.M_NodeType == Node_None) {
    return NextToken();
  }
  // Nothing below a skipped element is yielded, so nothing in it needs decrypting.
  RawReading raw(s);
  while (s.M_Depth >= target && target > 0) {
    Result r = NextToken();
    if (r.IsError()) return r;
  }
  return Result();
}

Result XmlParser::Rewind() {
  S& s = State();
  s.M_bStarted = false;
  s.M_NodeType = Node_None;
  s.M_Depth = 0;
  // The levels above the document's keep their storage for the next read.
  s.M_Levels[0].Start(0, {}, {}, 1);
  s.M_ReadNs.clear();
  s.M_PendingCount = 0;
  s.M_PendingPos = 0;
  s.M_Dict.clear();
  s.M_TokenPos = -1;
  s.M_bAtEnd = false;
  s.M_pDecrypted.reset();
  s.M_DecryptedPos = 0;
  s.M_bDecryptFailed = false;
  ResetContent(s);
  s.M_MsgCursor = Message::Cursor();
  s.SeekWindow(0);
  if (s.M_pMsg->ReleasedUpTo() > 0) {
    return Result::Make(
        util::ErrObjNotExist, util::ModIntellNetwork, util::ObjStringStack, util::SevError,
        "Cant move to pos %" PRId64 " because data up to %" PRId64 " has been released", int64_t{0},
        s.M_pMsg->ReleasedUpTo());
  }
  return Result();
}

// --- Paths ------------------------------------------------------------------------------

namespace {

struct PathStep {
  bool M_bAttr = false;
  bool M_bAny = false;
  std::string M_Name;
  int M_Cond = 0;  // 1 "<", 2 "=", 4 ">"; 0 no condition
  int M_N = 0;
};

void ParsePath(const char* path, bool* absolute, std::vector<PathStep>* steps) {
  std::string_view p(path ? path : "");
  *absolute = !p.empty() && p[0] == '/';
  if (*absolute) p.remove_prefix(1);
  while (!p.empty()) {
    size_t slash = p.find('/');
    std::string_view step = p.substr(0, slash);
    p = slash == std::string_view::npos ? std::string_view() : p.substr(slash + 1);
    if (step.empty()) continue;
    PathStep st;
    if (step[0] == '@') {
      st.M_bAttr = true;
      step.remove_prefix(1);
    }
    if (!st.M_bAttr && step.size() >= 4 && step.back() == ']') {
      size_t br = step.find('[');
      if (br != std::string_view::npos && br > 0) {
        std::string_view cond = step.substr(br + 1, step.size() - br - 2);
        size_t i = 0;
        while (i < cond.size() && (cond[i] == '<' || cond[i] == '=' || cond[i] == '>')) {
          st.M_Cond |= cond[i] == '<' ? 1 : (cond[i] == '=' ? 2 : 4);
          ++i;
        }
        if (st.M_Cond == 0) st.M_Cond = 2;
        st.M_N = std::atoi(std::string(cond.substr(i)).c_str());
        step = step.substr(0, br);
      }
    }
    st.M_Name.assign(step);
    st.M_bAny = step == "*";
    steps->push_back(std::move(st));
  }
}

// Appends the names of a plain path ("a/b/c", empty steps skipped) to *names as views into
// it; false for a path of another form (absolute, or with an attribute, "*" or an index step,
// as ParsePath reads them) or without any name.
bool PlainPathNames(const char* path, std::vector<std::string_view>* names) {
  std::string_view p(path ? path : "");
  if (!p.empty() && p[0] == '/') return false;
  bool any = false;
  while (!p.empty()) {
    const size_t slash = p.find('/');
    std::string_view step = p.substr(0, slash);
    p = slash == std::string_view::npos ? std::string_view() : p.substr(slash + 1);
    if (step.empty()) continue;
    if (step[0] == '@' || step == "*") return false;
    if (step.size() >= 4 && step.back() == ']') {
      const size_t br = step.find('[');
      if (br != std::string_view::npos && br > 0) return false;
    }
    names->push_back(step);
    any = true;
  }
  return any;
}

bool CondHolds(const PathStep& st, int index) {
  if (!st.M_Cond) return true;
  return ((st.M_Cond & 1) && index < st.M_N) || ((st.M_Cond & 2) && index == st.M_N) ||
         ((st.M_Cond & 4) && index > st.M_N);
}

bool NameMatches(const PathStep& st, const XmlLevel& l) {
  if (st.M_bAttr != (l.M_Type == XmlParser::Node_Attribute)) return false;
  return st.M_bAny || st.M_Name == l.M_Name;
}

}  // namespace

Result XmlParser::MoveToPath(const char* path, int startDepth) {
  S& s = State();
  bool absolute;
  std::vector<PathStep> steps;
  ParsePath(path, &absolute, &steps);
  if (absolute && startDepth < 0) {
    Result r = Rewind();
    if (r.IsError()) return r;
  }
  const int base =
      absolute ? (startDepth < 0 ? 0 : startDepth) : (startDepth < 0 ? s.M_Depth : startDepth);
  const std::string startName = s.M_Levels[s.M_Depth].M_Name;
  const int startDepthNow = s.M_Depth;
  const int64_t startPos = GetPosition();
  const int target = base + static_cast<int>(steps.size());
  Result inner;
  if (steps.empty()) {
    inner = Err(util::ErrLogicArgs, "empty path");
  } else {
    for (;;) {
      inner = NextToken();
      if (inner.IsError()) break;
      if (s.M_Depth < base || s.M_Depth < 1) {
        inner = xmlp::EndOfDocument();
        break;
      }
      if (s.M_NodeType != Node_ElementStart && s.M_NodeType != Node_Attribute) continue;
      const int d = s.M_Depth;
      if (d <= base || d > target) continue;
      bool chain = true;
      for (int i = base + 1; i < d && chain; ++i) {
        const PathStep& st = steps[i - base - 1];
        chain = NameMatches(st, s.M_Levels[i]) && CondHolds(st, s.M_Levels[i].M_Index);
      }
      const PathStep& st = steps[d - base - 1];
      const XmlLevel& l = s.M_Levels[d];
      bool nameOk = chain && NameMatches(st, l);
      bool condOk = nameOk && CondHolds(st, l.M_Index);
      if (nameOk && condOk) {
        if (d == target) return Result();
        continue;  // descend
      }
      if (nameOk && !condOk && l.M_Index > st.M_N) {
        inner = xmlp::EndOfDocument();
        break;
      }
      // Nothing below a node that does not match can match.
      inner = SkipElement();
      if (inner.IsError()) break;
      if (s.M_Depth < base || s.M_Depth < 1) {
        inner = xmlp::EndOfDocument();
        break;
      }
    }
  }
  // Content that cannot be decrypted is not a missing node: the caller gets the reason.
  if (inner.IsError() && s.M_bDecryptFailed) return inner;
  return Result::Make(util::ErrObjNotExist, util::ModIntellNetwork, util::ObjXmlParser,
                      util::SevError,
                      "Failed to move to Xpath {%s} (started at {%s,d=%i,p=%i} - stopped at "
                      "{p=%i}; MsgSize=%i; Error=%i)",
                      path ? path : "", startName.c_str(), startDepthNow,
                      static_cast<int>(startPos), static_cast<int>(GetPosition()),
                      static_cast<int>(s.M_pMsg->Size()), static_cast<int>(inner.Category()));
}

Result XmlParser::FindPaths(const char* const* paths, int count,
                            std::vector<util::Ref<XmlParser>>* found) const {
  const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
  found->assign(n, util::Ref<XmlParser>());
  // Each path as its names (views into it, all in one vector: path i has lengths[i] of them
  // from firsts[i] on); a path of another form (length 0) is left to MoveToPath.
  std::vector<std::string_view> names;
  std::vector<size_t> firsts(n, 0);
  std::vector<size_t> lengths(n, 0);
  bool allPlain = true;
  size_t open = 0;
  for (size_t i = 0; i < n; ++i) {
    firsts[i] = names.size();
    if (!PlainPathNames(paths[i], &names)) {
      names.resize(firsts[i]);
      allPlain = false;
      continue;
    }
    lengths[i] = names.size() - firsts[i];
    ++open;
  }
  XmlParser walker(*this);
  S& s = walker.State();
  const int base = s.M_Depth;
  // Whether the d levels below base carry the first d names of path i.
  auto chainMatches = [&](size_t i, int d) {
    for (int k = 1; k <= d; ++k) {
      const XmlLevel& l = s.M_Levels[base + k];
      if (l.M_Type == Node_Attribute || l.M_Name != names[firsts[i] + static_cast<size_t>(k - 1)]) {
        return false;
      }
    }
    return true;
  };
  Result r;
  while (open > 0) {
    r = walker.NextToken();
    if (r.IsError()) break;
    if (s.M_Depth < base || s.M_Depth < 1) break;  // past the element: the rest is missing
    if (s.M_NodeType != Node_ElementStart && s.M_NodeType != Node_Attribute) continue;
    const int d = s.M_Depth - base;
    if (d <= 0) continue;
    // Like MoveToPath: the first node on a path is taken, and only a node that leads further
    // along a path still open is entered.
    bool descend = false;
    for (size_t i = 0; i < n; ++i) {
      if (lengths[i] == 0 || (*found)[i] || lengths[i] < static_cast<size_t>(d) ||
          !chainMatches(i, d)) {
        continue;
      }
      if (lengths[i] == static_cast<size_t>(d)) {
        (*found)[i] = walker.Clone();
        --open;
      } else {
        descend = true;
      }
    }
    if (descend) continue;
    r = walker.SkipElement();
    if (r.IsError()) break;
    if (s.M_Depth < base || s.M_Depth < 1) break;
  }
  if (r.IsError()) return r;
  if (!allPlain) return Err(util::ErrLogicArgs, "a path that is not a plain element path");
  return Result();
}

// --- Content reads --------------------------------------------------------------------

// Positions the cursor on the content of the current element or attribute. *pEmpty when
// it has none.
Result XmlParser::EnterContent(bool binary, bool* pEmpty) {
  S& s = State();
  *pEmpty = false;
  if (s.M_NodeType == Node_ElementStart || s.M_NodeType == Node_Attribute) {
    const int depth = s.M_Depth;
    for (;;) {
      Result r = NextToken();
      if (r.IsError()) return r;
      if (s.M_NodeType == Node_Attribute) {
        // Attributes of the element are not its content.
        r = SkipElement();
        if (r.IsError()) return r;
        if (s.M_NodeType == Node_AttributeEnd) continue;
      }
      break;
    }
    if (s.M_NodeType == Node_ElementEnd || s.M_NodeType == Node_AttributeEnd) {
      (void)depth;
      *pEmpty = true;
      return Result();
    }
    if (s.M_NodeType == Node_ElementStart) {
      return Err(util::ErrXmlFormat, "XmlParser::ReadChars complex content found");
    }
  }
  if (s.M_NodeType != Node_Chars && s.M_NodeType != Node_Binary) {
    return Err(util::ErrLogicState,
               "Invalid State in XmlParser::ReadChars (NodeType=%i, Expected %i)", s.M_NodeType,
               binary ? static_cast<int>(Node_Binary) : static_cast<int>(Node_Chars));
  }
  return Result();
}

// After a content token is exhausted: continues with a following content token of the
// same element. *pMore when there is one.
Result XmlParser::ContinueContent(bool* pMore) {
  S& s = State();
  *pMore = false;
  if (s.M_ContentKind == S::Content_String) return Result();
  if (s.M_Format == Format_Binary || s.M_Format == Format_Compact) {
    Result r = Ensure(s, 1);
    if (r.IsError()) return r;
    if (Avail(s) == 0) return Result();
    int t = static_cast<uint8_t>(*Cur(s));
    if (t == Node_Chars || t == Node_Binary || t == Node_Text) {
      const bool wasBinary = s.M_bContentBinary;
      // Keep the base64 carries: the content goes on.
      uint8_t raw[3];
      int rawLen = s.M_RawCarryLen;
      std::memcpy(raw, s.M_RawCarry, 3);
      std::string_view a, b;
      int type;
      s.M_ContentKind = S::Content_None;
      r = ReadRawToken(s, &type, &a, &b);
      if (r.IsError()) return r;
      s.M_ContentKind = S::Content_Bytes;
      s.M_bContentBinary = type == Node_Binary;
      (void)wasBinary;
      std::memcpy(s.M_RawCarry, raw, 3);
      s.M_RawCarryLen = rawLen;
      *pMore = true;
      return Result();
    }
    if (t == Node_ElementStart)
      return Err(util::ErrXmlFormat, "XmlParser::ReadChars complex content found");
    return Result();
  }
  // XML text: the content stopped at a tag.
  Result r = Ensure(s, 2);
  if (r.IsError()) return r;
  if (Avail(s) >= 2 && Cur(s)[0] == '<' && Cur(s)[1] != '/') {
    return Err(util::ErrXmlFormat, "XmlParser::ReadChars complex content found");
  }
  return Result();
}

namespace {

const int8_t* DecodeTable() {
  static int8_t table[256];
  static bool init = [] {
    std::memset(table, -1, sizeof(table));
    const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(a[i])] = static_cast<int8_t>(i);
    table[static_cast<uint8_t>('-')] = 62;  // URL-safe alphabet accepted as well
    table[static_cast<uint8_t>('_')] = 63;
    return true;
  }();
  (void)init;
  return table;
}

// The 6-bit values of a character already shifted to their place in a group of four, so a
// group decodes with four look-ups and one test; kBadChar marks characters outside the
// alphabet (padding, whitespace, anything else), which the careful path handles.
constexpr uint32_t kBadChar = 0x01000000;
struct GroupTables {
  uint32_t M_Shifted[4][256];
};
const GroupTables& DecodeGroupTables() {
  static const GroupTables tables = [] {
    GroupTables t;
    const int8_t* base = DecodeTable();
    for (int k = 0; k < 4; ++k) {
      for (int c = 0; c < 256; ++c) {
        t.M_Shifted[k][c] =
            base[c] < 0 ? kBadChar : static_cast<uint32_t>(base[c]) << (6 * (3 - k));
      }
    }
    return t;
  }();
  return tables;
}

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void EncodeTriple(const uint8_t* in, int n, char* out) {
  uint32_t v = (in[0] << 16) | ((n > 1 ? in[1] : 0) << 8) | (n > 2 ? in[2] : 0);
  out[0] = kB64[(v >> 18) & 63];
  out[1] = kB64[(v >> 12) & 63];
  out[2] = n > 1 ? kB64[(v >> 6) & 63] : '=';
  out[3] = n > 2 ? kB64[v & 63] : '=';
}

}  // namespace

// Text of the content: raw text, or base64 for binary tokens of the token streams.
Result XmlParser::FillText(char* out, size_t cap, size_t* pGot, bool* pDone) {
  S& s = State();
  if (!(s.M_bContentBinary && s.M_ContentKind == S::Content_Bytes)) {
    return FillContent(s, out, cap, true, pGot, pDone);
  }
  size_t got = 0;
  *pDone = false;
  for (;;) {
    if (!s.M_TextOut.empty()) {
      size_t n = std::min(cap - got, s.M_TextOut.size());
      std::memcpy(out + got, s.M_TextOut.data(), n);
      s.M_TextOut.erase(0, n);
      got += n;
    }
    if (got == cap) break;
    if (s.M_ContentLeft == 0 && s.M_RawCarryLen == 0) {
      *pDone = true;
      break;
    }
    uint8_t raw[3072 + 3];
    std::memcpy(raw, s.M_RawCarry, s.M_RawCarryLen);
    size_t have = s.M_RawCarryLen;
    size_t n = 0;
    bool done = true;
    if (s.M_ContentLeft > 0) {
      Result r = FillContent(s, reinterpret_cast<char*>(raw) + have, 3072, false, &n, &done);
      if (r.IsError()) return r;
    }
    have += n;
    size_t full = (s.M_ContentLeft == 0) ? have : have / 3 * 3;
    for (size_t i = 0; i < full; i += 3) {
      char enc[4];
      EncodeTriple(raw + i, static_cast<int>(std::min<size_t>(3, full - i)), enc);
      s.M_TextOut.append(enc, 4);
    }
    s.M_RawCarryLen = static_cast<int>(have - full);
    std::memcpy(s.M_RawCarry, raw + full, s.M_RawCarryLen);
  }
  *pGot = got;
  return Result();
}

Result XmlParser::ReadText(char* buffer, int size, int* pLen) {
  if (pLen) *pLen = 0;
  if (!buffer || size <= 0) return Err(util::ErrLogicArgs, "ReadText: no buffer");
  buffer[0] = 0;
  bool empty;
  Result r = EnterContent(false, &empty);
  if (r.IsError() || empty) return r;
  size_t cap = static_cast<size_t>(size) - 1;
  size_t got = 0;
  for (;;) {
    size_t n = 0;
    bool done = false;
    r = FillText(buffer + got, cap - got, &n, &done);
    if (r.IsError()) break;
    got += n;
    if (!done) {
      r = xmlp::MoreData();
      break;
    }
    bool more;
    r = ContinueContent(&more);
    if (r.IsError() || !more) break;
  }
  buffer[got] = 0;
  if (pLen) *pLen = static_cast<int>(got);
  return r;
}

Result XmlParser::ReadString(std::string* out, int limit) {
  out->clear();
  char chunk[8192];
  for (;;) {
    int len = 0;
    Result r = ReadText(chunk, sizeof(chunk), &len);
    if (r.IsError()) return r;
    size_t room = static_cast<size_t>(limit) - out->size();
    out->append(chunk, std::min<size_t>(room, static_cast<size_t>(len)));
    if (r.Category() != util::ErrMoreData) return Result();
    if (out->size() >= static_cast<size_t>(limit)) return xmlp::MoreData();
  }
}

namespace {

// True when text content (base64) other than whitespace remains in the current token.
Result TextContentRemains(S& s, bool* pRemains) {
  *pRemains = false;
  if (s.M_ContentKind == S::Content_String) {
    for (size_t i = s.M_ContentStrPos; i < s.M_ContentStr.size(); ++i) {
      if (!IsWs(s.M_ContentStr[i])) {
        *pRemains = true;
        break;
      }
    }
    return Result();
  }
  if (s.M_ContentKind != S::Content_XmlText) return Result();
  if (s.M_bInCData) {
    *pRemains = true;
    return Result();
  }
  for (;;) {
    Result r = Ensure(s, 16);
    if (r.IsError()) return r;
    if (Avail(s) == 0) return Result();
    const char* p = Cur(s);
    size_t avail = Avail(s);
    size_t k = 0;
    while (k < avail && IsWs(p[k])) ++k;
    s.M_Rd += k;
    if (k < avail) {
      *pRemains = !(p[k] == '<' && !(avail - k >= 4 && p[k + 1] == '!'));
      return Result();
    }
  }
}

void PutByte(S& s, uint8_t* out, size_t cap, size_t* got, uint8_t b) {
  if (*got < cap) {
    out[(*got)++] = b;
  } else {
    s.M_DecCarry[s.M_DecCarryLen++] = b;
  }
}

}  // namespace

Result XmlParser::ReadBinary(void* buffer, int size, int* pLen) {
  S& s = State();
  if (pLen) *pLen = 0;
  if (!buffer || size < 0) return Err(util::ErrLogicArgs, "ReadBinary: no buffer");
  bool empty;
  Result r = EnterContent(true, &empty);
  if (r.IsError() || empty) return r;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  const size_t cap = static_cast<size_t>(size);
  size_t got = 0;
  const int8_t* table = DecodeTable();
  const GroupTables& groups = DecodeGroupTables();
  const bool raw = s.M_ContentKind == S::Content_Bytes;
  bool finished = false;
  for (;;) {
    while (s.M_DecCarryLen > 0 && got < cap) {
      out[got++] = s.M_DecCarry[0];
      std::memmove(s.M_DecCarry, s.M_DecCarry + 1, --s.M_DecCarryLen);
    }
    if (got == cap) break;
    size_t n = 0;
    bool done = false;
    if (raw) {
      r = FillContent(s, reinterpret_cast<char*>(out) + got, cap - got, false, &n, &done);
      if (r.IsError()) break;
      got += n;
    } else {
      char text[16384];
      size_t want = (cap - got) / 3 * 4 + 4;
      if (want > sizeof(text) - 4) want = sizeof(text) - 4;
      std::memcpy(text, s.M_EncCarry, s.M_EncCarryLen);
      size_t have = s.M_EncCarryLen;
      r = FillContent(s, text + have, want, false, &n, &done);
      if (r.IsError()) break;
      have += n;
      int q = 0;
      uint32_t acc = 0;
      size_t used = 0;
      for (size_t i = 0; i < have; ++i) {
        // Fast path: whole groups of four valid characters.
        if (q == 0) {
          const auto& t = groups.M_Shifted;
          const uint8_t* in = reinterpret_cast<const uint8_t*>(text);
          size_t j = i;
          size_t o = got;
          while (j + 4 <= have && cap - o >= 3) {
            const uint32_t v = t[0][in[j]] | t[1][in[j + 1]] | t[2][in[j + 2]] | t[3][in[j + 3]];
            if (v & kBadChar) break;
            out[o] = static_cast<uint8_t>(v >> 16);
            out[o + 1] = static_cast<uint8_t>(v >> 8);
            out[o + 2] = static_cast<uint8_t>(v);
            o += 3;
            j += 4;
          }
          if (j != i) {
            got = o;
            i = j;
            used = i;
          }
        }
        if (i >= have) break;
        const int8_t v = table[static_cast<uint8_t>(text[i])];
        if (v >= 0) {
          acc = (acc << 6) | static_cast<uint32_t>(v);
          if (++q == 4) {
            PutByte(s, out, cap, &got, static_cast<uint8_t>(acc >> 16));
            PutByte(s, out, cap, &got, static_cast<uint8_t>(acc >> 8));
            PutByte(s, out, cap, &got, static_cast<uint8_t>(acc));
            q = 0;
            acc = 0;
            used = i + 1;
          }
          continue;
        }
        if (text[i] != '=' && !IsWs(text[i])) {
          return Err(util::ErrXmlFormat, "invalid character in base64 content");
        }
        if (text[i] == '=' && q >= 2) {
          PutByte(s, out, cap, &got, static_cast<uint8_t>(q == 2 ? acc >> 4 : acc >> 10));
          if (q == 3) PutByte(s, out, cap, &got, static_cast<uint8_t>(acc >> 2));
          q = 0;
          acc = 0;
        }
        if (q == 0) used = i + 1;
      }
      if (done && q >= 2) {
        // Unpadded end of the text.
        PutByte(s, out, cap, &got, static_cast<uint8_t>(q == 2 ? acc >> 4 : acc >> 10));
        if (q == 3) PutByte(s, out, cap, &got, static_cast<uint8_t>(acc >> 2));
        used = have;
      }
      s.M_EncCarryLen = static_cast<int>(have - used);
      if (s.M_EncCarryLen > 3) s.M_EncCarryLen = 3;
      std::memcpy(s.M_EncCarry, text + have - s.M_EncCarryLen, s.M_EncCarryLen);
    }
    if (done && s.M_DecCarryLen == 0) {
      bool more;
      r = ContinueContent(&more);
      if (r.IsError()) break;
      if (!more) {
        finished = true;
        break;
      }
    }
  }
  if (r.IsSuccess() && !finished) {
    bool remains = s.M_DecCarryLen > 0;
    if (!remains && raw) {
      remains = s.M_ContentLeft > 0;
      if (!remains) {
        bool more;
        r = ContinueContent(&more);
        remains = more;
      }
    } else if (!remains) {
      r = TextContentRemains(s, &remains);
    }
    if (r.IsSuccess() && remains) r = xmlp::MoreData();
  }
  if (pLen) *pLen = static_cast<int>(got);
  return r;
}

Result XmlParser::ReadBinaryExact(void* buffer, int size) {
  int len = 0;
  Result r = ReadBinary(buffer, size, &len);
  if (r.IsError()) return r;
  if (len != size) {
    return Err(util::ErrNotAvailable, "read %i binary bytes instead of %i", len, size);
  }
  return Result();
}

namespace {

Result ParseInt64(const std::string& text, int64_t* value, int64_t lo, int64_t hi) {
  const char* p = text.c_str();
  while (IsWs(*p)) ++p;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(p, &end, 10);
  if (end == p) return Err(util::ErrLogicArgs, "'%s' is not a decimal number", text.c_str());
  while (IsWs(*end)) ++end;
  if (*end || errno == ERANGE || v < lo || v > hi) {
    return Err(util::ErrLogicArgs, "'%s' is not a valid number", text.c_str());
  }
  *value = v;
  return Result();
}

}  // namespace

const XmlNamedValue XmlParser::kBoolValues[] = {
    {"false", 0}, {"true", 1}, {"0", 0}, {"1", 1}, {"", 0}};

Result XmlParser::LookupNamedValue(const std::string& text, const XmlNamedValue* table, int count,
                                   int* value) {
  for (int i = 0; i < count; ++i) {
    if (text == table[i].name) {
      *value = table[i].value;
      return Result();
    }
  }
  return Err(util::ErrLogicArgs, "value '%s' is not allowed here", text.c_str());
}

Result XmlParser::ReadInt(int32_t* value) {
  std::string t;
  Result r = ReadString(&t, 64);
  if (r.IsError()) return r;
  int64_t v;
  r = ParseInt64(t, &v, INT32_MIN, INT32_MAX);
  if (r.IsSuccess()) *value = static_cast<int32_t>(v);
  return r;
}

Result XmlParser::ReadInt64(int64_t* value) {
  std::string t;
  Result r = ReadString(&t, 23);
  if (r.IsError()) return r;
  return ParseInt64(t, value, INT64_MIN, INT64_MAX);
}

Result XmlParser::ReadBool(bool* value) {
  std::string t;
  Result r = ReadString(&t, 64);
  if (r.IsError()) return r;
  int v = 0;
  r = LookupNamedValue(t, kBoolValues, kBoolValueCount, &v);
  if (r.IsSuccess()) *value = v != 0;
  return r;
}

Result XmlParser::ReadTextAtPath(const char* path, char* buffer, int size, int* pLen) const {
  if (pLen) *pLen = 0;
  if (buffer && size > 0) buffer[0] = 0;
  XmlParser copy(*this);
  Result r = copy.MoveToPath(path);
  if (r.IsError()) return r;
  return copy.ReadText(buffer, size, pLen);
}

Result XmlParser::ReadStringAtPath(const char* path, std::string* out, int limit) const {
  out->clear();
  XmlParser copy(*this);
  Result r = copy.MoveToPath(path);
  if (r.IsError()) return r;
  return copy.ReadString(out, limit);
}

Result XmlParser::ReadIntAtPath(const char* path, int32_t* value) const {
  XmlParser copy(*this);
  Result r = copy.MoveToPath(path);
  if (r.IsError()) return r;
  return copy.ReadInt(value);
}

Result XmlParser::ReadInt64AtPath(const char* path, int64_t* value) const {
  XmlParser copy(*this);
  Result r = copy.MoveToPath(path);
  if (r.IsError()) return r;
  return copy.ReadInt64(value);
}

Result XmlParser::ReadBoolAtPath(const char* path, bool* value) const {
  XmlParser copy(*this);
  Result r = copy.MoveToPath(path);
  if (r.IsError()) return r;
  return copy.ReadBool(value);
}

Result XmlParser::ReadNamedValueAtPath(const char* path, const XmlNamedValue* table, int count,
                                       int* value) const {
  std::string t;
  Result r = ReadStringAtPath(path, &t, 1024);
  if (r.IsError()) return r;
  return LookupNamedValue(t, table, count, value);
}

bool XmlParser::ExistsPath(const char* path) const {
  XmlParser copy(*this);
  return copy.MoveToPath(path).IsSuccess();
}

}  // namespace velmora::xel
