// Hostile names and layouts against "CreateFile", "ReadFile" and "poll": nothing outside the
// allowed folders changes or is read, refusals carry their text, and the component serves on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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

namespace velmora::osal {
// Forces the component walk where openat2 would resolve confined paths (a no-op elsewhere).
void UseBeneathWalkForTesting(bool walk);
}  // namespace velmora::osal

namespace velmora::xelc {
namespace {

namespace fs = std::filesystem;
using testing::WriteWholeFile;
using util::Ref;
using util::Result;
using xel::XmlParser;

constexpr char kSecret[] = "SECRET";  // in every file outside: no answer may carry it

enum Needs : unsigned { kNone = 0, kLinks = 1, kBackslashNames = 2 /* "\" not a separator */ };

// Names below folder with their contents ("<dir>", "-> target" for links), without skip's.
std::map<std::string, std::string> Snapshot(const std::string& folder, const std::string& skip) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string key = it->path().generic_string().substr(folder.size() + 1);
    if (key == skip || key.rfind(skip + "/", 0) == 0) {
      if (it->is_directory() && !it->is_symlink()) it.disable_recursion_pending();
    } else {
      out[key] = it->is_symlink()     ? "-> " + fs::read_symlink(it->path()).string()
                 : it->is_directory() ? "<dir>"
                                      : testing::ReadWholeFile(it->path().string());
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

// The raw bytes of a message: file contents travel in it as they are.
std::string Bytes(XmlParser& doc) {
  (void)doc.GetMessage()->FetchAll();
  std::string text(static_cast<size_t>(doc.GetMessage()->Size()), '\0');
  (void)doc.GetMessage()->ReadExact(0, text.data(), static_cast<int32_t>(text.size()));
  return text;
}

// Below a fresh folder "@": out/ (CreateFile's), in/ (ReadFile's), base/ (the input base with
// the watched w/), neighbours named alike (outbox, inbox, basement; OUT and IN where names tell
// case apart), outside/ with the secrets, and links where the system has them.
class ScratchTree {
 public:
  ScratchTree() : M_Root(M_Dir.path()) {
    Make(
        "out/sub/|in/sub/|base/w/|base/other/|base/c/|outbox/|inbox/|basement/w/|outside/folder/|"
        "in/doc.xml=<doc>inside</doc>|in/sub/inner.xml=<inner>inside</inner>|"
        "base/other/inbase.pdf=BASE|basement/w/x.pdf=SECRET basement|"
        "outside/secret.txt=SECRET text|outside/doc.xml=<secret>SECRET</secret>|"
        "outside/folder/inner.pdf=SECRET inner");
    if (!osal::FileNamesIgnoreCase()) Make("OUT/|IN/|IN/doc.xml=<capitals>SECRET</capitals>");
    M_LinksWhy = Make(
        "out/ln_dir->../outside|out/ln_abs->@/outside|out/ln_file->../outside/secret.txt|"
        "out/sub/ln_up->../../outside|out/ln_in->sub|out/ln_outbox->../outbox|"
        "in/ln_doc->../outside/doc.xml|in/ln_abs_doc->@/outside/doc.xml|in/ln_dir->../outside|"
        "in/sub/ln_up->../../outside|in/ln_ok->doc.xml|in/ln_in->sub");
  }
  std::string Path(const std::string& below) const { return M_Root + "/" + below; }
  const std::string& root() const { return M_Root; }
  // Why the needs cannot be met here; empty when they can.
  std::string Unmet(unsigned needs) const {
    if ((needs & kLinks) && !M_LinksWhy.empty()) return M_LinksWhy;
    const bool bNoBackslash = (needs & kBackslashNames) && osal::PathSeparator() == '\\';
    return bNoBackslash ? "no file name holds a backslash on this system" : "";
  }
  // Makes the "|"-separated entries below @/prefix: "name/" a folder, "name=content" a file,
  // "name->target" a link; returns why one cannot be made, or empty.
  std::string Make(const std::string& entries, const std::string& prefix = "") const {
    const std::string all = Expand(entries, M_Root);
    for (size_t pos = 0, end; pos < all.size(); pos = end + 1) {
      end = std::min(all.find('|', pos), all.size());
      const std::string item = all.substr(pos, end - pos);
      const size_t arrow = item.find("->"), eq = item.find('=');
      const std::string at = Path(prefix + item.substr(0, std::min(arrow, eq)));
      std::error_code ec;
      if (arrow < eq) {
        const std::string target = item.substr(arrow + 2);
        // An existing target's kind decides; a dangling link is made as one to a file.
        if (fs::is_directory(fs::path(at).parent_path() / target)) {
          fs::create_directory_symlink(target, at, ec);
        } else {
          fs::create_symlink(target, at, ec);
        }
        if (ec) return "no symbolic links here: " + ec.message();
        // A system may claim success without making anything (wine does).
        if (!fs::is_symlink(fs::symlink_status(at))) return "links are accepted but not made here";
      } else if (item.back() == '/') {
        fs::create_directories(at, ec);
      } else {
        WriteWholeFile(at, item.substr(eq + 1));
      }
      if (!fs::exists(fs::symlink_status(at))) return "the file system does not take " + item;
    }
    return {};
  }

 private:
  velmora::testing::TempDir M_Dir{"xelhostile"};
  std::string M_Root, M_LinksWhy;
};

// How a row must end; every row also leaves everything outside its allowed folders as it was.
enum class Want {
  kRefused,         // the containment text ("... is not within output/input path ...")
  kFails,           // another failure
  kDone,            // success (inside)
  kDoneOrFails,     // a name this system may not take
  kNothing,         // poll: "No file found"
  kLinkIgnored,     // poll: "No file found" and a trace line ignoring a link
  kClaimed,         // poll: a file claimed and confirmed
  kWatchedRefused,  // poll: the watched folder is outside the input base directory
};
using enum Want;
// "OUT" is another folder than "out" only where names tell case apart.
const Want kCaseRule = osal::FileNamesIgnoreCase() ? kDone : kRefused;
const Want kWatchedCaseRule = osal::FileNamesIgnoreCase() ? kNothing : kWatchedRefused;

// Runs every row on a fresh tree, with openat2 (where the kernel has it) and with the component
// walk resolving confined paths; run sets *pWhy when its row cannot run here.
template <typename Row, typename Run>
void RunRows(const char* what, const std::vector<Row>& rows, Run run) {
  size_t skipped = 0;
  std::string why;
  for (bool bWalk : {false, true}) {
    osal::UseBeneathWalkForTesting(bWalk);
    skipped = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
      SCOPED_TRACE(std::string(what) + " #" + std::to_string(i) + (bWalk ? " (walk)" : ""));
      ScratchTree tree;
      std::string unmet = tree.Unmet(rows[i].needs);
      if (unmet.empty()) run(tree, rows[i], &unmet);
      if (!unmet.empty()) ++skipped, why = unmet;
    }
  }
  osal::UseBeneathWalkForTesting(false);
  if (skipped == rows.size()) GTEST_SKIP() << why;
}

struct FileCase {
  Want want;
  unsigned needs;
  std::string path;     // "Path" ("@": the scratch folder)
  std::string name;     // "FileName"
  std::string options;  // further parameters, "Key=value;..."
  std::string section;  // the whole "Out"/"In" section; empty: the folder only
};

std::string Repeat(const std::string& part, int times) {
  return times > 0 ? part + Repeat(part, times - 1) : "";
}
const std::string kLong(300, 'a');
const std::string kFollow = "<Directory>@/out/</Directory><FollowLinks>true</FollowLinks>";
const std::string kInFollow = "<Directory>@/in/</Directory><FollowLinks>true</FollowLinks>";
std::string Allow(const std::string& prefixes) {
  return "<Directory>@/out/</Directory><AllowedPathPrefixes>" + prefixes + "</AllowedPathPrefixes>";
}

const std::vector<FileCase> kCreateCases = {
    // Links below the output folder.
    {kRefused, kLinks, "ln_dir/", "x"},
    {kRefused, kLinks, "ln_abs/", "x"},
    {kRefused, kLinks, "sub/ln_up/", "x"},
    {kRefused, kLinks, "ln_in/", "x"},
    {kDone, kLinks, "ln_in/", "x", "", kFollow},
    {kRefused, kLinks, "ln_dir/", "x", "", kFollow},
    {kRefused, kLinks, "", "ln_file", "Extension=;Overwrite=Yes"},
    {kRefused, kLinks, "", "ln_file", "Extension=;Overwrite=Rename"},
    {kRefused, kLinks, "ln_dir/new/deeper/", "x", "CreateFolders=true"},
    {kRefused, kLinks, "ln_dir\\", "x"},
    {kRefused, kLinks, "ln_dir/./", "x"},
    {kRefused, kLinks, "sub/../ln_dir/", "x"},
    {kRefused, kLinks, "ln_in/../ln_dir/", "x", "", kFollow},
    {kRefused, kLinks, "", "ln_dir/x"},
    {kRefused, kLinks, "", "x", "Extension=/../ln_dir/x"},
    {kRefused, kLinks, "ln_outbox/", "x"},
    {kRefused, kLinks, "ln_abs\\folder\\", "inner", "Extension=.pdf;Overwrite=Yes"},
    // Names that climb out, spell the folder differently, or are no names at all.
    {kRefused, kNone, "../outside/", "x"},
    {kRefused, kNone, "..\\outside\\", "secret", "Extension=.txt;Overwrite=Yes"},
    {kRefused, kNone, "sub\\..\\../outside/", "x", "CreateFolders=true"},
    {kRefused, kNone, "@/outside/", "x"},
    {kRefused, kNone, "@/out/../outside/", "x"},
    {kRefused, kNone, "../outbox/", "x"},
    {kDone, kNone, "../out/", "x"},
    {kDone, kNone, "@\\out\\", "x"},
    {kCaseRule, kNone, "../OUT/", "x"},
    {kCaseRule, kNone, "", "x", "", Allow("@/OUT")},
    {kRefused, kNone, "", "x", "", Allow("@/ou")},
    {kRefused, kNone, "", "x", "", Allow("@/out/sub")},
    {kRefused, kNone, "", "x", "", "<Directory>@/out</Directory>"},
    {kRefused, kNone, "", "x", "", Allow("&#10;&#13;")},
    {kRefused, kNone, "../outside/", "x", "", Allow("@/out&#10;@/outbox/../outside")},
    {kRefused, kNone, "..../", "x", "CreateFolders=true"},
    {kRefused, kNone, "", "a..b"},
    {kRefused, kNone, "C:\\", "x"},
    {kRefused, kNone, "", "x:y"},
    {kRefused, kNone, "\\\\server\\share\\", "x"},
    {kRefused, kNone, "\\\\?\\@\\outside\\", "x"},
    {kRefused, kNone, "", "x", "Extension=\\..\\..\\outside\\x"},
    {kRefused, kNone, "", "../../outside/secret", "Extension=.txt;Overwrite=Yes"},
    {kFails, kNone, "", ""},
    {kDoneOrFails, kNone, "", "\x01x"},
    {kDoneOrFails, kNone, "", "\xff\xfe"},
    {kRefused, kNone, "", "\xc0\xaf..\xc0\xafoutside"},
    {kDone, kNone, "", "\xe2\x88\x95x"},
    {kDone, kNone, "\xef\xbc\x8e\xef\xbc\x8e/", "x", "CreateFolders=true"},
    {kDoneOrFails, kNone, "", kLong},
    {kDone, kNone, Repeat("d/", 100), "x", "CreateFolders=true"},
    {kDoneOrFails, kNone, Repeat(std::string(120, 'd') + "/", 40), "x", "CreateFolders=true"},
    {kDoneOrFails, kNone, "", "con", "Extension="},
    {kDoneOrFails, kNone, "", "x. ", "Extension="},
    {kDoneOrFails, kNone, "sub/", "x:stream"},
};

const std::vector<FileCase> kReadCases = {
    {kRefused, kLinks, "", "ln_doc", "Extension="},
    {kRefused, kLinks, "ln_dir/", "doc"},
    {kRefused, kLinks, "sub/ln_up/", "doc"},
    {kRefused, kLinks, "", "ln_ok", "Extension="},
    {kDone, kLinks, "", "ln_ok", "Extension=", kInFollow},
    {kRefused, kLinks, "", "ln_doc", "Extension=", kInFollow},
    {kDone, kLinks, "ln_in/", "inner", "", kInFollow},
    {kDone, kLinks, "ln_dir/../", "doc"},
    {kRefused, kLinks, "ln_dir/folder/../", "doc"},
    {kRefused, kLinks, "ln_in/../ln_dir/", "doc", "", kInFollow},
    {kRefused, kLinks, "", "x", "Extension=/../ln_dir/doc.xml"},
    {kRefused, kNone, "@/outside/", "doc"},
    {kRefused, kNone, "../inbox/", "doc"},
    {kCaseRule, kNone, "../IN/", "doc"},
    {kRefused, kNone, "sub\\..\\../outside/", "doc"},
    {kRefused, kNone, "", "x", "Extension=/../../outside/doc.xml"},
    {kRefused, kNone, "\\\\?\\@\\outside\\", "doc"},
    {kRefused, kNone, "", "doc", "", "<Directory>@/in</Directory>"},
    {kFails, kNone, "", kLong},
    {kFails, kNone, "", "\xff"},
    {kFails, kNone, "", ""},
};

class HostileFileFunctionsTest : public ::testing::Test {
 protected:
  HostileFileFunctionsTest() {
    velmora::testing::QueueConnection::Pair(M_pServer.get(), M_pMaster.get());
  }

