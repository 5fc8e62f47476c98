// ImportDriver: runs one "poll" request of the folder import and its confirmation.
#include "ImportDriver.h"

#include <cctype>
#include <optional>
#include <string_view>
#include <vector>

#include "ConfirmResBuilder.h"
#include "FileLocker.h"
#include "FolderIterator.h"
#include "PackageResolver.h"
#include "osal/File.h"
#include "util/Trace.h"
#include "xel/Configuration.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {

using util::General_60;
using util::General_Error;
using util::Result;
using xel::XmlParser;

namespace {

// Size of the buffers that take the basic credentials of a request.
constexpr int kCredentialBufferSize = 255;

// A link in a watched folder is imported when what it leads to lies in the input folders.
constexpr osal::LinkPolicy kLinkPolicy = osal::LinkPolicy::kFollowInside;

enum class ParamRead { kPresent, kMissing, kInvalid };

// The parameters a poll request may carry, relative to its function element.
constexpr const char* kPollParams[] = {
    "general/MaxRequested",
    "general/StatusCheckIntensity",
    "specific/folder/WatchedPath",
    "specific/folder/FileSearchMask",
    "specific/folder/SubfolderProcessing",
    "specific/folder/FileDetectionMode/Mode",
    "specific/folder/FileDetectionMode/SecondsToAllow",
    "specific/folder/FileDetectionMode/TriggerChangeToExtension",
    "specific/folder/FileImportMode/Mode",
};
constexpr int kPollParamCount = static_cast<int>(sizeof(kPollParams) / sizeof(kPollParams[0]));

// A poll request's parameters, found in one walk below its function element rather than in
// one walk each; a path the walk could not settle is looked up on its own.
class RequestParams {
 public:
  explicit RequestParams(const XmlParser& request) : M_Request(request) {
    M_bComplete = request.FindPaths(kPollParams, kPollParamCount, &M_Found).IsSuccess();
    M_Used.assign(M_Found.size(), false);
  }
  const XmlParser& Request() const { return M_Request; }
  // True when the walk settled path: *pAt is then its node to read (once) or empty when the
  // request lacks it.
  bool Take(const char* path, util::Ref<XmlParser>* pAt) {
    for (size_t i = 0; i < M_Found.size(); ++i) {
      if (std::string_view(kPollParams[i]) != path || M_Used[i]) continue;
      if (!M_Found[i] && !M_bComplete) return false;
      M_Used[i] = true;
      *pAt = std::move(M_Found[i]);
      return true;
    }
    return false;
  }

 private:
  const XmlParser& M_Request;
  std::vector<util::Ref<XmlParser>> M_Found;
  std::vector<bool> M_Used;
  bool M_bComplete = false;
};

// Reads the parameter at path (relative to the request's function element) with read on its
// node: the one the walk found, or one looked up on its own. A missing element is not an
// error (the caller applies its default); any other failure is passed back.
template <class Read>
ParamRead ReadParam(RequestParams& params, const char* path, Result* pWhy, Read read) {
  util::Ref<XmlParser> at;
  Result r;
  if (params.Take(path, &at)) {
    if (!at) return ParamRead::kMissing;
    r = read(*at);
  } else {
    XmlParser alone(params.Request());
    r = alone.MoveToPath(path);
    if (r.IsSuccess()) r = read(alone);
  }
  if (r.IsSuccess()) return ParamRead::kPresent;
  if (r.Category() == util::ErrObjNotExist) return ParamRead::kMissing;
  *pWhy = r;
  return ParamRead::kInvalid;
}

ParamRead ReadTextParam(RequestParams& params, const char* path, std::string* pOut,
                        Result* pWhy) {
  pOut->clear();
  const ParamRead read =
      ReadParam(params, path, pWhy, [pOut](XmlParser& node) { return node.ReadString(pOut); });
  if (read != ParamRead::kPresent) pOut->clear();
  return read;
}

ParamRead ReadIntParam(RequestParams& params, const char* path, int32_t* pOut, Result* pWhy) {
  int32_t value = 0;
  const ParamRead read =
      ReadParam(params, path, pWhy, [&value](XmlParser& node) { return node.ReadInt(&value); });
  if (read == ParamRead::kPresent) *pOut = value;
  return read;
}

char LowerFirst(std::string_view text, size_t index) {
  return index < text.size()
             ? static_cast<char>(std::tolower(static_cast<unsigned char>(text[index])))
             : '\0';
}

// "specific/folder/SubfolderProcessing": "b..." both, "s..." subfolders only, else watched.
int32_t ClassifySubfolderMode(std::string_view value) {
  switch (LowerFirst(value, 0)) {
    case 'b':
      return 2;
    case 's':
      return 1;
    default:
      return 0;
  }
}

// "specific/folder/FileDetectionMode/Mode": true for a trigger value (longer than nine
// characters, "r" second), whose tenth character then gives the trigger mode.
bool IsTriggerValue(std::string_view value) {
  return value.size() > 9 && LowerFirst(value, 1) == 'r';
}

int32_t ClassifyTriggerMode(std::string_view value) {
  if (!IsTriggerValue(value)) return 0;
  switch (LowerFirst(value, 9)) {
    case 'i':
      return 1;
    case 'o':
      return 2;
    case 'u':
      return 3;
    default:
      return 0;
  }
}

}  // namespace

