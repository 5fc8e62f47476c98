// PollResBuilder: writes the "poll-res" answer of a poll, with the claimed files embedded.
#include "PollResBuilder.h"

#include <utility>

#include "FileInfo.h"
#include "ImportPackage.h"
#include "osal/File.h"
#include "util/TimeUTC.h"
#include "util/Trace.h"
#include "xel/Message.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {

using xel::XmlParser;

namespace {

// Every element of the answer takes the namespace of the element around it (-1).
constexpr int kNsInherit = -1;
// From this size on, an input stays open after the build (see Build).
constexpr uint64_t kKeepOpenBytes = uint64_t{1} << 20;

// The current UTC time in the answer's text form ("TimeEnd" and "date").
std::string CurrentTimeText() {
  util::TimeUTC now;
  now.SetToNow();
  char buffer[32];
  size_t length = 0;
  if (now.WriteAsText(buffer, sizeof buffer, &length).IsError()) return std::string();
  return std::string(buffer, length);
}

}  // namespace

PollResBuilder::PollResBuilder()
    : M_pReadBuffer(std::make_unique_for_overwrite<uint8_t[]>(kReadBufferSize)) {}

PollResBuilder::~PollResBuilder() = default;

const char* PollResBuilder::ClassName() const { return "File_PollResBuilder"; }

void PollResBuilder::SetMessage(XmlParser* pDocument) {
  if (M_pDocument == nullptr) M_pDocument = pDocument;
}

void PollResBuilder::SetGreeting(const std::string& text) { M_Greeting = text; }

void PollResBuilder::SetStatus(int32_t status, const std::string& text) {
  M_Status = status;
  M_ErrorText = text;
}

void PollResBuilder::SetStreamTarget(xel::Connection* pConn, uint32_t timeoutMs) {
  M_pStreamConn = pConn;
  M_StreamTimeoutMs = timeoutMs;
}

util::Result PollResBuilder::WriteContentChunk(const void* data, size_t size) {
  return M_pDocument->WriteBinary(data, static_cast<int64_t>(size));
}

// The document operations' own results are not looked at here: a document that cannot be
// written fails its send, which the poll function reports. Only the embedding of file
// content is checked, because a broken part must be reported to the platform in the answer.
int32_t PollResBuilder::Build(const ImportPackage& package) {
  // However the build ends, no handle that stands in the way of renaming or deleting the
  // package's files stays open: Windows would refuse to rename or delete them.
  struct CloseHeld {
    const ImportPackage& M_Package;
    ~CloseHeld() {
      if (const auto& held = M_Package.FirstAttachedHandle()) (void)held->Close();
    }
  } closeHeld{package};
  if (M_pDocument == nullptr) return M_BuildResult;
  XmlParser& doc = *M_pDocument;
  // What has left on the link cannot be called back.
  if (doc.GetMessage()->TxSent() > 0) return M_BuildResult = BuildStreamBroken;
  M_PreviousBuildResult = M_BuildResult;
  M_BuildResult = BuildComplete;
  const bool bParts = M_Status == 0 && !package.GetAttachedFiles().empty();
  if (bParts && M_PreviousBuildResult == BuildComplete) OpenFiles(package);

  doc.Reset();
  (void)doc.SetDataFormat(XmlParser::Format_Binary);
  (void)doc.BeginMessage(XmlParser::MsgType_Answer, nullptr, nullptr, "poll-res", nullptr);

  (void)doc.OpenElement(kNsInherit, "status");
  if (M_Status == 0) {
    (void)doc.WriteElement(kNsInherit, "Status", "OK");
    (void)doc.WriteElement(kNsInherit, "Greeting", M_Greeting.c_str());
  } else if (M_Status == 1) {
    (void)doc.WriteElement(kNsInherit, "Status", "ERROR");
    (void)doc.WriteElement(kNsInherit, "ErrorString", M_ErrorText.c_str());
  }
  (void)doc.CloseElement();

  if (bParts) {
    WriteMessagePart(package, CurrentTimeText());
    (void)doc.CloseElement();  // the multipart "content"
    (void)doc.CloseElement();  // the body's "message"
    (void)doc.WriteEmptyElement(kNsInherit, "TiffData");
  }
  (void)doc.CloseAll();
  // Where a large file may be deleted while it is open, its handle stays open until the
  // builder goes, after the confirmation's answer has left: the deletion is then quick, and
  // freeing the file's pages (at the last close, about a quarter of a millisecond per MiB)
  // does not delay that answer. Small files are closed at once, so that a conversation
  // waiting for its confirmation holds few handles.
  for (osal::File& input : M_Inputs) {
    uint64_t size = 0;
    if (!input.MayBeDeletedWhileOpen() || !input.Size(&size).ok() || size < kKeepOpenBytes) {
      (void)input.Close();
    }
  }
  return M_BuildResult;
}

