// Fuzz target: the path matcher. Input: a path, a NUL, then an XML document (a fixed
// document when there is no NUL).
#include <cstring>
#include <string>

#include "FuzzSupport.h"

namespace {
const char kFixed[] =
    "<a x=\"1\"><b>1</b><b y=\"2\">2<c/></b><Item>i1</Item><Item>i2</Item>"
    "<p:q xmlns:p=\"urn:p\">q</p:q><b>3</b></a>";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmora::xel;
  namespace util = velmora::util;
  const char* text = reinterpret_cast<const char*>(data);
  const char* nul = static_cast<const char*>(std::memchr(text, 0, size));
  std::string path = nul ? std::string(text, nul) : std::string(text, size);
  util::Ref<XmlParser> doc = nul ? fuzz::DocumentOf(nul + 1, size - (nul + 1 - text))
                                 : fuzz::DocumentOf(kFixed, sizeof kFixed - 1);
  char buf[64];
  int len = 0;
  (void)doc->ReadTextAtPath(path.c_str(), buf, sizeof buf, &len);
  // From inside the document: relative and absolute searches from a moved cursor.
  if (doc->NextToken().IsSuccess() && doc->NextToken().IsSuccess()) {
    (void)doc->MoveToPath(path.c_str());
    (void)doc->MoveToPath(path.c_str(), 1);
  }
  return 0;
}
