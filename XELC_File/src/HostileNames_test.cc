// Hostile names and layouts against "CreateFile", "ReadFile" and "poll": nothing outside the
// allowed folders changes or is read, refusals carry their text, and the functions serve on.
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
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Value;
using testing::WriteWholeFile;
using util::Result;
using velmora::testing::At;
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
struct ScratchTree {
  ScratchTree() {
    Make(
        "out/sub/|in/sub/|base/w/|base/other/|base/c/|outbox/|inbox/|basement/w/|outside/folder/|"
        "in/doc.xml=<doc>inside</doc>|in/sub/inner.xml=<inner>inside</inner>|"
        "base/other/inbase.pdf=BASE|basement/w/x.pdf=SECRET basement|"
        "outside/secret.txt=SECRET text|outside/doc.xml=<secret>SECRET</secret>|"
        "outside/folder/inner.pdf=SECRET inner");
    if (!osal::FileNamesIgnoreCase()) Make("OUT/|IN/|IN/doc.xml=<capitals>SECRET</capitals>");
    M_LinksWhy = Make(
        "out/ln_dir->../outside|out/ln_abs->@/outside|out/ln_file->../outside/secret.txt|"
        "out/sub/ln_up->../../outside|out/ln_in->sub|in/ln_doc->../outside/doc.xml|"
        "in/ln_dir->../outside|in/ln_ok->doc.xml|in/ln_in->sub");
  }
  std::string Path(const std::string& below) const { return M_Root + "/" + below; }
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

  velmora::testing::TempDir M_Dir{"xelhostile"};
  const std::string M_Root = M_Dir.path();
  std::string M_LinksWhy;
};

// How a row must end: refused with the containment text, another failure, success, either (a name
// this system may not take); poll: "No file found" (also with a trace line ignoring a link), a
// file claimed and confirmed, the watched folder refused as outside the input base directory.
// Every row also leaves everything outside its allowed folders as it was.
enum class Want {
  kRefused,
  kFails,
  kDone,
  kEither,
  kNothing,
  kLinkIgnored,
  kClaimed,
  kOutsideBase
};
using enum Want;
// "OUT" is another folder than "out" only where names tell case apart.
const Want kCaseRule = osal::FileNamesIgnoreCase() ? kDone : kRefused;
const Want kWatchedCaseRule = osal::FileNamesIgnoreCase() ? kNothing : kOutsideBase;

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
std::string Follow(const char* folder) {
  return "<Directory>@/" + std::string(folder) + "/</Directory><FollowLinks>true</FollowLinks>";
}
std::string Allow(const std::string& prefixes) {
  return "<Directory>@/out/</Directory><AllowedPathPrefixes>" + prefixes + "</AllowedPathPrefixes>";
}

const std::vector<FileCase> kCreateCases = {
    // Links below the output folder.
    {kRefused, kLinks, "ln_dir/", "x"},
    {kRefused, kLinks, "sub/ln_up/", "x"},
    {kRefused, kLinks, "ln_in/", "x"},
    {kDone, kLinks, "ln_in/", "x", "", Follow("out")},
    {kRefused, kLinks, "ln_dir/", "x", "", Follow("out")},
    {kRefused, kLinks, "", "ln_file", "Extension=;Overwrite=Yes"},
    {kRefused, kLinks, "", "ln_file", "Extension=;Overwrite=Rename"},
    {kRefused, kLinks, "ln_dir/new/deeper/", "x", "CreateFolders=true"},
    {kRefused, kLinks, "sub/../ln_dir/", "x"},
    {kRefused, kLinks, "ln_in/../ln_dir/", "x", "", Follow("out")},
    {kRefused, kLinks, "", "x", "Extension=/../ln_dir/x"},
    {kRefused, kLinks, "ln_abs\\folder\\", "inner", "Extension=.pdf;Overwrite=Yes"},
    // Names that climb out, spell the folder differently, or are no names at all.
    {kRefused, kNone, "..\\outside\\", "secret", "Extension=.txt;Overwrite=Yes"},
    {kRefused, kNone, "sub\\..\\../outside/", "x", "CreateFolders=true"},
    {kRefused, kNone, "@/outside/", "x"},
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
    {kRefused, kNone, "", "a..b"},
    {kRefused, kNone, "C:\\", "x"},
    {kRefused, kNone, "", "x:y"},
    {kRefused, kNone, "\\\\server\\share\\", "x"},
    {kRefused, kNone, "\\\\?\\@\\outside\\", "x"},
    {kRefused, kNone, "", "../../outside/secret", "Extension=.txt;Overwrite=Yes"},
    {kFails, kNone, "", ""},
    {kEither, kNone, "", "\x01x"},
    {kEither, kNone, "", "\xff\xfe"},
    {kRefused, kNone, "", "\xc0\xaf..\xc0\xafoutside"},
    {kDone, kNone, "\xef\xbc\x8e\xef\xbc\x8e/", "\xe2\x88\x95x", "CreateFolders=true"},
    {kEither, kNone, "", kLong},
    {kDone, kNone, Repeat("d/", 100), "x", "CreateFolders=true"},
    {kEither, kNone, Repeat(std::string(120, 'd') + "/", 40), "x", "CreateFolders=true"},
    {kEither, kNone, "", "con", "Extension="},
    {kEither, kNone, "", "x. ", "Extension="},
    {kEither, kNone, "sub/", "x:stream"},
};

