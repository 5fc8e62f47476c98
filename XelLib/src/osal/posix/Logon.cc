// POSIX logon: PAM password checks and per-thread impersonation through the raw id syscalls.
#include "osal/Logon.h"

#include <dirent.h>
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace velmora::osal {
namespace {

// The identity a thread had before its first impersonation. Linux keeps credentials per
// thread in the kernel; only glibc's wrappers (setuid, setgroups, ...) copy a change to every
// thread of the process, so this layer calls the system directly and keeps its own record.
struct SavedIdentity {
  bool bActive = false;
  uid_t euid = 0;
  gid_t egid = 0;
  std::vector<gid_t> groups;
};

thread_local SavedIdentity t_Saved;

// The raw calls: they change the calling thread alone. -1 keeps an id as it is.
int ThreadSetResUid(uid_t r, uid_t e, uid_t s) {
  return static_cast<int>(syscall(SYS_setresuid, r, e, s));
}
int ThreadSetResGid(gid_t r, gid_t e, gid_t s) {
  return static_cast<int>(syscall(SYS_setresgid, r, e, s));
}
int ThreadSetGroups(const std::vector<gid_t>& groups) {
  return static_cast<int>(
      syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data()));
}
constexpr uid_t kKeepUid = static_cast<uid_t>(-1);
constexpr gid_t kKeepGid = static_cast<gid_t>(-1);

// Hands the password to PAM when it prompts for it; informational messages get an empty
// answer. Answers are allocated with malloc because PAM frees them.
int Conversation(int count, const struct pam_message** messages, struct pam_response** pResponses,
                 void* pData) {
  if (count <= 0 || messages == nullptr || pResponses == nullptr) return PAM_CONV_ERR;
  const std::string* pPassword = static_cast<const std::string*>(pData);
  auto* responses = static_cast<struct pam_response*>(
      calloc(static_cast<size_t>(count), sizeof(struct pam_response)));
  if (responses == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF:
        responses[i].resp = strdup(pPassword->c_str());
        break;
      case PAM_ERROR_MSG:
      case PAM_TEXT_INFO:
        break;
      default:
        // A question other than the password cannot be answered without a user.
        for (int j = 0; j < i; ++j) {
          if (responses[j].resp != nullptr) {
            explicit_bzero(responses[j].resp, strlen(responses[j].resp));
            free(responses[j].resp);
          }
        }
        free(responses);
        return PAM_CONV_ERR;
    }
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF && responses[i].resp == nullptr) {
      for (int j = 0; j <= i; ++j) free(responses[j].resp);
      free(responses);
      return PAM_BUF_ERR;
    }
  }
  *pResponses = responses;
  return PAM_SUCCESS;
}

// Ends a PAM transaction on every way out.
class PamTransaction {
 public:
  PamTransaction() = default;
  ~PamTransaction() {
    if (M_pHandle != nullptr) pam_end(M_pHandle, M_LastResult);
  }
  PamTransaction(const PamTransaction&) = delete;
  PamTransaction& operator=(const PamTransaction&) = delete;