  void RunCase(bool bCreate, ScratchTree& tree, const FileCase& c) {
    // Everything but CreateFile's own folder stays as it is; ReadFile changes nothing.
    const std::string own = bCreate ? "out" : "";
    const auto before = Snapshot(tree.root(), own);
    std::vector<std::pair<std::string, std::string>> params;
    const std::string all = "Path=" + c.path + ";FileName=" + c.name + ";" + c.options;
    for (size_t pos = 0, end; pos < all.size(); pos = end + 1) {
      end = std::min(all.find(';', pos), all.size());
      const std::string item = all.substr(pos, end - pos);
      params.emplace_back(item.substr(0, item.find('=')),
                          Expand(item.substr(item.find('=') + 1), tree.root()));
    }
    const std::string folder =
        bCreate ? "<Directory>@/out/</Directory>" : "<Directory>@/in/</Directory>";
    Result r;
    try {
      r = Call(bCreate, tree, c.section.empty() ? folder : c.section, params);
    } catch (const Result& unbuildable) {
      r = unbuildable;  // the request itself cannot carry the name
    }
    const std::string answer = bCreate ? std::string() : TakeAnswer();
    const bool bRefusal =
        r.ErrorText().find(bCreate ? "is not within output path" : "is not within input path") !=
        std::string::npos;
    if (c.want == kRefused) {
      EXPECT_TRUE(r.IsError() && r.Category() == util::ErrLogicArgs && bRefusal) << r.Text();
    } else if (c.want == kFails) {
      EXPECT_TRUE(r.IsError() && !bRefusal) << r.Text();
    } else if (c.want == kDone) {
      EXPECT_TRUE(r.IsSuccess()) << r.Text();
    }  // kDoneOrFails: either, as long as nothing outside changed
    EXPECT_EQ(answer.find(kSecret), std::string::npos) << answer;
    EXPECT_EQ(Snapshot(tree.root(), own), before);
    // The component serves on: a plain request right after succeeds.
    Result next = Call(bCreate, tree, folder, {{"FileName", bCreate ? "control" : "doc"}});
    EXPECT_TRUE(next.IsSuccess()) << "then: " << next.Text();
    EXPECT_TRUE(bCreate || TakeAnswer().find("inside") != std::string::npos);
  }

