// The shared trace buffer of a trace key, its writers, and the entry's trace-key helpers.
//
// Layout (binding for every process that opens the buffer): a 256-byte header whose 32-bit
// words are 0 the version (2), 1 the read index and 2 the write index, then 1000 slots of
// 256 bytes, each one NUL-terminated line. Empty when read == write, full when
// (write + 1) % 1000 == read. The named mutex guards the header and the slots.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "osal/SharedMemory.h"
#include "util/Result.h"
#include "util/SharedObject.h"
#include "util/Trace.h"

namespace velmora::util {

// One trace buffer, opened (plug-in side) or created (collector side). Reached by the
// writers through its handle, so closing it while another thread writes is safe.
class LogBuffer : public HandleObject {
 public:
  static constexpr uint32_t kVersion = 2;
  static constexpr size_t kHeaderSize = 256;
  static constexpr size_t kSlotSize = 256;
  static constexpr uint32_t kSlotCount = 1000;
  static constexpr size_t kTotalSize = kHeaderSize + kSlotSize * kSlotCount;  // 256256

  // Outcome of one attempt to place a line.
  enum class PutResult { kWritten, kFull, kNoMutex };

  const char* ClassName() const override { return "LogBuffer"; }

  // The names of the key's objects ("QUIRM8_<key>_Trace_Mutex", "_Mem", "_Event").
  static std::string MutexName(std::string_view key);
  static std::string MemoryName(std::string_view key);
  static std::string EventName(std::string_view key);

  // Opens the existing buffer of key and registers it under a handle. The version word
  // must be 2 (else ErrWrongFormat "Invalid Version of LogBuffer %i"). On failure nothing
  // stays open.
  static Result Open(std::string_view key, Ref<LogBuffer>* buffer);
  // Creates the buffer of key (the collector's side): empty, version 2, accessible to this
  // account and access's group only. The names are removed when the buffer is destroyed; a
  // collector that was killed leaves names that the next creator takes over.
  static Result Create(std::string_view key, Ref<LogBuffer>* buffer,
                       const osal::ObjectAccess& access = {});

  // One attempt to write record as a line: waits up to wait_ms for the mutex, prefixes
  // the slot header and, when *skipped > 0, the skipped-lines note (resetting *skipped).
  // Sets the event when the buffer was empty. Thread-safe.
  PutResult Put(const LogRecord& record, uint32_t wait_ms, std::atomic<int>* skipped);

  // Reader side: appends every waiting line, oldest first, and frees their slots. An
  // abandoned mutex adds the line "Trace mutex has been abandoned" and reading goes on;
  // a mutex that cannot be taken within wait_ms fails with "Failed to lock Mutex.
  // Error=<code>". One reader at a time.
  Result Read(std::vector<std::string>* lines, uint32_t wait_ms = 1000);
  // Waits up to timeout_ms for the writer's signal that lines arrived in an empty buffer.
  bool WaitForLines(uint32_t timeout_ms);
  // Number of lines waiting (a snapshot without the mutex).
  uint32_t PendingLines() const;
  // The header words, for inspection.
  uint32_t Version() const { return Word(0).load(std::memory_order_relaxed); }

  // Drops the buffer's handle (if it has one): writers stop finding it; the objects close
  // with the last reference. An opener whose collector has died removes the names it left
  // behind (POSIX), so that they do not outlive both processes.
  void Close();

 private:
  LogBuffer() = default;
  std::atomic_ref<uint32_t> Word(int index) const;
  char* Slot(uint32_t index) const;

  osal::NamedMutex M_Mutex;
  osal::SharedMemory M_Memory;
  osal::NamedEvent M_Event;
};

// Channel 0 while a trace key is open: writes trace lines into the buffer of a handle.
// Lines that cannot be placed are counted (process-wide) and reported in the next line
// that is written. Thread-safe; a thread that traces from inside the writer is ignored.
class LogWriterBuffer : public LogWriter {
 public:
  static constexpr uint32_t kMutexWaitMs = 1000;
  static constexpr uint32_t kMutexWaitSkippingMs = 10;
  static constexpr int kFullRetries = 500;
  static constexpr uint32_t kFullRetryPauseMs = 10;

  explicit LogWriterBuffer(uint32_t handle = 0) : M_Handle(handle) {}
  void SetHandle(uint32_t handle) { M_Handle.store(handle, std::memory_order_release); }
  void Write(const LogRecord& record) override;

  // The process-wide count of lines waiting to be reported as skipped.
  static int SkippedLines();

 private:
  std::atomic<uint32_t> M_Handle;
};

// Channel 3 while a trace key is open: writes the fatal message as a trace line, a stack
// dump (for the first two fatal errors), prints "\nFatal Error: %s", waits 2000 ms and
// ends the process with exit code 1.
class LogWriterBufferFatal : public LogWriter {
 public:
  explicit LogWriterBufferFatal(LogWriter* trace_writer) : M_pTraceWriter(trace_writer) {}
  void Write(const LogRecord& record) override;

 private:
  LogWriter* M_pTraceWriter;
};

// The entry's trace key: opens the key's buffer and installs the buffer writers for
// channels 0 and 3, keeping the previous writers. Fails (and changes nothing) when the
// buffer cannot be opened or a key is already open.
Result OpenTraceKey(std::string_view key);
// Restores the writers of channels 0 and 3 and closes the buffer; nothing when no key
// is open.
void CloseTraceKey();
bool IsTraceKeyOpen();

}  // namespace velmora::util
