// ImportDriver: runs one "poll" request of the folder import and its confirmation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "FileDetector.h"
#include "ImportPackage.h"
#include "LogonConnector.h"
#include "PollResBuilder.h"
#include "osal/File.h"
#include "util/SharedObject.h"

namespace velmora::xel {
class Configuration;
class Connection;
class XmlParser;
}  // namespace velmora::xel

namespace velmora::xelc {

class NetConnectionsManager;

// Runs one "poll" request: reads its parameters, reaches the watched folder, searches the
// folder (and, on request, its first-level subfolders) for one file, claims it by renaming
// it to its lock name, completes the import package and writes the "poll-res" answer. A
// request with "general/MaxRequested" 0 is a status check that claims nothing. The same
// driver later processes the platform's confirmation of the claim (Confirm).
//
// Everything that goes wrong inside the import is reported in the answer; the driver never
// throws. Between polls nothing survives but the files' names on disk.
//
// Created on the stack of one poll call and used by that call's thread only. It shares the
// component's NetConnectionsManager (not owned, may be null) with other requests.
class ImportDriver {
 public:
  // Poll states (GetPollState).
  enum PollState : int32_t {
    kStateNone = 0,      // nothing answered yet
    kStateAnswered = 1,  // answered without a claim (error, status check, nothing found)
    kStateClaimed = 2,   // a file is claimed and offered: a confirmation is expected
    kStateAborted = 3,   // the answer broke off after it had begun to leave; the claim stays
  };
  // The configuration key that chooses whether the answer leaves while it is built (the
  // default) or is built whole before it is sent.
  static constexpr const char* kStreamAnswerKey = "Folder/StreamPollAnswer";

  explicit ImportDriver(NetConnectionsManager* pConnections);
  // Ends an impersonation the logon connector began.
  virtual ~ImportDriver();
  ImportDriver(const ImportDriver&) = delete;
  ImportDriver& operator=(const ImportDriver&) = delete;

  // Trace category "File_ImportDriver".
  virtual const char* ClassName() const;

  // Reads "Folder/FolderInputBaseDirectory" and "Folder/StructuredTypes" (default "") from
  // the component's configuration into the package, and kStreamAnswerKey. False without a
  // configuration or when the driver already has an error.
  bool Init(const xel::Configuration* pConfig);
  // The connection on which the caller sends the answer: with streaming on, the answer's
  // complete blocks leave on it while Poll builds it, and the caller sends the rest.
  void SetAnswerConnection(xel::Connection* pConn, uint32_t timeoutMs);
  // The caller has read the request's header (the request is on its function element), and
  // these are its credentials (empty without): Poll does not read the header again.
  void SetRequestHeader(util::Ref<xel::XmlParser> credentials);

  // Runs the poll for pRequest (a "poll" request document) and writes the "poll-res"
  // answer into pAnswer (not owned; must outlive the driver's use). False when an
  // argument is missing or the poll ended with an error (the answer then says why).
  bool Poll(xel::XmlParser* pRequest, xel::XmlParser* pAnswer);

  // The poll state (PollState).
  int32_t GetPollState() const { return M_State; }

  // Processes the platform's confirmation of the claim made by Poll: a "general/Status"
  // beginning with "o" (ignoring case) completes the claimed files (deleted, or a trigger
  // file renamed to its processed name); any other status leaves them claimed. Writes the
  // "confirm-res" answer into pAnswer. False when an argument is missing or the
  // confirmation ended with an error. pConfirmation is the message as received, or on its
  // function element once its header has been read.
  bool Confirm(xel::XmlParser* pConfirmation, xel::XmlParser* pAnswer);

  // The poll's import package (settings, found file, companions), for inspection.
  const ImportPackage& GetPackage() const { return M_Package; }
  // The fatal error of this poll (flag and text).
  bool HasError() const { return M_bError; }
  const std::string& GetErrorText() const { return M_ErrorText; }

 private:
  // Reads the request's parameters into the package, detector and logon connector; sets
  // the error flag and text on a missing or invalid parameter.
  void ReadParameters(xel::XmlParser* pRequest);
  // Sets the error flag and text.
  void SetError(const std::string& text);
  // "general/MaxRequested" 0: tests the folder and answers without claiming.
  void StatusCheck();
  // Searches unclaimed files, then expired claims, and answers.
  void Search();
  // Searches the watched folder and/or its first-level subfolders by the subfolder mode.
  void SearchFolders();
  // Walks the candidates of the package's search folder until one is claimed.
  void SearchCandidates();
  // Locks the candidate the detector put into the package, resolves and answers it.
  void TryClaim();
  // Drops the candidate after a failed answer build; the search goes on.
  void GiveUpCandidate();
  // Restarts the package from the poll's settings, keeping the found file, so that a
  // given-up candidate's companions and content error do not reach the next one's answer.
  void ForgetGivenUpCandidate();

  int32_t M_MaxRequested = 0;
  int32_t M_StatusCheckIntensity = 0;
  LogonConnector M_LogonConnector;
  FileDetector M_Detector;
  ImportPackage M_Package;
  PollResBuilder M_AnswerBuilder;
  bool M_bError = false;
  std::string M_ErrorText;
  int32_t M_State = kStateNone;
  // The package as the parameters left it (no found file yet), and whether a candidate
  // was given up since the last resolution.
  ImportPackage M_Settings;
  bool M_bCandidateGivenUp = false;
  bool M_bStreamAnswer = true;
  bool M_bHeaderRead = false;
  util::Ref<xel::XmlParser> M_pHeaderCredentials;
  xel::Connection* M_pAnswerConn = nullptr;
  uint32_t M_AnswerTimeoutMs = 0;
  // The input folders' confinement of the calling thread, from the poll on through its
  // confirmation (the two run on the conversation's thread), so that its folder descriptors
  // are opened once per claim.
  std::optional<osal::FileConfinement> M_Confinement;
};

}  // namespace velmora::xelc
