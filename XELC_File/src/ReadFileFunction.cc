// ReadFileFunction: "ReadFile" - path checks, reading and parsing the file, and the answer,
// built whole or streamed block by block while it is written.
#include "ReadFileFunction.h"

#include <string>
#include <utility>
#include <vector>

#include "OutputPath.h"
#include "osal/File.h"
#include "osal/WaitHandle.h"
#include "util/Trace.h"
#include "xel/ConnectionFile.h"
#include "xel/Message.h"
#include "xel/MessageBlock.h"

namespace velmora::xelc {
namespace {

using util::Result;
using xel::Message;
using xel::MessageBlock;
using xel::XmlParser;

constexpr const char* kTraceCategory = "XELC-file";
// A file connection delivers its blocks at once; this only bounds a misbehaving one.
constexpr uint32_t kFileReceiveTimeoutMs = 10000;
constexpr uint32_t kCancelTimeoutMs = 1000;

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// Checks the tokens of a document at depth 0 (outside its root element), counting roots.
Result CheckOutsideRoot(XmlParser& doc, int* pRoots) {
  const int type = doc.GetNodeType();
  if (type == XmlParser::Node_ElementStart && doc.GetDepth() == 1) {
    if (++*pRoots > 1) return Result::Fail(util::ErrXmlFormat, "more than one root element");
  } else if ((type == XmlParser::Node_Chars || type == XmlParser::Node_Text) &&
             doc.GetDepth() == 0) {
    std::string text;
    Result r = doc.ReadString(&text);
    if (r.IsError()) return r;
    if (!IsBlank(text)) return Result::Fail(util::ErrXmlFormat, "text outside the root element");
  }
  return Result();
}

// Reads tokens to the end of the document, with the checks outside the root element. The
// reader reports a break only where it is.
Result CheckToEnd(XmlParser& doc, int roots) {
  for (;;) {
    Result r = doc.NextToken();
    if (r.Category() == util::ErrEndOfObject) break;
    if (r.IsError()) return r;
    r = CheckOutsideRoot(doc, &roots);
    if (r.IsError()) return r;
  }
  if (doc.GetDepth() != 0) return Result::Fail(util::ErrXmlFormat, "unclosed element");
  if (roots == 0) return Result::Fail(util::ErrXmlFormat, "no root element");
  return Result();
}

// Reads every token once, so that a file that is not well-formed is refused before any answer
// exists, then rewinds.
Result CheckWellFormed(XmlParser& doc) {
  Result r = CheckToEnd(doc, 0);
  return r.IsError() ? r : doc.Rewind();
}

// Moves to the root element with the checks of CheckWellFormed on the way.
Result MoveToRoot(XmlParser& doc) {
  int roots = 0;
  for (;;) {
    Result r = doc.NextToken();
    if (r.Category() == util::ErrEndOfObject) {
      return Result::Fail(util::ErrXmlFormat, "no root element");
    }
    if (r.IsError()) return r;
    r = CheckOutsideRoot(doc, &roots);
    if (r.IsError()) return r;
    if (roots == 1) return Result();
  }
}

// Sends the answer's bytes while the answer is still being written: every complete block goes
// out at once and is released, so a large answer never sits whole in memory. The answer is
// only appended to, which is what makes releasing the sent part safe.
class AnswerStreamer {
 public:
  AnswerStreamer(Message* pMessage, xel::Connection* pConn)
      : M_pMessage(pMessage), M_pConn(pConn) {}

  // Sends the complete blocks written so far; at least one byte stays for the last block.
  Result SendComplete() { return M_pMessage->TxComplete(M_pConn, osal::kInfinite); }
  // Sends the rest as the end of the message.
  Result SendRest() { return M_pMessage->TxAllToConnection(M_pConn, osal::kInfinite); }
  bool Started() const { return M_pMessage->TxSent() > 0; }

