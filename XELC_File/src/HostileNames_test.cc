// Hostile names and layouts against "CreateFile", "ReadFile" and "poll": nothing outside the
// allowed folders is created, written, read, renamed or deleted, every refusal carries its
// text, and the component serves on. The corpus is the tables below; each row runs on a fresh
// scratch tree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "ClaimTestSupport.h"
#include "CreateFileFunction.h"
#include "FileFunctionsTestSupport.h"
#include "ImportDriver.h"
#include "QueueConnection.h"
#include "ReadFileFunction.h"
#include "TempDir.h"
#include "osal/File.h"
#include "xel/Configuration.h"

// The end-to-end cases need the host and the plug-in, whose paths the build gives the
// end-to-end test programs (tools/CMakeLists.txt).
#if defined(XEL_HOST_PATH) && defined(XEL_PLUGIN_PATH)
#include "PollEndToEndSupport.h"
#define XEL_HOSTILE_END_TO_END 1
#endif

namespace velmora::osal {
// Forces the component walk where openat2 would resolve confined paths (osal's test switch;
// a no-op where there is one way).
void UseBeneathWalkForTesting(bool walk);
}  // namespace velmora::osal

namespace velmora::xelc {
namespace {

namespace fs = std::filesystem;
using util::Ref;
using util::Result;
using xel::XmlParser;

// --- The scratch tree ----------------------------------------------------------------------
//
// Below a fresh temporary folder "@":
//   out/ (with sub/)          CreateFile's folder: Out/Directory "@/out/", allowed by default
//   in/ (doc.xml, sub/)       ReadFile's folder: In/Directory "@/in/"
//   base/w/, base/other/      the input base directory "@/base" and the watched folder
//   outbox/ inbox/ basement/  neighbours whose names begin like the allowed folders
//   OUT/ IN/                  (only where names tell case apart) the same, in capitals
//   outside/                  secret.txt, doc.xml, folder/inner.pdf: what no request may reach
// and, where the system makes them, symbolic links (kLinks): out/ln_dir -> ../outside,
// out/ln_abs -> @/outside, out/ln_file -> ../outside/secret.txt, out/sub/ln_up ->
// ../../outside, out/ln_in -> sub, out/ln_outbox -> ../outbox, in/ln_doc ->
// ../outside/doc.xml, in/ln_abs_doc -> @/outside/doc.xml, in/ln_dir -> ../outside,
// in/sub/ln_up -> ../../outside, in/ln_ok -> doc.xml, in/ln_in -> sub.
// Every secret holds "SECRET": no answer may carry it.

constexpr char kSecret[] = "SECRET";

enum Needs : unsigned {
  kNone = 0,
  kLinks = 1,           // symbolic links
  kBackslashNames = 2,  // names that hold "\" (where it is no separator)
};

// A tree's names with their contents ("<dir>", "-> target" for links), links not followed,
// leaving out the subtrees named in skip (paths relative to folder).
std::map<std::string, std::string> Snapshot(const std::string& folder,
                                            const std::vector<std::string>& skip = {}) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string key = it->path().generic_string().substr(folder.size() + 1);
    bool bSkipped = false;
    for (const std::string& s : skip) bSkipped = bSkipped || key == s || key.rfind(s + "/", 0) == 0;
    if (bSkipped) {
      if (it->is_directory() && !it->is_symlink()) it.disable_recursion_pending();
      continue;
    }
    if (it->is_symlink()) {
      out[key] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      out[key] = "<dir>";
    } else {
      out[key] = testing::ReadWholeFile(it->path().string());
    }
  }
  return out;
}

// "@" in text replaced by the scratch folder's path.
std::string Expand(std::string text, const std::string& root) {
  for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + root.size())) {
    text.replace(at, 1, root);
  }
  return text;
}

std::string EscapeXml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

class ScratchTree {
 public:
  ScratchTree() : M_Root(M_Dir.path()) {
    for (const char* folder : {"out/sub", "in/sub", "base/w", "base/other", "base/c", "outbox",
                               "inbox", "basement/w", "outside/folder"}) {
      fs::create_directories(Path(folder));
    }
    if (!osal::FileNamesIgnoreCase()) {
      fs::create_directories(Path("OUT"));
      fs::create_directories(Path("IN"));
      testing::WriteWholeFile(Path("IN/doc.xml"), "<capitals>SECRET</capitals>");
    }
    testing::WriteWholeFile(Path("in/doc.xml"), "<doc>inside</doc>");
    testing::WriteWholeFile(Path("in/sub/inner.xml"), "<inner>inside</inner>");
    testing::WriteWholeFile(Path("base/other/inbase.pdf"), "BASE");
    testing::WriteWholeFile(Path("basement/w/x.pdf"), "SECRET basement");
    testing::WriteWholeFile(Path("outside/secret.txt"), "SECRET text");
    testing::WriteWholeFile(Path("outside/doc.xml"), "<secret>SECRET</secret>");
    testing::WriteWholeFile(Path("outside/folder/inner.pdf"), "SECRET inner");
    M_LinksWhy = MakeLinks({{"out/ln_dir", "../outside"},
                            {"out/ln_abs", "@/outside"},
                            {"out/ln_file", "../outside/secret.txt"},
                            {"out/sub/ln_up", "../../outside"},
                            {"out/ln_in", "sub"},
                            {"out/ln_outbox", "../outbox"},
                            {"in/ln_doc", "../outside/doc.xml"},
                            {"in/ln_abs_doc", "@/outside/doc.xml"},
                            {"in/ln_dir", "../outside"},
                            {"in/sub/ln_up", "../../outside"},
                            {"in/ln_ok", "doc.xml"},
                            {"in/ln_in", "sub"}});
  }

