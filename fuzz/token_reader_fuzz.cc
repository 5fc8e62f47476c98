// Fuzz target: the binary token stream reader (formats 1 and 4).
#include <string>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmora::xel;
  namespace util = velmora::util;
  if (size < 1) return 0;
  // The first byte chooses the format; the rest follows the format's header.
  std::string bytes("\x02\x01", 2);
  bytes[1] = (data[0] & 1) ? '\x04' : '\x01';
  bytes.push_back('\0');
  bytes.append(reinterpret_cast<const char*>(data) + 1, size - 1);
  util::Ref<XmlParser> doc = fuzz::DocumentOf(bytes.data(), bytes.size());
  fuzz::ReadAll(*doc);
  // A second pass through a copy: XML text output of whatever is readable.
  util::Ref<XmlParser> again = fuzz::DocumentOf(bytes.data(), bytes.size());
  if (again->NextToken().IsSuccess() && again->GetNodeType() == XmlParser::Node_ElementStart) {
    XmlParser out;
    if (out.SetDataFormat(XmlParser::Format_XmlUtf8).IsSuccess() &&
        out.CopySubtree(*again, 1).IsSuccess()) {
      (void)out.CloseAll();
    }
  }
  return 0;
}
