// ConnectionFile: files read and written as messages through the connection interface.
#include "xel/ConnectionFile.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string_view>

#include "util/FileResult.h"
#include "util/Trace.h"

namespace velmora::xel {
namespace {

using util::Result;

Result ConnFileError(uint32_t category, const char* text) {
  return Result::Make(category, util::ModIntellNetwork, util::ObjConnectionFile, util::SevError,
                      "%s", text);
}

// The folder part of a path in the connector's form ("\" and "/" both separate); empty when
// the name has no folder.
std::string_view FolderOf(std::string_view path) {
  size_t sep = path.find_last_of("\\/");
  if (sep == std::string_view::npos || sep == 0) return {};
  return path.substr(0, sep);
}

}  // namespace

ConnectionFile::ConnectionFile() = default;

ConnectionFile::~ConnectionFile() { (void)Close(); }

Result ConnectionFile::OpenInput(const std::string& fileName) {
  XEL_TRACE_OBJ(this, util::General_40, "OpenInput(FileName=%s)", fileName.c_str());
  if (M_InputFile.IsOpen()) return ConnFileError(util::ErrLogicState, "Input File is already open");
  osal::OpenOptions options;
  options.access = osal::kAccessRead;
  options.share = osal::kShareNone;
  options.disposition = osal::Disposition::kOpenExisting;
  Result r = util::FileOpen(M_InputFile, fileName, options);
  if (r.IsSuccess()) {
    M_InputName = fileName;
    M_bFirstBlock = true;
    M_InPos = M_InEnd = 0;
    M_bInAtEnd = false;
  }
  XEL_TRACE_OBJ(this, util::General_40, "OpenInput(FileName=%s) returned %s", fileName.c_str(),
                r.Text().c_str());
  return r;
}

Result ConnectionFile::OpenOutput(const std::string& fileName, uint32_t flags) {
  XEL_TRACE_OBJ(this, util::General_40, "OpenOutputEx(FileName=%s, Flags=%i)", fileName.c_str(),
                static_cast<int>(flags));
  if (M_OutputFile.IsOpen()) {
    return ConnFileError(util::ErrLogicState, "Output File is already open");
  }
  osal::OpenOptions options;
  options.access = osal::kAccessWrite;
  options.share = (flags & Output_Exclusive) ? osal::kShareNone : osal::kShareRead;
  options.disposition =
      (flags & Output_Replace) ? osal::Disposition::kCreateAlways : osal::Disposition::kCreateNew;
  options.delete_on_close = (flags & Output_DeleteOnClose) != 0;

  osal::Status status = M_OutputFile.Open(fileName, options);
  std::vector<std::string> created;
  if (status.Is(osal::ErrorKind::kPathNotFound) && (flags & Output_CreateFolders)) {
    std::string_view folder = FolderOf(fileName);
    if (!folder.empty()) {
      osal::Status made = osal::CreateFolders(folder, &created);
      // A partial creation still counts: those folders are removed below if the retry fails.
      if (made.ok()) status = M_OutputFile.Open(fileName, options);
      if (!status.ok()) {
        for (auto it = created.rbegin(); it != created.rend(); ++it) {
          (void)osal::DeleteFolder(*it);
        }
        created.clear();
      }
    }
  }
  Result r = util::FileOpenResult(status, fileName, util::FileOpenFlags(options));
  if (r.IsSuccess()) {
    M_OutputName = fileName;
    M_bDeleteOnClose = options.delete_on_close;
    M_CreatedFolders = std::move(created);
  }
  XEL_TRACE_OBJ(this, util::General_40, "OpenOutputEx(FileName=%s, Flags=%i) returned %s",
                fileName.c_str(), static_cast<int>(flags), r.Text().c_str());
  return r;
}

Result ConnectionFile::Send(MessageBlock* pMsgBlock, uint32_t /*timeoutMs*/) {
  XEL_TRACE_OBJ(this, util::General_80, "Send(pBlock=%p) Write %i Bytes to File",
                static_cast<void*>(pMsgBlock),
                pMsgBlock ? static_cast<int>(pMsgBlock->M_Length) : 0);
  XEL_ASSERT(pMsgBlock != 0);
  Result r;
  if (!M_OutputFile.IsOpen()) {
    r = ConnFileError(util::ErrLogicState, "Output File is not opened");
  } else if (pMsgBlock->M_Event == BlockEvent_Data) {
    uint32_t length = pMsgBlock->M_Length;
    if (length > MessageBlock::BlockSize) length = MessageBlock::BlockSize;
    if (M_OutFill + length > kFileBufferSize) r = FlushOutput();
    if (r.IsSuccess()) {
      if (!M_pOutBuffer) M_pOutBuffer = std::make_unique_for_overwrite<uint8_t[]>(kFileBufferSize);
      std::memcpy(M_pOutBuffer.get() + M_OutFill, pMsgBlock->M_Content, length);
      M_OutFill += length;
    }
  } else if (pMsgBlock->M_Event == BlockEvent_Abort) {
    XEL_TRACE_OBJ(this, util::General_10,
                  "ConnectionFile::Send() Trancate File because Message has been cancelled");
    M_OutFill = 0;
    osal::Status status = M_OutputFile.Truncate(0);
    if (!status.ok()) r = util::FileWriteResult(status, M_OutputName, 0);
  } else {
    XEL_TRACE_OBJ(this, util::General_20, "ConnectionFile::Send() ignore Message Block with Ev=%i",
                  static_cast<int>(pMsgBlock->M_Event));
  }
  MessageBlock::Free(pMsgBlock);
  return r;
}

Result ConnectionFile::Receive(uint32_t /*timeoutMs*/, bool stopAtNewMessage,
                               MessageBlock** ppBlock) {
  if (ppBlock == nullptr)
    return ConnFileError(util::ErrLogicArgs, "Receive without a block pointer");
  *ppBlock = nullptr;
  if (!M_InputFile.IsOpen()) return ConnFileError(util::ErrLogicState, "Input File is not opened");
  // The file's first block begins a message: a caller that wants to stop there gets it later.
  if (stopAtNewMessage && M_bFirstBlock) {
    return Result::Make(util::ErrCancelled, util::ModIntellNetwork, util::ObjConnectionFile,
                        util::SevError, "New message starts");
  }
  MessageBlock* pBlock = MessageBlock::Allocate();
  if (pBlock == nullptr)
    return ConnFileError(util::ErrResource, "Allocation of Message Block failed");

  Result r;
  if (M_InEnd - M_InPos < MessageBlock::BlockSize && !M_bInAtEnd) r = FillInput();
  const size_t read = std::min<size_t>(M_InEnd - M_InPos, MessageBlock::BlockSize);
  if (r.IsSuccess()) {
    std::memcpy(pBlock->M_Content, M_pInBuffer.get() + M_InPos, read);
    M_InPos += read;
    pBlock->M_Length = static_cast<uint32_t>(read);
    if (M_bFirstBlock) {
      pBlock->M_Flags |= Flag_BegMessage;
      M_bFirstBlock = false;
    }
    if (M_bInAtEnd && M_InPos == M_InEnd) {
      pBlock->M_Flags |= Flag_EndMessage;
      r = CloseInput();
    } else if (read == 0) {
      r = ConnFileError(util::Error, "File Read operation did not retured data before end of file");
    }
  }
  if (r.IsError()) {
    MessageBlock::Free(pBlock);
    return r;
  }
  *ppBlock = pBlock;
  return Result();
}

Result ConnectionFile::FillInput() {
  if (!M_pInBuffer) M_pInBuffer = std::make_unique_for_overwrite<uint8_t[]>(kFileBufferSize);
  std::memmove(M_pInBuffer.get(), M_pInBuffer.get() + M_InPos, M_InEnd - M_InPos);
  M_InEnd -= M_InPos;
  M_InPos = 0;
  size_t read = 0;
  Result r = util::FileRead(M_InputFile, M_pInBuffer.get() + M_InEnd, kFileBufferSize - M_InEnd,
                            &read);
  M_InEnd += read;
  if (r.IsSuccess() && r.Category() == util::ErrEndOfObject) {
    M_bInAtEnd = true;
    return Result();
  }
  return r;
}

Result ConnectionFile::FlushOutput() {
  const size_t fill = M_OutFill;
  M_OutFill = 0;
  return fill == 0 ? Result() : util::FileWrite(M_OutputFile, M_pOutBuffer.get(), fill);
}

Result ConnectionFile::CloseInput() {
  Result r = util::FileReadResult(M_InputFile.Close(), M_InputName);
  M_bFirstBlock = false;
  M_InPos = M_InEnd = 0;
  M_pInBuffer.reset();
  return r;
}

Result ConnectionFile::CloseOutput() {
  if (!M_OutputFile.IsOpen()) return Result();
  Result r = FlushOutput();
  r.KeepWorse(util::FileWriteResult(M_OutputFile.Close(), M_OutputName, 0));
  M_pOutBuffer.reset();
  if (M_bDeleteOnClose) {
    // Innermost first; a folder that meanwhile holds other entries stays.
    for (auto it = M_CreatedFolders.rbegin(); it != M_CreatedFolders.rend(); ++it) {
      if (!osal::DeleteFolder(*it).ok()) break;
    }
  }
  M_CreatedFolders.clear();
  M_bDeleteOnClose = false;
  return r;
}

Result ConnectionFile::Close() {
  Result r = CloseInput();
  r.KeepWorse(CloseOutput());
  return r;
}

}  // namespace velmora::xel