  std::string Path(const std::string& below) const { return M_Root + "/" + below; }
  const std::string& root() const { return M_Root; }
  // Why the needs cannot be met here; empty when they can.
  std::string Unmet(unsigned needs) const {
    if ((needs & kLinks) && !M_LinksWhy.empty()) return M_LinksWhy;
    if ((needs & kBackslashNames) && osal::PathSeparator() == '\\') {
      return "no file name holds a backslash on this system";
    }
    return {};
  }
  // Makes links (path below @, target with "@" for the root); why it failed, or empty.
  std::string MakeLinks(const std::vector<std::pair<std::string, std::string>>& links) const {
    for (const auto& [at, target] : links) {
      std::error_code ec;
      const std::string linkTarget = Expand(target, M_Root);
      const fs::path base = fs::path(Path(at)).parent_path();
      // Where the target exists its kind decides; a dangling link is made as one to a file.
      if (fs::is_directory(base / linkTarget)) {
        fs::create_directory_symlink(linkTarget, Path(at), ec);
      } else {
        fs::create_symlink(linkTarget, Path(at), ec);
      }
      // A system may claim success without making anything (wine does).
      if (!ec && !fs::is_symlink(fs::symlink_status(Path(at)))) {
        return "symbolic links are accepted but not made here";
      }
      if (ec) return "no symbolic links here: " + ec.message();
    }
    return {};
  }

 private:
  velmora::testing::TempDir M_Dir{"xelhostile"};
  std::string M_Root;
  std::string M_LinksWhy;
};

// How a row must end; every row also leaves everything outside its allowed folders as it was.
enum class Want {
  kRefused,        // the function's containment text ("... is not within output/input path ...")
  kFails,          // another failure
  kDone,           // success (the file written or read lies inside)
  kCaseRule,       // kDone where names ignore case, kRefused where they do not
  kDoneOrFails,    // a name this system may not take: either
  // poll
  kNothing,        // "No file found"
  kLinkIgnored,    // "No file found", and a trace line ignoring a link
  kClaimed,        // a file claimed and confirmed; no secret delivered
  kWatchedRefused, // the watched folder refused as outside the input base directory
  kWatchedCaseRule,  // kNothing where names ignore case, kWatchedRefused where they do not
};

Want Resolve(Want want) {
  if (want == Want::kCaseRule) return osal::FileNamesIgnoreCase() ? Want::kDone : Want::kRefused;
  if (want == Want::kWatchedCaseRule) {
    return osal::FileNamesIgnoreCase() ? Want::kNothing : Want::kWatchedRefused;
  }
  return want;
}

std::string Label(const char* fn, const std::string& what) { return std::string(fn) + " " + what; }

// --- "CreateFile" and "ReadFile" -----------------------------------------------------------

struct FileCase {
  const char* path;       // "Path" ("@": the scratch folder)
  const char* name;       // "FileName"
  const char* extension;  // "Extension"; nullptr keeps the default
  const char* options;    // further parameters, "Key=value" separated by ";"
  const char* section;    // the whole "Out"/"In" section's content; nullptr: the folder only
  Want want;
  unsigned needs;
};

const std::string kLong(300, 'a');
const std::string kDeep = [] {
  std::string s;
  for (int i = 0; i < 100; ++i) s += "d/";
  return s;
}();
// Longer than the longest path many systems take (4096 bytes on Linux).
const std::string kTooDeep = [] {
  std::string s;
  for (int i = 0; i < 40; ++i) s += std::string(120, 'd') + "/";
  return s;
}();

constexpr const char* kFollow = "<Directory>@/out/</Directory><FollowLinks>true</FollowLinks>";
constexpr const char* kInFollow = "<Directory>@/in/</Directory><FollowLinks>true</FollowLinks>";

