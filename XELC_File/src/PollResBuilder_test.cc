// Tests of the answer builders: poll-res layouts, embedded content, rebuilds; confirm-res.
#include "PollResBuilder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "ConfirmResBuilder.h"
#include "ImportPackage.h"
#include "QueueConnection.h"
#include "TempDir.h"
#include "osal/File.h"
#include "util/ResultCode.h"
#include "xel/Message.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {
namespace {

using xel::XmlParser;

// The separator between a folder and a name in the answer: the platform's own.
const std::string S(1, osal::PathSeparator());

constexpr const char* kBody = "/Envelope/Body/poll-res";

// Paths are in the connector's form ("\\" separators); the disk wants the native one.
void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(osal::NativePath(path), std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

// Deterministic content that differs at every offset of a chunk.
std::string Pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

std::string Text(const XmlParser& doc, const std::string& path) {
  std::string out;
  util::Result r = doc.ReadStringAtPath(path.c_str(), &out);
  EXPECT_TRUE(r.IsSuccess()) << path << ": " << r.Text();
  return out;
}

bool Exists(const XmlParser& doc, const std::string& path) { return doc.ExistsPath(path.c_str()); }

// The whole binary content of the element at path.
std::string Binary(const XmlParser& doc, const std::string& path) {
  XmlParser at(doc);
  util::Result r = at.MoveToPath(path.c_str());
  EXPECT_TRUE(r.IsSuccess()) << path << ": " << r.Text();
  std::string out;
  std::vector<char> buf(30000);
  do {
    int len = 0;
    r = at.ReadBinary(buf.data(), static_cast<int>(buf.size()), &len);
    EXPECT_TRUE(r.IsSuccess()) << path << ": " << r.Text();
    out.append(buf.data(), static_cast<size_t>(len));
  } while (r.IsSuccess() && r.Category() == util::ErrMoreData);
  return out;
}

// A builder that records the chunks it hands to the document and can fail one of them.
class RecordingBuilder : public PollResBuilder {
 public:
  std::vector<size_t> M_Chunks;
  int M_FailAtChunk = -1;

 protected:
  util::Result WriteContentChunk(const void* data, size_t size) override {
    M_Chunks.push_back(size);
    if (static_cast<int>(M_Chunks.size()) - 1 == M_FailAtChunk) {
      return util::Result::Fail(util::ErrResource, "message full");
    }
    return PollResBuilder::WriteContentChunk(data, size);
  }
};

// A claimed found file with companions in a temporary folder. The found file lies on disk
// under its lock name, as it does while claimed.
class PollResFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    M_Package.SetWatchedFolder(M_Dir.path());
    M_Package.SetFoundFileFullPath(M_Dir.path() + "\\report.pdf");
    M_Package.SetFoundFileValid(true);
    M_Package.SetFoundFileNewLock();
    M_Package.SetClaimed(true);
    M_Package.SetRootXmlPartNumber(4);
  }
  // Creates the found file with content under its lock name and attaches it.
  void AttachFound(const std::string& bytes) {
    WriteFile(M_Package.GetFoundFile().GetCurrentFileName(FileInfo::FullPath, false, false), bytes);
    ASSERT_TRUE(M_Package.AddAttachedFile(M_Package.GetFoundFile()));
  }
  // Creates a companion and attaches it; returns its path.
  std::string AttachCompanion(const std::string& name, const std::string& bytes) {
    const std::string path = M_Dir.path() + "\\" + name;
    WriteFile(path, bytes);
    FileInfo file;
    file.SetFullPath(path);
    EXPECT_TRUE(M_Package.AddAttachedFile(file));
    return path;
  }
  static std::string Part(int n) {
    return std::string(kBody) + "/message/body/message/content/part[" + std::to_string(n) + "]";
  }

  testing::TempDir M_Dir{"pollres"};
  ImportPackage M_Package;
  XmlParser M_Doc;
};

