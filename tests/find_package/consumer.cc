// Reads a value from a message document through the installed runtime's headers and libraries.
#include <cstdio>
#include <cstring>

#include "xel/XmlParser.h"

int main() {
  using velmora::util::Ref;
  using velmora::xel::XmlParser;
  static const char kText[] = "<Envelope><Header><type>poll</type></Header></Envelope>";
  Ref<XmlParser> doc = XmlParser::Create();
  if (doc->GetMessage()->Append(kText, sizeof kText - 1).IsError()) return 1;
  char type[16] = {};
  if (doc->ReadTextAtPath("/Envelope/Header/type", type, sizeof type).IsError()) return 1;
  std::printf("%s\n", type);
  return std::strcmp(type, "poll") == 0 ? 0 : 1;
}
