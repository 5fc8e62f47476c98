// CreateFileFunction: "CreateFile" - parameters, path checks, logon, and writing the content
// as an XML document or block by block as binary data.
#include "CreateFileFunction.h"

#include <string>

#include "LogonConnector.h"
#include "OutputPath.h"
#include "osal/File.h"
#include "osal/WaitHandle.h"
#include "util/Trace.h"
#include "xel/ConnectionFile.h"
#include "xel/MessageBlock.h"

namespace velmora::xelc {
namespace {

using util::Result;
using xel::ConnectionFile;
using xel::XmlParser;

constexpr const char* kTraceCategory = "XELC-file";
// A file connection never waits; the value only satisfies the connection interface.
constexpr uint32_t kFileSendTimeoutMs = 10000;

// The request's parameters below "Opt", with their defaults.
struct CreateFileParams {
  std::string M_Path;
  std::string M_FileName;
  std::string M_Extension = ".xml";
  std::string M_Format = "xml";
  bool M_bCreateFolders = false;
  bool M_bDeleteOnClose = false;
  int M_Overwrite = OutputPath::Overwrite_No;
  int32_t M_DelayPerBlock = 0;
};

// A text parameter: an absent element keeps the default; one that is present but cannot be
// read is thrown.
void ReadTextParam(const XmlParser& opt, const char* name, std::string* value) {
  if (!opt.ExistsPath(name)) return;
  opt.ReadStringAtPath(name, value).ThrowIfError();
}

// The parameters that tune the write: a value that cannot be read keeps the default.
void ReadOptionalParams(const XmlParser& opt, bool bRequestMayChoose, CreateFileParams* p) {
  bool flag = false;
  if (opt.ReadBoolAtPath("CreateFolders", &flag).IsSuccess()) p->M_bCreateFolders = flag;
  if (opt.ReadBoolAtPath("DeleteOnClose", &flag).IsSuccess()) p->M_bDeleteOnClose = flag;
  if (bRequestMayChoose) {
    int mode = 0;
    if (opt.ReadNamedValueAtPath("Overwrite", OutputPath::kOverwriteModes,
                                 OutputPath::kOverwriteModeCount, &mode)
            .IsSuccess()) {
      p->M_Overwrite = mode;
    }
  }
  int32_t delay = 0;
  if (opt.ReadIntAtPath("DelayPerBlock", &delay).IsSuccess()) p->M_DelayPerBlock = delay;
}

// Disconnects the logon connector on every way out of the request once a logon was tried, so
// that an impersonation never outlives the request, not even when a later step throws.
class LogonScope {
 public:
  explicit LogonScope(NetConnectionsManager* pNetConnections) : M_Connector(pNetConnections) {}
  ~LogonScope() {
    if (M_bUsed) (void)M_Connector.Disconnect();
  }
  LogonScope(const LogonScope&) = delete;
  LogonScope& operator=(const LogonScope&) = delete;

  void Logon(const std::string& folder, const std::string& user, const std::string& password,
             const std::string& service) {
    XEL_TRACE(kTraceCategory, util::General_20, "Logon user %s", user.c_str());
    M_bUsed = true;
    M_Connector.SetLogonService(service);
    M_Connector.SetFolder(folder, true);
    M_Connector.SetCredentials(user, password);
    if (M_Connector.Connect() != LogonConnector::kStateUsable) {
      Result::Connector(util::Error, "Failed to login user %s (%s)", user.c_str(),
                        M_Connector.GetStatusText().c_str())
          .ThrowIfError();
    }
  }

