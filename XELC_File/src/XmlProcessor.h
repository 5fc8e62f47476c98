// XmlProcessor: examines an import package's descriptor candidate (QV XML, custom XML or neither).
#pragma once

#include <string>

namespace velmora::xel {
class XmlParser;
}

namespace velmora::xelc {

class ImportPackage;

// Decides what the one descriptor candidate of an import package is:
// - a QV XML descriptor (root element "ImportSession"): every "Page" element (name compared
//   ignoring case, any depth, document order) with a non-empty "ImportFileName" attribute
//   links a file, which becomes one of the package's XML-linked files; the descriptor is
//   the package's root XML;
// - custom XML: any other well-formed document when custom XML is allowed, or any file at all
//   when QV XML import is off (then it is not even opened);
// - unacceptable: the package's content error says why.
// Everything it finds is written into the package; it reports nothing to its caller.
// Stateless: make one per call. Not shared between threads (the package is not either).
class XmlProcessor {
 public:
  XmlProcessor() = default;
  virtual ~XmlProcessor() = default;
  XmlProcessor(const XmlProcessor&) = delete;
  XmlProcessor& operator=(const XmlProcessor&) = delete;

  // Trace category "File_XmlProcessor".
  virtual const char* ClassName() const;

  // Examines the candidate at descriptorPath (its current name on disk) according to the
  // package's import-mode bits and records XML state, root XML part number, XML-linked files
  // and any content error in *pPackage. A null package is ignored.
  void Process(const std::string& descriptorPath, ImportPackage* pPackage);

 private:
  // Reads the candidate through a file connection into a message document, checks that the
  // document is well-formed and has a root element, then runs ProcessQvXml; falls back to
  // custom XML or records the content error.
  void CheckFile(const std::string& descriptorPath, ImportPackage* pPackage);
  // Recognises an "ImportSession" document and hands its linked files to the package.
  void ProcessQvXml(const std::string& descriptorPath, xel::XmlParser* pDocument,
                    ImportPackage* pPackage);
  // Moves forward from the document's cursor to the next "Page" element with a non-empty
  // "ImportFileName" attribute; false when the document holds no further one.
  bool NextLinkedFile(xel::XmlParser* pDocument, std::string* pName);
};

}  // namespace velmora::xelc