TEST_F(PollResFixture, FullLayoutWithContentStreamedInChunks) {
  const std::string big = Pattern(PollResBuilder::kReadBufferSize + 1, 1);
  AttachFound(big);
  AttachCompanion("empty.txt", "");
  AttachCompanion("note.txt", "hello");
  RecordingBuilder builder;
  builder.SetMessage(&M_Doc);
  builder.SetGreeting("hi");
  ASSERT_EQ(builder.Build(M_Package), 0);
  EXPECT_EQ(builder.GetContentErrorText(), "");
  // 65537 bytes go in two chunks; the empty file writes none.
  EXPECT_EQ(builder.M_Chunks, (std::vector<size_t>{65536, 1, 5}));

  const std::string b = kBody, m = b + "/message/", mh = m + "body/message/mime-header/";
  const FileInfo& found = M_Package.GetFoundFile();
  const std::string timeEnd = Text(M_Doc, m + "general/TimeEnd");
  EXPECT_TRUE(std::regex_match(timeEnd, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})")))
      << timeEnd;
  const std::string report = M_Dir.path() + S + "report.pdf";  // never the lock name
  for (const auto& [path, text] : std::vector<std::pair<std::string, std::string>>{
           {b + "/status/Status", "OK"},
           {b + "/status/Greeting", "hi"},
           {m + "internal/ConfirmTimeout", "1"},
           {m + "internal/ConfirmOptions", "1"},
           {m + "internal/Correlation",
            "report.pdf." + found.GetLockTimeStamp() + "." + found.GetLockRandomString()},
           {m + "general/Type", "3"},
           {mh + "date", timeEnd},
           {m + "general/RootXml/PartNumber", "4"},
           {m + "specific/import/Folder", M_Dir.path()},
           {m + "specific/import/TriggerFileUsed", "0"},
           {m + "specific/import/FileList/FilePath[1]", report},
           {m + "specific/import/FileList/FilePath[3]", M_Dir.path() + S + "note.txt"},
           {mh + "to/mailbox/displayname", report},
           {mh + "to/mailbox/address", PollResBuilder::kOriginatorAddress},
           {mh + "content-type", "multipart/mixed"},
           {Part(1) + "/mime-header/content-disposition", "attachment"},
           {Part(1) + "/mime-header/content-disposition/@filename", "report.pdf"},
           {Part(2) + "/mime-header/content-disposition/@filename", "empty.txt"},
           {Part(3) + "/mime-header/content-disposition/@filename", "note.txt"}}) {
    EXPECT_EQ(Text(M_Doc, path), text) << path;
  }
  EXPECT_FALSE(Exists(M_Doc, m + "general/ContentErrorLevel"));
  util::CommResult comm;
  XmlParser at(M_Doc);
  ASSERT_TRUE(at.MoveToPath(b.c_str()).IsSuccess());
  ASSERT_TRUE(at.ReadCommResult("message/general/CommResult", &comm).IsSuccess());
  EXPECT_EQ(comm.ErrorCategory(), util::CommOk);
  EXPECT_EQ(comm.ConnectionLevel(), ImportPackage::kLevelClaimed);
  EXPECT_TRUE(Exists(M_Doc, m + "body/TiffData"));
  EXPECT_FALSE(Exists(M_Doc, m + "body/message/TiffData"));
  EXPECT_TRUE(Binary(M_Doc, Part(1) + "/content/binary") == big);
  EXPECT_EQ(Binary(M_Doc, Part(2) + "/content/binary"), "");
  EXPECT_EQ(Binary(M_Doc, Part(3) + "/content/binary"), "hello");
  EXPECT_FALSE(Exists(M_Doc, Part(4)));
}

