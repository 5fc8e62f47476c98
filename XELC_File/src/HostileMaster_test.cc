// A master that misbehaves (broken ring blocks, strange conversations, unparsable streams,
// endless messages, death): the plug-in ends its link in order or refuses, never crashes,
// hangs or grows without bound.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "MasterSession.h"
#include "ResultMatchers.h"
#include "osal/Process.h"
#include "osal/ProcessMemory.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "util/LogBuffer.h"
#include "xel/DataLinkIpc.h"
#include "xel/Switch.h"

// The address checker keeps freed memory in quarantine (256 MiB by default) before reuse.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kCheckerSlack = 512ull << 20;
#else
constexpr uint64_t kCheckerSlack = 0;
#endif

namespace velmora::tools {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Value;
using util::Ref;
using util::Result;
using util::testing_matchers::IsOk;
using xel::DataLinkIpc;
using xel::MessageBlock;
using xel::XmlParser;

// Bytes to place in the master's ring where the next block would go, and the write index to
// publish afterwards; built for the position they land at and the ring's size.
struct RawWrite {
  std::vector<uint8_t> bytes;
  uint32_t writeIndex = 0;
};
using RawBuilder = std::function<RawWrite(uint32_t pos, uint32_t ringSize)>;

// A block with the given header fields (48 bytes, then the content), taking advance bytes of
// the ring; advance 0: runs past the ring's end.
RawBuilder Block(uint32_t magic, uint32_t size, uint32_t offset, uint32_t length, uint32_t advance,
                 const std::string& content = "", uint32_t channel = 1, uint32_t flags = 5) {
  return [=](uint32_t pos, uint32_t ring) {
    const uint32_t words[12] = {magic, advance ? size : ring - pos + 48, offset, channel, flags, 0,
                                length};
    std::vector<uint8_t> out(sizeof words + (content.size() + 3) / 4 * 4, 0);
    std::memcpy(out.data(), words, sizeof words);
    if (!content.empty()) std::memcpy(out.data() + sizeof words, content.data(), content.size());
    return RawWrite{out, pos + (advance ? advance : 64)};
  };
}

// A well-formed block carrying content, published as a writer would.
RawBuilder GoodBlock(uint32_t channel, uint32_t flags, const std::string& content) {
  const uint32_t size = 48 + (static_cast<uint32_t>(content.size()) + 3) / 4 * 4;
  return Block(DataLinkIpc::kBlockMagic, size, 48, static_cast<uint32_t>(content.size()), size,
               content, channel, flags);
}

// The master's side of the link, able to write any bytes into the ring it writes. Raw writes
// go through the send thread like blocks, so they never interleave with regular blocks.
class FaultLink : public DataLinkIpc {
 public:
  explicit FaultLink(std::string linkName) : M_LinkName(std::move(linkName)) {}

  // Queues a raw write behind the blocks queued so far.
  Result Inject(RawBuilder build) {
    {
      std::lock_guard<std::mutex> guard(M_Mutex);
      M_Raw.push_back(std::move(build));
    }
    MessageBlock* pMarker = MessageBlock::Allocate();
    pMarker->M_Event = kRawMarker;
    Result r = QueueBlock(pMarker);
    if (r.IsError()) MessageBlock::Free(pMarker);
    return r;
  }

 protected:
  Result Send(const MessageBlock* pBlock) override {
    if (pBlock->M_Event != kRawMarker) return DataLinkIpc::Send(pBlock);
    RawBuilder build;
    {
      std::lock_guard<std::mutex> guard(M_Mutex);
      build = std::move(M_Raw.front());
      M_Raw.pop_front();
    }
    return WriteRaw(build);
  }

 private:
  static constexpr uint32_t kRawMarker = 0x52415721;

