// End-to-end tests of "poll": the real plug-in in host processes of their own, driven by
// masters over the real shared-memory link - claims, confirmations, competition, a crash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "MasterSession.h"
#include "ResultMatchers.h"
#include "TempDir.h"

namespace velmora::tools {
namespace {

namespace fs = std::filesystem;
using util::Ref;
using util::Result;
using util::testing_matchers::IsOk;
using xel::XmlParser;

const std::regex kRunningLock(R"((.+)\.\d{14}\.([0-9A-Za-z_-]{5})\+03600\.locked)");

MasterOptions Options(int traceLevel) {
  MasterOptions o;
  o.M_HostPath = XEL_HOST_PATH;
  o.M_PluginPath = XEL_PLUGIN_PATH;
  o.M_TraceLevel = traceLevel;
  return o;
}

std::string ComponentConfig(const std::string& base) {
  return "<Component><Code><XelcFile><Folder><FolderInputBaseDirectory>" + base +
         "</FolderInputBaseDirectory><StructuredTypes>.xml</StructuredTypes></Folder>"
         "</XelcFile></Code><Common><Name>poll-e2e</Name></Common></Component>";
}

Ref<XmlParser> Document(const std::string& xml) {
  Ref<XmlParser> doc;
  EXPECT_THAT(RequestFromText(xml, ".", &doc, nullptr), IsOk()) << xml;
  return doc;
}

Ref<XmlParser> PollRequest(const std::string& folder, const std::string& mask,
                           const std::string& more = "") {
  return Document("<poll xmlns=\"" + std::string(xel::kNsXelMessage) +
                  "\"><general><MaxRequested>1</MaxRequested></general><specific><folder>"
                  "<WatchedPath>" +
                  folder + "</WatchedPath><FileSearchMask>" + mask + "</FileSearchMask>" + more +
                  "</folder></specific></poll>");
}

Ref<XmlParser> Confirmation(const std::string& status) {
  return Document("<confirm xmlns=\"" + std::string(xel::kNsXelMessage) + "\"><general><Status>" +
                  status + "</Status></general></confirm>");
}

std::string Text(const XmlParser& doc, const std::string& path) {
  std::string s;
  return doc.ReadStringAtPath(path.c_str(), &s).IsSuccess() ? s : "<missing>";
}

// What a "poll-res" carried.
struct Offer {
  std::string status;                                      // "OK" / "ERROR"
  std::string text;                                        // greeting or error text
  std::vector<std::pair<std::string, std::string>> parts;  // file name, bytes
  std::string diagnostics;
  bool Claimed() const { return status == "OK" && text.empty(); }
};

Offer ReadOffer(const XmlParser& answer) {
  const std::string root = "/Envelope/Body/poll-res/";
  Offer offer;
  offer.status = Text(answer, root + "status/Status");
  offer.text =
      Text(answer, root + (offer.status == "OK" ? "status/Greeting" : "status/ErrorString"));
  if (offer.text == "<missing>") offer.text.clear();
  offer.diagnostics = Text(answer, root + "message/general/CommResult/Diagnostics");
  for (int i = 1;; ++i) {
    const std::string part = root + "message/body/message/content/part[" + std::to_string(i) + "]/";
    std::string name = Text(answer, part + "mime-header/content-disposition/@filename");
    if (name == "<missing>") break;
    XmlParser cursor(answer);
    std::string bytes;
    if (cursor.MoveToPath((part + "content/binary").c_str()).IsSuccess()) {
      std::vector<char> buffer(65536);
      for (;;) {
        int got = 0;
        Result r = cursor.ReadBinary(buffer.data(), static_cast<int>(buffer.size()), &got);
        if (r.IsError()) break;
        bytes.append(buffer.data(), static_cast<size_t>(got));
        if (!r.IsClass(util::ErrMoreData)) break;
      }
    }
    offer.parts.emplace_back(name, bytes);
  }
  return offer;
}

std::vector<std::string> ListNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void WriteFile(const std::string& path, const std::string& content, int ageSeconds = 0) {
  std::ofstream(path, std::ios::binary) << content;
  if (ageSeconds > 0) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
  }
}

// One master with its plug-in process and the file component started.
class Pair {
 public:
  Result Start(const std::string& base, int traceLevel = 1) {
    Result r = M_Session.Start(Options(traceLevel));
    if (r.IsError()) return r;
    Ref<XmlParser> answer;
    r = M_Session.SendStart(ComponentConfig(base), &answer);
    if (r.IsSuccess() && AnswerKind(*answer) != "ok") {
      r = Result::Fail(util::ErrNotAvailable, "start answered %s", DocumentToText(*answer).c_str());
    }
    return r;
  }
  // Sends a poll on a new conversation and reads its answer; the conversation stays open.
  Result Poll(XmlParser& request, Offer* pOffer) {
    Result r = M_Session.OpenAndSend(request, &M_pConversation);
    Ref<XmlParser> answer;
    if (r.IsSuccess()) r = M_Session.ReceiveAnswer(M_pConversation.get(), &answer, 30000);
    if (r.IsSuccess() && AnswerKind(*answer) != "poll-res") {
      r = Result::Fail(util::ErrSoapFormat, "unexpected answer %s",
                       DocumentToText(*answer).c_str());
    }
    if (r.IsSuccess()) *pOffer = ReadOffer(*answer);
    return r;
  }
  // Confirms the last poll on its conversation; *pProcessed receives "Processed".
  Result Confirm(const std::string& status, std::string* pProcessed) {
    Ref<XmlParser> answer;
    Result r = M_Session.SendOn(M_pConversation.get(), *Confirmation(status), &answer);
    if (r.IsSuccess()) *pProcessed = Text(*answer, "/Envelope/Body/confirm-res/status/Processed");
    return r;
  }
  // Ends the conversation without confirming.
  void Hangup() {
    if (M_pConversation) M_pConversation->Disconnect();
    M_pConversation = nullptr;
  }
  Result Finish() {
    Hangup();
    return M_Session.Finish(nullptr, nullptr);
  }
  MasterSession& Session() { return M_Session; }