  int Start(const std::string& service, const std::string& user, const struct pam_conv* pConv) {
    M_LastResult = pam_start(service.c_str(), user.c_str(), pConv, &M_pHandle);
    return M_LastResult;
  }
  int Authenticate() {
    return M_LastResult = pam_authenticate(M_pHandle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  }
  int CheckAccount() {
    return M_LastResult = pam_acct_mgmt(M_pHandle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  }

 private:
  pam_handle_t* M_pHandle = nullptr;
  int M_LastResult = PAM_SUCCESS;
};

}  // namespace

void LogonToken::Close() {
  M_bValid = false;
  M_UserName.clear();
  M_Uid = 0;
  M_Gid = 0;
  M_Groups.clear();
}

Status LogonToken::Resolve(std::string_view user) {
  Close();
  std::string name(user);
  if (name.empty() || name.find('\0') != std::string::npos)
    return Status(ErrorKind::kInvalid, EINVAL);
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* pFound = nullptr;
  int rc;
  while ((rc = getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &pFound)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0) return Status::FromNative(rc);
  if (pFound == nullptr) return Status(ErrorKind::kNotFound, ENOENT);
  int count = 32;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  while (getgrouplist(name.c_str(), entry.pw_gid, groups.data(), &count) < 0) {
    // count now holds the number needed; grow and ask again.
    if (count <= static_cast<int>(groups.size())) count = static_cast<int>(groups.size()) * 2;
    groups.resize(static_cast<size_t>(count));
  }
  groups.resize(static_cast<size_t>(count));
  M_Groups.clear();
  M_Groups.push_back(entry.pw_gid);
  for (gid_t gid : groups) {
    if (gid != entry.pw_gid) M_Groups.push_back(gid);
  }
  M_UserName = name;
  M_Uid = entry.pw_uid;
  M_Gid = entry.pw_gid;
  M_bValid = true;
  return Status::Ok();
}

Status LogonUser(std::string_view user, std::string_view password, std::string_view service,
                 LogonToken* pToken) {
  if (pToken == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  pToken->Close();
  std::string name(user);
  std::string secret(password);
  std::string serviceName(service.empty() ? kDefaultLogonService : service);
  if (name.empty() || name.find('\0') != std::string::npos ||
      secret.find('\0') != std::string::npos || serviceName.find('/') != std::string::npos) {
    return Status(ErrorKind::kInvalid, EINVAL);
  }
  struct pam_conv conversation = {&Conversation, &secret};
  int rc;
  {
    PamTransaction pam;
    rc = pam.Start(serviceName, name, &conversation);
    if (rc == PAM_SUCCESS) rc = pam.Authenticate();
    if (rc == PAM_SUCCESS) rc = pam.CheckAccount();
  }
  explicit_bzero(secret.data(), secret.size());
  if (rc != PAM_SUCCESS) return Status(ErrorKind::kAccessDenied, rc);
  Status resolved = pToken->Resolve(name);
  // PAM knew the account but the account database does not: report it as unknown user.
  if (!resolved.ok()) return Status(ErrorKind::kAccessDenied, PAM_USER_UNKNOWN);
  return Status::Ok();
}

Status LogonProcessAccount(LogonToken* pToken) {
  if (pToken == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  pToken->Close();
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* pFound = nullptr;
  int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &pFound);
  if (rc != 0) return Status::FromNative(rc);
  if (pFound == nullptr) return Status(ErrorKind::kNotFound, ENOENT);
  return pToken->Resolve(entry.pw_name);
}

std::string LogonErrorText(int code) {
  const char* pText = pam_strerror(nullptr, code);
  return pText != nullptr ? std::string(pText) : "PAM error " + std::to_string(code);
}

Status ImpersonateLoggedOnUser(const LogonToken& token) {
  if (!token.IsValid()) return Status(ErrorKind::kInvalid, EINVAL);
  // Going from one impersonation to the next starts from the thread's own identity.
  Status reverted = RevertToSelf();
  if (!reverted.ok()) return reverted;

  SavedIdentity saved;
  saved.euid = geteuid();
  saved.egid = getegid();
  int count = getgroups(0, nullptr);
  if (count < 0) return Status::FromNative(errno);
  saved.groups.resize(static_cast<size_t>(count));
  count = getgroups(count, saved.groups.data());
  if (count < 0) return Status::FromNative(errno);
  saved.groups.resize(static_cast<size_t>(count));

  // Groups and group id first: changing them needs the privilege that the effective user
  // id gives up last.
  std::vector<gid_t> groups(token.Groups().begin(), token.Groups().end());
  if (ThreadSetGroups(groups) != 0) return Status::FromNative(errno);
  if (ThreadSetResGid(kKeepGid, token.Gid(), kKeepGid) != 0) {
    int error = errno;
    (void)ThreadSetGroups(saved.groups);
    return Status::FromNative(error);
  }
  if (ThreadSetResUid(kKeepUid, token.Uid(), kKeepUid) != 0) {
    int error = errno;
    (void)ThreadSetResGid(kKeepGid, saved.egid, kKeepGid);
    (void)ThreadSetGroups(saved.groups);
    return Status::FromNative(error);
  }
  saved.bActive = true;
  t_Saved = std::move(saved);
  return Status::Ok();
}

Status RevertToSelf() {
  if (!t_Saved.bActive) return Status::Ok();
  // The user id first: it brings back the privilege to restore groups and group id.
  if (ThreadSetResUid(kKeepUid, t_Saved.euid, kKeepUid) != 0) return Status::FromNative(errno);
  if (ThreadSetGroups(t_Saved.groups) != 0) return Status::FromNative(errno);
  if (ThreadSetResGid(kKeepGid, t_Saved.egid, kKeepGid) != 0) return Status::FromNative(errno);
  t_Saved = SavedIdentity();
  return Status::Ok();
}

bool IsImpersonating() { return t_Saved.bActive; }

Status ListImpersonatingThreads(std::vector<uint32_t>* pThreadIds) {
  if (pThreadIds == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  pThreadIds->clear();
  DIR* pTasks = opendir("/proc/self/task");
  if (pTasks == nullptr) return Status::FromNative(errno);
  while (const struct dirent* pEntry = readdir(pTasks)) {
    if (pEntry->d_name[0] == '.') continue;
    std::ifstream status(std::string("/proc/self/task/") + pEntry->d_name + "/status");
    std::string line;
    bool bForeign = false;
    // "Uid:" and "Gid:" list the real, effective, saved and file-system ids.
    while (std::getline(status, line)) {
      if (line.rfind("Uid:", 0) != 0 && line.rfind("Gid:", 0) != 0) continue;
      std::istringstream fields(line.substr(4));
      long real = -1;
      long effective = -1;
      fields >> real >> effective;
      bForeign = bForeign || real != effective;
    }
    // A thread that ended since the listing has no status left and is not counted.
    if (bForeign)
      pThreadIds->push_back(static_cast<uint32_t>(std::strtoul(pEntry->d_name, nullptr, 10)));
  }
  closedir(pTasks);
  return Status::Ok();
}

}  // namespace velmora::osal
