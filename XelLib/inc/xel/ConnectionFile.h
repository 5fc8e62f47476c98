// ConnectionFile: a connection whose input is a file read as one message and whose output is
// a file that stores the content of the blocks sent to it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "osal/File.h"
#include "util/Result.h"
#include "xel/Connection.h"

namespace velmora::xel {

// Holds one input file and one output file. Receive delivers the input file as the blocks of
// one message (Flag_BegMessage on the first, Flag_EndMessage on the last, after which the input
// is closed); Send writes data blocks to the output file. Reference counted like every
// connection; a file connection belongs to the one thread that uses it (not thread-safe).
class ConnectionFile : public Connection {
 public:
  // Output flags, combinable.
  enum OutputFlags : uint32_t {
    Output_Exclusive = 1,      // no other opener may read or write while the file is open
    Output_Replace = 2,        // replace an existing file; without it the file must be new
    Output_CreateFolders = 4,  // create missing folders of the path (removed again on failure)
    Output_DeleteOnClose = 8,  // delete the file, and the folders made for it, when closed
  };

  ConnectionFile();
  // Closes both files (see Close).
  ~ConnectionFile() override;
  const char* ClassName() const override { return "ConnectionFile"; }

  // Opens fileName for reading, not shared, existing files only; the next block received
  // begins the message. ErrLogicState "Input File is already open" when one is open.
  util::Result OpenInput(const std::string& fileName);
  // Opens fileName for writing with OutputFlags. ErrLogicState "Output File is already open"
  // when one is open. Open failures are the file layer's (util/FileResult.h).
  util::Result OpenOutput(const std::string& fileName, uint32_t flags);

  // Writes a data block's content to the output file; an abort block truncates the file to
  // length 0; other events are ignored. The block is freed in every case. Content is
  // gathered into writes of up to kFileBufferSize bytes: a failed write is reported by the
  // Send that makes it or by CloseOutput.
  util::Result Send(MessageBlock* pMsgBlock, uint32_t timeoutMs) override;
  // The next block of the input file (at most 4000 bytes; never waits), read ahead in reads of
  // up to kFileBufferSize bytes; the block that holds the file's last bytes ends the message
  // (an empty file gives one empty block). With stopAtNewMessage
  // the first block of the file is not taken (ErrCancelled). ErrLogicState "Input File is not
  // opened" without an open input (also after the last block was delivered).
  util::Result Receive(uint32_t timeoutMs, bool stopAtNewMessage, MessageBlock** ppBlock) override;

  // Closes the input file.
  util::Result CloseInput();
  // Closes the output file; a delete-on-close file is removed together with the folders that
  // were created for it.
  util::Result CloseOutput();
  // Closes both files; returns the worse of the two results.
  util::Result Close();

  bool IsInputOpen() const { return M_InputFile.IsOpen(); }
  bool IsOutputOpen() const { return M_OutputFile.IsOpen(); }

  // A read or write of a few KiB costs the system about as much as one of 64 KiB.
  static constexpr size_t kFileBufferSize = 65536;

 private:
  util::Result FlushOutput();
  util::Result FillInput();

  osal::File M_InputFile;
  osal::File M_OutputFile;
  std::string M_InputName;
  std::string M_OutputName;
  bool M_bFirstBlock = false;
  bool M_bDeleteOnClose = false;
  // Read-ahead of the input: bytes [M_InPos, M_InEnd) of M_pInBuffer are not delivered yet;
  // M_bInAtEnd once a read found the end of the file.
  std::unique_ptr<uint8_t[]> M_pInBuffer;
  size_t M_InPos = 0;
  size_t M_InEnd = 0;
  bool M_bInAtEnd = false;
  // Content sent and not yet written: the first M_OutFill bytes of M_pOutBuffer.
  std::unique_ptr<uint8_t[]> M_pOutBuffer;
  size_t M_OutFill = 0;
  // Folders made for the output file (outermost first), removed with a delete-on-close file.
  std::vector<std::string> M_CreatedFolders;
};

}  // namespace velmora::xel
