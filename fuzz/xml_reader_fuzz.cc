// Fuzz target: the XML text reader (UTF-8 and ISO-8859-1 declarations, references, CDATA,
// namespaces, EncryptedData), read token by token and re-encoded as the binary token stream.
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmora::xel;
  namespace util = velmora::util;
  if (size >= 3 && data[0] == 0x02 && data[2] == 0) return 0;  // the token reader's input
  util::Ref<XmlParser> doc = fuzz::DocumentOf(data, size);
  fuzz::ReadAll(*doc);
  // The second pass decrypts EncryptedData elements (method 0 content is parsed as XML).
  util::Ref<XmlParser> again = fuzz::DocumentOf(data, size);
  again->SetDecryptionKey("fuzz key");
  util::Result r;
  do {
    r = again->NextToken();
  } while (r.IsSuccess() && again->GetNodeType() != XmlParser::Node_ElementStart);
  if (r.IsSuccess()) {
    XmlParser out;
    if (out.CopySubtree(*again, 1).IsSuccess()) (void)out.CloseAll();
  }
  return 0;
}
