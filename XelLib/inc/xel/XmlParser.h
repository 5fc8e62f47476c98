// XmlParser: reads and writes a message document (XML as a token stream over a Message):
// a forward cursor with path look-ups, token writing, and the SOAP envelope conventions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/CommResult.h"
#include "util/Result.h"
#include "util/SharedObject.h"
#include "xel/Message.h"

namespace velmora::xel {

class Connection;

// Namespace URIs. The platform's own live below kPlatformUriHost.
#define XEL_PLATFORM_URI_HOST "http://velmora.net"
inline constexpr const char* kNsXml = "http://www.w3.org/XML/1998/namespace";
inline constexpr const char* kNsSoapEnvelope = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char* kNsXelMessage = XEL_PLATFORM_URI_HOST "/XMLSchema/2004/xel";
inline constexpr const char* kNsXelMaster = XEL_PLATFORM_URI_HOST "/2005/master";
inline constexpr const char* kNsXmlEnc = "http://www.w3.org/2001/04/xmlenc#";
inline constexpr const char* kNsXelEncryption = XEL_PLATFORM_URI_HOST "/2011/xmlenc#";
inline constexpr const char* kNsXInclude = "http://www.w3.org/2001/XInclude";

// One name/number pair of a table-driven value read (ReadNamedValueAtPath).
struct XmlNamedValue {
  const char* name;
  int value;
};

struct XmlParserState;       // cursor, namespace tables, reader and writer state (private)
struct XmlDecryptedBuilder;  // decrypted content while it is being read (private)

// A message document. One XmlParser (and its cursor) belongs to one thread; copies made by
// the copy constructor or Clone() read the same message with a cursor of their own and may
// be used on other threads while nobody writes the message.
//
// Data formats: 1 the platform's binary token stream (default), 4 the compact token stream,
// 8 XML text in UTF-8, 9 XML text in ISO-8859-1 (reading only; detected from the XML
// declaration and converted to UTF-8).
//
// The compact token stream (format 4) starts with 0x02 0x04 0x00. Each token is its type
// byte; lengths are unsigned LEB128 varints. Element starts (100), attribute starts (101) and
// namespace declarations (224) carry a name id (varint): an id equal to the number of names
// defined so far defines the next name and is followed by the prefix and the local name
// (namespace text for 224), each as varint length plus bytes; a smaller id repeats a name
// defined before. Ends (164, 165) carry nothing; character (209) and binary (211) content
// carry a varint length and the bytes.
//
// Every operation returns a Result; reads of missing nodes give ErrObjNotExist. Content
// reads fill at most the caller's buffer: when content remains, the result is a warning of
// category ErrMoreData (object "XMLParser") and the next read continues.
class XmlParser : public util::SharedObject {
 public:
  // Token (node) types.
  enum NodeType : int {
    Node_None = 0,
    Node_ElementStart = 100,
    Node_Attribute = 101,
    Node_ElementEnd = 164,
    Node_AttributeEnd = 165,
    Node_Text = 208,
    Node_Chars = 209,
    Node_Binary = 211,
    Node_NamespaceDecl = 224,
  };
  enum DataFormat : int {
    Format_None = 0,
    Format_Binary = 1,
    Format_Compact = 4,
    Format_XmlUtf8 = 8,
    Format_XmlLatin1 = 9,
  };
  // Message types of the envelope header.
  enum MessageType : int {
    MsgType_None = -1,
    MsgType_Notice = 0,
    MsgType_Request = 1,
    MsgType_Answer = 2,
  };
  static constexpr uint32_t kDefaultTimeout = 100000;

  // A document on a new, empty message.
  XmlParser();
  // A document over an existing message (for example a received one); reading starts at 0.
  explicit XmlParser(util::Ref<Message> message);
  // A second cursor over the same message, at the same place as other.
  XmlParser(const XmlParser& other);
  XmlParser& operator=(const XmlParser&) = delete;
  ~XmlParser() override;
  const char* ClassName() const override { return "XmlParser"; }

