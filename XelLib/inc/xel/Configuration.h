// Configuration: a read-only view with a path prefix onto a message document, with typed
// reads that fall back to defaults, and resolution of XInclude references to further files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "util/Result.h"
#include "util/SharedObject.h"
#include "xel/XmlParser.h"

namespace velmora::xel {

// Every key is a path (message-document path syntax) relative to the prefix; the full path is
// prefix + key, looked up from the document's cursor as it stood when the document was given.
// Several configurations may share one document with different prefixes. The document is not
// changed after construction (ResolveIncludes belongs to construction); every read works on a
// private copy of the cursor, so reads from several threads at once are safe. Changing a
// configuration (Share, ResolveIncludes) is not.
class Configuration : public util::SharedObject {
 public:
  // No document yet (fill it with Share or MakeStandaloneCopy).
  Configuration();
  // Reads fileName through a file connection into a new document; prefix empty. Throws the
  // failing step's result with "Configuration-file open", "Configuration-file Readfirst" or
  // "Configuration-file read all" appended.
  explicit Configuration(const std::string& fileName);
  // Shares document (its cursor position is the base of relative keys); prefix empty.
  explicit Configuration(util::Ref<XmlParser> document);
  ~Configuration() override;
  const char* ClassName() const override { return "Configuration"; }

  // Counted forms of the constructors above (FromFile throws like its constructor).
  static util::Ref<Configuration> FromFile(const std::string& fileName);
  static util::Ref<Configuration> FromDocument(util::Ref<XmlParser> document);

  // A configuration over the same document whose prefix is this prefix + the formatted path
  // (at most 999 characters) + "/".
  util::Ref<Configuration> SubConfig(const char* fmt, ...) const XEL_PRINTF(2, 3);
  // Makes this a standalone copy of source: a new document whose root "Config" holds the
  // children of the element at source's prefix (nothing when the prefix is empty); prefix
  // "Config/". Returns the worst failure of the steps.
  util::Result MakeStandaloneCopy(const Configuration& source);
  // Takes over source's prefix and document reference (ErrResource "Failed to share
  // configuration" when memory runs out).
  util::Result Share(const Configuration& source);

  // --- Reads (never change the configuration; a missing document is an assertion) ---------
  // Decimal value, or def when missing or unreadable.
  int GetInt(const char* key, int def) const;
  // true for "true"/"1", false for "false"/"0"/empty; def when missing or other text.
  bool GetBool(const char* key, bool def) const;
  // The text, or def when missing. Without a default (nullptr) the failure is thrown.
  std::string GetString(const char* key, const char* def) const;
  std::string GetString(const char* key) const { return GetString(key, nullptr); }
  // The text into buffer (at most size - 1 bytes, NUL-terminated). When missing: def copied
  // (cut to size - 1 bytes) and a warning result (success) of category ErrObjNotExist; with
  // def nullptr the buffer is emptied and the error is returned.
  util::Result GetString(const char* key, char* buffer, int size, const char* def) const;
  // The number the table (count pairs) gives for the text; def when missing or not listed.
  int GetNamedValue(const char* key, const XmlNamedValue* table, int count, int def) const;
  bool Exists(const char* key) const;
  // Copies the element at key into target at its position: mode 1 with the element, mode 0
  // only its content. The look-up failure when the key is missing.
  util::Result CopySubtree(const char* key, XmlParser& target, int mode) const;

  // Replaces every XInclude "include" element (W3C XInclude namespace) by the root element,
  // with its content, of the file its "@href" names; relative hrefs are resolved against
  // baseLocation (a folder; empty: the working directory). Included files are resolved
  // likewise against their own folder. Part of construction: not safe while others read.
  // A file that cannot be read or parsed fails the whole resolution; the text names the step
  // ("Configuration-file open", "... Readfirst", "... read all") and the file.
  util::Result ResolveIncludes(const std::string& baseLocation);

  // Reads the key file whose path is the text at keyFilePath in document (read as it stands,
  // nothing decrypted) and makes its key the process's configured decryption key
  // (XmlParser::SetConfiguredDecryptionKey); without that setting the configured key is
  // cleared. ErrBadConfig when the setting or the file cannot be used (XmlReadKeyFile).
  static util::Result LoadDecryptionKey(const XmlParser& document, const char* keyFilePath);

  const std::string& Prefix() const { return M_Prefix; }
  const util::Ref<XmlParser>& Document() const { return M_pMsg; }

 private:
  // A private cursor over the document (asserts that there is one).
  XmlParser Cursor() const;
  std::string FullPath(const char* key) const;
  util::Result ResolveIncludesDepth(const std::string& baseLocation, int depth);
  // The whole text at path (as ReadStringAtPath reads it); false when that read fails. A
  // component reads the same keys on every request, so each text is looked up once.
  bool ReadText(const std::string& path, std::string* text) const;
  void ForgetTexts();
  // The table's number for the text at key cut to limit bytes; def when missing or unlisted.
  int GetNamedFromText(const char* key, size_t limit, const XmlNamedValue* table, int count,
                       int def) const;

  struct TextCache;
  std::string M_Prefix;         // empty, or ending in "/"
  util::Ref<XmlParser> M_pMsg;  // the document; shared with other configurations
  std::unique_ptr<TextCache> M_pTexts;
};

}  // namespace velmora::xel
