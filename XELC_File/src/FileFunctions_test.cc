// Tests of "CreateFile", "ReadFile" and their path rules, and of hostile names against them and
// poll.
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
#include "OutputPath.h"
#include "QueueConnection.h"
#include "ReadFileFunction.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "osal/File.h"
#include "xel/Configuration.h"
#include "xel/Message.h"

namespace velmora::osal {
// Forces the component walk where openat2 would resolve confined paths (a no-op elsewhere).
void UseBeneathWalkForTesting(bool walk);
}  // namespace velmora::osal

namespace velmora::xelc {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Value;
using util::Result;
using util::testing_matchers::HasCategory;
using util::testing_matchers::HasText;
using util::testing_matchers::IsOk;
using velmora::testing::At;
using xel::XmlParser;
using namespace velmora::xelc::testing;
using Opt = std::vector<std::pair<std::string, std::string>>;
using Queue = util::Ref<velmora::testing::QueueConnection>;

// The raw bytes of a message: file contents travel in it as they are.
std::string Bytes(XmlParser& doc) {
  (void)doc.GetMessage()->FetchAll();
  std::string text(static_cast<size_t>(doc.GetMessage()->Size()), '\0');
  (void)doc.GetMessage()->ReadExact(0, text.data(), static_cast<int32_t>(text.size()));
  return text;
}

TEST(OutputPathTest, CombineNormalizeAndCounter) {
  const struct {
    const char* directory;  // nullptr: Normalize(name); "#N": WithCounter(name, N)
    const char* name;
    const char* expected;
  } cases[] = {{"D:\\out\\", "sub\\inv1.xml", "D:\\out\\sub\\inv1.xml"},
               {"D:\\out", "a.xml", "D:\\a.xml"},  // the directory's last component goes
               {"/data/out/", "a.xml", "/data/out/a.xml"},
               {"out", "a.xml", "a.xml"},
               // Absolute: a leading separator, or a drive or scheme before the first separator.
               {"D:\\out\\", "\\x\\a.xml", "\\x\\a.xml"},
               {"D:\\out\\", "/etc/a", "/etc/a"},
               {"D:\\out\\", "E:\\a.xml", "E:\\a.xml"},
               {"D:\\out\\", "s\\a:b", "D:\\out\\s\\a:b"},  // a colon after the first separator
               {nullptr, "D:\\out\\..\\other\\inv1.xml", "D:\\other\\inv1.xml"},
               {nullptr, "D:\\a\\b\\..\\..\\c", "D:\\c"},
               {nullptr, "/data/out/x/../y", "/data/out/y"},
               // Never over the first component; ".." only between separators.
               {nullptr, "D:\\..\\x", "D:\\..\\x"},
               {nullptr, "a\\..\\x", "a\\..\\x"},
               {nullptr, "D:\\a\\b..\\c", "D:\\a\\b..\\c"},
               {nullptr, "D:\\a\\...\\c", "D:\\a\\...\\c"},
               {nullptr, "D:\\a\\..", "D:\\a\\.."},
               {"#2", "/o/a.xml", "/o/a(2).xml"},
               {"#1", "/o/a.tar.gz", "/o/a.tar(1).gz"},
               {"#3", "/o.d/readme", "/o.d/readme(3)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.directory == nullptr) {
      EXPECT_EQ(OutputPath::Normalize(c.name), c.expected);
    } else if (c.directory[0] == '#') {
      EXPECT_EQ(OutputPath::WithCounter(c.name, c.directory[1] - '0'), c.expected);
    } else {
      EXPECT_EQ(OutputPath::Combine(c.directory, c.name), c.expected);
    }
  }
}

TEST(OutputPathTest, IsWithinTheAllowedList) {
  enum { kExact = 1, kIgnoreCase = 2, kBoth = 3 };  // the case rules a row is checked with
  const std::string list = "/a/in\r\n/b/out\n\n/c";
  const std::string longEntry = "/" + std::string(1022, 'l');  // 1023 characters: ignored
  const struct {
    std::string path;
    std::string allowed;
    int rules;
    bool within;
  } cases[] = {{"D:\\out\\a.xml", "D:\\out\\", kIgnoreCase, true},
               {"d:\\OUT\\a.xml", "D:\\out\\", kIgnoreCase, true},
               {"D:\\ou", "D:\\out\\", kIgnoreCase, false},
               // "\" and "/" separate alike in the path and in the list.
               {"C:\\data\\out\\", "C:/data/out", kBoth, true},
               {"C:/data/out/sub/a.xml", "C:\\data\\out", kBoth, true},
               {"C:/data/out", "C:\\data\\out\\", kBoth, true},
               {"/data/out\\a.xml", "\\data\\out", kBoth, true},
               {"C:\\data\\outbox\\a.xml", "C:/data/out", kBoth, false},
               {"C:/data/out/../x", "C:\\data\\out", kBoth, false},
               {"/data/out/a.xml", "/data/out", kExact, true},
               {"/data/OUT/a.xml", "/data/out", kExact, false},
               {"/data/OUT/a.xml", "/data/out", kIgnoreCase, true},
               // Lists split at line breaks; an empty list admits nothing.
               {"/a/in/x", list, kExact, true},
               {"/b/out/x", list, kExact, true},
               {"/c/x", list, kExact, true},
               {"/d/x", list, kExact, false},
               {"/a/in/x", "", kExact, false},
               {"/x", "\r\n", kExact, false},
               {longEntry.substr(0, 1022) + "/x", longEntry.substr(0, 1022), kExact, true},
               {longEntry + "/x", longEntry, kExact, false}};
  for (const auto& c : cases) {
    for (bool bIgnoreCase : {false, true}) {
      if ((c.rules & (bIgnoreCase ? kIgnoreCase : kExact)) == 0) continue;
      EXPECT_EQ(OutputPath::IsWithin(c.path, c.allowed, bIgnoreCase), c.within)
          << c.path.substr(0, 40) << " in " << c.allowed.substr(0, 40) << " " << bIgnoreCase;
    }
  }
}

class CreateFileTest : public ::testing::Test {
 protected:
  // With the separator: a directory's last component without one is dropped.
  std::string Out() const { return M_Dir.Join("out") + "/"; }
  void SetUp() override { fs::create_directory(M_Dir.Join("out")); }