ImportDriver::ImportDriver(NetConnectionsManager* pConnections) : M_LogonConnector(pConnections) {}

ImportDriver::~ImportDriver() {
  M_Confinement.reset();
  M_LogonConnector.Disconnect();
}

const char* ImportDriver::ClassName() const { return "File_ImportDriver"; }

bool ImportDriver::Init(const xel::Configuration* pConfig) {
  if (pConfig == nullptr) return false;
  M_Package.SetInputBaseDirectory(pConfig->GetString("Folder/FolderInputBaseDirectory", ""));
  M_Package.SetStructuredTypes(pConfig->GetString("Folder/StructuredTypes", ""));
  // Where the platform checks passwords through a named service (PAM on Linux), the
  // component's configuration may name it; empty keeps the default.
  M_LogonConnector.SetLogonService(pConfig->GetString(kLogonServiceKey, ""));
  M_bStreamAnswer = pConfig->GetBool(kStreamAnswerKey, true);
  return !M_bError;
}

void ImportDriver::SetAnswerConnection(xel::Connection* pConn, uint32_t timeoutMs) {
  M_pAnswerConn = pConn;
  M_AnswerTimeoutMs = timeoutMs;
}

void ImportDriver::SetError(const std::string& text) {
  M_bError = true;
  M_ErrorText = text;
}

void ImportDriver::SetRequestHeader(util::Ref<XmlParser> credentials) {
  M_bHeaderRead = true;
  M_pHeaderCredentials = std::move(credentials);
}

bool ImportDriver::Poll(XmlParser* pRequest, XmlParser* pAnswer) {
  if (pRequest == nullptr || pAnswer == nullptr) return false;
  M_AnswerBuilder.SetMessage(pAnswer);
  M_AnswerBuilder.SetStreamTarget(M_bStreamAnswer ? M_pAnswerConn : nullptr, M_AnswerTimeoutMs);
  if (!M_bError) ReadParameters(pRequest);
  // From here on every file call of the poll (listing, claiming, reading, answering) stays in
  // the input folders: a link leads only where its target lies inside them.
  M_Confinement.reset();
  if (!M_bError) M_Confinement.emplace(M_Package.GetConfiningFolders(), kLinkPolicy);
  if (!M_bError) {
    if (M_LogonConnector.Connect() < LogonConnector::kStateUsable) M_bError = true;
    M_ErrorText = M_LogonConnector.GetStatusText();
  }
  if (!M_bError) {
    if (M_MaxRequested == 0) {
      StatusCheck();
    } else {
      Search();
    }
  }
  if (M_bError) {
    M_AnswerBuilder.SetStatus(1, M_ErrorText);
    M_AnswerBuilder.Build(M_Package);
    M_State = kStateAnswered;
    XEL_TRACE_OBJ(this, General_Error, "%s", M_ErrorText.c_str());
  }
  M_Detector.Reset();
  return !M_bError;
}

