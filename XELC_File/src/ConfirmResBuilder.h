// ConfirmResBuilder: holds the outcome of a poll's confirmation and writes the "confirm-res"
// answer.
#pragma once

#include <cstdint>
#include <string>

#include "util/Result.h"

namespace velmora::xel {
class XmlParser;
}

namespace velmora::xelc {

// The answer to the platform's confirmation of a claimed file. The import driver makes one on
// the stack per confirmation, sets the outcome and builds the answer. A plain value; not
// thread-safe.
class ConfirmResBuilder {
 public:
  // Outcomes of a confirmation.
  enum Status : int32_t {
    StatusProcessed = 0,     // nothing to do, or the claimed files were completed
    StatusNotProcessed = 1,  // the driver failed, or completing the claimed files failed
    StatusUnknown = 2,       // not set yet
    StatusNotFound = 3,      // the found file was no longer locked
  };

  ConfirmResBuilder() = default;
  virtual ~ConfirmResBuilder() = default;
  ConfirmResBuilder(const ConfirmResBuilder&) = default;
  ConfirmResBuilder& operator=(const ConfirmResBuilder&) = default;

  // Trace category "File_ConfirmResBuilder".
  virtual const char* ClassName() const;

  // Stores the outcome (Status) and the text of "ErrorString".
  void SetResult(int32_t status, const std::string& text);
  int32_t GetStatus() const { return M_Status; }
  const std::string& GetErrorText() const { return M_ErrorText; }

  // Writes the whole "confirm-res" answer into pDocument (not owned), replacing what it held.
  // Returns the worst result of the document operations (the send reports them as well);
  // ErrLogicArgs, with nothing done, when no document is given. A status outside the table
  // leaves "status" empty.
  util::Result Build(xel::XmlParser* pDocument) const;

 private:
  int32_t M_Status = StatusUnknown;
  std::string M_ErrorText;
};

}  // namespace velmora::xelc