  Result Run(const std::string& outConfig, const Opt& opt,
             const std::string& dataXml = "<order><id>7</id></order>",
             const std::string& binary = "", bool bOptElement = true) {
    auto config = ConfigFromXml("<Out><Directory>" + Out() + "</Directory>" + outConfig + "</Out>");
    auto request = MakeRequest("CreateFile", opt, dataXml, binary, bOptElement);
    return Call([&] { return ExecuteCreateFile(*config, nullptr, *request); });
  }

  velmora::testing::TempDir M_Dir{"xelcreate"};
};

TEST_F(CreateFileTest, XmlContentIsWrittenIndentedByTwoBelowTheOutputFolderOnly) {
  EXPECT_TRUE(Run("", {{"FileName", "x"}}, "", "", false).IsError());  // no Opt, no Data
  EXPECT_TRUE(fs::is_empty(Out()));
  ASSERT_THAT(Run("", {{"Path", "sub\\"}, {"FileName", "inv1"}, {"CreateFolders", "true"}},
                  "<order><id>7</id><item n=\"1\">a &amp; b</item></order>"),
              IsOk());
  EXPECT_EQ(ReadWholeFile(Out() + "sub/inv1.xml"),
            "<?xml version=\"1.0\"?>\r\n<order>\r\n  <id>7</id>\r\n  <item n=\"1\">a &amp; "
            "b</item>\r\n</order>");
  Result r = Run("", {{"Path", "..\\other\\"}, {"FileName", "inv1"}, {"CreateFolders", "1"}});
  EXPECT_THAT(r, HasCategory(util::ErrLogicArgs));
  EXPECT_EQ(r.ErrorText(),
            "Filename " + M_Dir.path() + "/other\\inv1.xml is not within output path " + Out());
  EXPECT_FALSE(fs::exists(M_Dir.Join("other")));
}

TEST_F(CreateFileTest, OverwriteModesOfConfigurationAndRequest) {
  const struct {
    const char* configured;
    const char* requested;
    const char* written;  // the file written; nullptr: refused as existing
  } cases[] = {{"", "No", nullptr},       {"No", "Never", nullptr},
               {"Never", "Yes", nullptr},  // the request's own mode is not even read
               {"No", "yes", nullptr},     // an unknown name keeps the configured mode
               {"No", "Yes", "a.xml"},    {"Rename", "", "a(2).xml"}};  // the first free counter
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.configured) + " / " + c.requested);
    WriteWholeFile(Out() + "a.xml", "0");
    WriteWholeFile(Out() + "a(1).xml", "1");
    Opt opt = {{"FileName", "a"}};
    if (*c.requested != '\0') opt.emplace_back("Overwrite", c.requested);
    Result r =
        Run(*c.configured ? std::string("<Overwrite>") + c.configured + "</Overwrite>" : "", opt);
    if (c.written == nullptr) {
      EXPECT_THAT(r, HasCategory(util::ErrObjExist));
      EXPECT_EQ(r.ErrorText(), "File " + Out() + "a.xml already exists");
    } else {
      ASSERT_THAT(r, IsOk());
      EXPECT_THAT(ReadWholeFile(Out() + c.written), HasSubstr("<id>7</id>"));
    }
    if (c.written == nullptr || std::string(c.written) != "a.xml") {
      EXPECT_EQ(ReadWholeFile(Out() + "a.xml"), "0");
    }
    EXPECT_EQ(ReadWholeFile(Out() + "a(1).xml"), "1");
  }
}