 private:
  MasterSession M_Session;
  Ref<xel::ConnectionPtp> M_pConversation;
};

class PollEndToEndTest : public ::testing::Test {
 protected:
  std::string Watched(const std::string& name = "in") {
    const std::string path = M_Base.Join(name);
    fs::create_directories(path);
    return path;
  }
  velmora::testing::TempDir M_Base{"xelpoll"};
};

TEST_F(PollEndToEndTest, OkDeletesTheClaimedFileAndErrorLeavesItClaimed) {
  const std::string in = Watched();
  std::string binary(70000, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 + 3);
  WriteFile(in + "/a.pdf", binary, 100);
  WriteFile(in + "/b.pdf", "bee", 50);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path()), IsOk());

  Offer offer;
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.pdf"), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.text;
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].first, "a.pdf");
  EXPECT_TRUE(offer.parts[0].second == binary) << "content differs";
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  EXPECT_THAT(ListNames(in), ::testing::ElementsAre("b.pdf"));

  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.pdf"), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].first, "b.pdf");
  ASSERT_THAT(pair.Confirm("ERROR", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  std::vector<std::string> names = ListNames(in);
  ASSERT_EQ(names.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(names[0], m, kRunningLock)) << names[0];
  EXPECT_EQ(m[1], "b.pdf");

  // Nothing left that is not claimed: the next poll finds nothing.
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.pdf"), &offer), IsOk());
  EXPECT_EQ(offer.text, "No file found");
  EXPECT_THAT(pair.Finish(), IsOk());
}

TEST_F(PollEndToEndTest, ClosingTheConversationEndsThePollAtOnceAndKeepsTheClaim) {
  const std::string in = Watched();
  WriteFile(in + "/a.pdf", "a", 100);
  WriteFile(in + "/b.pdf", "b", 50);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path(), 60), IsOk());
  Offer offer;
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.pdf"), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 1u);
  pair.Hangup();

  // The poll's server thread does not sit out its minute: it reports the lost
  // conversation right away.
  const auto t0 = std::chrono::steady_clock::now();
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5)) {
    for (const std::string& line : pair.Session().TraceLines()) {
      if (line.find("No confirmation of the poll") != std::string::npos) ended = true;
    }
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(ended);
  std::vector<std::string> names = ListNames(in);
  ASSERT_EQ(names.size(), 2u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(names[0], m, kRunningLock)) << names[0];
  EXPECT_EQ(m[1], "a.pdf");
  EXPECT_EQ(names[1], "b.pdf");

  // The plug-in serves on: the next poll gets the next file.
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.pdf"), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].first, "b.pdf");
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_THAT(pair.Finish(), IsOk());
}

