// Shared helpers of the fuzz targets: a document over fuzzer bytes and a full read of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "xel/XmlParser.h"

namespace velmora::xel::fuzz {

// A document whose message holds the given bytes.
inline util::Ref<XmlParser> DocumentOf(const void* data, size_t size) {
  util::Ref<XmlParser> doc = XmlParser::Create();
  if (size > 0) (void)doc->GetMessage()->Append(data, static_cast<int32_t>(size));
  return doc;
}

// Reads every token; content alternately as text and as binary in small parts so that the
// carries between parts are exercised. Stops at the first error.
inline void ReadAll(XmlParser& doc) {
  char buf[7];
  int count = 0;
  for (int i = 0; i < 100000; ++i) {
    util::Result r = doc.NextToken();
    if (r.IsError()) return;
    const int type = doc.GetNodeType();
    (void)doc.GetLocalName();
    (void)doc.GetNamespace();
    if (type == XmlParser::Node_Chars || type == XmlParser::Node_Binary) {
      const bool binary = (count++ & 1) != 0;
      for (int part = 0; part < 1000; ++part) {
        int len = 0;
        r = binary ? doc.ReadBinary(buf, sizeof buf, &len) : doc.ReadText(buf, sizeof buf, &len);
        if (r.IsError() || r.Category() != util::ErrMoreData) break;
      }
    }
  }
}

}  // namespace velmora::xel::fuzz