void ImportDriver::ReadParameters(XmlParser* pRequest) {
  // The header positions the request on its function element, below which the parameters'
  // relative paths start.
  util::Ref<XmlParser> credentials = M_pHeaderCredentials;
  if (!M_bHeaderRead) {
    Result header = pRequest->ReadHeader(nullptr, nullptr, &credentials, nullptr, nullptr);
    if (!header.IsSuccess()) {
      SetError("Could not read the header of the poll request: " + header.Text());
      return;
    }
  }
  RequestParams params(*pRequest);
  Result why;
  auto invalid = [&](const char* name) {
    SetError(std::string("Invalid parameter ") + name + " in poll request: " + why.Text());
  };

  if (ReadIntParam(params, "general/MaxRequested", &M_MaxRequested, &why) ==
      ParamRead::kInvalid) {
    return invalid("MaxRequested");
  }
  if (ReadIntParam(params, "general/StatusCheckIntensity", &M_StatusCheckIntensity, &why) ==
      ParamRead::kInvalid) {
    return invalid("StatusCheckIntensity");
  }

  std::string watchedPath;
  ParamRead read = ReadTextParam(params, "specific/folder/WatchedPath", &watchedPath, &why);
  if (read == ParamRead::kInvalid) return invalid("WatchedPath");
  if (read == ParamRead::kMissing) return SetError("Missing parameter WatchedPath in poll request");

  std::string searchMask;
  read = ReadTextParam(params, "specific/folder/FileSearchMask", &searchMask, &why);
  if (read == ParamRead::kInvalid) return invalid("FileSearchMask");
  if (read == ParamRead::kMissing) {
    return SetError("Missing parameter FileSearchMask in poll request");
  }

  if (!M_Package.SetWatchedFolder(watchedPath)) {
    return SetError("Watched folder " + watchedPath +
                    " is outside of configured FolderInputBaseDirectory. This is not allowed.");
  }
  M_Package.SetFileSearchMask(searchMask);
  M_LogonConnector.SetFolder(watchedPath, false);
  if (M_StatusCheckIntensity == 1) M_LogonConnector.SetReconnect(true);

  std::string subfolders = "WATCHED";
  if (ReadTextParam(params, "specific/folder/SubfolderProcessing", &subfolders, &why) ==
      ParamRead::kInvalid) {
    return invalid("SubfolderProcessing");
  }
  M_Package.SetSubfolderMode(ClassifySubfolderMode(subfolders));

  std::string detection = "TIME";
  read = ReadTextParam(params, "specific/folder/FileDetectionMode/Mode", &detection, &why);
  if (read == ParamRead::kInvalid) return invalid("FileDetectionMode/Mode");
  if (read == ParamRead::kMissing) detection = "TIME";
  if (!IsTriggerValue(detection)) {
    int32_t seconds = 0;
    if (ReadIntParam(params, "specific/folder/FileDetectionMode/SecondsToAllow", &seconds,
                     &why) == ParamRead::kInvalid) {
      return invalid("FileDetectionMode/SecondsToAllow");
    }
    if (seconds > 0) M_Detector.SetMinimumAge(seconds);
  }
  M_Package.SetTriggerMode(ClassifyTriggerMode(detection));
  std::string changeTo;
  if (ReadTextParam(params, "specific/folder/FileDetectionMode/TriggerChangeToExtension",
                    &changeTo, &why) == ParamRead::kInvalid) {
    return invalid("FileDetectionMode/TriggerChangeToExtension");
  }
  M_Package.SetTriggerChangeToExtension(changeTo);

  int32_t importMode = ImportPackage::ImportPlainFiles;
  if (ReadIntParam(params, "specific/folder/FileImportMode/Mode", &importMode, &why) ==
      ParamRead::kInvalid) {
    return invalid("FileImportMode/Mode");
  }
  M_Package.SetImportMode(importMode);

  if (credentials.HasObject()) {
    char user[kCredentialBufferSize] = {};
    char password[kCredentialBufferSize] = {};
    if (credentials->ReadBasicCredentials(user, sizeof(user), password, sizeof(password))
            .IsSuccess() &&
        user[0] != '\0' && password[0] != '\0') {
      M_LogonConnector.SetCredentials(user, password);
    }
  }
  M_Settings = M_Package;
}