TEST_F(PollEndToEndTest, TriggerFilesBringTheirCompanions) {
  const std::string in = Watched();
  // Mode 3: the companions live in a subfolder named after the trigger file.
  fs::create_directory(in + "/order");
  WriteFile(in + "/order/x.pdf", "x", 80);
  WriteFile(in + "/order/y.tif", "y", 70);
  WriteFile(in + "/order.trg", "", 60);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path()), IsOk());
  const std::string subfolderMode =
      "<FileDetectionMode><Mode>TRIGGER_SUBFOLDER</Mode>"
      "<TriggerChangeToExtension>done</TriggerChangeToExtension></FileDetectionMode>";
  Offer offer;
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.trg", subfolderMode), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 2u) << offer.text;
  EXPECT_EQ(offer.parts[0], std::make_pair(std::string("x.pdf"), std::string("x")));
  EXPECT_EQ(offer.parts[1], std::make_pair(std::string("y.tif"), std::string("y")));
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  // The trigger is kept under its processed name; its emptied subfolder is gone.
  EXPECT_THAT(ListNames(in), ::testing::ElementsAre("order.done"));

  // Mode 2: the whole folder belongs to the trigger file.
  const std::string batch = Watched("batch");
  WriteFile(batch + "/p1.pdf", "1", 90);
  WriteFile(batch + "/p2.pdf", "2", 80);
  WriteFile(batch + "/go.trg", "", 10);
  ASSERT_THAT(pair.Poll(*PollRequest(batch, "*.trg",
                                     "<FileDetectionMode><Mode>TRIGGER_FOLDER</Mode>"
                                     "</FileDetectionMode>"),
                        &offer),
              IsOk());
  ASSERT_EQ(offer.parts.size(), 2u);
  EXPECT_EQ(offer.parts[0].first, "p1.pdf");
  EXPECT_EQ(offer.parts[1].first, "p2.pdf");
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  // Without a processed extension the trigger file is deleted with its companions.
  EXPECT_TRUE(ListNames(batch).empty());
  EXPECT_THAT(pair.Finish(), IsOk());
}

TEST_F(PollEndToEndTest, QvDescriptorCarriesItsLinkedFiles) {
  const std::string in = Watched();
  WriteFile(in + "/p1.tif", "page one", 100);
  WriteFile(in + "/p2.tif", "page two", 100);
  const std::string descriptor =
      "<ImportSession><Batch><Page ImportFileName=\"p1.tif\"/><page ImportFileName=\"p2.tif\"/>"
      "<Page ImportFileName=\"\"/></Batch></ImportSession>";
  WriteFile(in + "/d.xml", descriptor, 50);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path()), IsOk());
  Offer offer;
  ASSERT_THAT(
      pair.Poll(*PollRequest(in, "*.xml", "<FileImportMode><Mode>4</Mode></FileImportMode>"),
                &offer),
      IsOk());
  ASSERT_EQ(offer.parts.size(), 3u) << offer.text << offer.diagnostics;
  EXPECT_EQ(offer.parts[0], std::make_pair(std::string("d.xml"), descriptor));
  EXPECT_EQ(offer.parts[1], std::make_pair(std::string("p1.tif"), std::string("page one")));
  EXPECT_EQ(offer.parts[2], std::make_pair(std::string("p2.tif"), std::string("page two")));
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  EXPECT_TRUE(ListNames(in).empty());
  EXPECT_THAT(pair.Finish(), IsOk());
}

TEST_F(PollEndToEndTest, ACompanionThatCannotBeOpenedIsReportedAndLeftOut) {
  const std::string in = Watched();
  WriteFile(in + "/order.pdf", "pdf", 80);
  // A link to itself: listed, but every open fails (whatever the process's rights).
  fs::create_symlink("order.tif", in + "/order.tif");
  WriteFile(in + "/order.trg", "", 60);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path()), IsOk());
  Offer offer;
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.trg",
                                     "<FileDetectionMode><Mode>TRIGGER_FILE</Mode>"
                                     "</FileDetectionMode>"),
                        &offer),
              IsOk());
  ASSERT_TRUE(offer.Claimed());
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].first, "order.pdf");
  EXPECT_THAT(offer.diagnostics, ::testing::HasSubstr("could not be opened for reading"));
  EXPECT_THAT(offer.diagnostics, ::testing::HasSubstr("order.tif"));
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  EXPECT_THAT(pair.Finish(), IsOk());
}

// Polls and confirms until a poll finds nothing; records every delivered part.
struct Delivery {
  std::mutex mutex;
  std::map<std::string, int> counts;
  int mismatches = 0;
  int failures = 0;
  std::string firstFailure;
};

