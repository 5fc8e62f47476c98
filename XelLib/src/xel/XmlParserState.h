// Private state of XmlParser: cursor, namespace tables, input window and writer stack.
// Shared by the XmlParser*.cc units only.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/Result.h"
#include "xel/Connection.h"
#include "xel/Message.h"
#include "xel/XmlParser.h"

namespace velmora::xel {

namespace xmlp {
// The decryption setting new documents start with (XmlParser::SetDecryptionDefault).
bool DecryptionDefault();
}  // namespace xmlp

// One level of the cursor: the element or attribute open at that depth.
struct XmlLevel {
  int M_Type = 0;  // Node_ElementStart or Node_Attribute
  std::string M_Name;
  std::string M_Prefix;
  std::string M_Ns;
  int M_Index = 1;
  int M_NsDeclCount = 0;  // reader namespace declarations made at this level
  // Children seen so far by local name, for the same-name sibling index.
  std::vector<std::pair<std::string, int>> M_Children;

  // Takes the level up anew (its strings keep their storage).
  void Start(int type, std::string_view prefix, std::string_view name, int index) {
    M_Type = type;
    M_Prefix.assign(prefix);
    M_Name.assign(name);
    M_Ns.clear();
    M_Index = index;
    M_NsDeclCount = 0;
    M_Children.clear();
  }

  int NextIndexFor(std::string_view name) {
    for (auto it = M_Children.rbegin(); it != M_Children.rend(); ++it) {
      if (it->first == name) return ++it->second;
    }
    // Room for a few names at once: a level's vector would otherwise grow three times over
    // its first children.
    if (M_Children.capacity() == 0) M_Children.reserve(8);
    M_Children.emplace_back(name, 1);
    return 1;
  }
};

struct XmlNsBinding {
  std::string M_Prefix;
  std::string M_Uri;
};

// A token queued by the XML text reader (a start tag yields the element, its attributes
// and, for an empty element, its end at once).
struct XmlPendingToken {
  int M_Type = 0;
  std::string M_Prefix;
  std::string M_Name;
  std::string M_Ns;
  std::string M_Value;
};

// An attribute of the start tag being parsed: its qualified name and its raw value, both in
// the read window.
struct XmlTagAttribute {
  std::string_view q;
  std::string_view raw;
};

// An element open in the writer.
struct XmlOpenElement {
  std::string M_Prefix;
  std::string M_Name;
  std::string M_Uri;
  int M_NsScope = 0;  // writer namespace bindings in scope before this element
  bool M_bHasContent = false;
  int64_t M_StartPos = 0;    // message position of the start token
  int64_t M_ContentPos = 0;  // message position after the start token and attributes
  size_t M_DictSize = 0;     // format 4 names defined before the element
};

// Decrypted content read in the place of its EncryptedData element: its tokens in a compact
// form, made once and then shared, unchanged, by the copies of a document.
struct XmlDecrypted {
  struct Name {
    std::string M_Prefix;
    std::string M_Name;
    std::string M_Ns;
  };
  std::vector<Name> M_Names;
  // Each token is its type byte; element starts and attributes follow it with a name index,
  // character content with its length (both unsigned LEB128) and its bytes.
  std::string M_Tokens;
};

struct XmlParserState {
  util::Ref<Message> M_pMsg;
  int M_Format = XmlParser::Format_None;
  int M_Indent = 0;
  uint32_t M_RxTimeout = XmlParser::kDefaultTimeout;
  uint32_t M_TxTimeout = XmlParser::kDefaultTimeout;
  bool M_bFileFlag = false;
  bool M_bReleaseRead = false;
  bool M_bLatin1Converted = false;
  util::Ref<Connection> M_pConn;
  bool M_bDecrypt = xmlp::DecryptionDefault();
  std::string M_DecryptKey;  // the caller's key; empty: the process's sources

  // --- reader ---
  bool M_bStarted = false;  // the document header has been read
  int M_NodeType = XmlParser::Node_None;
  int M_Depth = 0;
  std::vector<XmlLevel> M_Levels{1};   // [0] is the document level
  std::vector<XmlNsBinding> M_ReadNs;  // in-scope declarations, innermost last
  // XML text: tokens of the last start tag, M_Pending[M_PendingPos, M_PendingCount) still to
  // come. Entries beyond the count are kept for their strings' storage.
  std::vector<XmlPendingToken> M_Pending;
  size_t M_PendingPos = 0;
  size_t M_PendingCount = 0;
  std::vector<XmlTagAttribute> M_TagAttrs;  // the start tag being parsed (its storage kept)
  std::vector<std::pair<std::string, std::string>> M_Dict;  // format 4 names (prefix, name)
  int64_t M_TokenPos = -1;  // position of the current token (for deleting it)
  bool M_bAtEnd = false;
  // Decrypted content being read, and the position of its next token.
  std::shared_ptr<const XmlDecrypted> M_pDecrypted;
  size_t M_DecryptedPos = 0;
  bool M_bDecryptFailed = false;  // the last NextToken failed on an EncryptedData element
  bool M_bFragment = false;  // XML text: text outside any element is content (decrypted content)