void ImportDriver::StatusCheck() {
  // The checks work on copies so that the driver's own package stays without a found file.
  ImportPackage folderCheck = M_Package;
  std::string greeting;
  std::string errorText;
  bool failed = false;
  if (M_Detector.CheckWatchedFolder(&folderCheck, &greeting) < FileDetector::kFolderNoFiles) {
    failed = true;
    errorText = greeting;
  }
  if (!failed && M_StatusCheckIntensity == 1) {
    ImportPackage accessCheck = M_Package;
    FileLocker locker;
    if (locker.CheckFolderAccess(&accessCheck, &errorText) < FileLocker::kAccessFull) {
      failed = true;
    } else if (M_LogonConnector.CheckFolderPermission() != LogonConnector::kStateRightsPresent) {
      failed = true;
      errorText = M_LogonConnector.GetStatusText();
    }
  }
  if (failed) {
    M_AnswerBuilder.SetStatus(1, errorText);
  } else {
    M_AnswerBuilder.SetGreeting(greeting);
    M_AnswerBuilder.SetStatus(0, "");
  }
  M_AnswerBuilder.Build(M_Package);
  M_State = kStateAnswered;
}

void ImportDriver::Search() {
  XEL_TRACE_OBJ(this, General_60, "Searching for files that are not locked");
  SearchFolders();
  if (!M_Package.IsClaimed()) {
    M_Detector.Reset();
    M_Detector.SetMode(FileDetector::kExpiredClaims);
    XEL_TRACE_OBJ(this, General_60, "Searching for locked files that timed out");
    SearchFolders();
  }
  if (M_Package.IsClaimed()) return;
  if (!M_Package.IsFoundFileValid()) {
    M_AnswerBuilder.SetGreeting("No file found");
    M_AnswerBuilder.SetStatus(0, "");
  } else if (M_Package.GetFoundFileLockState() != FileInfo::Locked &&
             M_Package.HasErrorOccurred()) {
    M_ErrorText = "File could not be locked";
    M_AnswerBuilder.SetStatus(1, M_ErrorText);
  }
  M_AnswerBuilder.Build(M_Package);
  M_State = kStateAnswered;
}

void ImportDriver::SearchFolders() {
  const int32_t mode = M_Package.GetSubfolderMode();
  if (mode == 0 || mode == 2) {
    XEL_TRACE_OBJ(this, General_60, "Searching in the watched folder");
    if (M_Package.SetSearchFolder(M_Package.GetWatchedFolder(false, false))) SearchCandidates();
  }
  if (M_Package.IsClaimed() || (mode != 1 && mode != 2)) return;

  XEL_TRACE_OBJ(this, General_60, "Searching in first level subfolders of the watched folder");
  FolderIterator subfolders;
  subfolders.SetEntryType(FolderIterator::FoldersOnly);
  subfolders.SetSortOrder(FolderIterator::SortByCreatedDate);
  subfolders.SetFolder(M_Package.GetWatchedFolder(false, true));
  subfolders.Search();
  FileInfo entry;
  while (!M_Package.IsClaimed() && subfolders.GetNextEntry(&entry)) {
    M_Detector.Reset();
    const std::string name = entry.GetFileName(FileInfo::NameOnly, false, false);
    if (!FileInfo::NameFitsConnectorPath(name)) {
      // As a folder of the search path it would be split at its "\" and lead elsewhere.
      XEL_TRACE_OBJ(this, General_Error,
                    "Ignoring subfolder %s: its name cannot be part of a folder path on this "
                    "platform",
                    name.c_str());
      continue;
    }
    if (M_Package.SetSearchFolder(entry.GetFileName(FileInfo::FullPath, false, false))) {
      SearchCandidates();
    }
  }
}

void ImportDriver::SearchCandidates() {
  while (!M_Package.IsClaimed()) {
    if (!M_Detector.FindNextCandidate(&M_Package)) break;
    TryClaim();
  }
}

