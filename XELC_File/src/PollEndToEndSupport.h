// End-to-end test support for "poll": a master with its plug-in process, poll requests as
// the platform sends them, and what their answers offered.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "MasterSession.h"
#include "ResultMatchers.h"

namespace velmora::tools::e2e {

namespace fs = std::filesystem;
using util::Ref;
using util::Result;
using util::testing_matchers::IsOk;
using xel::XmlParser;

// A running claim: "<name>.<14 digits>.<5 random>+03600.locked".
inline const std::regex kRunningLock(R"((.+)\.\d{14}\.([0-9A-Za-z_-]{5})\+03600\.locked)");

inline MasterOptions Options(int traceLevel) {
  MasterOptions o;
  o.M_HostPath = XEL_HOST_PATH;
  o.M_PluginPath = XEL_PLUGIN_PATH;
  o.M_TraceLevel = traceLevel;
  return o;
}

// The component's configuration: base is the folder that watched paths must lie in; more is
// added inside <XelcFile> (other sections of the configuration).
inline std::string ComponentConfig(const std::string& base, const std::string& more = "") {
  return "<Component><Code><XelcFile><Folder><FolderInputBaseDirectory>" + base +
         "</FolderInputBaseDirectory><StructuredTypes>.xml</StructuredTypes></Folder>" + more +
         "</XelcFile></Code><Common><Name>poll-e2e</Name></Common></Component>";
}

inline Ref<XmlParser> Document(const std::string& xml) {
  Ref<XmlParser> doc;
  EXPECT_THAT(RequestFromText(xml, ".", &doc, nullptr), IsOk()) << xml;
  return doc;
}

// The account of a request's basic credentials; an empty user sends none.
struct Account {
  std::string user;
  std::string password;
};

// A "poll" for one file of folder; more is added inside <folder>, general is the content of
// <general>.
inline Ref<XmlParser> PollRequest(const std::string& folder, const std::string& mask,
                                  const std::string& more = "", const Account& account = {},
                                  const std::string& general = "<MaxRequested>1</MaxRequested>") {
  const std::string poll = "<poll xmlns=\"" + std::string(xel::kNsXelMessage) + "\"><general>" +
                           general +
                           "</general><specific>"
                           "<folder><WatchedPath>" +
                           folder + "</WatchedPath><FileSearchMask>" + mask + "</FileSearchMask>" +
                           more + "</folder></specific></poll>";
  if (account.user.empty()) return Document(poll);
  // The credentials travel in the envelope's header, so the whole envelope is written.
  return Document("<s:Envelope xmlns:s=\"" + std::string(xel::kNsSoapEnvelope) +
                  "\"><s:Header><t:type xmlns:t=\"" + std::string(xel::kNsXelMessage) +
                  "\">1</t:type><basic-credentials><userid>" + account.user +
                  "</userid><password>" + account.password +
                  "</password></basic-credentials></s:Header><s:Body>" + poll +
                  "</s:Body></s:Envelope>");
}

inline Ref<XmlParser> Confirmation(const std::string& status) {
  return Document("<confirm xmlns=\"" + std::string(xel::kNsXelMessage) + "\"><general><Status>" +
                  status + "</Status></general></confirm>");
}

inline std::string Text(const XmlParser& doc, const std::string& path) {
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

inline Offer ReadOffer(const XmlParser& answer) {
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

inline std::vector<std::string> ListNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    const std::u8string name = e.path().filename().u8string();  // UTF-8 on every system
    names.emplace_back(name.begin(), name.end());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline void WriteFile(const std::string& path, const std::string& content, int ageSeconds = 0) {
  std::ofstream(path, std::ios::binary) << content;
  if (ageSeconds > 0) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
  }
}

// One master with its plug-in process and the file component started.
class Pair {
 public:
  Result Start(const std::string& base, int traceLevel = 1, const std::string& moreConfig = "") {
    return Start(base, Options(traceLevel), moreConfig);
  }
  // Starts the host and plug-in that options name.
  Result Start(const std::string& base, const MasterOptions& options,
               const std::string& moreConfig = "") {
    Result r = M_Session.Start(options);
    if (r.IsError()) return r;
    Ref<XmlParser> answer;
    r = M_Session.SendStart(ComponentConfig(base, moreConfig), &answer);
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

struct Delivery {
  std::mutex mutex;
  std::map<std::string, int> counts;
  int mismatches = 0;
  int failures = 0;
  std::string firstFailure;
};

// Polls until the answer is "No file found", counting what each delivery carried against
// expected (file name to bytes). Only a claim that carries its one file is confirmed with
// "OK"; any other claim (a plain "OK" without a part is what a claim of an unreadable file
// looks like) is confirmed with "ERROR", which leaves the file claimed on disk, and counts as
// a failure: confirming it would delete a file that nobody received.
inline void PollUntilEmpty(Pair* pPair, const std::function<Ref<XmlParser>()>& request,
                           const std::map<std::string, std::string>& expected, Delivery* pDelivery,
                           int* pDelivered) {
  for (;;) {
    Offer offer;
    std::string processed;
    Result r = pPair->Poll(*request(), &offer);
    if (r.IsSuccess() && offer.status == "OK" && offer.text == "No file found") break;
    const bool bWhole = offer.parts.size() == 1;
    if (r.IsSuccess() && offer.Claimed()) r = pPair->Confirm(bWhole ? "OK" : "ERROR", &processed);
    std::lock_guard<std::mutex> guard(pDelivery->mutex);
    if (r.IsError() || !bWhole || processed != "YES") {
      if (pDelivery->failures++ == 0) {
        pDelivery->firstFailure = r.Text() + " status=" + offer.status + " text=" + offer.text +
                                  " parts=" + std::to_string(offer.parts.size()) +
                                  " confirmed=" + (bWhole ? "OK" : "ERROR") +
                                  " processed=" + processed + " diagnostics=" + offer.diagnostics;
      }
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

// Writes count files "f0000.dat"... of different sizes and ages; returns name to bytes.
inline std::map<std::string, std::string> WriteNumberedFiles(const std::string& folder, int count) {
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

// Starts one pair for each of hosts (host program and plug-in) on the component base folder
// base, lets them poll with request until the folder offers nothing, and checks that every file
// of expected (name to bytes) was delivered exactly once, byte for byte, by more than one pair,
// and that folder is empty.
inline void CompeteUntilEmpty(const std::vector<MasterOptions>& hosts, const std::string& base,
                              const std::function<Ref<XmlParser>()>& request,
                              const std::map<std::string, std::string>& expected,
                              const std::string& folder) {
  const int pairCount = static_cast<int>(hosts.size());
  std::vector<std::unique_ptr<Pair>> pairs;
  for (const MasterOptions& host : hosts) {
    pairs.push_back(std::make_unique<Pair>());
    ASSERT_THAT(pairs.back()->Start(base, host), IsOk()) << host.M_HostPath;
  }
  Delivery delivery;
  std::vector<int> delivered(static_cast<size_t>(pairCount), 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < pairCount; ++i) {
    threads.emplace_back(PollUntilEmpty, pairs[i].get(), std::cref(request), std::cref(expected),
                         &delivery, &delivered[i]);
  }
  for (auto& t : threads) t.join();

  // They really competed: more than one of them got files.
  EXPECT_GT(std::count_if(delivered.begin(), delivered.end(), [](int n) { return n > 0; }), 1);
  EXPECT_EQ(delivery.failures, 0) << delivery.firstFailure;
  EXPECT_EQ(delivery.mismatches, 0);
  EXPECT_EQ(delivery.counts.size(), expected.size());
  int duplicates = 0;
  for (const auto& [name, count] : delivery.counts) duplicates += count != 1;
  EXPECT_EQ(duplicates, 0);
  const std::vector<std::string> left = ListNames(folder);
  EXPECT_TRUE(left.empty()) << left.size() << " entries left, such as " << left.front();
  for (auto& pair : pairs) EXPECT_THAT(pair->Finish(), IsOk());
}

}  // namespace velmora::tools::e2e
