// Tests of "ReadFile": the answer, path refusals, parse failures, the streamed answer.
#include "ReadFileFunction.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "AppTestSupport.h"
#include "FileFunctionsTestSupport.h"
#include "QueueConnection.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "xel/Message.h"

namespace velmora::xelc {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using util::Ref;
using util::Result;
using util::testing_matchers::HasCategory;
using util::testing_matchers::HasText;
using util::testing_matchers::IsOk;
using xel::XmlParser;
using namespace velmora::xelc::testing;

class ReadFileTest : public ::testing::Test {
 protected:
  ReadFileTest() { velmora::testing::QueueConnection::Pair(M_pServer.get(), M_pMaster.get()); }
  std::string In() const { return M_Dir.path() + "/"; }

  // ReadFile's parameters are children of the function element itself.
  Result Run(const std::vector<std::pair<std::string, std::string>>& params,
             const std::string& inConfig = "", bool bDirectory = true) {
    auto config = ConfigFromXml("<In>" + (bDirectory ? "<Directory>" + In() + "</Directory>" : "") +
                                inConfig + "</In>");
    auto request = MakeRequest("ReadFile", params, "", "", false);
    return Call([&] { return ExecuteReadFile(*config, M_pServer.get(), *request); });
  }
  // The message the function sent (or cancelled) on the connection.
  Result Answer(Ref<XmlParser>* pAnswer) {
    *pAnswer = XmlParser::Create();
    Result r = (*pAnswer)->Receive(M_pMaster.get(), 0);
    if (r.IsSuccess()) r = (*pAnswer)->GetMessage()->FetchAll();
    return r;
  }

  velmora::testing::TempDir M_Dir{"xelread"};
  Ref<velmora::testing::QueueConnection> M_pServer =
      Ref<velmora::testing::QueueConnection>::Adopt(new velmora::testing::QueueConnection);
  Ref<velmora::testing::QueueConnection> M_pMaster =
      Ref<velmora::testing::QueueConnection>::Adopt(new velmora::testing::QueueConnection);
};

TEST_F(ReadFileTest, TheFilesDocumentIsTheAnswersBody) {
  WriteWholeFile(In() + "order7.xml",
                 "<?xml version=\"1.0\"?>\n<order xmlns=\"urn:o\" no=\"7\"><id>7</id>"
                 "<note>a &amp; b</note></order>\n");
  ASSERT_THAT(Run({{"FileName", "order7"}, {"Remove", "Yes"}}), IsOk());
  EXPECT_TRUE(M_pServer->IsMessageSent());
  Ref<XmlParser> answer;
  ASSERT_THAT(Answer(&answer), IsOk());
  int type = -1;
  std::string function, ns;
  ASSERT_THAT(answer->ReadHeader(&type, nullptr, nullptr, &function, &ns), IsOk());
  EXPECT_EQ(type, XmlParser::MsgType_Answer);
  EXPECT_EQ(function, "order");
  EXPECT_EQ(ns, "urn:o");
  EXPECT_EQ(velmora::testing::At(*answer, "/Envelope/Body/order/@no"), "7");
  EXPECT_EQ(velmora::testing::At(*answer, "/Envelope/Body/order/note"), "a & b");
  // "Remove" is read but the file stays where it is.
  EXPECT_TRUE(fs::exists(In() + "order7.xml"));
}

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
  // A file that is not well-formed: the parser's text.
  WriteWholeFile(In() + "bad.xml", "<order><id>7</id><x a></order>");
  EXPECT_THAT(Run({{"FileName", "bad"}}), HasText("Character '=' expected after attribute name"));
  WriteWholeFile(In() + "open.xml", "<order><id>7</id>");
  EXPECT_TRUE(Run({{"FileName", "open"}}).IsError());
  EXPECT_EQ(M_pMaster->Queue().size(), 0u);
}

TEST_F(ReadFileTest, AStreamedAnswerEqualsTheWholeOneAndLeavesWhileItIsWritten) {
  std::string xml = "<list xmlns:p=\"urn:p\" p:kind=\"big\" plain=\"1\">";
  for (int i = 0; i < 3000; ++i) {
    xml += "<p:item n=\"" + std::to_string(i) + "\">text " + std::to_string(i) + "</p:item>";
  }
  xml += "tail</list>";
  WriteWholeFile(In() + "big.xml", xml);

  std::string whole, streamed;
  for (bool bStreaming : {false, true}) {
    SCOPED_TRACE(bStreaming);
    ASSERT_THAT(
        Run({{"FileName", "big"}}, bStreaming ? "<EnableStreaming>true</EnableStreaming>" : ""),
        IsOk());
    ASSERT_GT(M_pMaster->Queue().size(), 20u);
    Ref<XmlParser> answer;
    ASSERT_THAT(Answer(&answer), IsOk());
    EXPECT_EQ(velmora::testing::At(*answer, "/Envelope/Body/list/@kind"), "big");
    EXPECT_EQ(velmora::testing::At(*answer, "/Envelope/Body/list/item[2999]/@n"), "2998");
    std::string& bytes = bStreaming ? streamed : whole;
    bytes.resize(static_cast<size_t>(answer->GetMessage()->Size()));
    ASSERT_THAT(
        answer->GetMessage()->ReadExact(0, bytes.data(), static_cast<int32_t>(bytes.size())),
        IsOk());
  }
  EXPECT_EQ(streamed, whole);
}

TEST_F(ReadFileTest, AStreamedAnswerThatBreaksOffIsTheCallsResult) {
  // The connection fails after three blocks; the answer counts as given: no second one follows.
  std::string xml = "<list>";
  for (int i = 0; i < 2000; ++i) xml += "<item>" + std::string(40, 'x') + "</item>";
  xml += "</list>";
  WriteWholeFile(In() + "big.xml", xml);
  M_pServer->FailSendsAfter(3);
  Result r = Run({{"FileName", "big"}}, "<EnableStreaming>true</EnableStreaming>");
  EXPECT_THAT(r, HasCategory(util::ErrConnLost));
  EXPECT_TRUE(M_pServer->IsAnswered());
  EXPECT_EQ(M_pMaster->Queue().size(), 3u);
}

}  // namespace
}  // namespace velmora::xelc