void ImportDriver::TryClaim() {
  FileLocker locker;
  if (M_Package.GetFoundFileLockState() == FileInfo::Locked) {
    // An expired claim found by the second pass: taking it over renews its lock name.
    if (!locker.UpdateLock(&M_Package, false)) {
      XEL_TRACE_OBJ(
          this, General_Error, "Could not update lock of file %s",
          M_Package.GetFoundFile().GetLockedFileName(FileInfo::NameOnly, false, false).c_str());
    }
  } else if (!locker.Lock(&M_Package)) {
    XEL_TRACE_OBJ(this, General_Error, "Could not lock file %s",
                  M_Package.GetFoundFile().GetFileName(FileInfo::NameOnly, false, false).c_str());
  }
  if (M_Package.GetFoundFileLockState() != FileInfo::Locked && M_Package.HasErrorOccurred()) {
    // Usually another poller was faster; its rename won.
    XEL_TRACE_OBJ(this, General_60, "Error during locking. Get next file");
    M_Package.SetFoundFileValid(false);
    return;
  }

  if (M_bCandidateGivenUp) ForgetGivenUpCandidate();
  PackageResolver().Resolve(&M_Package);

  M_AnswerBuilder.SetStatus(0, "");
  switch (M_AnswerBuilder.Build(M_Package)) {
    case PollResBuilder::BuildComplete:
      M_Package.SetClaimed(true);
      M_State = kStateClaimed;
      return;
    case PollResBuilder::BuildContentError:
      // The content cannot be carried: keep the file out of every later poll and offer
      // the answer without content (it reports the content error instead).
      if (!locker.UpdateLock(&M_Package, true)) return GiveUpCandidate();
      if (M_AnswerBuilder.Build(M_Package) != PollResBuilder::BuildComplete) {
        return GiveUpCandidate();
      }
      M_Package.SetClaimed(true);
      M_Package.SetErrorOccurred(true);
      M_State = kStateClaimed;
      return;
    case PollResBuilder::BuildStreamBroken:
      // Part of the answer is on its way and cannot be replaced: the conversation ends, and
      // the claim stays until it expires, when a later poll offers the file again.
      M_Package.SetClaimed(true);
      M_State = kStateAborted;
      return;
    default:
      return GiveUpCandidate();
  }
}

void ImportDriver::GiveUpCandidate() {
  M_AnswerBuilder.Build(M_Package);
  M_Package.SetFoundFileValid(false);
  M_Package.SetFoundFileLockState(FileInfo::NotLocked);
  M_Package.SetErrorOccurred(true);
  M_bCandidateGivenUp = true;
}

void ImportDriver::ForgetGivenUpCandidate() {
  ImportPackage fresh = M_Settings;
  fresh.SetSearchFolder(M_Package.GetSearchFolder(false, false));
  fresh.GetFoundFile() = M_Package.GetFoundFile();
  fresh.SetFoundFileValid(true);
  fresh.SetFoundFileLockState(M_Package.GetFoundFileLockState());
  fresh.SetErrorOccurred(M_Package.HasErrorOccurred());
  M_Package = fresh;
  M_bCandidateGivenUp = false;
}

bool ImportDriver::Confirm(XmlParser* pConfirmation, XmlParser* pAnswer) {
  if (pConfirmation == nullptr || pAnswer == nullptr) return false;
  // A cursor of our own, positioned on the confirmation's function element (where the
  // caller's already is once it has read the header).
  XmlParser confirmation(*pConfirmation);
  std::string status;
  const bool bPositioned =
      confirmation.GetDepth() > 0 ||
      confirmation.ReadHeader(nullptr, nullptr, nullptr, nullptr, nullptr).IsSuccess();
  // The cursor is ours: it moves to the status itself instead of through a copy.
  if (bPositioned && (confirmation.MoveToPath("general/Status").IsError() ||
                      confirmation.ReadString(&status).IsError())) {
    status.clear();
  }

  // Completing the claim renames or deletes the entry in the watched folder, never what a
  // link there leads to, and nothing outside the input folders (the poll's confinement).
  if (!M_Confinement || osal::FileConfinement::Current() != &*M_Confinement) {
    M_Confinement.emplace(M_Package.GetConfiningFolders(), kLinkPolicy);
  }
  ConfirmResBuilder builder;
  const std::string& diagnostics = M_Package.GetCommResult().Diagnostics();
  if (LowerFirst(status, 0) == 'o') {
    if (M_bError) {
      builder.SetResult(ConfirmResBuilder::StatusNotProcessed, diagnostics);
    } else if (M_Package.GetFoundFileLockState() == FileInfo::Locked) {
      FileLocker locker;
      if (!locker.Release(&M_Package)) {
        builder.SetResult(ConfirmResBuilder::StatusNotProcessed,
                          M_Package.GetCommResult().Diagnostics());
        M_bError = true;
      }
    } else if (M_Package.GetFoundFileLockState() != FileInfo::LockedPermanent) {
      builder.SetResult(ConfirmResBuilder::StatusNotFound, diagnostics);
      M_bError = true;
    }
  }
  if (!M_bError) builder.SetResult(ConfirmResBuilder::StatusProcessed, "");
  builder.Build(pAnswer).LogIfError(General_Error, "%s", "Writing the confirm-res answer");
  return !M_bError;
}

}  // namespace velmora::xelc
