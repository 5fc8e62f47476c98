// xelmsg: converts, queries and compares message documents on the command line.
//
//   xelmsg encode [--compact] [--key KEY] [FILE]   any format -> binary token stream
//   xelmsg decode [--indent N] [--key KEY] [FILE]  any format -> XML text (indent 2 default)
//   xelmsg get PATH [--key KEY] [FILE]             the text at PATH
//   xelmsg compare TEMPLATE [--key KEY] [FILE]     template comparison
//   xelmsg encrypt [--method N] [--text] [--key KEY] [FILE]   an EncryptedData element
// Wherever --key KEY is taken, --key-file FILE takes the key from a key file instead.
//
// The message is read from FILE or, without one, from standard input; results go to
// standard output. Exit codes: 0 success, 1 a compare difference or a path not found,
// 2 usage, 3 unreadable input (the document layer's error text on standard error).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "osal/Process.h"
#include "xel/XmlParser.h"

namespace {

using velmora::util::Ref;
using velmora::util::Result;
using velmora::xel::XmlParser;

constexpr int kExitDiffers = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBadInput = 3;

// The help text; on standard output for --help, on standard error after a wrong call.
int Usage(FILE* out = stderr, int exitCode = kExitUsage) {
  fprintf(out,
          "Usage: xelmsg encode [--compact] [--key KEY] [FILE]\n"
          "  or:  xelmsg decode [--indent N] [--key KEY] [FILE]\n"
          "  or:  xelmsg get PATH [--key KEY] [FILE]\n"
          "  or:  xelmsg compare TEMPLATE [--key KEY] [FILE]\n"
          "  or:  xelmsg encrypt [--method N] [--text] [--key KEY] [FILE]\n"
          "Converts, queries, compares and encrypts message documents. The message is read\n"
          "from FILE or, without one, from standard input, in any format (binary or compact\n"
          "token stream, XML text); results go to standard output.\n"
          "\n"
          "Commands:\n"
          "  encode            write the document as the binary token stream\n"
          "  decode            write the document as XML text in UTF-8\n"
          "  get PATH          print the text of the element or attribute at PATH, such as\n"
          "                    /Envelope/Header/type or /ImportSession/@Name\n"
          "  compare TEMPLATE  compare the document with the template file TEMPLATE; print\n"
          "                    the first difference\n"
          "  encrypt           write the input as an EncryptedData element\n"
          "\n"
          "Options:\n"
          "  --compact         encode: the compact token stream\n"
          "  --indent N        decode: N blanks per level, 0 to 5 (default 2; 0: one line)\n"
          "  --key KEY         the Blowfish key: EncryptedData elements are read decrypted;\n"
          "                    encrypt: the key to encrypt with\n"
          "  --key-file FILE   the key from the key file FILE instead of --key\n"
          "  --method N        encrypt: method 0 (plain content), 1 or 2 (default 1)\n"
          "  --text            encrypt: the input escaped as text, not as it stands\n"
          "  -h, --help        print this help and exit\n"
          "\n"
          "Exit status:\n"
          "  0     success; compare: the document matches\n"
          "  1     compare: the document differs; get: no node at PATH\n"
          "  2     wrong usage\n"
          "  3     the input cannot be read (the reason is on standard error)\n");
  return exitCode;
}

std::string ErrorOf(const Result& r) {
  std::string text = r.ErrorText();
  return text.empty() ? r.Text() : text;
}

int Fail(const char* what, const Result& r) {
  fprintf(stderr, "xelmsg: %s: %s\n", what, ErrorOf(r).c_str());
  return kExitBadInput;
}

// Reads a whole file (or standard input for an empty path) into a new document.
bool Load(const std::string& path, Ref<XmlParser>* pDoc) {
  FILE* f = path.empty() ? stdin : fopen(path.c_str(), "rb");
  if (!f) {
    fprintf(stderr, "xelmsg: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  Ref<XmlParser> doc = XmlParser::Create();
  std::vector<char> buf(1 << 16);
  bool ok = true;
  for (;;) {
    size_t n = fread(buf.data(), 1, buf.size(), f);
    if (n > 0) {
      Result r = doc->GetMessage()->Append(buf.data(), static_cast<int32_t>(n));
      if (r.IsError()) {
        fprintf(stderr, "xelmsg: %s: %s\n", path.empty() ? "stdin" : path.c_str(),
                ErrorOf(r).c_str());
        ok = false;
        break;
      }
    }
    if (n < buf.size()) {
      if (ferror(f)) {
        fprintf(stderr, "xelmsg: read error on %s\n", path.empty() ? "stdin" : path.c_str());
        ok = false;
      }
      break;
    }
  }
  if (f != stdin) fclose(f);
  if (ok) *pDoc = doc;
  return ok;
}

// Writes the bytes of a document's message to standard output.
bool WriteOut(const XmlParser& doc) {
  velmora::xel::Message* m = doc.GetMessage();
  std::vector<char> buf(1 << 16);
  for (int64_t pos = 0; pos < m->Size();) {
    int32_t got = 0;
    Result r = m->Read(pos, buf.data(), static_cast<int32_t>(buf.size()), &got);
    if (r.IsError() || got <= 0) return false;
    if (fwrite(buf.data(), 1, static_cast<size_t>(got), stdout) != static_cast<size_t>(got)) {
      return false;
    }
    pos += got;
  }
  return true;
}

// Copies the document read from in into out (a fresh document of the wanted format): the
// root element and everything in it; anything but white space after it is refused.
Result Convert(XmlParser& in, XmlParser& out) {
  Result r;
  do {
    r = in.NextToken();
  } while (r.IsSuccess() && in.GetNodeType() != XmlParser::Node_ElementStart);
  if (r.Category() == velmora::util::ErrEndOfObject) {
    return Result::Fail(velmora::util::ErrXmlFormat, "no root element");
  }
  if (r.IsSuccess()) r = out.CopySubtree(in, 1);
  if (r.IsSuccess()) r = out.CloseAll();
  if (r.IsError()) return r;
  r = in.NextToken();
  if (r.Category() == velmora::util::ErrEndOfObject) return Result();
  if (r.IsError()) return r;
  return Result::Fail(velmora::util::ErrXmlFormat, "data after the root element");
}

// Writes the input (as it stands, or escaped as text with --text) as an EncryptedData element
// for method with key, followed by a line end.
int Encrypt(const XmlParser& input, int method, bool text, bool haveKey, const std::string& key) {
  if (method != 0 && !haveKey) {
    fprintf(stderr, "xelmsg: encrypt: method %i needs --key or --key-file\n", method);
    return kExitUsage;
  }
  velmora::xel::Message* m = input.GetMessage();
  std::string bytes(static_cast<size_t>(m->Size()), '\0');
  if (!bytes.empty() &&
      m->ReadExact(0, bytes.data(), static_cast<int32_t>(bytes.size())).IsError()) {
    return Fail("encrypt", Result::Fail(velmora::util::Error, "input"));
  }
  std::string content;
  if (text) {
    velmora::xel::XmlEscapeAppend(&content, bytes.data(), bytes.size(), 0);
  } else {
    content = std::move(bytes);
  }
  std::string element;
  Result r = velmora::xel::XmlEncryptContent(method, key, content, &element);
  if (r.IsError()) return Fail("encrypt", r);
  element += '\n';
  if (fwrite(element.data(), 1, element.size(), stdout) != element.size() || fflush(stdout) != 0) {
    return Fail("write", Result::Fail(velmora::util::Error, "stdout"));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Token streams are bytes: no line-end translation on either standard stream.
  velmora::osal::UseBinaryStandardStreams();
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") return Usage(stdout, 0);
  std::vector<std::string> args;
  std::string key;
  bool haveKey = false, compact = false, text = false;
  int indent = 2, method = 1;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--key" && i + 1 < argc) {
      key = argv[++i];
      haveKey = true;
    } else if (a == "--key-file" && i + 1 < argc) {
      Result r = velmora::xel::XmlReadKeyFile(argv[++i], &key);
      if (r.IsError()) return Fail("--key-file", r);
      haveKey = true;
    } else if (a == "--method" && i + 1 < argc) {
      const std::string m = argv[++i];
      if (m != "0" && m != "1" && m != "2") return Usage();
      method = m[0] - '0';
    } else if (a == "--text") {
      text = true;
    } else if (a == "--compact") {
      compact = true;
    } else if (a == "--indent" && i + 1 < argc) {
      char* end = nullptr;
      long v = strtol(argv[++i], &end, 10);
      if (*end != 0 || v < 0 || v > 5) return Usage();
      indent = static_cast<int>(v);
    } else if (a.size() > 1 && a[0] == '-' && a != "--") {
      return Usage();
    } else {
      args.push_back(a);
    }
  }
  const bool needsArg = command == "get" || command == "compare";
  if (command != "encode" && command != "decode" && command != "encrypt" && !needsArg) {
    return Usage();
  }
  const size_t want = needsArg ? 1 : 0;
  if (args.size() < want || args.size() > want + 1) return Usage();
  const std::string input = args.size() > want ? args[want] : std::string();

  Ref<XmlParser> doc;
  if (!Load(input, &doc)) return kExitBadInput;
  if (command == "encrypt") return Encrypt(*doc, method, text, haveKey, key);
  if (haveKey) doc->SetDecryptionKey(key);

  if (command == "encode" || command == "decode") {
    XmlParser out;
    Result r = command == "encode" ? out.SetDataFormat(compact ? XmlParser::Format_Compact
                                                               : XmlParser::Format_Binary)
                                   : out.SetDataFormat(XmlParser::Format_XmlUtf8);
    if (r.IsSuccess() && command == "decode") r = out.SetIndentation(indent);
    if (r.IsSuccess()) r = Convert(*doc, out);
    if (r.IsError()) return Fail(command.c_str(), r);
    if (!WriteOut(out)) return Fail("write", Result::Fail(velmora::util::Error, "stdout"));
    if (command == "decode") fputc('\n', stdout);
    return fflush(stdout) == 0 ? 0 : kExitBadInput;
  }

  if (command == "get") {
    std::string text;
    Result r = doc->ReadStringAtPath(args[0].c_str(), &text);
    if (r.Category() == velmora::util::ErrObjNotExist) {
      fprintf(stderr, "xelmsg: %s\n", ErrorOf(r).c_str());
      return kExitDiffers;
    }
    if (r.IsError()) return Fail("get", r);
    fwrite(text.data(), 1, text.size(), stdout);
    fputc('\n', stdout);
    return 0;
  }

  // compare
  Ref<XmlParser> templ;
  if (!Load(args[0], &templ)) return kExitBadInput;
  Result r = doc->CompareWithTemplate(*templ);
  if (r.IsSuccess()) return 0;
  if (r.Category() == velmora::util::ErrObjNotExist) {
    printf("%s\n", ErrorOf(r).c_str());
    return kExitDiffers;
  }
  return Fail("compare", r);
}