// A companion that cannot be opened is an empty part; a found file that cannot be opened ends
// the build, the remaining parts unwritten.
TEST_F(PollResFixture, FileThatCannotBeOpened) {
  AttachFound("found");
  AttachCompanion("gone.txt", "vanishes");
  AttachCompanion("last.txt", "last");
  ASSERT_EQ(std::remove(osal::NativePath(M_Dir.path() + "\\gone.txt").c_str()), 0);
  PollResBuilder builder;
  builder.SetMessage(&M_Doc);
  EXPECT_EQ(builder.Build(M_Package), 0);
  EXPECT_EQ(builder.GetContentErrorText(), "");
  EXPECT_EQ(Text(M_Doc, Part(2) + "/mime-header/content-disposition/@filename"), "gone.txt");
  EXPECT_EQ(Binary(M_Doc, Part(1) + "/content/binary") + "," +
                Binary(M_Doc, Part(2) + "/content/binary") + "," +
                Binary(M_Doc, Part(3) + "/content/binary"),
            "found,,last");

  const std::string current =
      M_Package.GetFoundFile().GetCurrentFileName(FileInfo::FullPath, false, false);
  ASSERT_EQ(std::remove(osal::NativePath(current).c_str()), 0);
  EXPECT_EQ(builder.Build(M_Package), 1);
  EXPECT_EQ(builder.GetContentErrorText(), "Could not open file " + current + " for reading");
  EXPECT_TRUE(Exists(M_Doc, Part(1)));
  EXPECT_FALSE(Exists(M_Doc, Part(2)));
  EXPECT_TRUE(Exists(M_Doc, std::string(kBody) + "/message/body/TiffData"));
}

TEST_F(PollResFixture, ContentErrorIsFollowedByARebuildWithoutContent) {
  AttachFound(Pattern(PollResBuilder::kReadBufferSize * 2, 2));
  AttachCompanion("note.txt", "hello");
  RecordingBuilder builder;
  builder.M_FailAtChunk = 1;
  builder.SetMessage(&M_Doc);
  const std::string current =
      M_Package.GetFoundFile().GetCurrentFileName(FileInfo::FullPath, false, false);
  EXPECT_EQ(builder.Build(M_Package), 2);
  EXPECT_EQ(builder.M_Chunks.size(), 2u);  // reading stops at the failed chunk
  EXPECT_EQ(builder.GetContentErrorText(),
            "Could not encode file " + current + " in poll-res message");
  EXPECT_FALSE(Exists(M_Doc, Part(2)));

  // The second build names every part but embeds nothing, and says why.
  builder.M_Chunks.clear();
  EXPECT_EQ(builder.Build(M_Package), 0);
  EXPECT_EQ(builder.GetPreviousBuildResult(), 2);
  EXPECT_TRUE(builder.M_Chunks.empty());
  EXPECT_EQ(Text(M_Doc, std::string(kBody) + "/message/general/ContentErrorLevel"), "2");
  EXPECT_EQ(Text(M_Doc, Part(1) + "/mime-header/content-disposition/@filename"), "report.pdf");
  EXPECT_EQ(Binary(M_Doc, Part(1) + "/content/binary"), "");
  EXPECT_EQ(Text(M_Doc, Part(2) + "/mime-header/content-disposition/@filename"), "note.txt");
  EXPECT_EQ(Binary(M_Doc, Part(2) + "/content/binary"), "");

  // A third build embeds again and drops the content error level.
  builder.M_FailAtChunk = -1;
  EXPECT_EQ(builder.Build(M_Package), 0);
  EXPECT_FALSE(Exists(M_Doc, std::string(kBody) + "/message/general/ContentErrorLevel"));
  EXPECT_EQ(Binary(M_Doc, Part(2) + "/content/binary"), "hello");
}