 private:
  Message* M_pMessage;
  xel::Connection* M_pConn;
};

// Opens an element like the one at source's cursor (an element start) with its attributes.
// Streaming copies the root by hand so that its children can be copied and sent one by one.
// Leaves source on the first token after the attributes, already read.
Result OpenElementLike(XmlParser& answer, XmlParser& source) {
  struct Attribute {
    std::string M_Prefix, M_Namespace, M_Name, M_Value;
  };
  const int depth = source.GetDepth();
  const std::string prefix = source.GetPrefix();
  const std::string ns = source.GetNamespace();
  const std::string name = source.GetLocalName();
  // Attributes follow the start token; their namespaces must be declared before the element
  // is opened, so they are gathered first.
  std::vector<Attribute> attributes;
  for (;;) {
    Result r = source.NextToken();
    if (r.IsError()) return r;
    const int type = source.GetNodeType();
    if (type == XmlParser::Node_NamespaceDecl || type == XmlParser::Node_AttributeEnd) continue;
    if (type != XmlParser::Node_Attribute || source.GetDepth() != depth + 1) break;
    Attribute a{source.GetPrefix(), source.GetNamespace(), source.GetLocalName(), {}};
    r = source.ReadString(&a.M_Value);
    if (r.IsError()) return r;
    attributes.push_back(std::move(a));
  }
  const int handle = ns.empty() ? 0 : answer.DeclareNamespace(prefix.c_str(), ns.c_str());
  std::vector<int> handles;
  for (const Attribute& a : attributes) {
    handles.push_back(a.M_Namespace.empty()
                          ? 0
                          : answer.DeclareNamespace(a.M_Prefix.c_str(), a.M_Namespace.c_str()));
  }
  Result r = answer.OpenElement(handle, name.c_str());
  for (size_t i = 0; r.IsSuccess() && i < attributes.size(); ++i) {
    r = answer.WriteAttribute(handles[i], attributes[i].M_Name.c_str(),
                              attributes[i].M_Value.c_str());
  }
  return r;
}

// The document at source's cursor (its root element) copied into answer child by child, each
// child's blocks sent before the next is copied.
Result CopyStreaming(XmlParser& answer, XmlParser& source, AnswerStreamer& streamer) {
  const int rootDepth = source.GetDepth();
  Result r = OpenElementLike(answer, source);
  std::vector<char> chunk(65536);
  // The first token after the attributes has been read already.
  for (bool bFirst = true; r.IsSuccess(); bFirst = false) {
    if (!bFirst) r = source.NextToken();
    if (r.IsError()) break;
    const int type = source.GetNodeType();
    if (type == XmlParser::Node_ElementStart) {
      r = answer.CopySubtree(source, 1);
      if (r.IsSuccess()) r = streamer.SendComplete();
    } else if (type == XmlParser::Node_Chars || type == XmlParser::Node_Text) {
      for (;;) {
        int length = 0;
        Result part = source.ReadText(chunk.data(), static_cast<int>(chunk.size()), &length);
        if (part.IsError()) {
          r = part;
          break;
        }
        r = answer.WriteChars(chunk.data(), length);
        if (r.IsError() || part.Category() != util::ErrMoreData) break;
      }
    } else if (type == XmlParser::Node_ElementEnd && source.GetDepth() < rootDepth) {
      return answer.CloseElement();
    }
  }
  return r;
}

}  // namespace

Result ExecuteReadFile(const xel::Configuration& config, xel::Connection* pConn,
                       const XmlParser& request) {
  const std::string directory = config.GetString("In/Directory", "");
  const bool bStreaming = config.GetBool("In/EnableStreaming", false);
  const bool bFollowLinks = config.GetBool("In/FollowLinks", false);
  const int configuredRemove =
      config.GetNamedValue("In/Remove", OutputPath::kOverwriteModes,
                           OutputPath::kOverwriteModeCount, OutputPath::Overwrite_No);
  if (directory.empty()) {
    return Result::Connector(util::ErrBadConfig,
                             "No input directory is specified in the configuration");
  }
  if (pConn == nullptr) {
    return Result::Connector(util::ErrLogicArgs, "ReadFile needs the request's connection");
  }

  std::string path, fileName, extension = ".xml";
  for (auto [name, pValue] : {std::pair{"Path", &path}, std::pair{"FileName", &fileName},
                              std::pair{"Extension", &extension}}) {
    if (request.ExistsPath(name)) request.ReadStringAtPath(name, pValue).ThrowIfError();
  }
  // The read file is left where it is whatever the mode says; the mode is still read so that
  // a request that names one is checked the same way as the configuration's.
  int remove = configuredRemove;
  if (configuredRemove != OutputPath::Overwrite_Never) {
    int requested = 0;
    if (request
            .ReadNamedValueAtPath("Remove", OutputPath::kOverwriteModes,
                                  OutputPath::kOverwriteModeCount, &requested)
            .IsSuccess()) {
      remove = requested;
    }
  }
  (void)remove;

  const std::string fullPath =
      OutputPath::Normalize(OutputPath::Combine(directory, path + fileName + extension));
  auto notWithin = [&] {
    return Result::Connector(util::ErrLogicArgs, "Filename %s is not within input path %s",
                             fullPath.c_str(), directory.c_str());
  };
  if (!OutputPath::IsWithin(fullPath, directory)) return notWithin();
  // What the file system opens for the path must lie in the folder as well: no link on the
  // way may lead out of it (nor, by default, any link at all).
  osal::FileConfinement confinement(
      {directory}, bFollowLinks ? osal::LinkPolicy::kFollowInside : osal::LinkPolicy::kRefuse);
  if (osal::IsOutsideConfinement(osal::CheckConfined(fullPath))) return notWithin();
  XEL_TRACE(kTraceCategory, util::General_OtherXELC, "Read from file %s", fullPath.c_str());

  // Released on every way out; the input file closes at its end or with the connection.
  auto file = util::Ref<xel::ConnectionFile>::Adopt(new xel::ConnectionFile);
  Result opened = file->OpenInput(fullPath);
  // A link that appeared after the check was refused by the open.
  if (opened.IsError() && osal::IsOutsideConfinement(osal::CheckConfined(fullPath))) {
    return notWithin();
  }
  opened.ThrowIfError();
  auto document = XmlParser::Create();
  document->Receive(file.get(), kFileReceiveTimeoutMs).ThrowIfError();
  document->GetMessage()->FetchAll().ThrowIfError();
  // A streamed answer leaves while it is copied, so the whole file is checked first. An answer
  // built whole leaves only after the file has been read to its end: the file is checked while
  // it is copied, and a file that is not well-formed is refused with the same failure.
  if (bStreaming) {
    CheckWellFormed(*document).ThrowIfError();
    document->MoveToPath("/*").ThrowIfError();
  } else {
    MoveToRoot(*document).ThrowIfError();
  }

  XmlParser answer;
  answer.AttachToConnection(pConn, osal::kInfinite, false);
  AnswerStreamer streamer(answer.GetMessage(), pConn);
  answer.BeginMessage(XmlParser::MsgType_Answer, nullptr, nullptr, nullptr, nullptr).ThrowIfError();
  Result r =
      bStreaming ? CopyStreaming(answer, *document, streamer) : answer.CopySubtree(*document, 1);
  if (!bStreaming) {
    if (r.IsSuccess()) {
      // What follows the root element; nothing of the answer has left yet.
      CheckToEnd(*document, 1).ThrowIfError();
    } else {
      // The copy failed on the file or on the answer: a file that is not well-formed is
      // refused as such, before the answer is given up.
      XmlParser fromStart(*document);
      if (fromStart.Rewind().IsSuccess()) CheckWellFormed(fromStart).ThrowIfError();
    }
  }
  document.Reset();
  if (r.IsSuccess()) r = answer.CloseAll();
  if (r.IsSuccess()) {
    // Once the answer is complete its delivery does not change the call's result.
    Result sent = bStreaming ? streamer.SendRest() : answer.Send(pConn, osal::kInfinite);
    sent.LogIfError(util::General_Error, "ReadFile: sending the answer");
  } else {
    (void)Message::TxAbort(pConn, r, kCancelTimeoutMs, streamer.Started());
    // The cancelled answer is this call's answer: no second one is to follow it.
    pConn->SetAnswered(true);
  }
  return r;
}

}  // namespace velmora::xelc