  // Waits until the slave has read everything, then writes at the write index (wrapping as
  // a writer does when the bytes do not fit before the end) and wakes the slave.
  Result WriteRaw(const RawBuilder& build) {
    if (!M_Memory.data() && (!M_Memory.Open(ObjectName(M_LinkName, "Mem")).ok() ||
                             !M_Wake.Open(ObjectName(M_LinkName, "EventM")).ok())) {
      return Result::Fail(util::ErrObjNotExist, "the link's objects cannot be opened");
    }
    uint8_t* base = static_cast<uint8_t*>(M_Memory.data());
    uint32_t offset = 0;
    std::memcpy(&offset, base + 104, 4);  // partition 1: master to slave
    uint32_t* q = reinterpret_cast<uint32_t*>(base + offset);
    uint8_t* ring = base + offset + q[0];
    const uint32_t size = q[2];
    for (int i = 0; i < 5000 && Load(&q[4]) != Load(&q[3]); ++i) osal::SleepMs(1);
    const uint32_t w = Load(&q[3]);
    if (Load(&q[4]) != w) return Result::Fail(util::ErrTimeout, "the slave does not read");
    uint32_t pos = w;
    RawWrite raw = build(pos, size);
    if (pos + raw.bytes.size() + DataLinkIpc::kBlockHeaderSize > size) {
      std::memcpy(ring + w, &DataLinkIpc::kWrapMarker, 4);
      pos = 0;
      raw = build(pos, size);
    }
    std::memcpy(ring + pos, raw.bytes.data(), raw.bytes.size());
    std::atomic_ref<uint32_t>(q[3]).store(raw.writeIndex, std::memory_order_seq_cst);
    (void)M_Wake.Set();
    return Result();
  }
  static uint32_t Load(uint32_t* p) { return std::atomic_ref<uint32_t>(*p).load(); }