  // A new counted document (empty, or a copy of this one's cursor).
  static util::Ref<XmlParser> Create();
  util::Ref<XmlParser> Clone() const;

  // --- Document, message and settings ---------------------------------------------------
  Message* GetMessage() const;
  const util::Ref<Message>& MessageRef() const;
  // Replaces the message (reading starts at its beginning).
  void SetMessage(util::Ref<Message> message);
  // Empties the document and the cursor (the data format returns to 0). The document gets a
  // new, empty message; copies keep reading the old one.
  void Reset();
  int GetDataFormat() const;
  // Accepts 1, 4 and 8 ("Set XmlDataFormat %i not supported", ErrLogicArgs); ErrLogicState
  // once tokens are in the document.
  util::Result SetDataFormat(int format);
  // Indentation for XML text output, 0 to 5 blanks per level (ErrLogicArgs otherwise).
  util::Result SetIndentation(int width);
  int GetIndentation() const;
  void SetRxTimeout(uint32_t ms);
  void SetTxTimeout(uint32_t ms);
  uint32_t GetRxTimeout() const;
  uint32_t GetTxTimeout() const;
  // Set by the file functions when the document is attached to a file connection.
  void SetFileFlag(bool on);
  bool GetFileFlag() const;
  // When on, blocks the reader has passed are released from the message (large streamed
  // input); rewinding is then no longer possible.
  void SetReleaseReadData(bool on);

  // --- Cursor ---------------------------------------------------------------------------
  // Moves to the next token. ErrEndOfObject at the end of the document.
  util::Result NextToken();
  // Type of the token at the cursor (NodeType), Node_None before the first.
  int GetNodeType() const;
  // Depth of the cursor: 0 before the root; an element start or attribute is at its own
  // depth; after an end token the depth is the parent's.
  int GetDepth() const;
  // Local name and namespace text of the element or attribute at the current depth.
  const std::string& GetLocalName() const;
  const std::string& GetNamespace() const;
  // The prefix the current element or attribute was written with.
  const std::string& GetPrefix() const;
  // 1-based index of the current node among its siblings of the same name.
  int GetIndex() const;
  // Message position of the next unread byte.
  int64_t GetPosition() const;
  // Moves past the end of the current element (or attribute) with all its content.
  util::Result SkipElement();
  // Back to the start of the document.
  util::Result Rewind();
  // Moves forward to the first node matching path: steps separated by "/", a leading "/"
  // for an absolute path, "@name" for an attribute, "*" for any name, and an optional index
  // condition on element steps ("b[2]", "Item[>=2]", "x[<3]") compared with the node's
  // index among its same-named siblings. startDepth < 0: a relative path is matched below
  // the current depth, an absolute one after rewinding. ErrObjNotExist with the text
  // "Failed to move to Xpath {...} ..." when nothing matches.
  util::Result MoveToPath(const char* path, int startDepth = -1);
  // Several relative paths of plain element names ("a/b/c": no attribute, "*" or index) in
  // one walk below the current element, this cursor unmoved: (*found)[i] becomes a copy at
  // the node MoveToPath(paths[i]) would reach, or stays empty when there is none. An error
  // means the walk could not be completed: nodes not found by then may still exist (and a
  // path of another form is never looked for), so MoveToPath answers for them.
  util::Result FindPaths(const char* const* paths, int count,
                         std::vector<util::Ref<XmlParser>>* found) const;

