// PollResBuilder: writes the "poll-res" answer of a poll, with the claimed files embedded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "osal/File.h"
#include "util/Result.h"

namespace velmora::xel {
class Connection;
class XmlParser;
}  // namespace velmora::xel

namespace velmora::xelc {

class FileInfo;
class ImportPackage;

// Writes the answer to a "poll" request into a message document: the poll's status and, when
// a file was claimed, the package's attached files as the parts of a multipart message with
// their bytes embedded, plus the data the platform needs to confirm the import.
//
// File content is streamed through one 65536-byte buffer owned by the builder, chunk by chunk
// into the document. Given a connection (SetStreamTarget), the answer's complete blocks leave
// on it while the content is written, so that memory stays bounded whatever the files' size;
// every file of the package is opened before that, so that a file that cannot be opened still
// changes the answer. Once blocks have left the answer cannot be built again: a file that then
// fails to be read or written gives the answer up on the link (BuildStreamBroken).
//
// A member of the import driver; the driver may build several times in one poll, each build
// overwriting the answer completely (the last one is sent). Not thread-safe: one builder
// belongs to one poll.
class PollResBuilder {
 public:
  // Outcomes of Build.
  enum BuildResult : int32_t {
    BuildComplete = 0,      // every part written
    BuildOpenFailed = 1,    // the found file could not be opened for reading
    BuildContentError = 2,  // a file's content could not be written into the answer
    BuildStreamBroken = 3,  // blocks had left when the answer failed: it is given up
  };
  // Size of the chunk buffer through which file content is streamed.
  static constexpr size_t kReadBufferSize = 65536;
  // The originator mailbox written into the answer's "address".
  static constexpr const char* kOriginatorAddress = "xelcfile@localhost";

  PollResBuilder();
  virtual ~PollResBuilder();
  PollResBuilder(const PollResBuilder&) = delete;
  PollResBuilder& operator=(const PollResBuilder&) = delete;

  // Trace category "File_PollResBuilder".
  virtual const char* ClassName() const;

  // Keeps pDocument (not owned; it must outlive the builder's use) unless a document is
  // already kept: the first document given stays for the builder's life.
  void SetMessage(xel::XmlParser* pDocument);
  // Replaces the text of "Greeting" in a success answer.
  void SetGreeting(const std::string& text);
  // Status 0 (success) or 1 (error) and the text of "ErrorString" in an error answer.
  void SetStatus(int32_t status, const std::string& text);
  // Lets the answer's complete blocks leave on pConn while it is built (nullptr: the answer
  // is built whole and sent by the caller). The caller sends the rest after Build.
  void SetStreamTarget(xel::Connection* pConn, uint32_t timeoutMs);
  // Writes the whole answer anew from the builder's fields and the package and returns the
  // build result (BuildResult). Without a document nothing is written and the unchanged
  // build result is returned. After a build that returned 2 the next build writes every
  // part without content and reports "ContentErrorLevel" 2.
  int32_t Build(const ImportPackage& package);

  // The text of the last content error (empty when none, or cleared for a companion that
  // could not be opened).
  const std::string& GetContentErrorText() const { return M_ContentErrorText; }
  int32_t GetStatus() const { return M_Status; }
  int32_t GetBuildResult() const { return M_BuildResult; }
  int32_t GetPreviousBuildResult() const { return M_PreviousBuildResult; }

 protected:
  // Hands one chunk of file content to the document as binary content. A separate step so
  // that a failure of the encoding can be provoked in tests; the default writes it.
  virtual util::Result WriteContentChunk(const void* data, size_t size);

 private:
  // Writes "message" ... "content" with one "part" per attached file (leaves "content" open).
  void WriteMessagePart(const ImportPackage& package, const std::string& timeText);
  // Opens every attached file for reading; sets the build result to 1 when the found file
  // cannot be opened (a companion that cannot be opened stays closed: an empty part).
  void OpenFiles(const ImportPackage& package);
  // Writes one attached file as a "part"; embeds its bytes when embed is set.
  void WritePart(const FileInfo& file, size_t index, bool embed);
  // Streams the opened file's bytes into the open "binary" element; sets the build result to
  // 2 when its content cannot be read or written (3 once blocks have left).
  void EmbedFile(const FileInfo& file, osal::File* pInput);
  // Records a failure of the content after blocks have left and gives the answer up.
  void BreakStream(const std::string& text);
  // Records a content error: keeps, traces and sets the build result.
  void SetContentError(std::string text, int32_t buildResult);

  std::string M_Greeting;
  int32_t M_Status = 0;
  std::string M_ErrorText;
  xel::XmlParser* M_pDocument = nullptr;
  // Heap-allocated: the driver, and with it this builder, may live on a thread's stack.
  std::unique_ptr<uint8_t[]> M_pReadBuffer;
  // The attached files, opened for the current build; after it, the large ones that may be
  // deleted while open stay open until the next build or the builder's end (see Build).
  std::vector<osal::File> M_Inputs;
  xel::Connection* M_pStreamConn = nullptr;
  uint32_t M_StreamTimeoutMs = 0;
  int32_t M_BuildResult = BuildComplete;
  int32_t M_PreviousBuildResult = BuildComplete;
  std::string M_ContentErrorText;
};

}  // namespace velmora::xelc