const std::vector<FileCase> kReadCases = {
    {kRefused, kLinks, "", "ln_doc", "Extension="},
    {kRefused, kLinks, "ln_dir/", "doc"},
    {kRefused, kLinks, "", "ln_ok", "Extension="},
    {kDone, kLinks, "", "ln_ok", "Extension=", Follow("in")},
    {kRefused, kLinks, "", "ln_doc", "Extension=", Follow("in")},
    {kDone, kLinks, "ln_in/", "inner", "", Follow("in")},
    {kDone, kLinks, "ln_dir/../", "doc"},
    {kRefused, kLinks, "ln_dir/folder/../", "doc"},
    {kRefused, kLinks, "ln_in/../ln_dir/", "doc", "", Follow("in")},
    {kRefused, kLinks, "", "x", "Extension=/../ln_dir/doc.xml"},
    {kRefused, kNone, "@/outside/", "doc"},
    {kRefused, kNone, "../inbox/", "doc"},
    {kCaseRule, kNone, "../IN/", "doc"},
    {kRefused, kNone, "sub\\..\\../outside/", "doc"},
    {kRefused, kNone, "\\\\?\\@\\outside\\", "doc"},
    {kRefused, kNone, "", "doc", "", "<Directory>@/in</Directory>"},
    {kFails, kNone, "", kLong},
    {kFails, kNone, "", "\xff"},
    {kFails, kNone, "", ""},
};

// Runs c with CreateFile (bCreate) or ReadFile: it ends as wanted, everything but CreateFile's
// own folder stays as it was, no answer carries a secret, and a plain request right after succeeds.
void RunCase(bool bCreate, ScratchTree& tree, const FileCase& c) {
  using Queue = util::Ref<velmora::testing::QueueConnection>;
  Queue server = Queue::Adopt(new velmora::testing::QueueConnection);
  Queue master = Queue::Adopt(new velmora::testing::QueueConnection);
  velmora::testing::QueueConnection::Pair(server.get(), master.get());
  using Params = std::vector<std::pair<std::string, std::string>>;
  const auto call = [&](const std::string& section, const Params& params) {
    const std::string tag = bCreate ? "Out" : "In";
    auto config =
        testing::ConfigFromXml("<" + tag + ">" + Expand(section, tree.M_Root) + "</" + tag + ">");
    return testing::Call([&] {  // also when the request itself cannot carry the name
      // ReadFile's parameters are children of the function element itself.
      auto request = bCreate ? testing::MakeRequest("CreateFile", params, "<data>inside</data>")
                             : testing::MakeRequest("ReadFile", params, "", "", false);
      return bCreate ? ExecuteCreateFile(*config, nullptr, *request)
                     : ExecuteReadFile(*config, server.get(), *request);
    });
  };
  const auto answer = [&] {  // the message ReadFile sent (or cancelled); empty when none
    XmlParser doc;
    return doc.Receive(master.get(), 0).IsError() ? std::string() : Bytes(doc);
  };
  const std::string own = bCreate ? "out" : "";
  const auto before = Snapshot(tree.M_Root, own);
  Params params;
  const std::string all = "Path=" + c.path + ";FileName=" + c.name + ";" + c.options;
  for (size_t pos = 0, end; pos < all.size(); pos = end + 1) {
    end = std::min(all.find(';', pos), all.size());
    const std::string item = all.substr(pos, end - pos);
    params.emplace_back(item.substr(0, item.find('=')),
                        Expand(item.substr(item.find('=') + 1), tree.M_Root));
  }
  const std::string folder =
      bCreate ? "<Directory>@/out/</Directory>" : "<Directory>@/in/</Directory>";
  const Result r = call(c.section.empty() ? folder : c.section, params);
  const std::string sent = answer();
  const bool bRefusal =
      r.ErrorText().find(bCreate ? "is not within output path" : "is not within input path") !=
      std::string::npos;
  if (c.want == kRefused) {
    EXPECT_TRUE(r.IsError() && r.Category() == util::ErrLogicArgs && bRefusal) << r.Text();
  } else if (c.want == kFails) {
    EXPECT_TRUE(r.IsError() && !bRefusal) << r.Text();
  } else if (c.want == kDone) {
    EXPECT_TRUE(r.IsSuccess()) << r.Text();
  }
  EXPECT_EQ(sent.find(kSecret), std::string::npos) << sent;
  EXPECT_EQ(Snapshot(tree.M_Root, own), before);
  const Result next = call(folder, {{"FileName", bCreate ? "control" : "doc"}});
  EXPECT_TRUE(next.IsSuccess()) << "then: " << next.Text();
  EXPECT_TRUE(bCreate || answer().find("inside") != std::string::npos);
}