TEST_F(CreateFileTest, BinaryContentIsWrittenInBlocksOf4000Bytes) {
  std::string bytes(9000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + 3);
  TraceRecorder trace({util::General_80, util::General_OtherXELC});
  ASSERT_THAT(
      Run("",
          {{"FileName", "doc"}, {"Extension", ".pdf"}, {"Format", "pdf"}, {"DelayPerBlock", "1"}},
          "", bytes),
      IsOk());
  EXPECT_EQ(ReadWholeFile(Out() + "doc.pdf"), bytes);
  const auto block = [](int size) {
    return EndsWith(" " + std::to_string(size) + " Bytes to File");
  };
  EXPECT_THAT(trace.Lines(),
              ElementsAre("Try to write to XML File " + Out() + "doc.pdf (Format=pdf, Overwrite=1)",
                          block(4000), block(4000), block(1000),
                          "File " + Out() + "doc.pdf successfuly written"));
}

TEST_F(CreateFileTest, DeleteOnCloseRemovesTheFileAndTheFoldersMadeForIt) {
  const Opt temporary = {{"FileName", "t"}, {"CreateFolders", "true"}, {"DeleteOnClose", "true"}};
  Opt opt = temporary;
  opt.emplace_back("Path", "n1/n2/");
  ASSERT_THAT(Run("", opt), IsOk());
  EXPECT_FALSE(fs::exists(Out() + "n1"));
  // Also when writing fails after the file was made: binary format over element content.
  opt = temporary;
  opt.insert(opt.end(), {{"Path", "n3/"}, {"Format", "bin"}});
  Result r = Run("", opt, "<x><y/></x>");
  EXPECT_TRUE(r.IsError());
  EXPECT_THAT(r.ErrorText(), Not(HasSubstr("File Open")));  // the file had been made
  EXPECT_TRUE(fs::is_empty(Out()));
  // Without CreateFolders a missing folder is an error and nothing is made.
  EXPECT_THAT(Run("", {{"Path", "n4/"}, {"FileName", "t"}}), HasCategory(util::ErrObjNotExist));
}

class ReadFileTest : public ::testing::Test {
 protected:
  ReadFileTest() { velmora::testing::QueueConnection::Pair(M_pServer.get(), M_pMaster.get()); }
  std::string In() const { return M_Dir.path() + "/"; }

  // ReadFile's parameters are children of the function element itself.
  Result Run(const Opt& params, const std::string& inConfig = "", bool bDirectory = true) {
    auto config = ConfigFromXml("<In>" + (bDirectory ? "<Directory>" + In() + "</Directory>" : "") +
                                inConfig + "</In>");
    auto request = MakeRequest("ReadFile", params, "", "", false);
    return Call([&] { return ExecuteReadFile(*config, M_pServer.get(), *request); });
  }
  velmora::testing::TempDir M_Dir{"xelread"};
  Queue M_pServer = Queue::Adopt(new velmora::testing::QueueConnection);
  Queue M_pMaster = Queue::Adopt(new velmora::testing::QueueConnection);
};

