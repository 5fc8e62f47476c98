// XmlProcessor: examines an import package's descriptor candidate (QV XML, custom XML or neither).
#include "XmlProcessor.h"

#include <string_view>

#include "FileInfo.h"
#include "ImportPackage.h"
#include "util/ResultCode.h"
#include "util/Text.h"
#include "util/Trace.h"
#include "xel/ConnectionFile.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {

namespace {

// Time allowed to receive the descriptor from its file connection. A file connection never
// waits, so this only bounds a misbehaving connection.
constexpr uint32_t kReceiveTimeoutMs = 10000;

constexpr int kXmlStateParsed = 1;
constexpr int kXmlStateQvXml = 2;
constexpr int kRootXmlPartNumber = 1;

// Walks every token of the document once and rewinds it. The reader is a forward cursor that
// reports a broken document only where the break is, so a walk is the way to learn that the
// whole file is well-formed: every tag closed and matched, one root element.
util::Result CheckWellFormed(xel::XmlParser* pDocument) {
  int roots = 0;
  util::Result r;
  for (;;) {
    r = pDocument->NextToken();
    if (r.Category() == util::ErrEndOfObject) break;
    if (r.IsError()) return r;
    if (pDocument->GetNodeType() == xel::XmlParser::Node_ElementStart &&
        pDocument->GetDepth() == 1 && ++roots > 1) {
      return util::Result::Fail(util::ErrXmlFormat, "more than one root element");
    }
  }
  if (pDocument->GetDepth() != 0) return util::Result::Fail(util::ErrXmlFormat, "unclosed element");
  return pDocument->Rewind();
}

}  // namespace

const char* XmlProcessor::ClassName() const { return "File_XmlProcessor"; }

void XmlProcessor::Process(const std::string& descriptorPath, ImportPackage* pPackage) {
  if (!pPackage) return;
  XEL_TRACE_OBJ(this, util::General_60, "Checking file %s", descriptorPath.c_str());
  if (!pPackage->IsImportModeQvXml()) {
    // Custom XML is passed on as it is; nothing in it needs to be read here.
    pPackage->SetRootXmlPartNumber(kRootXmlPartNumber);
    XEL_TRACE_OBJ(this, util::General_60, "QV XML processing disabled. Importing as custom XML.");
    return;
  }
  CheckFile(descriptorPath, pPackage);
}

void XmlProcessor::CheckFile(const std::string& descriptorPath, ImportPackage* pPackage) {
  // Both are released when this step ends, whatever its outcome.
  auto connection = util::Ref<xel::ConnectionFile>::Adopt(new xel::ConnectionFile);
  util::Ref<xel::XmlParser> document = xel::XmlParser::Create();

  // Opened through the long form so that deep paths open on Windows as well; texts keep the
  // path as it was given. The rest of the file is fetched from the connection as the check
  // reads on, so a large file that is no XML at all is given up after its first blocks.
  util::Result r = connection->OpenInput(AddLongPathPrefix(descriptorPath));
  if (r.IsSuccess()) r = document->Receive(connection.get(), kReceiveTimeoutMs);
  if (r.IsSuccess()) r = CheckWellFormed(document.get());
  if (r.IsSuccess()) r = document->MoveToPath("/*");
  (void)connection->Close();
  if (r.IsError()) {
    const std::string text = "XML parser error for file " + descriptorPath;
    pPackage->SetContentError(text);
    XEL_TRACE_OBJ(this, util::General_Error, "%s", text.c_str());
    return;
  }

  pPackage->SetXmlState(kXmlStateParsed);
  ProcessQvXml(descriptorPath, document.get(), pPackage);
  if (pPackage->GetXmlState() >= kXmlStateQvXml) return;

  if (pPackage->IsImportModeCustomXml()) {
    pPackage->SetRootXmlPartNumber(kRootXmlPartNumber);
    XEL_TRACE_OBJ(this, util::General_60, "No QV XML. Importing as custom XML.");
  } else {
    const std::string text = "Custom XML disabled and no QV XML detected in file " + descriptorPath;
    pPackage->SetContentError(text);
    XEL_TRACE_OBJ(this, util::General_Error, "%s", text.c_str());
  }
}

void XmlProcessor::ProcessQvXml(const std::string& descriptorPath, xel::XmlParser* pDocument,
                                ImportPackage* pPackage) {
  if (pDocument->MoveToPath("/ImportSession").IsError()) return;
  std::string name;
  while (NextLinkedFile(pDocument, &name)) {
    // A link outside the input base directory becomes the content error inside the package;
    // the remaining links are still collected.
    (void)pPackage->AddXmlLinkedFile(descriptorPath, name);
  }
  pPackage->SetRootXmlPartNumber(kRootXmlPartNumber);
  pPackage->SetXmlState(kXmlStateQvXml);
  XEL_TRACE_OBJ(this, util::General_60, "QV XML detected and processed.");
}

bool XmlProcessor::NextLinkedFile(xel::XmlParser* pDocument, std::string* pName) {
  for (;;) {
    if (pDocument->NextToken().IsError()) return false;  // end of the document
    if (pDocument->GetNodeType() != xel::XmlParser::Node_ElementStart) continue;
    if (!util::EqualsNoCase(pDocument->GetLocalName(), "Page")) continue;
    std::string value;
    if (pDocument->ReadStringAtPath("@ImportFileName", &value).IsError() || value.empty()) {
      continue;
    }
    XEL_TRACE_OBJ(this, util::General_60, "Found linked file %s", value.c_str());
    *pName = std::move(value);
    return true;
  }
}

}  // namespace velmora::xelc