const std::vector<FileCase> kCreateCases = {
    // Links below the output folder.
    {"ln_dir/", "x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_abs/", "x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"sub/ln_up/", "x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_in/", "x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_in/", "x", nullptr, "", kFollow, Want::kDone, kLinks},
    {"ln_dir/", "x", nullptr, "", kFollow, Want::kRefused, kLinks},
    {"sub/ln_up/", "x", nullptr, "CreateFolders=true", kFollow, Want::kRefused, kLinks},
    {"", "ln_file", "", "", nullptr, Want::kRefused, kLinks},
    {"", "ln_file", "", "Overwrite=Yes", nullptr, Want::kRefused, kLinks},
    {"", "ln_file", "", "Overwrite=Rename", nullptr, Want::kRefused, kLinks},
    {"", "ln_file", "", "Overwrite=Yes", kFollow, Want::kRefused, kLinks},
    {"ln_dir/folder/", "x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_dir/new/deeper/", "x", nullptr, "CreateFolders=true", nullptr, Want::kRefused, kLinks},
    {"sub/ln_up/new/", "x", nullptr, "CreateFolders=true", nullptr, Want::kRefused, kLinks},
    {"ln_dir\\", "x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_dir/./", "x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"./ln_dir/", "x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_dir//", "x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"sub/../ln_dir/", "x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_in/../ln_dir/", "x", nullptr, "", kFollow, Want::kRefused, kLinks},
    {"", "ln_dir/x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"", "sub/ln_up/x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"", "ln_dir\\x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"", "x", "/../ln_dir/x", "", nullptr, Want::kRefused, kLinks},
    {"ln_outbox/", "x", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_dir/", "x", nullptr, "DeleteOnClose=true", nullptr, Want::kRefused, kLinks},
    {"ln_dir/", "x", ".pdf", "Format=pdf", nullptr, Want::kRefused, kLinks},
    {"ln_dir\\folder/", "x", nullptr, "CreateFolders=true;Overwrite=Rename", nullptr,
     Want::kRefused, kLinks},
    {"ln_abs\\folder\\", "inner", ".pdf", "Overwrite=Yes", nullptr, Want::kRefused, kLinks},
    {"sub/ln_up/folder/", "inner", ".pdf", "Overwrite=Yes", kFollow, Want::kRefused, kLinks},
    // Names that climb out, spell the folder differently, or are no names at all.
    {"../", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"..\\", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"../outside/", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"..\\outside\\", "secret", ".txt", "Overwrite=Yes", nullptr, Want::kRefused, kNone},
    {"sub/../../outside/", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"sub\\..\\../outside/", "x", nullptr, "CreateFolders=true", nullptr, Want::kRefused, kNone},
    {"@/outside/", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"@/out/../outside/", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"@/out/sub/../../outside/", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"../outbox/", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"../out/", "x", nullptr, "", nullptr, Want::kDone, kNone},
    {"@\\out\\", "x", nullptr, "", nullptr, Want::kDone, kNone},
    {"../OUT/", "x", nullptr, "", nullptr, Want::kCaseRule, kNone},
    {"@/OUT/", "x", nullptr, "", nullptr, Want::kCaseRule, kNone},
    {"", "x", nullptr, "", "<Directory>@/out/</Directory><AllowedPathPrefixes>@/OUT"
     "</AllowedPathPrefixes>", Want::kCaseRule, kNone},
    {"", "x", nullptr, "", "<Directory>@/out/</Directory><AllowedPathPrefixes>@/ou"
     "</AllowedPathPrefixes>", Want::kRefused, kNone},
    {"", "x", nullptr, "", "<Directory>@/out/</Directory><AllowedPathPrefixes>@/out/sub"
     "</AllowedPathPrefixes>", Want::kRefused, kNone},
    {"", "x", nullptr, "", "<Directory>@/out</Directory>", Want::kRefused, kNone},
    {"", "x", nullptr, "", "<Directory>@/out/</Directory><AllowedPathPrefixes>&#10;&#13;"
     "</AllowedPathPrefixes>", Want::kRefused, kNone},
    {"../outside/", "x", nullptr, "", "<Directory>@/out/</Directory><AllowedPathPrefixes>@/out"
     "&#10;@/outbox/../outside</AllowedPathPrefixes>", Want::kRefused, kNone},
    {"..../", "x", nullptr, "CreateFolders=true", nullptr, Want::kRefused, kNone},
    {"", "a..b", nullptr, "", nullptr, Want::kRefused, kNone},
    {"C:\\", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"file:", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"", "x:y", nullptr, "", nullptr, Want::kRefused, kNone},
    {"\\\\server\\share\\", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"\\\\?\\@\\outside\\", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"//?/@/outside/", "x", nullptr, "", nullptr, Want::kRefused, kNone},
    {"", "x", "/../../outside/x", "", nullptr, Want::kRefused, kNone},
    {"", "x", "\\..\\..\\outside\\x", "", nullptr, Want::kRefused, kNone},
    {"", "../../outside/secret", ".txt", "Overwrite=Yes", nullptr, Want::kRefused, kNone},
    {"", "", nullptr, "", nullptr, Want::kFails, kNone},
    {"", "a\tb", nullptr, "", nullptr, Want::kDoneOrFails, kNone},
    {"", "a\nb", nullptr, "", nullptr, Want::kDoneOrFails, kNone},
    {"", "\x01x", nullptr, "", nullptr, Want::kDoneOrFails, kNone},
    {"", "x\x7f", nullptr, "", nullptr, Want::kDoneOrFails, kNone},
    {"", "\xff\xfe", nullptr, "", nullptr, Want::kDoneOrFails, kNone},
    {"", "\xc0\xaf..\xc0\xafoutside", nullptr, "", nullptr, Want::kRefused, kNone},
    {"", "\xe2\x88\x95x", nullptr, "", nullptr, Want::kDone, kNone},
    {"\xef\xbc\x8e\xef\xbc\x8e/", "x", nullptr, "CreateFolders=true", nullptr, Want::kDone, kNone},
    {"", kLong.c_str(), nullptr, "", nullptr, Want::kDoneOrFails, kNone},
    {kDeep.c_str(), "x", nullptr, "CreateFolders=true", nullptr, Want::kDone, kNone},
    {kTooDeep.c_str(), "x", nullptr, "CreateFolders=true", nullptr, Want::kDoneOrFails, kNone},
    {"", "con", "", "", nullptr, Want::kDoneOrFails, kNone},
    {"", "nul", nullptr, "", nullptr, Want::kDoneOrFails, kNone},
    {"", "x. ", "", "", nullptr, Want::kDoneOrFails, kNone},
    {"sub/", "x:stream", nullptr, "", nullptr, Want::kDoneOrFails, kNone},
};

const std::vector<FileCase> kReadCases = {
    {"", "ln_doc", "", "", nullptr, Want::kRefused, kLinks},
    {"", "ln_abs_doc", "", "", nullptr, Want::kRefused, kLinks},
    {"ln_dir/", "doc", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_dir\\", "doc", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"sub/ln_up/", "doc", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"", "ln_ok", "", "", nullptr, Want::kRefused, kLinks},
    {"", "ln_ok", "", "", kInFollow, Want::kDone, kLinks},
    {"", "ln_doc", "", "", kInFollow, Want::kRefused, kLinks},
    {"ln_in/", "inner", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_in/", "inner", nullptr, "", kInFollow, Want::kDone, kLinks},
    {"sub/ln_up/", "doc", nullptr, "", kInFollow, Want::kRefused, kLinks},
    {"", "ln_dir/doc", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"./ln_dir/", "doc", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_dir/../", "doc", nullptr, "", nullptr, Want::kDone, kLinks},
    {"ln_dir/folder/../", "doc", nullptr, "", nullptr, Want::kRefused, kLinks},
    {"ln_in/../ln_dir/", "doc", nullptr, "", kInFollow, Want::kRefused, kLinks},
    {"", "x", "/../ln_dir/doc.xml", "", nullptr, Want::kRefused, kLinks},
    {"../outside/", "doc", nullptr, "", nullptr, Want::kRefused, kNone},
    {"..\\outside\\", "doc", nullptr, "", nullptr, Want::kRefused, kNone},
    {"@/outside/", "doc", nullptr, "", nullptr, Want::kRefused, kNone},
    {"../inbox/", "doc", nullptr, "", nullptr, Want::kRefused, kNone},
    {"../IN/", "doc", nullptr, "", nullptr, Want::kCaseRule, kNone},
    {"sub/../../outside/", "doc", nullptr, "", nullptr, Want::kRefused, kNone},
    {"", "x", "/../../outside/doc.xml", "", nullptr, Want::kRefused, kNone},
    {"\\\\?\\@\\outside\\", "doc", nullptr, "", nullptr, Want::kRefused, kNone},
    {"C:\\", "doc", nullptr, "", nullptr, Want::kRefused, kNone},
    {"", "doc", nullptr, "", "<Directory>@/in</Directory>", Want::kRefused, kNone},
    {"", kLong.c_str(), nullptr, "", nullptr, Want::kFails, kNone},
    {"", "a\tb", nullptr, "", nullptr, Want::kFails, kNone},
    {"", "\xff", nullptr, "", nullptr, Want::kFails, kNone},
    {"", "", nullptr, "", nullptr, Want::kFails, kNone},
};

class HostileFileFunctionsTest : public ::testing::Test {
 protected:
  HostileFileFunctionsTest() {
    velmora::testing::QueueConnection::Pair(M_pServer.get(), M_pMaster.get());
  }

  // Runs one row; *pWhy receives why it cannot run here (then nothing is checked).
  void RunCase(bool bCreate, const FileCase& c, size_t index, std::string* pWhy) {
    ScratchTree tree;
    *pWhy = tree.Unmet(c.needs);
    if (!pWhy->empty()) return;
    const char* fn = bCreate ? "CreateFile" : "ReadFile";
    const std::string label =
        Label(fn, "#" + std::to_string(index) + " Path=" + c.path + " FileName=" + c.name);
    // Everything but the function's own folder stays as it is; ReadFile changes nothing.
    const std::vector<std::string> own = bCreate ? std::vector<std::string>{"out"}
                                                 : std::vector<std::string>{};
    const auto before = Snapshot(tree.root(), own);

    std::vector<std::pair<std::string, std::string>> params = {
        {"Path", Expand(c.path, tree.root())}, {"FileName", c.name}};
    if (c.extension) params.emplace_back("Extension", Expand(c.extension, tree.root()));
    std::string options = c.options;
    for (size_t pos = 0; pos < options.size();) {
      size_t end = options.find(';', pos);
      if (end == std::string::npos) end = options.size();
      const std::string item = options.substr(pos, end - pos);
      const size_t eq = item.find('=');
      params.emplace_back(item.substr(0, eq), item.substr(eq + 1));
      pos = end + 1;
    }
    const char* section = bCreate ? "Out" : "In";
    const std::string folder = bCreate ? "<Directory>@/out/</Directory>" : "<Directory>@/in/</Directory>";
    auto config = testing::ConfigFromXml(std::string("<") + section + ">" +
                                         Expand(c.section ? c.section : folder, tree.root()) +
                                         "</" + section + ">");
    Result r;
    try {
      r = Call(bCreate, *config, params, "<data>inside</data>");
    } catch (const Result& unbuildable) {
      r = unbuildable;  // the request itself cannot carry the name
    }
    std::string answer = bCreate ? std::string() : TakeAnswer();

    const Want want = Resolve(c.want);
    const std::string refusal =
        bCreate ? "is not within output path" : "is not within input path";
    switch (want) {
      case Want::kRefused:
        EXPECT_TRUE(r.IsError() && r.Category() == util::ErrLogicArgs &&
                    r.ErrorText().find(refusal) != std::string::npos)
            << label << ": " << r.Text();
        break;
      case Want::kFails:
        EXPECT_TRUE(r.IsError()) << label;
        EXPECT_EQ(r.ErrorText().find(refusal), std::string::npos) << label << ": " << r.Text();
        break;
      case Want::kDone:
        EXPECT_TRUE(r.IsSuccess()) << label << ": " << r.Text();
        break;
      default:
        break;  // kDoneOrFails: either, as long as nothing outside changed
    }
    EXPECT_EQ(answer.find(kSecret), std::string::npos) << label << ": " << answer;
    EXPECT_EQ(Snapshot(tree.root(), own), before) << label;

    // The component serves on: a plain request right after succeeds.
    auto plain = testing::ConfigFromXml(std::string("<") + section + ">" +
                                        Expand(folder, tree.root()) + "</" + section + ">");
    Result next = Call(bCreate, *plain, {{"FileName", bCreate ? "control" : "doc"}}, "<ok/>");
    EXPECT_TRUE(next.IsSuccess()) << label << ", then: " << next.Text();
    if (!bCreate) {
      EXPECT_NE(TakeAnswer().find("inside"), std::string::npos) << label;
    }
  }

  Result Call(bool bCreate, const xel::Configuration& config,
              const std::vector<std::pair<std::string, std::string>>& params,
              const std::string& data) {
    // ReadFile's parameters are children of the function element itself.
    auto request = bCreate ? testing::MakeRequest("CreateFile", params, data)
                           : testing::MakeRequest("ReadFile", params, "", "", false);
    return testing::Call([&] {
      return bCreate ? ExecuteCreateFile(config, nullptr, *request)
                     : ExecuteReadFile(config, M_pServer.get(), *request);
    });
  }

  // The text of the message ReadFile sent (or cancelled); empty when it sent none.
  std::string TakeAnswer() {
    auto answer = XmlParser::Create();
    if (answer->Receive(M_pMaster.get(), 0).IsError()) return {};
    (void)answer->GetMessage()->FetchAll();
    std::string text(static_cast<size_t>(answer->GetMessage()->Size()), '\0');
    (void)answer->GetMessage()->ReadExact(0, text.data(), static_cast<int32_t>(text.size()));
    return text;
  }

  void RunTable(bool bCreate, const std::vector<FileCase>& cases) {
    int skipped = 0;
    std::string why;
    // Both ways of resolving a confined path: openat2 where the kernel has it, and the walk.
    for (bool bWalk : {false, true}) {
      osal::UseBeneathWalkForTesting(bWalk);
      skipped = 0;
      for (size_t i = 0; i < cases.size(); ++i) {
        std::string unmet;
        RunCase(bCreate, cases[i], i, &unmet);
        if (!unmet.empty()) {
          ++skipped;
          why = unmet;
        }
      }
    }
    osal::UseBeneathWalkForTesting(false);
    std::cout << (bCreate ? "CreateFile" : "ReadFile") << ": " << cases.size() << " rows, "
              << skipped << " skipped" << (skipped ? " (" + why + ")" : "") << "\n";
    if (skipped == static_cast<int>(cases.size())) GTEST_SKIP() << why;
  }

  Ref<velmora::testing::QueueConnection> M_pServer =
      Ref<velmora::testing::QueueConnection>::Adopt(new velmora::testing::QueueConnection);
  Ref<velmora::testing::QueueConnection> M_pMaster =
      Ref<velmora::testing::QueueConnection>::Adopt(new velmora::testing::QueueConnection);
};

TEST_F(HostileFileFunctionsTest, CreateFileWritesNothingOutsideItsFolders) {
  RunTable(true, kCreateCases);
}

TEST_F(HostileFileFunctionsTest, ReadFileReadsNothingOutsideItsFolder) {
  RunTable(false, kReadCases);
}

// --- "poll" --------------------------------------------------------------------------------

struct PollCase {
  // What the watched folder @/base/w holds, separated by "|": "name=content" a file,
  // "name/" a folder, "name->target" a link ("@" for the scratch folder). Names may lead
  // elsewhere ("../x").
  std::string entries;
  const char* mask;     // "FileSearchMask"
  const char* folder;   // further parameters inside <folder>
  const char* watched;  // "WatchedPath" below @
  const char* base;     // "FolderInputBaseDirectory" ("@" expanded; "" for none)
  Want want;
  unsigned needs;
  const char* keeps = "";  // a file below @ that must still exist after the confirmation
  const char* diagnostics = "";  // text the answer's diagnostics hold
};

constexpr const char* kBoth = "<SubfolderProcessing>both</SubfolderProcessing>";
constexpr const char* kSubfolders = "<SubfolderProcessing>subfolders</SubfolderProcessing>";
constexpr const char* kQvXml = "<FileImportMode><Mode>4</Mode></FileImportMode>";
constexpr const char* kTriggerFile =
    "<FileDetectionMode><Mode>TRIGGER_FILE</Mode></FileDetectionMode>";
constexpr const char* kTriggerFolder =
    "<FileDetectionMode><Mode>TRIGGER_FOLDER</Mode></FileDetectionMode>";
constexpr const char* kTriggerSubfolder =
    "<FileDetectionMode><Mode>TRIGGER_SUBFOLDER</Mode></FileDetectionMode>";
constexpr const char* kNotInBase = "is not in configured input base directory";

std::string Descriptor(const std::string& linked) {
  return "d.xml=<ImportSession><Page ImportFileName=\"" + linked + "\"/></ImportSession>";
}

const std::vector<PollCase> kPollCases = {
    {"ln.pdf->@/outside/secret.txt", "*", "", "base/w", "@/base", Want::kLinkIgnored, kLinks},
    {"ln.pdf->../../outside/secret.txt", "*", "", "base/w", "@/base", Want::kLinkIgnored, kLinks},
    {"ln.pdf->../../outside/folder/inner.pdf", "*.pdf", "", "base/w", "@/base", Want::kLinkIgnored,
     kLinks},
    {"a.pdf->b.pdf|b.pdf->../../outside/secret.txt", "*", "", "base/w", "@/base",
     Want::kLinkIgnored, kLinks},
    {"ln.pdf->../../outside/secret.txt", "*", "", "base/w", "", Want::kLinkIgnored, kLinks},
    {"ln.pdf->../other/inbase.pdf", "*", "", "base/w", "", Want::kLinkIgnored, kLinks},
    {"ln_dir->../../outside/folder", "*", kBoth, "base/w", "@/base", Want::kLinkIgnored, kLinks},
    {"ln_dir->@/outside/folder", "*", kSubfolders, "base/w", "@/base", Want::kLinkIgnored, kLinks},
    {"sub/|sub/ln.pdf->../../../outside/secret.txt", "*", kBoth, "base/w", "@/base",
     Want::kLinkIgnored, kLinks},
    {"sub/|sub/ln.pdf->@/outside/secret.txt", "*", kSubfolders, "base/w", "@/base",
     Want::kLinkIgnored, kLinks},
    {"d.xml->@/outside/doc.xml", "*.xml", kQvXml, "base/w", "@/base", Want::kLinkIgnored, kLinks},
    {"../wl->../outside/folder", "*", "", "base/wl", "@/base", Want::kNothing, kLinks},
    {"../wl->../outside/folder", "*", kBoth, "base/wl", "@/base", Want::kNothing, kLinks},
    // Links that stay inside are imported; the confirmation removes the link, not its target.
    {"ln.pdf->../other/inbase.pdf", "*", "", "base/w", "@/base", Want::kClaimed, kLinks,
     "base/other/inbase.pdf"},
    {"ln.pdf->real.pdf|real.pdf=INSIDE", "ln.pdf", "", "base/w", "@/base", Want::kClaimed, kLinks,
     "base/w/real.pdf"},
    {"ln_dir->../other", "*", kSubfolders, "base/w", "@/base", Want::kClaimed, kLinks},
    // Companions behind links.
    {"order.trg=T|order.pdf->@/outside/secret.txt", "*.trg", kTriggerFile, "base/w", "@/base",
     Want::kClaimed, kLinks},
    {"order.trg=T|ln.pdf->../../outside/secret.txt|ok.pdf=OK", "*.trg", kTriggerFolder, "base/w",
     "@/base", Want::kClaimed, kLinks, "outside/secret.txt"},
    {"order.trg=T|order->../../outside/folder", "*.trg", kTriggerSubfolder, "base/w", "@/base",
     Want::kClaimed, kLinks, "outside/folder/inner.pdf"},
    {Descriptor("ln.pdf") + "|ln.pdf->@/outside/secret.txt", "*.xml", kQvXml, "base/w", "@/base",
     Want::kClaimed, kLinks, "", kNotInBase},
    {Descriptor("sub/ln.pdf") + "|sub/|sub/ln.pdf->../../../outside/secret.txt", "*.xml", kQvXml,
     "base/w", "@/base", Want::kClaimed, kLinks, "", kNotInBase},
    {Descriptor("ln_dir/inner.pdf") + "|ln_dir->../../outside/folder", "*.xml", kQvXml, "base/w",
     "@/base", Want::kClaimed, kLinks, "", kNotInBase},
    // Descriptors that name files outside in their text.
    {Descriptor("../../outside/secret.txt"), "*.xml", kQvXml, "base/w", "@/base", Want::kClaimed,
     kNone, "", kNotInBase},
    {Descriptor("@/outside/secret.txt"), "*.xml", kQvXml, "base/w", "@/base", Want::kClaimed,
     kNone, "", kNotInBase},
    {Descriptor("..\\..\\outside\\folder\\inner.pdf"), "*.xml", kQvXml, "base/w", "@/base",
     Want::kClaimed, kNone, "", kNotInBase},
    // Watched folders that climb out or only look like the base.
    {"", "*", "", "base/w/../../outside/folder", "@/base", Want::kWatchedRefused, kNone},
    {"", "*", "", "base\\..\\outside", "@/base", Want::kWatchedRefused, kNone},
    {"", "*", "", "basement/w", "@/base", Want::kWatchedRefused, kNone},
    {"", "*", "", "BASE/w", "@/base", Want::kWatchedCaseRule, kNone},
    {"", "*", "", "outside/folder", "@/base", Want::kWatchedRefused, kNone},
    {"", "*", "", "base\\w", "@/base", Want::kNothing, kNone},
    // Names that look like paths, or hardly like names.
    {"..\\..\\outside\\secret.txt=OWN", "*", "", "base/w", "@/base", Want::kClaimed,
     kBackslashNames, "outside/secret.txt"},
    {"sub/|sub/..\\..\\..\\outside\\folder\\inner.pdf=OWN", "*", kSubfolders, "base/w", "@/base",
     Want::kClaimed, kBackslashNames, "outside/folder/inner.pdf"},
    {"a\tb.pdf=TAB", "*", "", "base/w", "@/base", Want::kClaimed, kNone},
    {"\n.pdf=NL", "*", "", "base/w", "@/base", Want::kClaimed, kNone},
    {"\xff\xfe.pdf=BYTES", "*", "", "base/w", "@/base", Want::kDoneOrFails, kNone},
    {std::string(200, 'n') + ".pdf=LONG", "*", "", "base/w", "@/base", Want::kClaimed, kNone},
    {std::string(250, 'n') + ".pdf=LONG", "*", "", "base/w", "@/base", Want::kDoneOrFails, kNone},
    {"..pdf=DOTS|...=DOTS", "*", "", "base/w", "@/base", Want::kClaimed, kNone},
};

class HostilePollTest : public ::testing::Test {
 protected:
  // Makes the entries of a row below @/base/w; why one cannot be made, or empty.
  static std::string MakeEntries(const ScratchTree& tree, const std::string& entries) {
    const std::string w = tree.Path("base/w/");
    size_t pos = 0;
    while (pos < entries.size()) {
      size_t end = entries.find('|', pos);
      if (end == std::string::npos) end = entries.size();
      const std::string item = entries.substr(pos, end - pos);
      pos = end + 1;
      const size_t arrow = item.find("->");
      const size_t eq = item.find('=');
      std::error_code ec;
      if (arrow != std::string::npos && (eq == std::string::npos || arrow < eq)) {
        std::string why = tree.MakeLinks({{"base/w/" + item.substr(0, arrow), item.substr(arrow + 2)}});
        if (!why.empty()) return why;
      } else if (!item.empty() && item.back() == '/') {
        fs::create_directories(w + item, ec);
      } else {
        testing::WriteWholeFile(w + item.substr(0, eq), item.substr(eq + 1));
        if (!fs::exists(fs::symlink_status(w + item.substr(0, eq)))) ec = std::make_error_code(std::errc::invalid_argument);
      }
      if (ec) return "the file system does not take the name " + item;
    }
    return {};
  }

  // Runs one row; *pWhy receives why it cannot run here.
  void RunCase(const PollCase& c, size_t index, std::string* pWhy) {
    ScratchTree tree;
    *pWhy = tree.Unmet(c.needs);
    if (pWhy->empty()) *pWhy = MakeEntries(tree, Expand(c.entries, tree.root()));
    if (!pWhy->empty()) return;
    const std::string label = Label("poll", "#" + std::to_string(index) + " " + c.entries);
    const auto before = Snapshot(tree.root(), {"base"});

    testing::TraceCapture trace("File_FolderIterator");
    auto config = xel::Configuration::FromDocument(velmora::testing::XmlDoc(
        "<Folder><FolderInputBaseDirectory>" + EscapeXml(Expand(c.base, tree.root())) +
        "</FolderInputBaseDirectory><StructuredTypes>.xml</StructuredTypes></Folder>"));
    ImportDriver driver(nullptr);
    ASSERT_TRUE(driver.Init(config.get()));
    XmlParser answer;
    (void)driver.Poll(Request(tree.Path(c.watched), c.mask, c.folder).get(), &answer);
    const std::string status = At(answer, "status/Status");
    const std::string greeting = At(answer, "status/Greeting");
    const std::string error = At(answer, "status/ErrorString");
    std::string delivered;
    for (int i = 0; i < 20; ++i) delivered += PartContent(answer, i);
    const bool bClaimed = driver.GetPollState() == ImportDriver::kStateClaimed;
    XmlParser confirmAnswer;
    if (bClaimed) {
      auto confirmation = velmora::testing::Request(
          "<confirm><general><Status>OK</Status></general></confirm>");
      EXPECT_TRUE(driver.Confirm(confirmation.get(), &confirmAnswer)) << label;
    }

    const std::vector<std::string> lines = trace.Lines();
    switch (Resolve(c.want)) {
      case Want::kLinkIgnored:
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
          return line.find("Ignoring link ") != std::string::npos;
        })) << label;
        [[fallthrough]];
      case Want::kNothing:
        EXPECT_FALSE(bClaimed) << label;
        EXPECT_EQ(status + " " + greeting, "OK No file found") << label << ": " << error;
        break;
      case Want::kClaimed:
        EXPECT_TRUE(bClaimed) << label << ": " << status << " " << error << greeting;
        break;
      case Want::kWatchedRefused:
        EXPECT_THAT(error, ::testing::HasSubstr("is outside of configured FolderInputBaseDirectory"))
            << label;
        break;
      default:
        break;  // a name this system may take or not
    }
    EXPECT_EQ(delivered.find(kSecret), std::string::npos) << label << ": " << delivered;
    EXPECT_THAT(driver.GetPackage().GetCommResult().Diagnostics(),
                ::testing::HasSubstr(c.diagnostics))
        << label;
    if (*c.keeps) {
      EXPECT_TRUE(fs::exists(tree.Path(c.keeps))) << label << ": " << c.keeps;
    }
    EXPECT_EQ(Snapshot(tree.root(), {"base"}), before) << label;

    // The poll serves on: a plain file in another watched folder is claimed.
    testing::WriteWholeFile(tree.Path("base/c/control.pdf"), "control");
    ImportDriver next(nullptr);
    ASSERT_TRUE(next.Init(config.get()));
    XmlParser nextAnswer;
    (void)next.Poll(Request(tree.Path("base/c"), "*", "").get(), &nextAnswer);
    EXPECT_EQ(PartContent(nextAnswer, 0), "control") << label;
  }

  static Ref<XmlParser> Request(const std::string& watched, const std::string& mask,
                                const std::string& folder) {
    return velmora::testing::Request(
        "<poll><general><MaxRequested>1</MaxRequested></general><specific><folder><WatchedPath>" +
        EscapeXml(watched) + "</WatchedPath><FileSearchMask>" + EscapeXml(mask) +
        "</FileSearchMask>" + folder + "</folder></specific></poll>");
  }

  static std::string At(XmlParser& doc, const std::string& path) {
    velmora::testing::Kind(doc);
    std::string value;
    return doc.ReadStringAtPath(path.c_str(), &value).IsSuccess() ? value : "";
  }

  // The bytes of the answer's part at index (0-based); empty when there is none.
  static std::string PartContent(XmlParser& answer, int index) {
    velmora::testing::Kind(answer);
    XmlParser cursor(answer);
    const std::string path =
        "message/body/message/content/part[" + std::to_string(index + 1) + "]/content/binary";
    std::string bytes;
    if (!cursor.MoveToPath(path.c_str()).IsSuccess()) return bytes;
    char buffer[4096];
    for (;;) {
      int got = 0;
      Result r = cursor.ReadBinary(buffer, sizeof(buffer), &got);
      if (r.IsError()) break;
      bytes.append(buffer, static_cast<size_t>(got));
      if (r.Category() != util::ErrMoreData) break;
    }
    return bytes;
  }
};

TEST_F(HostilePollTest, PollImportsNothingFromOutsideTheInputFolders) {
  int skipped = 0;
  std::string why;
  for (bool bWalk : {false, true}) {
    osal::UseBeneathWalkForTesting(bWalk);
    skipped = 0;
    for (size_t i = 0; i < kPollCases.size(); ++i) {
      std::string unmet;
      RunCase(kPollCases[i], i, &unmet);
      if (!unmet.empty()) {
        ++skipped;
        why = unmet;
      }
    }
  }
  osal::UseBeneathWalkForTesting(false);
  std::cout << "poll: " << kPollCases.size() << " rows, " << skipped << " skipped"
            << (skipped ? " (" + why + ")" : "") << "\n";
  if (skipped == static_cast<int>(kPollCases.size())) GTEST_SKIP() << why;
}

// --- Through the real plug-in process ------------------------------------------------------

#ifdef XEL_HOSTILE_END_TO_END
// A few rows of the tables through the host process and the shared-memory link: the refusals
// arrive as faults with their texts, nothing outside changes, and the plug-in serves on.
TEST(HostileEndToEndTest, ThePlugInRefusesWhatLinksLeadToAndServesOn) {
  ScratchTree tree;
  const std::string why = tree.Unmet(kLinks);
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(tree.MakeLinks({{"base/w/ln.pdf", "@/outside/secret.txt"},
                              {"base/w/ln_dir", "../../outside/folder"}})
                  .empty());
  const auto before = Snapshot(tree.root(), {"out", "base"});
  tools::e2e::Pair pair;
  ASSERT_THAT(pair.Start(tree.Path("base"), 1,
                         "<Out><Directory>" + tree.Path("out/") + "</Directory></Out><In><Directory>" +
                             tree.Path("in/") + "</Directory></In>"),
              util::testing_matchers::IsOk());
  auto call = [&](const std::string& xml) {
    Ref<XmlParser> request, answer;
    EXPECT_THAT(tools::RequestFromText(xml, tree.root(), &request, nullptr),
                util::testing_matchers::IsOk());
    if (request) {
      EXPECT_THAT(pair.Session().Call(*request, &answer, 20000), util::testing_matchers::IsOk());
    }
    return answer ? tools::DocumentToText(*answer) : std::string("<no answer>");
  };
  const struct {
    std::string request;
    std::string answer;  // text the answer holds
  } rows[] = {
      {"<CreateFile><Opt><Path>ln_dir/</Path><FileName>x</FileName></Opt><Data><x/></Data>"
       "</CreateFile>",
       "is not within output path"},
      {"<CreateFile><Opt><FileName>ln_file</FileName><Extension></Extension><Overwrite>Yes"
       "</Overwrite></Opt><Data><x/></Data></CreateFile>",
       "is not within output path"},
      {"<CreateFile><Opt><Path>sub/ln_up/new/</Path><FileName>x</FileName><CreateFolders>true"
       "</CreateFolders></Opt><Data><x/></Data></CreateFile>",
       "is not within output path"},
      {"<ReadFile><FileName>ln_doc</FileName><Extension></Extension></ReadFile>",
       "is not within input path"},
      {"<ReadFile><Path>ln_dir/</Path><FileName>doc</FileName></ReadFile>",
       "is not within input path"},
      // The plug-in serves on.
      {"<CreateFile><Opt><FileName>control</FileName></Opt><Data><ok/></Data></CreateFile>",
       "ok"},
      {"<ReadFile><FileName>doc</FileName></ReadFile>", "inside"},
  };
  for (const auto& row : rows) {
    const std::string answer = call(row.request);
    EXPECT_NE(answer.find(row.answer), std::string::npos) << row.request << "\n" << answer;
    EXPECT_EQ(answer.find(kSecret), std::string::npos) << answer;
  }
  for (const char* mode : {"", kBoth}) {
    tools::e2e::Offer offer;
    ASSERT_THAT(pair.Poll(*tools::e2e::PollRequest(tree.Path("base/w"), "*", mode), &offer),
                util::testing_matchers::IsOk());
    EXPECT_EQ(offer.status + " " + offer.text, "OK No file found") << mode;
    pair.Hangup();
  }
  testing::WriteWholeFile(tree.Path("base/w/control.pdf"), "control");
  tools::e2e::Offer offer;
  ASSERT_THAT(pair.Poll(*tools::e2e::PollRequest(tree.Path("base/w"), "*"), &offer),
              util::testing_matchers::IsOk());
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].second, "control");
  std::string processed;
  EXPECT_THAT(pair.Confirm("OK", &processed), util::testing_matchers::IsOk());
  EXPECT_THAT(pair.Finish(), util::testing_matchers::IsOk());
  EXPECT_EQ(Snapshot(tree.root(), {"out", "base"}), before);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(tree.Path("base/w/ln.pdf"))));
}
#else
TEST(HostileEndToEndTest, ThePlugInRefusesWhatLinksLeadToAndServesOn) {
  GTEST_SKIP() << "built without the host's and plug-in's paths: this program is not among the "
                  "end-to-end test programs of tools/CMakeLists.txt";
}
#endif

}  // namespace
}  // namespace velmora::xelc
