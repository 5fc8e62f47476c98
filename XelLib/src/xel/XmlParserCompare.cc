// XmlParser: comparison of a document with a template document, token by token.
//
// Each template element may carry the attribute "readcomparemode": "strict" (default; the
// element and its content must match), "wildcard" (the element must be there, its content
// is not looked at) or "optional" (the element may be missing in the document). The
// attribute itself belongs to the template and is not compared.
//
// Character, text and binary content count as one kind of node and are compared as text
// (binary as base64), so that a template written as XML text can be held against a message
// in the binary token stream.
#include <cstring>
#include <string>

#include "XmlParserState.h"
#include "xel/XmlParser.h"

namespace velmora::xel {

using util::Result;

namespace {

constexpr const char* kModeAttribute = "readcomparemode";
constexpr int kChunk = 4096;

enum CompareMode { Mode_Strict = 0, Mode_Wildcard = 1, Mode_Optional = 2 };

bool IsContent(int type) {
  return type == XmlParser::Node_Chars || type == XmlParser::Node_Text ||
         type == XmlParser::Node_Binary;
}

// Node type for comparison: all content kinds are one.
int Kind(int type) { return IsContent(type) ? static_cast<int>(XmlParser::Node_Chars) : type; }

// "/a/b[2]/@c": where the cursor stands, for the failure texts.
std::string CursorPath(const XmlParser& p) {
  const XmlParserState& s = p.State();
  std::string path;
  for (int d = 1; d <= s.M_Depth && d < static_cast<int>(s.M_Levels.size()); ++d) {
    const XmlLevel& l = s.M_Levels[d];
    path += '/';
    if (l.M_Type == XmlParser::Node_Attribute) path += '@';
    path += l.M_Name;
    if (l.M_Type != XmlParser::Node_Attribute && l.M_Index > 1) {
      path += '[' + std::to_string(l.M_Index) + ']';
    }
  }
  return path.empty() ? "/" : path;
}

bool IsModeAttribute(const XmlParser& p) {
  return p.GetNodeType() == XmlParser::Node_Attribute && p.GetLocalName() == kModeAttribute &&
         p.GetNamespace().empty();
}

// Next token of the template, passing over its readcomparemode attributes. *pEnd at the end
// of the template.
Result NextTemplateToken(XmlParser& t, bool* pEnd) {
  *pEnd = false;
  for (;;) {
    Result r = t.NextToken();
    if (r.Category() == util::ErrEndOfObject) {
      *pEnd = true;
      return Result();
    }
    if (r.IsError()) return r;
    if (!IsModeAttribute(t)) return r;
    r = t.SkipElement();  // ends on the attribute's end token
    if (r.IsError()) return r;
  }
}

// Next token of the document; *pEnd at its end.
Result NextDocToken(XmlParser& d, bool* pEnd) {
  *pEnd = false;
  Result r = d.NextToken();
  if (r.Category() == util::ErrEndOfObject) {
    *pEnd = true;
    return Result();
  }
  return r;
}

// The mode of the template element at the cursor, from its attributes (on a copy).
Result ReadMode(const XmlParser& t, int* pMode) {
  *pMode = Mode_Strict;
  XmlParser copy(t);
  const int depth = copy.GetDepth();
  for (;;) {
    Result r = copy.NextToken();
    if (r.Category() == util::ErrEndOfObject) return Result();
    if (r.IsError()) return r;
    if (copy.GetNodeType() != XmlParser::Node_Attribute || copy.GetDepth() != depth + 1) {
      return Result();
    }
    if (IsModeAttribute(copy)) {
      std::string value;
      r = copy.ReadString(&value, 64);
      if (r.IsError()) return r;
      if (value == "wildcard") {
        *pMode = Mode_Wildcard;
      } else if (value == "optional") {
        *pMode = Mode_Optional;
      } else {
        *pMode = Mode_Strict;
      }
      return Result();
    }
    r = copy.SkipElement();
    if (r.IsError()) return r;
  }
}

// Compares the content at both cursors in chunks of kChunk bytes.
Result CompareContent(XmlParser& doc, XmlParser& templ) {
  char ref[kChunk + 1];
  char cmp[kChunk + 1];
  bool refDone = false, cmpDone = false;
  while (!refDone || !cmpDone) {
    int refLen = 0, cmpLen = 0;
    if (!refDone) {
      Result r = templ.ReadText(ref, sizeof ref, &refLen);
      if (r.IsError()) return r;
      refDone = r.Category() != util::ErrMoreData;
    }
    if (!cmpDone) {
      Result r = doc.ReadText(cmp, sizeof cmp, &cmpLen);
      if (r.IsError()) return r;
      cmpDone = r.Category() != util::ErrMoreData;
    }
    const char* what = nullptr;
    if (refLen != cmpLen) {
      what = "length";
    } else if (std::memcmp(ref, cmp, static_cast<size_t>(refLen)) != 0) {
      what = "content";
    }
    if (what) {
      return xmlp::Err(util::ErrObjNotExist, "text %s different at \"%s\" (ref=%.*s, cmp=%.*s)",
                       what, CursorPath(doc).c_str(), refLen, ref, cmpLen, cmp);
    }
  }
  return Result();
}

}  // namespace

Result XmlParser::CompareWithTemplate(XmlParser& templ) {
  XmlParser& doc = *this;
  bool docEnd = false, templEnd = false;
  bool docPending = false;  // the document's current token has not been matched yet
  for (;;) {
    Result r = NextTemplateToken(templ, &templEnd);
    if (r.IsError()) return r;
    if (!docPending) {
      r = NextDocToken(doc, &docEnd);
      if (r.IsError()) return r;
    }
    docPending = false;
    if (templEnd) {
      if (!docEnd) {
        return xmlp::Err(util::ErrObjNotExist, "unexpected input data at \"%s\"",
                         CursorPath(doc).c_str());
      }
      return Result();
    }
    const int tType = templ.GetNodeType();
    const int dType = docEnd ? static_cast<int>(Node_None) : doc.GetNodeType();

    int mode = Mode_Strict;
    if (tType == Node_ElementStart) {
      r = ReadMode(templ, &mode);
      if (r.IsError()) return r;
      if (mode == Mode_Optional &&
          (dType != Node_ElementStart || doc.GetLocalName() != templ.GetLocalName() ||
           doc.GetNamespace() != templ.GetNamespace())) {
        // Missing in the document: pass over the template element, keep the document token.
        r = templ.SkipElement();
        if (r.IsError()) return r;
        docPending = true;
        continue;
      }
    }
    if (Kind(tType) != Kind(dType)) {
      return xmlp::Err(util::ErrObjNotExist,
                       "node types different expected %i is %i at \"%s\" template \"%s\"", tType,
                       dType, CursorPath(doc).c_str(), CursorPath(templ).c_str());
    }
    if (tType == Node_ElementStart || tType == Node_Attribute) {
      if (doc.GetNamespace() != templ.GetNamespace()) {
        return xmlp::Err(util::ErrObjNotExist,
                         "namespace different expected %s is %s at \"%s\" template \"%s\"",
                         templ.GetNamespace().c_str(), doc.GetNamespace().c_str(),
                         CursorPath(doc).c_str(), CursorPath(templ).c_str());
      }
      if (doc.GetLocalName() != templ.GetLocalName()) {
        return xmlp::Err(util::ErrObjNotExist, "local name different at \"%s\" template \"%s\"",
                         CursorPath(doc).c_str(), CursorPath(templ).c_str());
      }
      if (mode == Mode_Wildcard) {
        r = templ.SkipElement();
        if (r.IsSuccess()) r = doc.SkipElement();
        if (r.IsError()) return r;
      }
    } else if (IsContent(tType)) {
      r = CompareContent(doc, templ);
      if (r.IsError()) return r;
    }
  }
}

}  // namespace velmora::xel
