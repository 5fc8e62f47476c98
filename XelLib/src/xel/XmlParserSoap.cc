// XmlParser: the SOAP envelope conventions, CommResult records and message transfer.
#include <cstring>

#include "XmlParserState.h"
#include "util/CommResult.h"
#include "xel/Connection.h"
#include "xel/XmlParser.h"

namespace velmora::xel {

using util::Result;
using S = XmlParserState;
using xmlp::Err;

Result XmlParser::ReadHeader(int* pType, std::string* pTarget, util::Ref<XmlParser>* pCredentials,
                             std::string* pFunction, std::string* pFunctionNs) {
  S& s = State();
  if (pType) *pType = MsgType_None;
  if (pTarget) pTarget->clear();
  if (pCredentials) pCredentials->Reset();
  if (pFunction) pFunction->clear();
  if (pFunctionNs) pFunctionNs->clear();
  Result r = Rewind();
  if (r.IsError()) return r;
  do {
    r = NextToken();
  } while (r.IsSuccess() && s.M_NodeType != Node_ElementStart);
  if (r.IsError() || GetLocalName() != "Envelope" || GetNamespace() != kNsSoapEnvelope) {
    std::string name = r.IsError() ? std::string() : GetLocalName();
    std::string ns = r.IsError() ? std::string() : GetNamespace();
    return Result::Make(util::ErrSoapFormat, util::ModIntellNetwork, util::ObjXmlParser,
                        util::SevError, "invalid SOAP Envelope (%s != Envelope) or (%s != %s)",
                        name.c_str(), ns.c_str(), kNsSoapEnvelope);
  }
  const int envDepth = s.M_Depth;
  for (;;) {
    r = NextToken();
    if (r.IsError() || s.M_Depth < envDepth) break;
    if (s.M_NodeType == Node_Attribute) {
      r = SkipElement();
      if (r.IsError()) return r;
      continue;
    }
    if (s.M_NodeType != Node_ElementStart || s.M_Depth != envDepth + 1) continue;
    const std::string name = GetLocalName();
    if (name == "Header") {
      const int hDepth = s.M_Depth;
      for (;;) {
        r = NextToken();
        if (r.IsError()) return r;
        if (s.M_Depth < hDepth) break;
        if (s.M_NodeType != Node_ElementStart || s.M_Depth != hDepth + 1) continue;
        const std::string child = GetLocalName();
        if (child == "type" && pType) {
          int32_t v = MsgType_None;
          r = ReadInt(&v);
          if (r.IsError()) return r;
          *pType = v;
        } else if (child == "target" && pTarget) {
          r = ReadString(pTarget);
          if (r.IsError()) return r;
        } else if ((child == "credentials" || child == "basic-credentials") && pCredentials) {
          util::Ref<XmlParser> doc = Create();
          r = doc->CopySubtree(*this, 1);
          if (r.IsSuccess()) r = doc->CloseAll();
          if (r.IsSuccess()) r = doc->Rewind();
          if (r.IsError()) return r;
          *pCredentials = doc;
        } else {
          r = SkipElement();
          if (r.IsError()) return r;
          if (s.M_Depth < hDepth) break;
        }
      }
      continue;
    }
    if (name == "Body") {
      const int bDepth = s.M_Depth;
      for (;;) {
        r = NextToken();
        if (r.IsError() || s.M_Depth < bDepth) {
          return Result::Make(util::ErrSoapFormat, util::ModIntellNetwork, util::ObjXmlParser,
                              util::SevError, "empty SOAP Body");
        }
        if (s.M_NodeType == Node_Attribute) {
          r = SkipElement();
          if (r.IsError()) return r;
          continue;
        }
        if (s.M_NodeType == Node_ElementStart) {
          if (pFunction) *pFunction = GetLocalName();
          if (pFunctionNs) *pFunctionNs = GetNamespace();
          return Result();
        }
      }
    }
    r = SkipElement();
    if (r.IsError()) return r;
  }
  return Result::Make(util::ErrSoapFormat, util::ModIntellNetwork, util::ObjXmlParser,
                      util::SevError, "no SOAP Body");
}

Result XmlParser::ReadBasicCredentials(char* user, int userSize, char* password,
                                       int passwordSize) const {
  Result worst;
  Result r = ReadTextAtPath("/basic-credentials/userid", user, userSize);
  if (r.IsError() && user && userSize > 0) user[0] = 0;
  worst.KeepWorse(r);
  r = ReadTextAtPath("/basic-credentials/password", password, passwordSize);
  if (r.IsError() && password && passwordSize > 0) password[0] = 0;
  worst.KeepWorse(r);
  return worst;
}

Result XmlParser::ReadFault(Result* pFault, bool* pIsFault) {
  if (pIsFault) *pIsFault = false;
  *pFault = Result();
  if (GetNodeType() != Node_ElementStart || GetLocalName() != "Fault" ||
      GetNamespace() != kNsSoapEnvelope) {
    return Result();
  }
  if (pIsFault) *pIsFault = true;
  int32_t code = 0;
  Result r = ReadIntAtPath("detail/result/code", &code);
  if (r.IsError()) {
    *pFault = Result::Fail(util::ErrObjNotExist);
    return Result();
  }
  char text[512];
  int len = 0;
  (void)ReadTextAtPath("faultstring", text, sizeof(text), &len);
  Result fault{static_cast<util::ResultCode>(code)};
  if (len > 0) fault.SetText("%s", text);
  *pFault = fault;
  return Result();
}

Result XmlParser::CheckAnswer(const char* function, const char* ns, bool* pProgress) {
  if (pProgress) *pProgress = false;
  int type = MsgType_None;
  std::string fun, funNs;
  Result r = ReadHeader(&type, nullptr, nullptr, &fun, &funNs);
  if (r.IsError()) return r;
  if (type == MsgType_Notice && fun == "CallProgress" && funNs == kNsXelMessage) {
    if (pProgress) *pProgress = true;
    return Result();
  }
  if (type == MsgType_Answer || type == MsgType_None) {
    Result fault;
    bool isFault = false;
    r = ReadFault(&fault, &isFault);
    if (r.IsError()) return r;
    if (isFault) return fault;
    if (function && *function && fun != function) {
      return Result::Make(util::ErrObjNotExist, util::ModIntellNetwork, util::ObjXmlParser,
                          util::SevError, "invalid RPC Response object %s (expected %s)",
                          fun.c_str(), function);
    }
    if (ns && *ns && funNs != ns) {
      return Result::Make(util::ErrObjNotExist, util::ModIntellNetwork, util::ObjXmlParser,
                          util::SevError, "invalid RPC Response Namespace %s (expected %s)",
                          funNs.c_str(), ns);
    }
    return Result();
  }
  return Result::Make(util::ErrSoapFormat, util::ModIntellNetwork, util::ObjXmlParser,
                      util::SevError, "invalid RPC Message type %i (expected %i; fun=%s) ", type,
                      static_cast<int>(MsgType_Answer), fun.c_str());
}

Result XmlParser::BeginMessage(int type, const char* target, XmlParser* credentials,
                               const char* bodyElement, const char* bodyNs) {
  const int hs = DeclareNamespace("s", kNsSoapEnvelope);
  Result r = OpenElement(hs, "Envelope");
  if (r.IsError()) return r;
  const bool hasTarget = target && *target;
  int ht = 0;
  if (type != MsgType_None || hasTarget) ht = DeclareNamespace("t", kNsXelMessage);
  r = OpenElement(hs, "Header");
  if (r.IsSuccess() && type != MsgType_None) r = WriteElementInt(ht, "type", type);
  if (r.IsSuccess() && hasTarget) r = WriteElement(ht, "target", target);
  if (r.IsSuccess() && credentials) {
    XmlParser source(*credentials);
    r = source.Rewind();
    do {
      if (r.IsSuccess()) r = source.NextToken();
    } while (r.IsSuccess() && source.GetNodeType() != Node_ElementStart);
    if (r.IsSuccess()) r = CopySubtree(source, 1);
  }
  if (r.IsSuccess()) r = CloseElement();
  if (r.IsSuccess()) r = OpenElement(hs, "Body");
  if (r.IsError()) return r;
  int hc = 0;
  if (bodyNs && *bodyNs) hc = DeclareNamespace("c", bodyNs);
  if (bodyElement && *bodyElement) r = OpenElement(hc, bodyElement);
  return r;
}

Result XmlParser::WriteAnswer(const Result& result) {
  Result r = BeginMessage(MsgType_Answer, nullptr, nullptr, nullptr, nullptr);
  if (r.IsError()) return r;
  if (result.IsSuccess()) {
    const int hc = DeclareNamespace("c", kNsXelMessage);
    r = WriteEmptyElement(hc, "ok");
  } else {
    const int hs = DeclareNamespace("s", kNsSoapEnvelope);
    const std::string text = result.ErrorText();
    r = OpenElement(hs, "Fault");
    if (r.IsSuccess()) {
      r = WriteElement(0, "faultcode",
                       result.Category() < util::ErrLogic ? "s:Server" : "s:Client");
    }
    if (r.IsSuccess()) r = WriteElement(0, "faultstring", text.c_str());
    if (r.IsSuccess()) r = OpenElement(0, "detail");
    if (r.IsSuccess()) {
      const int ht = DeclareNamespace("t", kNsXelMessage);
      r = OpenElement(ht, "result");
      if (r.IsSuccess()) r = WriteElementInt(ht, "code", static_cast<int32_t>(result.Code()));
      if (r.IsSuccess()) r = WriteElement(ht, "info", text.c_str());
    }
    for (int i = 0; i < 3 && r.IsSuccess(); ++i) r = CloseElement();
  }
  if (r.IsSuccess()) r = CloseAll();
  return r;
}

Result XmlParser::WriteCommResult(const util::CommResult& value, int ns, const char* element) {
  Result worst = OpenElement(ns, element);
  if (worst.IsError()) return worst;
  worst.KeepWorse(
      WriteElement(-1, "ErrorCategory", util::CommResult::CategoryLongName(value.ErrorCategory())));
  if (value.ConnectionLevel() != 0) {
    worst.KeepWorse(WriteElementInt(-1, "ConnectionLevel", value.ConnectionLevel()));
  }
  if (value.ErrorCode()[0]) worst.KeepWorse(WriteElement(-1, "ErrorCode", value.ErrorCode()));
  if (!value.Diagnostics().empty()) {
    worst.KeepWorse(WriteElement(-1, "Diagnostics", value.Diagnostics().c_str()));
  }
  worst.KeepWorse(CloseElement());
  return worst;
}

Result XmlParser::ReadCommResult(const char* path, util::CommResult* value) const {
  XmlParser at(*this);
  Result r = at.MoveToPath(path);
  if (r.IsError()) return r;
  *value = util::CommResult();
  std::string text;
  if (at.ReadStringAtPath("ErrorCategory", &text, 64).IsSuccess()) {
    int32_t cat = util::CommUnknown;
    if (!util::CommResult::CategoryFromLongName(text, &cat)) cat = util::CommUnknown;
    value->SetErrorCategory(cat);
  }
  int32_t level = 0;
  if (at.ReadIntAtPath("ConnectionLevel", &level).IsSuccess()) value->SetConnectionLevel(level);
  if (at.ReadStringAtPath("ErrorCode", &text, 64).IsSuccess()) value->SetErrorCode(text);
  if (at.ReadStringAtPath("Diagnostics", &text).IsSuccess()) value->SetDiagnostics(text);
  return Result();
}

Result XmlParser::Receive(Connection* conn, uint32_t timeoutMs, int64_t fetchSize) {
  S& s = State();
  if (!conn) return Err(util::ErrLogicArgs, "Receive: no connection");
  util::Ref<Message> msg = util::Ref<Message>::Adopt(new Message);
  msg->SetRxTimeout(s.M_RxTimeout);
  Result r = msg->RxNextMessage(conn, timeoutMs, fetchSize);
  SetMessage(msg);
  return r;
}

Result XmlParser::Send(Connection* conn, uint32_t timeoutMs) {
  S& s = State();
  if (!conn) conn = s.M_pConn.get();
  if (!conn) return Err(util::ErrLogicArgs, "Send: no connection to send the document on");
  Result r = CloseAll();
  if (r.IsError()) return r;
  return s.M_pMsg->TxAllToConnection(conn, timeoutMs);
}

}  // namespace velmora::xel
