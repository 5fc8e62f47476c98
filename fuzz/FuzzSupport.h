// Shared helpers of the fuzz targets: a document over fuzzer bytes, a full read of it, and the
// default time limit per input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "xel/XmlParser.h"

namespace velmora::xel::fuzz {

// A document whose message holds the given bytes.
inline util::Ref<XmlParser> DocumentOf(const void* data, size_t size) {
  util::Ref<XmlParser> doc = XmlParser::Create();
  if (size > 0) (void)doc->GetMessage()->Append(data, static_cast<int32_t>(size));
  return doc;
}

// Reads every token up to the first error; content alternately as text and as binary in small
// parts so that the carries between parts are exercised.
inline void ReadAll(XmlParser& doc) {
  char buf[7];
  int count = 0;
  for (int i = 0; i < 100000 && doc.NextToken().IsSuccess(); ++i) {
    (void)doc.GetLocalName();
    (void)doc.GetNamespace();
    const int type = doc.GetNodeType();
    if (type == XmlParser::Node_Chars || type == XmlParser::Node_Binary) {
      const bool binary = (count++ & 1) != 0;
      for (int part = 0; part < 1000; ++part) {
        int len = 0;
        util::Result r =
            binary ? doc.ReadBinary(buf, sizeof buf, &len) : doc.ReadText(buf, sizeof buf, &len);
        if (r.IsError() || r.Category() != util::ErrMoreData) break;
      }
    }
  }
}

}  // namespace velmora::xel::fuzz

// Called by libFuzzer (never by the replay driver) before it reads its flags: a run without
// -timeout= gets 2 s per input, so that a slow input is a finding rather than a slow run.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp((*argv)[i], "-timeout=", 9) == 0) return 0;
  }
  static std::vector<char*> args;
  static char timeout[] = "-timeout=2";
  args.assign(*argv, *argv + *argc);
  args.push_back(timeout);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size()) - 1;
  *argv = args.data();
  return 0;
}