TEST_F(ReadFileTest, RefusalsComeBeforeAnyAnswer) {
  WriteWholeFile(M_Dir.Join("../outside.xml"), "<x/>");
  Result r = Run({{"Path", "..\\"}, {"FileName", "outside"}});
  EXPECT_THAT(r, HasCategory(util::ErrLogicArgs));
  // "<dir>/..\" is folded away: the separator before the folder's own name remains.
  const std::string parent = M_Dir.path().substr(0, M_Dir.path().find_last_of("\\/") + 1);
  EXPECT_EQ(r.ErrorText(), "Filename " + parent + "outside.xml is not within input path " + In());
  fs::remove(M_Dir.Join("../outside.xml"));

  r = Run({{"FileName", "x"}}, "<EnableStreaming>true</EnableStreaming>", false);
  EXPECT_THAT(r, HasCategory(util::ErrBadConfig));
  EXPECT_EQ(r.ErrorText(), "No input directory is specified in the configuration");

  // A missing file; an empty name tries "<in>/.xml".
  EXPECT_THAT(Run({{"FileName", "none"}}), HasCategory(util::ErrObjNotExist));
  EXPECT_THAT(Run({}).ErrorText(), HasSubstr(In() + ".xml"));
  // Files that are not well-formed, anywhere in them, whether the answer is built whole or
  // streamed: the reader's or the check's text.
  const struct {
    const char* name;
    const char* xml;
    const char* text;
  } kBad[] = {
      {"bad", "<order><id>7</id><x a></order>", "Character '=' expected after attribute name"},
      {"open", "<order><id>7</id>", "unclosed element"},
      {"two", "<a/> <b/>", "more than one root element"},
      {"after", "<a><b/></a><c>", "more than one root element"},
      {"empty", " \n", "no root element"},
  };
  for (const auto& c : kBad) WriteWholeFile(In() + c.name + ".xml", c.xml);
  for (const char* config : {"", "<EnableStreaming>true</EnableStreaming>"}) {
    for (const auto& c : kBad) {
      EXPECT_THAT(Run({{"FileName", c.name}}, config), HasText(c.text)) << c.name << config;
    }
  }
  EXPECT_EQ(M_pMaster->Queue().size(), 0u);
}

TEST_F(ReadFileTest, AStreamedAnswerEqualsTheWholeOneAndOneBrokenOffIsTheResult) {
  std::string xml = "<list xmlns=\"urn:o\" xmlns:p=\"urn:p\" p:kind=\"big\" plain=\"1\">";
  for (int i = 0; i < 3000; ++i) {
    xml += "<p:item n=\"" + std::to_string(i) + "\">text " + std::to_string(i) + "</p:item>";
  }
  xml += "tail</list>";
  WriteWholeFile(In() + "big.xml", xml);
  std::string bytes[2];  // whole, streamed
  for (bool bStreaming : {false, true}) {
    SCOPED_TRACE(bStreaming);
    ASSERT_THAT(
        Run({{"FileName", "big"}}, bStreaming ? "<EnableStreaming>true</EnableStreaming>" : ""),
        IsOk());
    ASSERT_GT(M_pMaster->Queue().size(), 20u);
    XmlParser answer;
    ASSERT_THAT(answer.Receive(M_pMaster.get(), 0), IsOk());
    int type = -1;
    std::string function, ns;
    ASSERT_THAT(answer.ReadHeader(&type, nullptr, nullptr, &function, &ns), IsOk());
    EXPECT_EQ(std::to_string(type) + " " + function + " " + ns,
              std::to_string(XmlParser::MsgType_Answer) + " list urn:o");
    EXPECT_EQ(At(answer, "/Envelope/Body/list/@kind"), "big");
    EXPECT_EQ(At(answer, "/Envelope/Body/list/item[2999]/@n"), "2998");
    bytes[bStreaming] = Bytes(answer);
  }
  EXPECT_EQ(bytes[1], bytes[0]);
  // The connection fails after three blocks; the answer counts as given: no second one follows.
  M_pServer->SetAnswered(false);
  M_pServer->FailSendsAfter(3);
  Result r = Run({{"FileName", "big"}}, "<EnableStreaming>true</EnableStreaming>");
  EXPECT_THAT(r, HasCategory(util::ErrConnLost));
  EXPECT_TRUE(M_pServer->IsAnswered());
  EXPECT_EQ(M_pMaster->Queue().size(), 3u);
}

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