void PollResBuilder::OpenFiles(const ImportPackage& package) {
  const auto& files = package.GetAttachedFiles();
  M_Inputs.clear();
  M_Inputs.resize(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    // The found file is read through the handle that attached it, when it is still open.
    const std::shared_ptr<osal::File>& held = package.FirstAttachedHandle();
    if (i == 0 && held && held->IsOpen()) {
      M_Inputs[0] = std::move(*held);
      continue;
    }
    const std::string path = files[i].GetCurrentFileName(FileInfo::FullPath, false, false);
    osal::OpenOptions options;
    options.access = osal::kAccessRead;
    // Others may go on reading and writing, as with a plain open for reading.
    options.share = osal::kShareRead | osal::kShareWrite;
    options.disposition = osal::Disposition::kOpenExisting;
    // Opened through the long form, so that deep paths open on Windows as well.
    if (M_Inputs[i]
            .Open(files[i].GetCurrentFileName(FileInfo::FullPath, false, true), options)
            .ok()) {
      continue;
    }
    XEL_TRACE_OBJ(this, util::General_Error, "Could not open file %s for reading", path.c_str());
    SetContentError("Could not open file " + path + " for reading", BuildOpenFailed);
    // Only the found file (the first part) is essential: a companion that vanished or is
    // held by someone else is sent as an empty part and the import goes on.
    if (i == 0) return;
    M_BuildResult = BuildComplete;
    M_ContentErrorText.clear();
  }
}

void PollResBuilder::WriteMessagePart(const ImportPackage& package, const std::string& timeText) {
  XmlParser& doc = *M_pDocument;
  const FileInfo& found = package.GetFoundFile();

  (void)doc.OpenElement(kNsInherit, "message");

  (void)doc.OpenElement(kNsInherit, "internal");
  (void)doc.WriteElementInt(kNsInherit, "ConfirmTimeout", 1);
  (void)doc.WriteElementInt(kNsInherit, "ConfirmOptions", 1);
  // The platform hands this back with its confirmation; it names the claim uniquely.
  const std::string correlation = found.GetFileName(FileInfo::NameOnly, false, false) + "." +
                                  found.GetLockTimeStamp() + "." + found.GetLockRandomString();
  (void)doc.WriteElement(kNsInherit, "Correlation", correlation.c_str());
  (void)doc.CloseElement();

  (void)doc.OpenElement(kNsInherit, "general");
  (void)doc.WriteElementInt(kNsInherit, "Type", 3);
  (void)doc.WriteElement(kNsInherit, "TimeEnd", timeText.c_str());
  // The build before could not write a file's content: this answer carries the parts
  // without content, and says so.
  if (M_PreviousBuildResult == BuildContentError) {
    (void)doc.WriteElementInt(kNsInherit, "ContentErrorLevel", 2);
  }
  (void)doc.WriteCommResult(package.GetCommResult(), kNsInherit, "CommResult");
  (void)doc.OpenElement(kNsInherit, "RootXml");
  (void)doc.WriteElementInt(kNsInherit, "PartNumber", package.GetRootXmlPartNumber());
  (void)doc.CloseElement();
  (void)doc.CloseElement();

  (void)doc.OpenElement(kNsInherit, "specific");
  (void)doc.OpenElement(kNsInherit, "import");
  (void)package.WriteImportRecord(&doc);
  (void)doc.CloseElement();
  (void)doc.CloseElement();

  (void)doc.OpenElement(kNsInherit, "body");
  (void)doc.OpenElement(kNsInherit, "message");
  (void)doc.OpenElement(kNsInherit, "mime-header");
  (void)doc.WriteElement(kNsInherit, "date", timeText.c_str());
  (void)doc.OpenElement(kNsInherit, "to");
  (void)doc.OpenElement(kNsInherit, "mailbox");
  const std::string displayName = found.GetFileName(FileInfo::FullPath, false, false);
  (void)doc.WriteElement(kNsInherit, "displayname", displayName.c_str());
  (void)doc.WriteElement(kNsInherit, "address", kOriginatorAddress);
  (void)doc.CloseElement();  // mailbox
  (void)doc.CloseElement();  // to
  (void)doc.WriteElement(kNsInherit, "content-type", "multipart/mixed");
  (void)doc.CloseElement();  // mime-header

  // Left open for the parts; Build closes it.
  (void)doc.OpenElement(kNsInherit, "content");
  const bool embed = M_PreviousBuildResult == BuildComplete;
  const auto& files = package.GetAttachedFiles();
  // A found file that could not be opened still gets its part, the last one written.
  for (size_t i = 0; i < files.size(); ++i) {
    WritePart(files[i], i, embed && i < M_Inputs.size() && M_Inputs[i].IsOpen());
    if (M_BuildResult != BuildComplete) break;
  }
}