  Result Call(bool bCreate, const ScratchTree& tree, const std::string& section,
              const std::vector<std::pair<std::string, std::string>>& params) {
    const std::string name = bCreate ? "Out" : "In";
    auto config =
        testing::ConfigFromXml("<" + name + ">" + Expand(section, tree.root()) + "</" + name + ">");
    // ReadFile's parameters are children of the function element itself.
    auto request = bCreate ? testing::MakeRequest("CreateFile", params, "<data>inside</data>")
                           : testing::MakeRequest("ReadFile", params, "", "", false);
    return testing::Call([&] {
      return bCreate ? ExecuteCreateFile(*config, nullptr, *request)
                     : ExecuteReadFile(*config, M_pServer.get(), *request);
    });
  }
  // The message ReadFile sent (or cancelled); empty when it sent none.
  std::string TakeAnswer() {
    auto answer = XmlParser::Create();
    return answer->Receive(M_pMaster.get(), 0).IsError() ? std::string() : Bytes(*answer);
  }
  Ref<velmora::testing::QueueConnection> M_pServer =
      Ref<velmora::testing::QueueConnection>::Adopt(new velmora::testing::QueueConnection);
  Ref<velmora::testing::QueueConnection> M_pMaster =
      Ref<velmora::testing::QueueConnection>::Adopt(new velmora::testing::QueueConnection);
};

TEST_F(HostileFileFunctionsTest, CreateFileWritesNothingOutsideItsFolders) {
  RunRows("CreateFile", kCreateCases, [&](ScratchTree& t, auto& c, auto) { RunCase(true, t, c); });
}

TEST_F(HostileFileFunctionsTest, ReadFileReadsNothingOutsideItsFolder) {
  RunRows("ReadFile", kReadCases, [&](ScratchTree& t, auto& c, auto) { RunCase(false, t, c); });
}

struct PollCase {
  Want want;
  unsigned needs;
  // What @/base/w holds, as ScratchTree::Make takes it; names may lead elsewhere ("../x").
  std::string entries;
  const char* mask = "*";          // "FileSearchMask"
  const char* folder = "";         // further parameters inside <folder>
  const char* keeps = "";          // a file below @ that must still exist after the confirmation
  const char* diagnostics = "";    // text the answer's diagnostics hold
  const char* watched = "base/w";  // "WatchedPath" below @
  const char* base = "@/base";     // "FolderInputBaseDirectory" ("" for none)
};

constexpr const char* kBoth = "<SubfolderProcessing>both</SubfolderProcessing>";
constexpr const char* kSubfolders = "<SubfolderProcessing>subfolders</SubfolderProcessing>";
constexpr const char* kQvXml = "<FileImportMode><Mode>4</Mode></FileImportMode>";
constexpr const char* kTrigFile =
    "<FileDetectionMode><Mode>TRIGGER_FILE</Mode></FileDetectionMode>";
constexpr const char* kTrigFolder =
    "<FileDetectionMode><Mode>TRIGGER_FOLDER</Mode></FileDetectionMode>";
constexpr const char* kTrigSub =
    "<FileDetectionMode><Mode>TRIGGER_SUBFOLDER</Mode></FileDetectionMode>";
constexpr const char* kNotInBase = "is not in configured input base directory";

std::string Descriptor(const std::string& linked) {
  return "d.xml=<ImportSession><Page ImportFileName=\"" + linked + "\"/></ImportSession>";
}

const std::vector<PollCase> kPollCases = {
    {kLinkIgnored, kLinks, "ln.pdf->@/outside/secret.txt"},
    {kLinkIgnored, kLinks, "a.pdf->b.pdf|b.pdf->../../outside/secret.txt"},
    {kLinkIgnored, kLinks, "ln.pdf->../../outside/secret.txt", "*", "", "", "", "base/w", ""},
    {kLinkIgnored, kLinks, "ln.pdf->../other/inbase.pdf", "*", "", "", "", "base/w", ""},
    {kLinkIgnored, kLinks, "ln_dir->../../outside/folder", "*", kBoth},
    {kLinkIgnored, kLinks, "ln_dir->@/outside/folder", "*", kSubfolders},
    {kLinkIgnored, kLinks, "sub/|sub/ln.pdf->../../../outside/secret.txt", "*", kBoth},
    {kLinkIgnored, kLinks, "d.xml->@/outside/doc.xml", "*.xml", kQvXml},
    {kNothing, kLinks, "../wl->../outside/folder", "*", kBoth, "", "", "base/wl"},
    // Links that stay inside are imported; the confirmation removes the link, not its target.
    {kClaimed, kLinks, "ln.pdf->../other/inbase.pdf", "*", "", "base/other/inbase.pdf"},
    {kClaimed, kLinks, "ln.pdf->real.pdf|real.pdf=INSIDE", "ln.pdf", "", "base/w/real.pdf"},
    {kClaimed, kLinks, "ln_dir->../other", "*", kSubfolders},
    // Companions behind links.
    {kClaimed, kLinks, "order.trg=T|order.pdf->@/outside/secret.txt", "*.trg", kTrigFile},
    {kClaimed, kLinks, "order.trg=T|ln.pdf->../../outside/secret.txt|ok.pdf=OK", "*.trg",
     kTrigFolder, "outside/secret.txt"},
    {kClaimed, kLinks, "order.trg=T|order->../../outside/folder", "*.trg", kTrigSub,
     "outside/folder/inner.pdf"},
    {kClaimed, kLinks, Descriptor("ln.pdf") + "|ln.pdf->@/outside/secret.txt", "*.xml", kQvXml, "",
     kNotInBase},
    {kClaimed, kLinks, Descriptor("ln_dir/inner.pdf") + "|ln_dir->../../outside/folder", "*.xml",
     kQvXml, "", kNotInBase},
    // Descriptors that name files outside in their text.
    {kClaimed, kNone, Descriptor("../../outside/secret.txt"), "*.xml", kQvXml, "", kNotInBase},
    {kClaimed, kNone, Descriptor("@/outside/secret.txt"), "*.xml", kQvXml, "", kNotInBase},
    {kClaimed, kNone, Descriptor("..\\..\\outside\\folder\\inner.pdf"), "*.xml", kQvXml, "",
     kNotInBase},
    // Watched folders that climb out or only look like the base.
    {kWatchedRefused, kNone, "", "*", "", "", "", "base/w/../../outside/folder"},
    {kWatchedRefused, kNone, "", "*", "", "", "", "base\\..\\outside"},
    {kWatchedRefused, kNone, "", "*", "", "", "", "basement/w"},
    {kWatchedCaseRule, kNone, "", "*", "", "", "", "BASE/w"},
    {kNothing, kNone, "", "*", "", "", "", "base\\w"},
    // Names that look like paths, or hardly like names.
    {kClaimed, kBackslashNames, "..\\..\\outside\\secret.txt=OWN", "*", "", "outside/secret.txt"},
    {kClaimed, kBackslashNames, "sub/|sub/..\\..\\..\\outside\\folder\\inner.pdf=OWN", "*",
     kSubfolders, "outside/folder/inner.pdf"},
    {kClaimed, kNone, "a\tb.pdf=TAB"},
    {kDoneOrFails, kNone, "\xff\xfe.pdf=BYTES"},
    {kClaimed, kNone, std::string(200, 'n') + ".pdf=LONG"},
    {kDoneOrFails, kNone, std::string(250, 'n') + ".pdf=LONG"},
    {kClaimed, kNone, "..pdf=DOTS|...=DOTS"},
};

// The watched path and the mask go into the XML as they are: rows keep them free of "&<>".
Ref<XmlParser> PollRequest(const std::string& watched, const std::string& mask,
                           const std::string& folder) {
  return velmora::testing::Request(
      "<poll><general><MaxRequested>1</MaxRequested></general><specific><folder><WatchedPath>" +
      watched + "</WatchedPath><FileSearchMask>" + mask + "</FileSearchMask>" + folder +
      "</folder></specific></poll>");
}

void RunPollCase(ScratchTree& tree, const PollCase& c, std::string* pWhy) {
  *pWhy = tree.Make(c.entries, "base/w/");
  if (!pWhy->empty()) return;
  SCOPED_TRACE(c.entries);
  const auto before = Snapshot(tree.root(), "base");
  testing::TraceCapture trace("File_FolderIterator");
  auto config = xel::Configuration::FromDocument(velmora::testing::XmlDoc(
      "<Folder><FolderInputBaseDirectory>" + Expand(c.base, tree.root()) +
      "</FolderInputBaseDirectory><StructuredTypes>.xml</StructuredTypes></Folder>"));
  ImportDriver driver(nullptr);
  ASSERT_TRUE(driver.Init(config.get()));
  XmlParser answer;
  (void)driver.Poll(PollRequest(tree.Path(c.watched), c.mask, c.folder).get(), &answer);
  velmora::testing::Kind(answer);
  const std::string status = velmora::testing::At(answer, "status/Status") + " " +
                             velmora::testing::At(answer, "status/Greeting");
  const std::string error = velmora::testing::At(answer, "status/ErrorString");
  const std::string delivered = Bytes(answer);
  const bool bClaimed = driver.GetPollState() == ImportDriver::kStateClaimed;
  if (bClaimed) {
    XmlParser confirmed;
    auto confirm =
        velmora::testing::Request("<confirm><general><Status>OK</Status></general></confirm>");
    EXPECT_TRUE(driver.Confirm(confirm.get(), &confirmed));
  }
  const std::vector<std::string> lines = trace.Lines();

  if (c.want == kLinkIgnored || c.want == kNothing) {
    EXPECT_FALSE(bClaimed);
    EXPECT_EQ(status, "OK No file found") << error;
    EXPECT_TRUE(c.want == kNothing || std::any_of(lines.begin(), lines.end(), [](auto& line) {
                  return line.find("Ignoring link ") != std::string::npos;
                }));
  } else if (c.want == kClaimed) {
    EXPECT_TRUE(bClaimed) << status << " " << error;
  } else if (c.want == kWatchedRefused) {
    EXPECT_THAT(error, ::testing::HasSubstr("is outside of configured FolderInputBaseDirectory"));
  }  // kDoneOrFails: a name this system may take or not
  EXPECT_EQ(delivered.find(kSecret), std::string::npos) << delivered;
  EXPECT_THAT(driver.GetPackage().GetCommResult().Diagnostics(),
              ::testing::HasSubstr(c.diagnostics));
  EXPECT_TRUE(!*c.keeps || fs::exists(tree.Path(c.keeps))) << c.keeps;
  EXPECT_EQ(Snapshot(tree.root(), "base"), before);
  // The poll serves on: a plain file in another watched folder is claimed.
  WriteWholeFile(tree.Path("base/c/control.pdf"), "CONTROL-BYTES");
  ImportDriver next(nullptr);
  ASSERT_TRUE(next.Init(config.get()));
  XmlParser nextAnswer;
  (void)next.Poll(PollRequest(tree.Path("base/c"), "*", "").get(), &nextAnswer);
  EXPECT_NE(Bytes(nextAnswer).find("CONTROL-BYTES"), std::string::npos);
}

TEST(HostilePollTest, PollImportsNothingFromOutsideTheInputFolders) {
  RunRows("poll", kPollCases, RunPollCase);
}

}  // namespace
}  // namespace velmora::xelc
