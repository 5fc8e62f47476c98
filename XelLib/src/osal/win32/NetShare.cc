// Network shares on Windows: the system's own connections through the networking calls of mpr.
#include "osal/NetShare.h"

#include <string>
#include <vector>

#include "win32/WindowsSupport.h"

// After windows.h: the networking calls.
#include <winnetwk.h>

namespace velmora::osal {
namespace {

// "\\server\share" of a UNC path in either separator, with or without "\\?\UNC\"; empty for
// any other path.
std::wstring ShareRoot(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) path = L"\\\\" + path.substr(8);
  if (path.size() < 3 || path.compare(0, 2, L"\\\\") != 0) return std::wstring();
  size_t serverEnd = path.find(L'\\', 2);
  if (serverEnd == std::wstring::npos || serverEnd == 2) return std::wstring();
  size_t shareEnd = path.find(L'\\', serverEnd + 1);
  if (shareEnd == serverEnd + 1) return std::wstring();
  return path.substr(0, shareEnd);
}

}  // namespace

uint32_t AddShareConnection(std::string_view remote, std::string_view user,
                            std::string_view password) {
  std::wstring remoteName = win32::Widen(remote);
  std::wstring account = win32::Widen(user);
  std::wstring secret = win32::Widen(password);
  NETRESOURCEW resource = {};
  // Deviceless (no local name), so any type may be asked for.
  resource.dwType = RESOURCETYPE_ANY;
  resource.lpLocalName = nullptr;
  resource.lpRemoteName = remoteName.data();
  resource.lpProvider = nullptr;
  // Temporary: the connection is not remembered in the user's profile.
  DWORD code = ::WNetAddConnection2W(
      &resource, secret.c_str(), account.empty() ? nullptr : account.c_str(), CONNECT_TEMPORARY);
  ::SecureZeroMemory(secret.data(), secret.size() * sizeof(wchar_t));
  return code;
}

uint32_t CancelShareConnection(std::string_view remote, bool bForce) {
  const std::wstring remoteName = win32::Widen(remote);
  return ::WNetCancelConnection2W(remoteName.c_str(), 0, bForce ? TRUE : FALSE);
}

bool IsShareConnected(std::string_view remote) {
  const std::wstring wanted = ShareRoot(win32::Widen(remote));
  if (wanted.empty()) return false;
  HANDLE enumeration = nullptr;
  if (::WNetOpenEnumW(RESOURCE_CONNECTED, RESOURCETYPE_ANY, 0, nullptr, &enumeration) != NO_ERROR) {
    return false;
  }
  bool bFound = false;
  // NETRESOURCEW entries followed by their strings; DWORD-sized units keep them aligned.
  std::vector<DWORD> buffer(4096);
  for (;;) {
    DWORD count = static_cast<DWORD>(-1);
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
    DWORD code = ::WNetEnumResourceW(enumeration, &count, buffer.data(), &size);
    if (code == ERROR_MORE_DATA && size > buffer.size() * sizeof(DWORD)) {
      buffer.resize(size / sizeof(DWORD) + 1);
      continue;
    }
    if (code != NO_ERROR) break;
    const auto* pEntries = reinterpret_cast<const NETRESOURCEW*>(buffer.data());
    for (DWORD i = 0; i < count && !bFound; ++i) {
      if (pEntries[i].lpRemoteName == nullptr) continue;
      const std::wstring root = ShareRoot(pEntries[i].lpRemoteName);
      bFound = !root.empty() &&
               ::CompareStringOrdinal(root.c_str(), -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL;
    }
    if (bFound) break;
  }
  ::WNetCloseEnum(enumeration);
  return bFound;
}

// The system's redirector chooses the servers' port.
void SetShareClientPort(uint16_t /*port*/) {}

}  // namespace velmora::osal