  // --- Reads at a path (on a copy: this cursor does not move) ---------------------------
  // Text of the element or attribute at path, at most size - 1 bytes, NUL-terminated;
  // *pLen (may be null) gets the length (0 when the node is missing).
  util::Result ReadTextAtPath(const char* path, char* buffer, int size, int* pLen = nullptr) const;
  // Text into a string, at most limit bytes.
  util::Result ReadStringAtPath(const char* path, std::string* out, int limit = 0x7fffffff) const;
  util::Result ReadIntAtPath(const char* path, int32_t* value) const;
  util::Result ReadInt64AtPath(const char* path, int64_t* value) const;
  // "false"/"0"/"" -> false, "true"/"1" -> true; other text fails (ErrLogicArgs).
  util::Result ReadBoolAtPath(const char* path, bool* value) const;
  // The number that table (count pairs) gives for the text; ErrLogicArgs when not listed.
  // The number that table (count pairs) gives for text; ErrLogicArgs when it is not listed.
  static util::Result LookupNamedValue(const std::string& text, const XmlNamedValue* table,
                                       int count, int* value);
  // The texts a boolean read accepts, with their values.
  static const XmlNamedValue kBoolValues[];
  static constexpr int kBoolValueCount = 5;
  util::Result ReadNamedValueAtPath(const char* path, const XmlNamedValue* table, int count,
                                    int* value) const;
  // True when path matches a node.
  bool ExistsPath(const char* path) const;

  // --- Reads of the current node's content (these move the cursor) ---------------------
  // Text content of the element or attribute at the cursor, in parts (ErrMoreData);
  // never splits a UTF-8 character. NUL-terminated; size >= 5 for progress.
  util::Result ReadText(char* buffer, int size, int* pLen);
  // The whole text content (at most limit bytes).
  util::Result ReadString(std::string* out, int limit = 0x7fffffff);
  util::Result ReadInt(int32_t* value);
  util::Result ReadInt64(int64_t* value);
  util::Result ReadBool(bool* value);
  // Binary content (base64 in XML text), in parts (ErrMoreData).
  util::Result ReadBinary(void* buffer, int size, int* pLen);
  // Exactly size bytes: ErrNotAvailable "read %i binary bytes instead of %i" when fewer.
  util::Result ReadBinaryExact(void* buffer, int size);

  // --- Envelope reading -----------------------------------------------------------------
  // Reads the envelope header from the start of the document; each out pointer may be
  // null. *pType -1 when absent; *pCredentials a new document whose root is the header's
  // credentials element (empty reference when absent). Leaves the cursor on the function
  // element (the first child of Body).
  util::Result ReadHeader(int* pType, std::string* pTarget, util::Ref<XmlParser>* pCredentials,
                          std::string* pFunction, std::string* pFunctionNs);
  // "/basic-credentials/userid" and "/basic-credentials/password" into caller buffers.
  util::Result ReadBasicCredentials(char* user, int userSize, char* password,
                                    int passwordSize) const;
  // When the cursor is on a SOAP Fault element, *pFault receives the result it carries and
  // *pIsFault is set; otherwise *pIsFault is false. Returns the outcome of reading.
  util::Result ReadFault(util::Result* pFault, bool* pIsFault = nullptr);
  // Reads the header and checks an answer: a notice whose function is "CallProgress" sets
  // *pProgress; an answer (type 2 or none) returns its fault's result, or checks the body
  // element's name and namespace against function and ns (each may be null); other types
  // fail with ErrSoapFormat.
  util::Result CheckAnswer(const char* function, const char* ns, bool* pProgress);