void PollUntilEmpty(Pair* pPair, const std::string& folder,
                    const std::map<std::string, std::string>& expected, Delivery* pDelivery,
                    int* pDelivered) {
  for (;;) {
    Offer offer;
    std::string processed;
    Result r = pPair->Poll(*PollRequest(folder, "*.dat"), &offer);
    if (r.IsSuccess() && offer.status == "OK" && offer.text == "No file found") break;
    if (r.IsSuccess() && offer.Claimed()) r = pPair->Confirm("OK", &processed);
    std::lock_guard<std::mutex> guard(pDelivery->mutex);
    if (r.IsError() || offer.parts.size() != 1 || processed != "YES") {
      if (pDelivery->failures++ == 0) pDelivery->firstFailure = r.Text() + " " + offer.text;
      if (pDelivery->failures > 10) return;
      continue;
    }
    const auto& [name, bytes] = offer.parts[0];
    ++pDelivery->counts[name];
    ++*pDelivered;
    auto it = expected.find(name);
    if (it == expected.end() || it->second != bytes) ++pDelivery->mismatches;
  }
}

std::map<std::string, std::string> WriteNumberedFiles(const std::string& folder, int count) {
  std::map<std::string, std::string> files;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "f%04d.dat", i);
    std::string content(static_cast<size_t>((i * 997) % 9000), '\0');
    for (size_t k = 0; k < content.size(); ++k) content[k] = static_cast<char>(k * 31 + i);
    WriteFile(folder + "/" + name, content, 1000 - i % 500);
    files[name] = content;
  }
  return files;
}

int FilesCount() {
  const char* env = std::getenv("XEL_POLL_E2E_FILES");
  return env ? std::atoi(env) : 300;
}

TEST_F(PollEndToEndTest, CompetingPluginsDeliverEveryFileExactlyOnce) {
  const std::string in = Watched();
  const auto files = WriteNumberedFiles(in, FilesCount());
  constexpr int kPairs = 4;
  std::vector<std::unique_ptr<Pair>> pairs;
  for (int i = 0; i < kPairs; ++i) {
    pairs.push_back(std::make_unique<Pair>());
    ASSERT_THAT(pairs.back()->Start(M_Base.path()), IsOk());
  }
  Delivery delivery;
  std::vector<int> delivered(kPairs, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kPairs; ++i) {
    threads.emplace_back(PollUntilEmpty, pairs[i].get(), in, std::cref(files), &delivery,
                         &delivered[i]);
  }
  for (auto& t : threads) t.join();

  // They really competed: more than one of them got files.
  EXPECT_GT(std::count_if(delivered.begin(), delivered.end(), [](int n) { return n > 0; }), 1);
  EXPECT_EQ(delivery.failures, 0) << delivery.firstFailure;
  EXPECT_EQ(delivery.mismatches, 0);
  EXPECT_EQ(delivery.counts.size(), files.size());
  int duplicates = 0;
  for (const auto& [name, count] : delivery.counts) duplicates += count != 1;
  EXPECT_EQ(duplicates, 0);
  EXPECT_TRUE(ListNames(in).empty());
  for (auto& pair : pairs) EXPECT_THAT(pair->Finish(), IsOk());
}

TEST_F(PollEndToEndTest, AClaimOfAKilledPluginComesBackOnceItsLockHasExpired) {
  const std::string in = Watched();
  const auto files = WriteNumberedFiles(in, 40);
  Pair victim;
  ASSERT_THAT(victim.Start(M_Base.path()), IsOk());
  Offer offer;
  ASSERT_THAT(victim.Poll(*PollRequest(in, "*.dat"), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 1u);
  const std::string victimFile = offer.parts[0].first;
  ::kill(victim.Session().HostPid(), SIGKILL);
  (void)victim.Session().WaitForHost(5000);

  // The claim survives its plug-in. Move its time stamp an hour and more into the past
  // instead of waiting for the time-out.
  std::string lockName;
  for (const std::string& name : ListNames(in)) {
    std::smatch m;
    if (std::regex_match(name, m, kRunningLock)) {
      EXPECT_EQ(m[1], victimFile);
      lockName = name;
    }
  }
  ASSERT_FALSE(lockName.empty());
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lockName, m, kRunningLock));
  fs::rename(in + "/" + lockName,
             in + "/" + victimFile + ".20000101000000." + m[2].str() + "+03600.locked");

  Pair survivor;
  ASSERT_THAT(survivor.Start(M_Base.path()), IsOk());
  Delivery delivery;
  int delivered = 0;
  PollUntilEmpty(&survivor, in, files, &delivery, &delivered);
  EXPECT_EQ(delivery.failures, 0) << delivery.firstFailure;
  EXPECT_EQ(delivery.mismatches, 0);
  EXPECT_EQ(delivery.counts.size(), files.size());
  EXPECT_EQ(delivery.counts[victimFile], 1);
  EXPECT_TRUE(ListNames(in).empty());
  EXPECT_THAT(survivor.Finish(), IsOk());
  victim.Session().Close();
}

}  // namespace
}  // namespace velmora::tools