// Given a connection, the answer's blocks leave while it is built: the blocks on the link are
// those of the whole answer sent afterwards (the time it names aside), and the builder holds
// only the unsent end. Content that fails once blocks have left gives the answer up there.
TEST_F(PollResFixture, StreamedAnswerIsTheWholeAnswerOnTheLink) {
  AttachFound(Pattern(PollResBuilder::kReadBufferSize * 3 + 5, 3));
  AttachCompanion("note.txt", "hello");
  auto link = [&](bool bStream, int failAtChunk, int32_t result) {
    auto a = util::Ref<testing::QueueConnection>::Adopt(new testing::QueueConnection);
    auto b = util::Ref<testing::QueueConnection>::Adopt(new testing::QueueConnection);
    testing::QueueConnection::Pair(a.get(), b.get());
    XmlParser doc;
    RecordingBuilder builder;
    builder.M_FailAtChunk = failAtChunk;
    builder.SetMessage(&doc);
    if (bStream) builder.SetStreamTarget(a.get(), 1000);
    EXPECT_EQ(builder.Build(M_Package), result);
    xel::Message& message = *doc.GetMessage();
    EXPECT_EQ(b->Queue().empty(), !bStream);
    EXPECT_LE(message.Size() - message.ReleasedUpTo(), bStream ? 8000 : 1 << 30);
    EXPECT_EQ(message.TxAllToConnection(a.get(), 1000).IsSuccess(), result == 0);
    std::string out;
    for (const xel::MessageBlock* block : b->Queue()) {
      out += std::to_string(block->M_Flags) + "/" + std::to_string(block->M_Event) + ":";
      out.append(reinterpret_cast<const char*>(block->M_Content), block->M_Length);
    }
    return std::regex_replace(out, std::regex(R"(\d{4}-\d\d-\d\dT[\d:.]{12})"), "T");
  };
  EXPECT_TRUE(link(true, -1, 0) == link(false, -1, 0));
  const std::string broken = link(true, 1, PollResBuilder::BuildStreamBroken);
  EXPECT_NE(broken.rfind("8/1:"), std::string::npos);  // ends with an abort block
}

constexpr const char* kStatus = "/Envelope/Body/confirm-res/status";

// The children of "status" as "name=text;", in the order Processed, Status, ErrorString.
std::string StatusChildren(const XmlParser& doc) {
  std::string out;
  for (const char* name : {"Processed", "Status", "ErrorString"}) {
    const std::string path = std::string(kStatus) + "/" + name;
    if (!doc.ExistsPath(path.c_str())) continue;
    std::string text;
    EXPECT_TRUE(doc.ReadStringAtPath(path.c_str(), &text).IsSuccess()) << path;
    out += std::string(name) + "=" + text + ";";
  }
  EXPECT_TRUE(doc.ExistsPath(kStatus));
  return out;
}

TEST(ConfirmResBuilderTest, WritesOneLayoutPerStatus) {
  const struct {
    int32_t status;  // -1: none set
    const char* text;
    const char* expected;
  } cases[] = {{0, "ignored", "Processed=YES;"},
               {1, "File C:\\in\\a.pdf could not be deleted",
                "Processed=NO;ErrorString=File C:\\in\\a.pdf could not be deleted;"},
               {1, "", "Processed=NO;ErrorString=;"},
               {2, "why", "Status=UNKNOWN;ErrorString=why;"},
               {3, "not locked", "Status=NOTFOUND;ErrorString=not locked;"},
               {7, "odd", ""},
               {-1, "", "Status=UNKNOWN;ErrorString=;"}};
  XmlParser doc;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    ConfirmResBuilder builder;
    if (c.status >= 0) builder.SetResult(c.status, c.text);
    // Built twice into the same document: each build replaces the answer.
    ASSERT_TRUE(builder.Build(&doc).IsSuccess());
    ASSERT_TRUE(builder.Build(&doc).IsSuccess());
    EXPECT_EQ(doc.GetDataFormat(), XmlParser::Format_Binary);
    std::string type;
    ASSERT_TRUE(doc.ReadStringAtPath("/Envelope/Header/type", &type).IsSuccess());
    EXPECT_EQ(type, "2");
    EXPECT_EQ(StatusChildren(doc), c.expected);
  }
  EXPECT_EQ(ConfirmResBuilder().Build(nullptr).Category(), util::ErrLogicArgs);
}

}  // namespace
}  // namespace velmora::xelc
