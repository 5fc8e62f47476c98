// ConfirmResBuilder: holds the outcome of a poll's confirmation and writes the "confirm-res"
// answer.
#include "ConfirmResBuilder.h"

#include "util/ResultCode.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {

using xel::XmlParser;

const char* ConfirmResBuilder::ClassName() const { return "File_ConfirmResBuilder"; }

void ConfirmResBuilder::SetResult(int32_t status, const std::string& text) {
  M_Status = status;
  M_ErrorText = text;
}

util::Result ConfirmResBuilder::Build(XmlParser* pDocument) const {
  if (pDocument == nullptr) {
    return util::Result::Fail(util::ErrLogicArgs, "confirm-res without a document");
  }
  XmlParser& doc = *pDocument;
  // -1: every element takes the namespace of the element around it.
  constexpr int kNs = -1;
  doc.Reset();
  util::Result worst = doc.SetDataFormat(XmlParser::Format_Binary);
  worst.KeepWorse(
      doc.BeginMessage(XmlParser::MsgType_Answer, nullptr, nullptr, "confirm-res", nullptr));
  worst.KeepWorse(doc.OpenElement(kNs, "status"));
  // Exactly one of "Processed" and "Status" is written: a receiver recognises success by
  // "Processed" "YES" alone.
  switch (M_Status) {
    case StatusProcessed:
      worst.KeepWorse(doc.WriteElement(kNs, "Processed", "YES"));
      break;
    case StatusNotProcessed:
      worst.KeepWorse(doc.WriteElement(kNs, "Processed", "NO"));
      worst.KeepWorse(doc.WriteElement(kNs, "ErrorString", M_ErrorText.c_str()));
      break;
    case StatusUnknown:
      worst.KeepWorse(doc.WriteElement(kNs, "Status", "UNKNOWN"));
      worst.KeepWorse(doc.WriteElement(kNs, "ErrorString", M_ErrorText.c_str()));
      break;
    case StatusNotFound:
      worst.KeepWorse(doc.WriteElement(kNs, "Status", "NOTFOUND"));
      worst.KeepWorse(doc.WriteElement(kNs, "ErrorString", M_ErrorText.c_str()));
      break;
    default:
      break;
  }
  worst.KeepWorse(doc.CloseAll());
  return worst;
}

}  // namespace velmora::xelc
