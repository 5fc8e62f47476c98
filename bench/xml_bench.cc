// Benchmarks of the message document: writing and reading 10 000 small elements and 16 MiB
// of binary content in the token stream (format 1) and XML text (format 8), with libxml2's
// xmlReadMemory on the same XML text for comparison. Throughput is in bytes of the encoded
// document per second.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "xel/XmlParser.h"

#ifdef XEL_HAVE_LIBXML2
#include <libxml/parser.h>
#endif

namespace {

using velmora::util::Ref;
using velmora::util::Result;
using velmora::xel::XmlParser;

constexpr int kSmallElements = 10000;
constexpr size_t kBinarySize = 16u << 20;

const std::vector<char>& BinaryData() {
  static const std::vector<char> data = [] {
    std::vector<char> v(kBinarySize);
    uint32_t x = 12345;
    for (char& c : v) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 24);
    }
    return v;
  }();
  return data;
}

Result WriteSmall(XmlParser& doc) {
  Result r = doc.OpenElement(0, "Items");
  for (int i = 0; r.IsSuccess() && i < kSmallElements; ++i) {
    r = doc.OpenElement(0, "Item");
    if (r.IsSuccess()) r = doc.WriteAttribute(0, "id", "4711");
    if (r.IsSuccess()) r = doc.WriteElement(0, "Name", "invoice_2026-12-04.pdf");
    if (r.IsSuccess()) r = doc.WriteElementInt(0, "Size", i);
    if (r.IsSuccess()) r = doc.CloseElement();
  }
  if (r.IsSuccess()) r = doc.CloseAll();
  return r;
}

Result WriteBinary(XmlParser& doc) {
  const std::vector<char>& data = BinaryData();
  Result r = doc.OpenElement(0, "File");
  if (r.IsSuccess()) r = doc.WriteElement(0, "Name", "data.bin");
  if (r.IsSuccess()) {
    r = doc.WriteElementBinary(0, "Content", data.data(), static_cast<int64_t>(data.size()));
  }
  if (r.IsSuccess()) r = doc.CloseAll();
  return r;
}

Ref<XmlParser> Build(int format, bool binary) {
  Ref<XmlParser> doc = XmlParser::Create();
  Result r = doc->SetDataFormat(format);
  if (r.IsSuccess()) r = binary ? WriteBinary(*doc) : WriteSmall(*doc);
  if (r.IsError()) return Ref<XmlParser>();
  return doc;
}

const Ref<XmlParser>& Document(int format, bool binary) {
  static Ref<XmlParser> docs[2][2];
  Ref<XmlParser>& d = docs[format == XmlParser::Format_XmlUtf8][binary];
  if (!d) d = Build(format, binary);
  return d;
}

std::string TextOf(const XmlParser& doc) {
  std::string s(static_cast<size_t>(doc.GetMessage()->Size()), 0);
  int32_t got = 0;
  if (doc.GetMessage()->Read(0, s.data(), static_cast<int32_t>(s.size()), &got).IsError())
    s.clear();
  return s;
}

// Reads every token; character content as text, binary content decoded.
Result ReadAll(XmlParser& doc, std::vector<char>* buf) {
  for (;;) {
    Result r = doc.NextToken();
    if (r.Category() == velmora::util::ErrEndOfObject) return Result();
    if (r.IsError()) return r;
    const int type = doc.GetNodeType();
    if (type != XmlParser::Node_Chars && type != XmlParser::Node_Binary) continue;
    const bool binary = type == XmlParser::Node_Binary || doc.GetLocalName() == "Content";
    do {
      int len = 0;
      r = binary ? doc.ReadBinary(buf->data(), static_cast<int>(buf->size()), &len)
                 : doc.ReadText(buf->data(), static_cast<int>(buf->size()), &len);
      if (r.IsError()) return r;
    } while (r.Category() == velmora::util::ErrMoreData);
  }
}

void BM_Write(benchmark::State& state) {
  const int format = static_cast<int>(state.range(0));
  const bool binary = state.range(1) != 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    Ref<XmlParser> doc = Build(format, binary);
    if (!doc) {
      state.SkipWithError("writing failed");
      return;
    }
    bytes += doc->GetMessage()->Size();
  }
  state.SetBytesProcessed(bytes);
}

void BM_Read(benchmark::State& state) {
  const int format = static_cast<int>(state.range(0));
  const bool binary = state.range(1) != 0;
  const Ref<XmlParser>& doc = Document(format, binary);
  std::vector<char> buf(1 << 16);
  for (auto _ : state) {
    XmlParser reader(*doc);
    if (reader.Rewind().IsError()) {
      state.SkipWithError("rewind failed");
      return;
    }
    Result r = ReadAll(reader, &buf);
    if (r.IsError()) {
      state.SkipWithError(r.Text().c_str());
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * doc->GetMessage()->Size());
}

#ifdef XEL_HAVE_LIBXML2
void BM_Libxml2Read(benchmark::State& state) {
  const bool binary = state.range(0) != 0;
  const std::string text = TextOf(*Document(XmlParser::Format_XmlUtf8, binary));
  for (auto _ : state) {
    xmlDocPtr d = xmlReadMemory(text.data(), static_cast<int>(text.size()), "bench.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_HUGE);
    if (!d) {
      state.SkipWithError("libxml2 failed");
      return;
    }
    xmlFreeDoc(d);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Libxml2Read)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
#endif

// Only the base64 embedding: 16 MiB written as binary content of an XML text document.
void BM_Base64Embed(benchmark::State& state) {
  const std::vector<char>& data = BinaryData();
  for (auto _ : state) {
    XmlParser doc;
    Result r = doc.SetDataFormat(XmlParser::Format_XmlUtf8);
    if (r.IsSuccess()) r = doc.OpenElement(0, "Content");
    if (r.IsSuccess()) r = doc.WriteBinary(data.data(), static_cast<int64_t>(data.size()));
    if (r.IsSuccess()) r = doc.CloseAll();
    if (r.IsError()) {
      state.SkipWithError(r.Text().c_str());
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}

BENCHMARK(BM_Write)
    ->ArgNames({"format", "binary"})
    ->ArgsProduct({{1, 8}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read)
    ->ArgNames({"format", "binary"})
    ->ArgsProduct({{1, 8}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Embed)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