 private:
  LogonConnector M_Connector;
  bool M_bUsed = false;
};

// Opens *pPath as the output of file. With "Rename" an existing file makes it try "name(1).ext"
// up to "name(998).ext"; *pPath then names the file actually opened.
Result OpenOutputFile(ConnectionFile& file, std::string* pPath, const CreateFileParams& p) {
  uint32_t flags = ConnectionFile::Output_Exclusive;
  if (p.M_Overwrite == OutputPath::Overwrite_Yes) flags |= ConnectionFile::Output_Replace;
  if (p.M_bCreateFolders) flags |= ConnectionFile::Output_CreateFolders;
  if (p.M_bDeleteOnClose) flags |= ConnectionFile::Output_DeleteOnClose;

  Result r = file.OpenOutput(*pPath, flags);
  if (p.M_Overwrite != OutputPath::Overwrite_Rename) return r;
  for (int i = 1; i <= OutputPath::kMaxRenameCounter; ++i) {
    if (!(r.IsError() && r.Category() == util::ErrObjExist)) break;
    std::string candidate = OutputPath::WithCounter(*pPath, i);
    r = file.OpenOutput(candidate, flags);
    if (r.IsSuccess()) *pPath = std::move(candidate);
  }
  return r;
}

// The content of "Data" as an XML document in UTF-8 text, indented by 2 per level.
void WriteXml(ConnectionFile& file, XmlParser& data) {
  XmlParser writer;
  writer.SetDataFormat(XmlParser::Format_XmlUtf8).ThrowIfError();
  writer.SetIndentation(2).ThrowIfError();
  writer.AttachToConnection(&file, kFileSendTimeoutMs, true);
  writer.WriteDeclaration().ThrowIfError();
  writer.CopySubtree(data, 0).ThrowIfError();
  writer.Send(nullptr, kFileSendTimeoutMs).ThrowIfError();
}

// The decoded binary content of "Data", moved in blocks of at most 4000 bytes (one fresh
// message block each), with an optional pause after each block to throttle the output.
void WriteBinary(ConnectionFile& file, XmlParser& data, int32_t delayPerBlock) {
  Result read;
  Result written;
  do {
    xel::MessageBlock* pBlock = xel::MessageBlock::Allocate();
    if (pBlock == nullptr) {
      Result::Connector(util::ErrResource, "Allocation of Message Block failed").ThrowIfError();
    }
    int length = 0;
    read =
        data.ReadBinary(pBlock->M_Content, static_cast<int>(xel::MessageBlock::BlockSize), &length);
    if (read.IsSuccess()) {
      pBlock->M_Length = static_cast<uint32_t>(length);
      pBlock->M_Event = xel::BlockEvent_Data;
      written = file.Send(pBlock, kFileSendTimeoutMs);  // takes the block in every case
    } else {
      xel::MessageBlock::Free(pBlock);
    }
    if (delayPerBlock > 0) osal::SleepMs(static_cast<uint32_t>(delayPerBlock));
  } while (read.Category() == util::ErrMoreData && written.IsSuccess());
  read.ThrowIfError();
  written.ThrowIfError();
}

}  // namespace

Result ExecuteCreateFile(const xel::Configuration& config, NetConnectionsManager* pNetConnections,
                         const XmlParser& request) {
  const std::string directory = config.GetString("Out/Directory", "");
  const std::string allowed = config.GetString("Out/AllowedPathPrefixes", directory.c_str());
  const int configuredMode =
      config.GetNamedValue("Out/Overwrite", OutputPath::kOverwriteModes,
                           OutputPath::kOverwriteModeCount, OutputPath::Overwrite_No);
  const std::string user = config.GetString("Out/Credentials/User", "");
  const std::string password = config.GetString("Out/Credentials/Password", "");
  const bool bFollowLinks = config.GetBool("Out/FollowLinks", false);

  XmlParser opt(request);
  opt.MoveToPath("Opt").ThrowIfError();
  CreateFileParams p;
  p.M_Overwrite = configuredMode;
  ReadTextParam(opt, "Path", &p.M_Path);
  ReadTextParam(opt, "FileName", &p.M_FileName);
  ReadTextParam(opt, "Extension", &p.M_Extension);
  ReadTextParam(opt, "Format", &p.M_Format);
  // "Never" is the administrator's word: the request is not even asked.
  ReadOptionalParams(opt, configuredMode != OutputPath::Overwrite_Never, &p);

  if (p.M_FileName.empty()) {
    return Result::Connector(util::ErrLogicArgs,
                             "Auto generation of file name is not impl. - Name must be specified");
  }
  XEL_TRACE(kTraceCategory, util::General_40,
            "Generate Filepath: RefDir=%s, Path=%s, FileName=%s, Extension=%s, AllowedPathes=%s",
            directory.c_str(), p.M_Path.c_str(), p.M_FileName.c_str(), p.M_Extension.c_str(),
            allowed.c_str());
  std::string fullPath = OutputPath::Normalize(
      OutputPath::Combine(directory, p.M_Path + p.M_FileName + p.M_Extension));
  auto notWithin = [&] {
    return Result::Connector(util::ErrLogicArgs, "Filename %s is not within output path %s",
                             fullPath.c_str(), allowed.c_str());
  };
  if (!OutputPath::IsWithin(fullPath, allowed)) return notWithin();
  // The text is inside; so must be every folder and file the file system reaches for it. Until
  // the request ends, no file call of this thread leaves the allowed folders through a link;
  // declared before the file, so that a delete-on-close file goes under the same rule.
  osal::FileConfinement confinement(
      OutputPath::Folders(allowed),
      bFollowLinks ? osal::LinkPolicy::kFollowInside : osal::LinkPolicy::kRefuse);

  XmlParser data(request);
  data.MoveToPath("Data").ThrowIfError();
  // The content is written while it arrives; what has been written is let go, so that a
  // large request does not sit whole in memory (nothing reads the request after it).
  data.SetReleaseReadData(true);

  // Declared before the file so that the file is closed (and a delete-on-close file removed)
  // while the account's rights still apply.
  LogonScope logon(pNetConnections);
  if (!user.empty()) {
    logon.Logon(fullPath, user, password, config.GetString(kLogonServiceKey, ""));
  }

  // Checked with the rights the file is written with. The open is confined as well; this
  // check gives the refusal its text.
  if (osal::IsOutsideConfinement(osal::CheckConfined(fullPath))) return notWithin();
  XEL_TRACE(kTraceCategory, util::General_OtherXELC,
            "Try to write to XML File %s (Format=%s, Overwrite=%i)", fullPath.c_str(),
            p.M_Format.c_str(), p.M_Overwrite);
  // Released on every way out: an unfinished delete-on-close file disappears with it.
  auto file = util::Ref<ConnectionFile>::Adopt(new ConnectionFile);
  Result opened = OpenOutputFile(*file, &fullPath, p);
  // A link that appeared after the check was refused by the open.
  if (opened.IsError() && osal::IsOutsideConfinement(osal::CheckConfined(fullPath))) {
    return notWithin();
  }
  opened.ThrowIfError();
  if (p.M_Format == "xml") {
    WriteXml(*file, data);
  } else {
    WriteBinary(*file, data, p.M_DelayPerBlock);
  }
  XEL_TRACE(kTraceCategory, util::General_OtherXELC, "File %s successfuly written",
            fullPath.c_str());
  return file->CloseOutput();
}

}  // namespace velmora::xelc