TEST(HostileFileFunctionsTest, CreateFileWritesNothingOutsideItsFolders) {
  RunRows("CreateFile", kCreateCases, [](ScratchTree& t, auto& c, auto) { RunCase(true, t, c); });
}

TEST(HostileFileFunctionsTest, ReadFileReadsNothingOutsideItsFolder) {
  RunRows("ReadFile", kReadCases, [](ScratchTree& t, auto& c, auto) { RunCase(false, t, c); });
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
#define XEL_TRIGGER(mode) "<FileDetectionMode><Mode>TRIGGER_" mode "</Mode></FileDetectionMode>"
constexpr const char* kTrigFile = XEL_TRIGGER("FILE");
constexpr const char* kTrigFolder = XEL_TRIGGER("FOLDER");
constexpr const char* kTrigSub = XEL_TRIGGER("SUBFOLDER");
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
    {kOutsideBase, kNone, "", "*", "", "", "", "base/w/../../outside/folder"},
    {kOutsideBase, kNone, "", "*", "", "", "", "base\\..\\outside"},
    {kOutsideBase, kNone, "", "*", "", "", "", "basement/w"},
    {kWatchedCaseRule, kNone, "", "*", "", "", "", "BASE/w"},
    {kNothing, kNone, "", "*", "", "", "", "base\\w"},
    // Names that look like paths, or hardly like names.
    {kClaimed, kBackslashNames, "..\\..\\outside\\secret.txt=OWN", "*", "", "outside/secret.txt"},
    {kClaimed, kBackslashNames, "sub/|sub/..\\..\\..\\outside\\folder\\inner.pdf=OWN", "*",
     kSubfolders, "outside/folder/inner.pdf"},
    {kClaimed, kNone, "a\tb.pdf=TAB"},
    {kEither, kNone, "\xff\xfe.pdf=BYTES"},
    {kClaimed, kNone, std::string(200, 'n') + ".pdf=LONG"},
    {kEither, kNone, std::string(250, 'n') + ".pdf=LONG"},
    {kClaimed, kNone, "..pdf=DOTS|...=DOTS"},
};

void RunPollCase(ScratchTree& tree, const PollCase& c, std::string* pWhy) {
  *pWhy = tree.Make(c.entries, "base/w/");
  if (!pWhy->empty()) return;
  SCOPED_TRACE(c.entries);
  const auto before = Snapshot(tree.M_Root, "base");
  testing::TraceCapture trace("File_FolderIterator");
  auto config = xel::Configuration::FromDocument(velmora::testing::XmlDoc(
      "<Folder><FolderInputBaseDirectory>" + Expand(c.base, tree.M_Root) +
      "</FolderInputBaseDirectory><StructuredTypes>.xml</StructuredTypes></Folder>"));
  ImportDriver driver(nullptr);
  ASSERT_TRUE(driver.Init(config.get()));
  // The watched path and the mask go in as they are: rows keep them free of "&<>".
  auto request = velmora::testing::Request(
      "<poll><general><MaxRequested>1</MaxRequested></general><specific><folder><WatchedPath>" +
      tree.Path(c.watched) + "</WatchedPath><FileSearchMask>" + c.mask + "</FileSearchMask>" +
      c.folder + "</folder></specific></poll>");
  XmlParser answer;
  (void)driver.Poll(request.get(), &answer);
  velmora::testing::Kind(answer);
  const std::string status = At(answer, "status/Status") + " " + At(answer, "status/Greeting");
  const std::string error = At(answer, "status/ErrorString");
  const std::string delivered = Bytes(answer);
  const bool bClaimed = driver.GetPollState() == ImportDriver::kStateClaimed;
  const bool bNothing = c.want == kLinkIgnored || c.want == kNothing;
  EXPECT_TRUE(c.want == kEither || bClaimed == (c.want == kClaimed)) << status << " " << error;
  EXPECT_TRUE(!bNothing || status == "OK No file found") << status << " " << error;
  EXPECT_TRUE(c.want != kLinkIgnored ||
              Value(trace.Lines(), Contains(HasSubstr("Ignoring link "))));
  EXPECT_TRUE(c.want != kOutsideBase ||
              Value(error, HasSubstr("is outside of configured FolderInputBaseDirectory")))
      << error;
  if (bClaimed) {
    XmlParser confirmed;
    auto confirm =
        velmora::testing::Request("<confirm><general><Status>OK</Status></general></confirm>");
    EXPECT_TRUE(driver.Confirm(confirm.get(), &confirmed));
  }
  EXPECT_EQ(delivered.find(kSecret), std::string::npos) << delivered;
  EXPECT_THAT(driver.GetPackage().GetCommResult().Diagnostics(), HasSubstr(c.diagnostics));
  EXPECT_TRUE(!*c.keeps || fs::exists(tree.Path(c.keeps))) << c.keeps;
  EXPECT_EQ(Snapshot(tree.M_Root, "base"), before);
}

TEST(HostilePollTest, PollImportsNothingFromOutsideTheInputFolders) {
  RunRows("poll", kPollCases, RunPollCase);
}

}  // namespace
}  // namespace velmora::xelc