  const std::string M_LinkName;
  std::mutex M_Mutex;
  std::deque<RawBuilder> M_Raw;
  osal::SharedMemory M_Memory;
  osal::NamedEvent M_Wake;
};

Ref<XmlParser> Request(const std::string& xml) {
  Ref<XmlParser> doc;
  EXPECT_THAT(RequestFromText(xml, ".", &doc, nullptr), IsOk()) << xml;
  return doc;
}

MasterOptions PluginOptions(const std::string& link = "") {
  MasterOptions o;
  o.M_HostPath = XEL_HOST_PATH;
  o.M_PluginPath = XEL_PLUGIN_PATH;
  o.M_LinkName = link;
  return o;
}

// The bytes of a document as they travel.
std::string BytesOf(XmlParser& doc) {
  xel::Message* m = doc.GetMessage();
  EXPECT_THAT(m->FetchAll(), IsOk());
  std::string bytes(static_cast<size_t>(m->Size()), '\0');
  EXPECT_THAT(m->ReadExact(0, bytes.data(), static_cast<int32_t>(bytes.size())), IsOk());
  return bytes;
}

// The start of a request whose header holds one character token of the largest length a
// message may hold: a reader that looks for the body has to go through it and runs into the
// message's size limit before the token ends, whatever the bytes after this start are.
std::string EndlessRequestStart() {
  XmlParser doc;
  EXPECT_THAT(doc.SetDataFormat(XmlParser::Format_Binary), IsOk());
  const int s = doc.DeclareNamespace("s", xel::kNsSoapEnvelope);
  EXPECT_THAT(doc.OpenElement(s, "Envelope"), IsOk());
  EXPECT_THAT(doc.OpenElement(s, "Header"), IsOk());
  const int t = doc.DeclareNamespace("t", xel::kNsXelMessage);
  EXPECT_THAT(doc.WriteElementInt(t, "type", 1), IsOk());
  EXPECT_THAT(doc.OpenElement(t, "pad"), IsOk());
  const std::string bytes = BytesOf(doc);
  // Character content (209), its length 0x40000000 in four bytes.
  return bytes + std::string("\xD1\x84\x40\x00\x00\x00", 6);
}

class HostileMasterTest : public ::testing::Test {
 protected:
  void StartPlugin() {
    M_pSession = std::make_unique<MasterSession>();
    MasterOptions o = PluginOptions();
    o.M_TraceLevel = 30;  // warnings: the refusals' own trace lines
    o.M_MakeLink = [this](const std::string& name) {
      auto link = Ref<FaultLink>::Adopt(new FaultLink(name));
      M_pFault = link.get();
      return Ref<DataLinkIpc>(link.get());
    };
    ASSERT_THAT(Session().Start(o), IsOk());
  }
  MasterSession& Session() { return *M_pSession; }
  // The plug-in still serves: a new conversation gets its answer.
  void ExpectServing(const char* after) {
    Ref<XmlParser> answer;
    ASSERT_THAT(Session().Call(*Request("<GetWorkingDir/>"), &answer, 15000), IsOk()) << after;
    EXPECT_EQ(AnswerKind(*answer), "WorkingDir") << "after " << after;
  }
  // True once a trace line holding text has arrived (waits up to timeoutMs).
  bool Traced(const std::string& text, int timeoutMs = 5000) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      if (Value(Session().TraceLines(), Contains(HasSubstr(text)))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string LastTraceLines(size_t count) {
    const std::vector<std::string> lines = Session().TraceLines();
    std::string text;
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
      text += lines[i] + "\n";
    return text;
  }
  uint64_t PeakMemory() {
    uint64_t bytes = 0;
    EXPECT_TRUE(osal::PeakResidentMemory(Session().HostProcessId(), &bytes).ok());
    return bytes;
  }
  // A conversation of this side's making, not yet opened at the plug-in; blocks for it carry
  // its channel with the lowest bit inverted.
  Ref<xel::ConnectionPtp> NewConversation() {
    auto conn = Ref<xel::ConnectionPtp>::Adopt(new xel::ConnectionPtp());
    EXPECT_THAT(conn->Connect(Session().LinkHandle()), IsOk());
    return conn;
  }

  std::unique_ptr<MasterSession> M_pSession;
  FaultLink* M_pFault = nullptr;
};

// Blocks that break the ring's rules: the plug-in ends the link with the block check's trace
// text, its entry returns -1 (exit code 255) and the link's names go with it.
TEST_F(HostileMasterTest, BrokenBlocksEndTheLinkInOrder) {
  const uint32_t magic = DataLinkIpc::kBlockMagic;
  // Bad magic, bad data offset, one beyond the block, sizes past the ring and past the written
  // part, content above 4000 bytes, a wrap marker with nothing at the start, an odd write index.
  const std::pair<RawBuilder, const char*> cases[] = {
      {Block(0x0BADB10C, 64, 48, 0, 64), "Block with bad id 0xbadb10c received"},
      {Block(magic, 64, 8, 0, 64), "Block with bad data offset 8 received"},
      {Block(magic, 64, 0xFFFFFF00, 16, 64), "Block with bad size (64 < -256+16) received"},
      {Block(magic, 0, 48, 0, 0), "runs past the ring"},
      {Block(magic, 4048, 48, 4000, 64), "runs past the ring"},
      {Block(magic, 48 + 4004, 48, 4001, 48 + 4004, std::string(4004, 'x')),
       "Block with invalid content len 4001 received"},
      {Block(0x7FFFFFFF, 0, 0, 0, 48), "Wrap marker at "},
      {Block(magic, 64, 48, 0, 66), "Bad ring index"},
  };
  for (const auto& [build, text] : cases) {
    SCOPED_TRACE(text);
    StartPlugin();
    ASSERT_THAT(M_pFault->Inject(build), IsOk());
    EXPECT_THAT(Session().WaitForHost(10000), IsOk()) << "the plug-in did not end its link";
    EXPECT_EQ(Session().Exit().Describe(), "exited with code 255");
    EXPECT_TRUE(Traced(text));
    EXPECT_TRUE(Traced("DataLink::Recv() failed with Error"));
    const std::string link = Session().LinkName();
    M_pSession.reset();
    osal::SharedMemory memory;
    EXPECT_TRUE(memory.Open(DataLinkIpc::ObjectName(link, "Mem")).Is(osal::ErrorKind::kNotFound));
  }
}

// What a master may send but should not: the plug-in refuses it (drops the block, closes the
// conversation or answers with a fault) and serves on, within bounded memory.
TEST_F(HostileMasterTest, StrangeConversationsAreRefusedAndThePluginServesOn) {
  StartPlugin();
  Ref<XmlParser> answer;
  ASSERT_THAT(Session().SendStart("<Component><Code><XelcFile/></Code></Component>", &answer),
              IsOk());
  ASSERT_EQ(AnswerKind(*answer), "ok") << DocumentToText(*answer);
  const uint64_t baseline = PeakMemory();
  const std::string request = BytesOf(*Request("<GetWorkingDir/>"));
  const uint32_t msg = xel::Flag_BegMessage | xel::Flag_EndMessage;
  // A block for a conversation nobody opened.
  ASSERT_THAT(M_pFault->Inject(GoodBlock(0x13572468, msg, request)), IsOk());
  EXPECT_TRUE(Traced("BegConnection Flag is not set"));
  ExpectServing("a block on an unknown channel");
  // Whole messages of conversations of their own: flag bits nobody defined are carried and
  // ignored; token streams that do not parse are closed unanswered or answered with a fault.
  std::string deep = std::string("\x02\x01\x00", 3);
  while (deep.size() < 3990) deep += std::string("\x64\x05\x80\x00\x81\x01\x61", 7);
  const std::pair<const char*, std::string> streams[] = {
      {"undefined flags", request},
      {"truncated", request.substr(0, request.size() / 2)},
      {"not a token stream", "<?xml this is not one"},
      {"token longer than a message may be",
       std::string("\x02\x01\x00\x64\x88\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 13)},
      {"length that ends inside the header", std::string("\x02\x01\x00\x64\x84\x00\x00", 7)},
      {"nesting without end", deep},
      {"empty", ""}};
  for (const auto& [label, content] : streams) {
    SCOPED_TRACE(label);
    Ref<xel::ConnectionPtp> conn = NewConversation();
    const uint32_t undefined = content == request ? 0xFFFFFFF0u : 0;
    ASSERT_THAT(M_pFault->Inject(GoodBlock(conn->Channel() ^ 1u,
                                           undefined | xel::Flag_BegConnection | msg, content)),
                IsOk());
    Result r = Session().ReceiveAnswer(conn.get(), &answer, 10000);
    if (undefined) {
      EXPECT_TRUE(r.IsSuccess() && AnswerKind(*answer) == "WorkingDir") << r.Text();
    } else {
      EXPECT_TRUE(r.IsClass(util::ErrConnLost) || (r.IsSuccess() && AnswerKind(*answer) == "Fault"))
          << (r.IsSuccess() ? "ok" : r.Text());
      ExpectServing(label);
    }
  }
  // A message whose first block comes and nothing after it: its conversation waits, the others
  // are served, and the plug-in still ends in order.
  Ref<xel::ConnectionPtp> stalled = NewConversation();
  const std::string start = EndlessRequestStart();
  MessageBlock* pFirst = MessageBlock::Allocate();
  std::memcpy(pFirst->M_Content, start.data(), start.size());
  pFirst->M_Length = static_cast<uint32_t>(start.size());
  pFirst->M_Flags = xel::Flag_BegMessage;
  ASSERT_THAT(stalled->Send(pFirst, 10000), IsOk());
  ExpectServing("a message that stalls");
  {  // More conversations than the plug-in serves and lets wait, each opened without a message.
    std::vector<Ref<xel::ConnectionPtp>> flood;
    for (int i = 0;
         i < xel::Switch::kMaxServerThreads + xel::Switch::kMaxWaitingConversations + 200; ++i) {
      flood.push_back(NewConversation());
      MessageBlock* pOpen = MessageBlock::Allocate();
      pOpen->M_Flags = 0;
      ASSERT_THAT(flood.back()->Send(pOpen, 10000), IsOk());
    }
    EXPECT_TRUE(Traced("cant start Thread", 10000));
  }
  ExpectServing("a flood of conversations");
  const uint64_t beforeEndless = PeakMemory();
  {  // A message that never ends: the plug-in stops it at the largest size a message may have.
    Ref<xel::ConnectionPtp> endless = NewConversation();
    int64_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    while (endless->IsConnected() && endless->QueuedBlocks() == 0 && sent < int64_t{0x70000000} &&
           std::chrono::steady_clock::now() < deadline) {
      MessageBlock* p = MessageBlock::Allocate();
      p->M_Length = MessageBlock::BlockSize;
      // Bytes that would end the request at once if read as a token (recycled blocks hold
      // whatever they last carried).
      std::memset(p->M_Content, 0xFF, MessageBlock::BlockSize);
      if (sent == 0) {
        std::memcpy(p->M_Content, start.data(), start.size());
        p->M_Flags = xel::Flag_BegMessage;
      }
      if (endless->Send(p, 30000).IsError()) break;
      sent += MessageBlock::BlockSize;
    }
    EXPECT_GE(sent, xel::Message::kMaxSize) << "stopped early";
    // The master learns of the refusal late on a loaded machine, but long before the loop's end.
    EXPECT_LT(sent, xel::Message::kMaxSize + (int64_t{384} << 20)) << "the plug-in did not stop it";
    // Read, it ends at the size limit; still waiting for a free thread after the flood, at the
    // limit of what a conversation may hold unread.
    EXPECT_TRUE(Traced("Maximum internal Buffer Size (1073741824) exceeded", 10000) ||
                Traced("bytes received and not read", 0))
        << "sent " << sent << ", connected " << endless->IsConnected() << ", queued "
        << endless->QueuedBlocks() << ", last lines:\n"
        << LastTraceLines(40);
  }
  ExpectServing("a message that never ends");
  // The conversations' threads, whose stacks may count whole (wine commits them), and the one
  // message of the largest size, with little beside them.
  const uint64_t peak = PeakMemory(), threads = xel::Switch::kMaxServerThreads * (5ull << 18);
  EXPECT_LT(beforeEndless, baseline + threads + (64ull << 20)) << baseline;
  EXPECT_LT(peak, beforeEndless + (1152ull << 20) + kCheckerSlack) << beforeEndless;

  Ref<XmlParser> stop, terminate;
  const auto finishing = std::chrono::steady_clock::now();
  EXPECT_THAT(Session().Finish(&stop, &terminate), IsOk());
  EXPECT_EQ(Session().Exit().Describe(), "exited with code 0");
  EXPECT_LT(std::chrono::steady_clock::now() - finishing, std::chrono::seconds(8))
      << "the stalled conversation held the plug-in";
}

// A master in a process of its own: starts the plug-in, tells the parent the host's pid, then
// waits to be killed. With "kill-host" it first kills its host and waits until its link has
// noticed.
XEL_CHILD_MODE(master_to_kill) {
  MasterSession session;
  if (session.Start(PluginOptions(args.at(0))).IsError()) return 1;
  const uint32_t host = session.HostProcessId();
  if (args.size() > 1 && args[1] == "kill-host") {
    if (!session.KillHost()) return 2;
    while (session.LinkAlive()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  velmora::testing::ChildSay(std::to_string(host));
  velmora::testing::ChildWaitToBeKilled();
}

template <typename Object>
void AddOpenable(std::vector<std::string>* pFound, std::initializer_list<std::string> names) {
  for (const std::string& name : names) {
    if (Object().Open(name).ok()) pFound->push_back(name);
  }
}

// The named objects of the link and of the trace buffer that can still be opened.
std::vector<std::string> OpenableNames(const std::string& link) {
  const std::string key = link.substr(0, link.find('_'));
  const auto of = [&](const char* part) { return DataLinkIpc::ObjectName(link, part); };
  std::vector<std::string> found;
  AddOpenable<osal::SharedMemory>(&found, {of("Mem"), util::LogBuffer::MemoryName(key)});
  AddOpenable<osal::NamedMutex>(&found,
                                {of("MutexM"), of("MutexS"), util::LogBuffer::MutexName(key)});
  AddOpenable<osal::NamedEvent>(&found,
                                {of("EventM"), of("EventS"), util::LogBuffer::EventName(key)});
  return found;
}

// A killed master: its plug-in returns from its entry within two seconds and removes what the
// master left. A killed plug-in, then its master: nobody is left to notice (POSIX keeps the
// names; Windows has dropped them), and the next master of the same name takes them over.
TEST(HostileMasterProcessTest, NamedObjectsGoWithAKilledMasterOrHost) {
  // The host outlives a killed master; this process takes it on to wait for it.
  ASSERT_TRUE(osal::AdoptOrphanedDescendants().ok());
  for (const bool bKillHost : {false, true}) {
    SCOPED_TRACE(bKillHost ? "plug-in killed, then its master" : "master killed");
    const std::string link =
        "XH" + std::to_string(osal::CurrentProcessId()) + (bKillHost ? "h_killed" : "m_killed");
    velmora::testing::ChildProcess master;
    ASSERT_TRUE(master.Start("master_to_kill", {link, bKillHost ? "kill-host" : "keep-host"}));
    std::string line;
    ASSERT_TRUE(master.ReadLine(&line, 15000));
    EXPECT_EQ(OpenableNames(link).size(), 8u);  // the master's own while it lives
    master.Kill();
    int code = 0;
    ASSERT_TRUE(master.Wait(5000, &code));
    if (bKillHost) {
      MasterSession next;
      ASSERT_THAT(next.Start(PluginOptions(link)), IsOk());
      Ref<XmlParser> stop, terminate;
      EXPECT_THAT(next.Finish(&stop, &terminate), IsOk());
    } else {
      osal::Process host;
      ASSERT_TRUE(host.Attach(static_cast<uint32_t>(std::stoul(line))).ok());
      const auto t0 = std::chrono::steady_clock::now();
      ASSERT_TRUE(host.Wait(5000).ok());
      EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
      EXPECT_FALSE(host.exit().killed) << host.exit().Describe();  // an ended entry, no crash
    }
    EXPECT_THAT(OpenableNames(link), ::testing::IsEmpty());
  }
}

}  // namespace
}  // namespace velmora::tools