void PollResBuilder::WritePart(const FileInfo& file, size_t index, bool embed) {
  XmlParser& doc = *M_pDocument;
  (void)doc.OpenElement(kNsInherit, "part");
  (void)doc.OpenElement(kNsInherit, "mime-header");
  const std::string name = file.GetFileName(FileInfo::NameOnly, false, false);
  (void)doc.OpenElement(kNsInherit, "content-disposition");
  (void)doc.WriteAttribute(0, "filename", name.c_str());
  (void)doc.WriteChars("attachment");
  (void)doc.CloseElement();  // content-disposition
  (void)doc.CloseElement();  // mime-header
  (void)doc.OpenElement(kNsInherit, "content");
  (void)doc.OpenElement(kNsInherit, "binary");
  if (embed) EmbedFile(file, &M_Inputs[index]);
  (void)doc.CloseElement();  // binary
  (void)doc.CloseElement();  // content
  (void)doc.CloseElement();  // part
}

void PollResBuilder::EmbedFile(const FileInfo& file, osal::File* pInput) {
  const std::string path = file.GetCurrentFileName(FileInfo::FullPath, false, false);
  xel::Message& message = *M_pDocument->GetMessage();
  uint8_t* buffer = M_pReadBuffer.get();
  while (M_BuildResult == BuildComplete) {
    size_t got = 0;
    const osal::Status read = pInput->Read(buffer, kReadBufferSize, &got);
    if (!read.ok()) {
      // A part cut short would be imported as if it were whole; report it like a part that
      // could not be written, so that the file is set aside and the platform is told.
      XEL_TRACE_OBJ(this, util::General_Error, "Reading file %s failed: %s", path.c_str(),
                    read.Text().c_str());
      if (message.TxSent() > 0) return BreakStream("Reading file " + path + " failed");
      SetContentError("Could not encode file " + path + " in poll-res message", BuildContentError);
      break;
    }
    if (got == 0) break;
    if (WriteContentChunk(buffer, got).IsError()) {
      if (message.TxSent() > 0) {
        return BreakStream("Could not encode file " + path + " in poll-res message");
      }
      SetContentError("Could not encode file " + path + " in poll-res message", BuildContentError);
    } else if (M_pStreamConn != nullptr) {
      util::Result sent = message.TxComplete(M_pStreamConn, M_StreamTimeoutMs);
      if (sent.IsError()) return BreakStream("Sending the poll-res message failed: " + sent.Text());
    }
  }
}

void PollResBuilder::BreakStream(const std::string& text) {
  // The platform has part of the answer: it is told that the rest will not come, and the
  // claim stays on disk until it expires, so that a later poll offers the file again.
  SetContentError(text + "; the answer had begun to leave and is given up", BuildStreamBroken);
  if (M_pStreamConn != nullptr) {
    (void)M_pDocument->GetMessage()->TxBreak(
        M_pStreamConn, util::Result::Fail(util::ErrCancelled, "%s", M_ContentErrorText.c_str()),
        M_StreamTimeoutMs);
  }
}

void PollResBuilder::SetContentError(std::string text, int32_t buildResult) {
  M_ContentErrorText = std::move(text);
  XEL_TRACE_OBJ(this, util::General_Error, "%s", M_ContentErrorText.c_str());
  M_BuildResult = buildResult;
}

}  // namespace velmora::xelc
