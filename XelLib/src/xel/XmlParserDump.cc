// XmlParser: dump of a document to the trace as indented XML text.
#include <algorithm>
#include <string>
#include <vector>

#include "XmlParserState.h"
#include "util/Trace.h"
#include "xel/XmlParser.h"

namespace velmora::xel {

using util::Result;

namespace {

// At most this much XML text is dumped; a longer document is cut.
constexpr int kDumpBufferSize = 65536;
// Trace writers cut lines at 1024 characters: long output lines go out in pieces.
constexpr size_t kDumpLinePiece = 960;

void TraceDumpText(uint32_t traceId, const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    size_t end = eol;
    if (end > pos && text[end - 1] == '\r') --end;
    // Blank lines come from the indentation's line breaks only; skip them.
    for (size_t p = pos; p < end; p += kDumpLinePiece) {
      const size_t n = std::min(kDumpLinePiece, end - p);
      XEL_TRACE("XmlParser", traceId, "%.*s", static_cast<int>(n), text.data() + p);
    }
    pos = eol + 1;
  }
}

}  // namespace

void XmlParser::DumpToTrace(uint32_t traceId, const char* title) const {
  if (!util::IsTraceEnabled(traceId)) return;
  const XmlParserState& s = State();
  XEL_TRACE("XmlParser", traceId, "Trace Message (%s) RxSize=%i, CurrentPos=%i", title ? title : "",
            static_cast<int>(s.M_pMsg ? s.M_pMsg->Size() : 0), static_cast<int>(GetPosition()));

  // Convert a copy of the document, token by token, into indented XML text, stopping once
  // the output exceeds the dump buffer.
  // Encrypted content is dumped as it stands: the trace never shows what it protects.
  XmlParser src(*this);
  src.SetDecryption(false);
  XmlParser out;
  Result readResult = src.Rewind();
  Result writeResult = out.SetDataFormat(Format_XmlUtf8);
  if (writeResult.IsSuccess()) writeResult = out.SetIndentation(2);
  bool truncated = false;
  std::vector<char> chunk(16384);
  auto outSize = [&out]() { return out.GetMessage()->Size(); };
  while (readResult.IsSuccess() && writeResult.IsSuccess()) {
    if (outSize() > kDumpBufferSize) {
      truncated = true;
      break;
    }
    readResult = src.NextToken();
    if (readResult.Category() == util::ErrEndOfObject) {
      readResult = Result();
      writeResult = out.CloseAll();
      break;
    }
    if (readResult.IsError()) break;
    switch (src.GetNodeType()) {
      case Node_ElementStart:
        writeResult = out.OpenElementQ(src.GetPrefix(), src.GetNamespace(), src.GetLocalName());
        break;
      case Node_Attribute: {
        std::string prefix = src.GetPrefix(), uri = src.GetNamespace(), name = src.GetLocalName();
        std::string value;
        readResult = src.ReadString(&value, kDumpBufferSize);
        if (readResult.IsError()) break;
        int handle = 0;
        if (!prefix.empty()) handle = out.DeclareNamespace(prefix.c_str(), uri.c_str());
        writeResult = out.WriteAttribute(handle, name.c_str(), value.c_str());
        break;
      }
      case Node_Chars:
      case Node_Text:
      case Node_Binary: {
        const bool binary =
            src.GetNodeType() == Node_Binary &&
            (src.GetDataFormat() == Format_Binary || src.GetDataFormat() == Format_Compact);
        for (;;) {
          int len = 0;
          readResult = binary ? src.ReadBinary(chunk.data(), static_cast<int>(chunk.size()), &len)
                              : src.ReadText(chunk.data(), static_cast<int>(chunk.size()), &len);
          if (readResult.IsError()) break;
          writeResult =
              binary ? out.WriteBinary(chunk.data(), len) : out.WriteChars(chunk.data(), len);
          if (writeResult.IsError() || readResult.Category() != util::ErrMoreData) break;
          if (outSize() > kDumpBufferSize) break;
        }
        if (readResult.Category() == util::ErrMoreData) readResult = Result();
        break;
      }
      case Node_ElementEnd:
        writeResult = out.CloseElement();
        break;
      default:
        break;
    }
  }
  if (writeResult.IsSuccess() && truncated) writeResult = out.FlushBinary();

  std::string text;
  const int64_t size = std::min<int64_t>(outSize(), kDumpBufferSize);
  text.resize(static_cast<size_t>(size));
  int32_t got = 0;
  Result r = out.GetMessage()->Read(0, text.data(), static_cast<int32_t>(size), &got);
  text.resize(r.IsSuccess() ? static_cast<size_t>(got) : 0);
  TraceDumpText(traceId, text);
  if (truncated || outSize() > kDumpBufferSize) {
    XEL_TRACE("XmlParser", traceId, "XML Dump truncated (BufferSize=%i)", kDumpBufferSize);
  }
  if (readResult.IsError()) {
    Result rx = s.M_pMsg ? s.M_pMsg->RxError() : Result();
    XEL_TRACE("XmlParser", traceId, "XML Dump failed with %s (RxError=%s)",
              readResult.Text().c_str(), rx.Text().c_str());
  } else if (writeResult.IsError()) {
    XEL_TRACE("XmlParser", traceId, "Failed to generate XML Dump Trace (Error=%s)",
              writeResult.Text().c_str());
  }
}

}  // namespace velmora::xel