  // Content of the current character or binary token.
  enum ContentKind { Content_None, Content_Bytes, Content_String, Content_XmlText };
  ContentKind M_ContentKind = Content_None;
  int64_t M_ContentLeft = 0;  // Content_Bytes: bytes not yet read
  std::string M_ContentStr;   // Content_String
  size_t M_ContentStrPos = 0;
  bool M_bInCData = false;        // Content_XmlText: inside a CDATA section
  bool M_bContentBinary = false;  // the current token is binary (211)
  // Base64 decoding carry: decoded bytes not yet handed out, and undecoded characters.
  uint8_t M_DecCarry[8] = {};
  int M_DecCarryLen = 0;
  char M_EncCarry[4] = {};
  int M_EncCarryLen = 0;
  // Base64 encoding of binary tokens read as text: raw bytes not yet encoded.
  uint8_t M_RawCarry[3] = {};
  int M_RawCarryLen = 0;
  std::string M_TextOut;  // encoded characters not yet handed out

  // Input window over the message. Copies of a document start with an empty window at
  // the same position rather than copying the buffered bytes; its bytes are not
  // initialised before the message's bytes are read into them.
  struct WindowBuffer {
    std::unique_ptr<char[]> p;
    size_t size = 0;
    WindowBuffer() = default;
    WindowBuffer(const WindowBuffer&) {}
    WindowBuffer& operator=(const WindowBuffer&) { return *this; }
    // Grows to at least n bytes, keeping the first used ones.
    void Grow(size_t n, size_t used) {
      if (size >= n) return;
      std::unique_ptr<char[]> bigger(new char[n]);
      if (used > 0) std::memcpy(bigger.get(), p.get(), used);
      p = std::move(bigger);
      size = n;
    }
  };
  WindowBuffer M_Buf;
  int M_FillCount = 0;
  // The last content went straight into the caller's buffer: the next fill reads only what
  // it needs (a token header), so that the content after it can go straight too.
  bool M_bShortFill = false;
  int64_t M_BufPos = 0;  // message position of M_Buf[0]
  size_t M_Rd = 0;
  size_t M_End = 0;
  bool M_bEof = false;
  Message::Cursor M_MsgCursor;

  // --- writer ---
  bool M_bWriting = false;
  std::vector<XmlNsBinding> M_NsTable{1};  // handles index this table; [0] unused
  std::vector<int> M_PendingNs;            // handles declared for the next element
  std::vector<XmlNsBinding> M_WriteScope;  // bindings written and in scope
  std::vector<XmlOpenElement> M_Open;
  bool M_bTagOpen = false;     // XML text: the start tag still lacks its ">"
  bool M_bLastText = false;    // XML text: the last output was character content
  bool M_bBinaryOpen = false;  // XML text: base64 output in progress (carry below)
  uint8_t M_WrCarry[3] = {};
  int M_WrCarryLen = 0;
  int64_t M_PrevNodePos = -1;  // start of the last element written
  int M_PrevNodeDepth = 0;
  int64_t M_PrevNodeContent = -1;  // once closed: its content start, end token, and end
  int64_t M_PrevNodeEndTok = -1;
  int64_t M_PrevNodeEnd = -1;
  std::vector<std::pair<std::string, std::string>> M_WrDict;  // format 4 names written
  std::string M_CopyValue;  // an attribute's value on its way through CopySubtree

  // Window helpers (XmlParser.cc).
  int64_t Pos() const { return M_BufPos + static_cast<int64_t>(M_Rd); }
  void SeekWindow(int64_t pos) {
    M_BufPos = pos;
    M_FillCount = 0;
    M_bShortFill = false;
    M_Rd = M_End = 0;
    M_bEof = false;
  }
};

}  // namespace velmora::xel

namespace velmora::xel::xmlp {

// Results of the document layer (object "XMLParser").
util::Result Err(uint32_t category, const char* fmt, ...) XEL_PRINTF(2, 3);
util::Result MoreData();
util::Result EndOfDocument();

// The longest EncryptionMethod Algorithm text that is looked at.
inline constexpr int kMaxAlgorithmText = 63;
// The method an Algorithm text names: 0, 1 or 2 for the platform's "<namespace>0" to
// "<namespace>2", 99 for anything else.
int MethodFromAlgorithm(const char* text);

}  // namespace velmora::xel::xmlp