  // --- Writing --------------------------------------------------------------------------
  // "<?xml version="1.0" encoding=...?>" (XML text only; nothing in token formats). Only
  // at the very start of the document.
  util::Result WriteDeclaration(const char* encoding = nullptr);
  // Declares prefix (may be empty: default namespace) for uri; written on the next element
  // opened. Returns the namespace handle (> 0).
  int DeclareNamespace(const char* prefix, const char* uri);
  // Opens an element. ns: a handle, -1 the namespace of the enclosing element, 0 none.
  util::Result OpenElement(int ns, const char* name);
  util::Result CloseElement();
  // Closes every open element (finishes the document).
  util::Result CloseAll();
  util::Result WriteElement(int ns, const char* name, const char* text);
  util::Result WriteElementInt(int ns, const char* name, int32_t value);
  util::Result WriteElementInt64(int ns, const char* name, int64_t value);
  util::Result WriteElementBinary(int ns, const char* name, const void* data, int64_t size);
  util::Result WriteEmptyElement(int ns, const char* name);
  // An attribute on the element just opened (before any content).
  util::Result WriteAttribute(int ns, const char* name, const char* value);
  // Character content; size < 0: up to the NUL.
  util::Result WriteChars(const char* text, int64_t size = -1);
  // Binary content (base64 in XML text). May be called repeatedly for one content.
  util::Result WriteBinary(const void* data, int64_t size);
  // A comment or a CDATA section (XML text; token formats drop comments and write CDATA as
  // character content).
  util::Result WriteComment(const char* text);
  util::Result WriteCData(const char* text);
  // Copies from source's cursor: mode 1 the element with its content, mode 0 only its
  // content. source's cursor moves past the copied tokens.
  util::Result CopySubtree(XmlParser& source, int mode);
  // Token formats only. While writing: deletes the element opened last (with its content,
  // or only its content) and, if it is still open, everything written after it. While
  // reading: deletes the node at the cursor (or the content of the element at the cursor).
  util::Result DeleteNode();
  util::Result DeleteNodeContent();

  // --- Envelope writing -----------------------------------------------------------------
  // Writes Envelope, Header (type unless -1, target when given, credentials copied) and
  // opens Body and, when given, the body element in bodyNs (prefix "c").
  util::Result BeginMessage(int type, const char* target, XmlParser* credentials,
                            const char* bodyElement, const char* bodyNs);
  // A complete answer: "ok" for a success, a SOAP Fault carrying result otherwise.
  util::Result WriteAnswer(const util::Result& result);

  // --- CommResult -----------------------------------------------------------------------
  // Writes element (in ns) with ErrorCategory, ConnectionLevel, ErrorCode, Diagnostics.
  util::Result WriteCommResult(const util::CommResult& value, int ns, const char* element);
  // Reads those children of the element at path (relative to the cursor).
  util::Result ReadCommResult(const char* path, util::CommResult* value) const;

  // --- Transfer -------------------------------------------------------------------------
  // Receives the next message from conn into a fresh message and rewinds.
  util::Result Receive(Connection* conn, uint32_t timeoutMs, int64_t fetchSize = 0);
  // Sends the document on conn (closing open elements first).
  util::Result Send(Connection* conn, uint32_t timeoutMs);
  // Remembers conn as the connection this document is sent on (Send(nullptr, ...) uses it).
  void AttachToConnection(Connection* conn, uint32_t txTimeoutMs, bool fileFlag);
  Connection* GetAttachedConnection() const;

  // --- Implemented in XmlParserCompare.cc, XmlParserCrypt.cc, XmlParserDump.cc ---------
  // Compares this document with templ token by token (readcomparemode strict/wildcard/
  // optional per template element).
  util::Result CompareWithTemplate(XmlParser& templ);
  // --- Encrypted content (XmlParserCrypt.cc) --------------------------------------------
  // With decryption on, the reader yields the decrypted content of every EncryptedData
  // element of kNsXmlEnc in the element's place (see DecryptEncryptedData for the methods
  // and keys). The element's own children are read as they stand; decrypted content that
  // holds EncryptedData of its own is decrypted in turn, up to kMaxDecryptionLevels levels
  // (deeper content fails with ErrIntern "decryption failed"). A failure is returned by the
  // read that meets the element (MoveToPath returns it too rather than "Failed to move");
  // the cursor is then after the element and reading can go on. Work and memory are linear
  // in the document's size. Off, the reader yields EncryptedData as it stands.
  static constexpr int kMaxDecryptionLevels = 8;
  // Decryption for one document (and the copies made of it afterwards).
  void SetDecryption(bool on);
  bool GetDecryption() const;
  // The setting documents start with: off unless a process turns it on (the plug-in's
  // runtime does, for everything it reads). Thread-safe.
  static void SetDecryptionDefault(bool on);
  static bool GetDecryptionDefault();
  // The caller's key for this document (and its copies); turns decryption on. An empty key
  // leaves the key to the process's sources below.
  void SetDecryptionKey(const std::string& key);
  // The process's configured key (the plug-in's key file): used for methods 1 and 99, and
  // for method 2 where the cluster's key cannot be had, when the caller sets none. Empty:
  // none. Kept in memory only, never traced. Thread-safe.
  static void SetConfiguredDecryptionKey(const std::string& key);
  // Decrypts the EncryptedData element at the cursor: method from
  // "EncryptionMethod/@Algorithm" (1 when absent; 0, 1, 2 for the platform's identifiers,
  // 99 otherwise), the cipher from "CipherData/CipherValue" (base64). Method 0: the bytes are
  // the content. Others: Blowfish with the caller's key; without one, method 2 takes the
  // cluster's key (osal::GetClusterKey), then the configured key, else ErrObjNotExist
  // "unable to access cluster resource (access denied or cluster service not running)";
  // other methods take the configured key, else fail. *plain gets the content's bytes; the
  // cursor is left on the element's end. Damaged cipher text or a wrong key: ErrIntern
  // "decryption failed".
  util::Result DecryptEncryptedData(std::string* plain);
  // Writes the document to the trace under id when it is enabled.
  void DumpToTrace(uint32_t traceId, const char* title) const;