// A fresh "@" with out/, in/, base/w/, neighbours named alike, outside/ with secrets, and links.
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
  // Makes "|"-separated "folder/", "file=content", "link->target" below @/prefix; or says why not.
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

// How a row must end; every row also leaves everything outside its allowed folders as it was.
enum Want { kRefused, kFails, kDone, kEither, kNothing, kLinkIgnored, kClaimed, kOutsideBase };
// "OUT" is another folder than "out" only where names tell case apart.
const Want kCaseRule = osal::FileNamesIgnoreCase() ? kDone : kRefused;
const Want kWatchedCaseRule = osal::FileNamesIgnoreCase() ? kNothing : kOutsideBase;

// Runs every row on a fresh tree, with openat2 (where there) and with the component walk.
template <typename Row, typename Run>
void RunRows(const char* what, const std::vector<Row>& rows, Run run) {
  size_t skipped = 0;
  std::string why;
  for (bool bWalk : {false, true}) {
    osal::UseBeneathWalkForTesting(bWalk);
    for (size_t i = 0; i < rows.size(); ++i) {
      SCOPED_TRACE(std::string(what) + " #" + std::to_string(i) + (bWalk ? " (walk)" : ""));
      ScratchTree tree;
      std::string unmet = tree.Unmet(rows[i].needs);
      if (unmet.empty()) run(tree, rows[i], &unmet);
      if (!unmet.empty()) ++skipped, why = unmet;
    }
  }
  osal::UseBeneathWalkForTesting(false);
  if (skipped == 2 * rows.size()) GTEST_SKIP() << why;
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
    {kRefused, kNone, "", "x", "", Allow("@/out/sub")},
    {kRefused, kNone, "", "x", "", "<Directory>@/out</Directory>"},
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

// Runs c with CreateFile (bCreate) or ReadFile; a plain request right after must still succeed.
void RunCase(bool bCreate, ScratchTree& tree, const FileCase& c) {
  Queue server = Queue::Adopt(new velmora::testing::QueueConnection);
  Queue master = Queue::Adopt(new velmora::testing::QueueConnection);
  velmora::testing::QueueConnection::Pair(server.get(), master.get());
  const auto call = [&](const std::string& section, const Opt& params) {
    const std::string tag = bCreate ? "Out" : "In";
    auto config =
        testing::ConfigFromXml("<" + tag + ">" + Expand(section, tree.M_Root) + "</" + tag + ">");
    return testing::Call([&] {  // also when the request itself cannot carry the name
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
  Opt params;
  const std::string all = "Path=" + c.path + ";FileName=" + c.name + ";" + c.options;
  for (size_t pos = 0, end; pos < all.size(); pos = end + 1) {
    end = std::min(all.find(';', pos), all.size());
    const std::string item = all.substr(pos, end - pos);
    params.emplace_back(item.substr(0, item.find('=')),
                        Expand(item.substr(item.find('=') + 1), tree.M_Root));
  }
  const std::string folder =
      "<Directory>@/" + std::string(bCreate ? "out" : "in") + "/</Directory>";
  const Result r = call(c.section.empty() ? folder : c.section, params);
  const std::string sent = answer();
  const std::string within = bCreate ? "is not within output path" : "is not within input path";
  const bool bRefusal = r.ErrorText().find(within) != std::string::npos;
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

TEST(HostileFileFunctionsTest, CreateAndReadTouchNothingOutsideTheirFolders) {
  RunRows("CreateFile", kCreateCases, [](ScratchTree& t, auto& c, auto) { RunCase(true, t, c); });
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