  // The document's internal state (XmlParserState.h, beside the sources); for the
  // XmlParser*.cc units only.
  XmlParserState& State() { return *M_pState; }
  const XmlParserState& State() const { return *M_pState; }

 private:
  util::Result ReadDecrypted();
  util::Result ReadEncryptedParts(int* pMethod, std::string* pCipher);
  util::Result ExpandDecrypted(const std::string& plain, int level, XmlDecryptedBuilder& out);
  util::Result ReadWholeContent(std::string* out);
  util::Result EnterContent(bool binary, bool* pEmpty);
  util::Result ContinueContent(bool* pMore);
  util::Result FillText(char* out, size_t cap, size_t* pGot, bool* pDone);
  util::Result WriteToken(int type, const char* a, size_t alen, const char* b, size_t blen);
  util::Result WriteContentToken(int type, const void* data, int64_t size);
  util::Result BeginWrite();
  util::Result CloseStartTag();
  util::Result FlushBinary();
  util::Result Emit(const void* data, size_t size);
  util::Result WriteIndent(int level);
  util::Result OpenElementQ(const std::string& prefix, const std::string& uri,
                            const std::string& name);
  util::Result WriteAttributeQ(std::string_view prefix, std::string_view uri, std::string_view name,
                               std::string_view value);
  util::Result DeleteAt(bool contentOnly);

  std::unique_ptr<XmlParserState> M_pState;
};

// Escapes text for XML output (drops control characters other than tab, LF, CR; "&" and
// "<" as references; quote (0, '"' or '\'') as a reference when given). Appends to out.
void XmlEscapeAppend(std::string* out, const char* text, size_t size, char quote);
// Decodes character and entity references in place semantics: appends the unescaped text.
void XmlUnescapeAppend(std::string* out, const char* text, size_t size);

// Encrypts content (the bytes of an XML fragment, or of text already escaped for XML) for
// method 0, 1 or 2 and appends the EncryptedData element, as XML text declaring kNsXmlEnc,
// to *element; a reader with decryption on and the same key yields the content again.
// key: unused for method 0, 1 to 56 bytes (the Blowfish key as it is) otherwise; ErrLogicArgs
// for another method or key. The check block takes four random bytes. Thread-safe.
util::Result XmlEncryptContent(int method, const std::string& key, const std::string& content,
                               std::string* element);

// Reads a decryption key file: its bytes, without the line ends at its end, are the key (1 to
// 56 bytes). The file must be readable by the calling account alone (osal::ReadOwnerOnlyFile).
// ErrBadConfig "decryption key file %s: ..." naming the reason, never the key's bytes.
util::Result XmlReadKeyFile(const std::string& path, std::string* key);

}  // namespace velmora::xel
