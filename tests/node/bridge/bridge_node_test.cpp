// The node bridge with real sockets and pipes: one node at a time, what it reports, a node
// that comes straight back after closing, one that only shuts its writing side while keyed, a
// last line cut off by the end, a peer that floods the clock with garbage, and a node that
// does not read.
#include "node/bridge/bridge_node.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "test_support/fakes.h"
#include "test_support/loop_watchdog.h"
#include "test_support/posix_io.h"
#include "test_support/reading.h"

namespace horatone {
namespace {

using Lines = std::vector<std::string>;

// A node on the far side of the TCP bridge.
struct TcpNode {
  explicit TcpNode(int port) : fd(testing::ConnectLoopback(port)), lines(fd) {}
  ~TcpNode() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  std::string Line() { return lines.Next().value_or("<closed>"); }
  int fd;
  testing::Lines lines;
};

// A listening bridge whose events key on every code, as the clock does.
class BridgeListening : public ::testing::Test {
 protected:
  void SetUp() override {
    Status why;
    bridge_ = testing::Opened(BridgeNode::Listen(
        loop_, 0,
        {.on_disconnect =
             [this] {
               ++disconnects_;
               ContinuePastFailure(object_->Transmit(false));  // what ending the announcement does
               if (on_disconnect_) on_disconnect_();
             },
         .log = [this](std::string line) { log_.push_back(std::move(line)); }}),
        &why);
    ASSERT_TRUE(bridge_) << why.message;
    object_ = bridge_->Create().value();
    events_.then = [this](const std::string& what) {
      EXPECT_TRUE(!what.starts_with("DTMF") || object_->Transmit(true).ok());
    };
    object_->SetEvents(&events_);
    port_ = bridge_->listen_port();
  }

  int Count(const std::string& part) const {
    return static_cast<int>(std::ranges::count_if(
        log_, [&](const std::string& l) { return l.find(part) != std::string::npos; }));
  }

  PosixLoop loop_;
  LoopWatchdog watchdog_{loop_};
  std::unique_ptr<BridgeNode> bridge_;
  std::unique_ptr<EchoLinkObject> object_;
  RecordingEvents events_;
  Lines log_;
  int disconnects_ = 0;
  std::function<void()> on_disconnect_;
  int port_ = 0;
};

TEST_F(BridgeListening, ExchangesLinesWithOneNodeRefusesASecondAndTakesTheNextAfterIt) {
  std::promise<void> first_gone;
  on_disconnect_ = [&] {
    if (disconnects_ == 1) return first_gone.set_value();
    loop_.Quit();
  };
  auto about_object = bridge_->Create().value();  // shares the connection, has no handlers
  // What the node had reported at each event, as the about window's object sees it.
  Lines reported;
  events_.then = [&](const std::string& what) {
    reported.push_back(about_object->InfoText().value_or("?") + "|" +
                       std::to_string(about_object->BusyFlag1().value_or(true)) +
                       std::to_string(about_object->BusyFlag2().value_or(true)) +
                       std::to_string(about_object->BusyFlag3().value_or(true)) + "|" +
                       std::to_string(about_object->TransmitState().value_or(true)));
    if (what.starts_with("DTMF")) {
      EXPECT_TRUE(object_->Transmit(true).ok());
    } else if (what.find("/ver/") != std::string::npos) {
      EXPECT_TRUE(object_->SendChatText("Horatone  v2.0.1").ok());
    }
  };

  Lines first_heard, second_heard, third_heard;
  std::thread nodes([&] {
    TcpNode first(port_);
    testing::WriteAll(first.fd, "DTMF 123\nINFO W1AW-L Newington\nBUSY 0 1 0\nTX 1\n");
    testing::WriteAll(first.fd, "BUSY 1 1\nCHAT hi /ver/ there\r\nBOGUS 1\n");
    for (int i = 0; i < 4; ++i) first_heard.push_back(first.Line());
    TcpNode second(port_);
    second_heard = {second.Line(), second.Line()};
    first.Close();
    ASSERT_EQ(first_gone.get_future().wait_for(std::chrono::seconds(10)),
              std::future_status::ready);
    TcpNode third(port_);
    testing::WriteAll(third.fd, "DTMF 123\n");
    third_heard.push_back(third.Line());
  });
  loop_.Run();
  nodes.join();

  EXPECT_FALSE(watchdog_.fired());
  EXPECT_EQ(first_heard, (Lines{"TRANSMIT 1", "ERROR BUSY needs three flags, each 0 or 1",
                                "CHAT Horatone  v2.0.1", "ERROR unknown word \"BOGUS\""}));
  EXPECT_EQ(second_heard, (Lines{"ERROR busy: another node is connected", "<closed>"}));
  EXPECT_EQ(third_heard, (Lines{"TRANSMIT 1"}));
  EXPECT_EQ(events_.seen, (Lines{"DTMF 123", "CHAT hi /ver/ there", "DTMF 123"}));
  // Nothing but the defaults before INFO, BUSY and TX, and again once a new node has come.
  EXPECT_EQ(reported, (Lines{"|000|0", "W1AW-L Newington|010|1", "|000|0"}));
  EXPECT_FALSE(bridge_->node_connected());
  // With no node, releasing cannot fail; keying, chat and the busy flags need a node.
  EXPECT_TRUE(object_->Transmit(false).ok());
  EXPECT_TRUE(object_->AuxFlag(false).ok());
  EXPECT_FALSE(object_->Transmit(true).ok());
  EXPECT_FALSE(object_->SendChatText("x").ok());
  EXPECT_FALSE(object_->BusyFlag1().ok());
}

// Nodes that close and come straight back are taken and their cut-off lines dropped; the last
// one only shuts its writing side while keyed, and still hears the release.
TEST_F(BridgeListening, NodesThatCloseAndComeStraightBackAndOneThatShutsItsWritingSide) {
  constexpr int kTries = 30;
  Lines first_lines, last_heard;
  on_disconnect_ = [&] {
    if (disconnects_ == kTries + 1) loop_.Quit();
  };
  std::thread node([&] {
    for (int i = 0; i < kTries; ++i) {
      TcpNode tcp(port_);
      testing::WriteAll(tcp.fd, "DTMF 123\nDTMF 9");  // the second line never ends
      first_lines.push_back(tcp.Line());
    }
    TcpNode last(port_);
    testing::WriteAll(last.fd, "DTMF 123\n");
    last_heard.push_back(last.Line());
    shutdown(last.fd, SHUT_WR);
    for (auto line = last.lines.Next(); line; line = last.lines.Next()) last_heard.push_back(*line);
  });
  loop_.Run();
  node.join();
  EXPECT_FALSE(watchdog_.fired());
  EXPECT_EQ(first_lines, Lines(kTries, "TRANSMIT 1"));
  EXPECT_EQ(events_.seen, Lines(kTries + 1, "DTMF 123"));
  EXPECT_EQ(Count("refused a second node"), 0);
  EXPECT_EQ(Count("dropped an unfinished line"), kTries);
  EXPECT_EQ(last_heard, (Lines{"TRANSMIT 1", "TRANSMIT 0"}));
}

TEST_F(BridgeListening, APeerFloodingGarbageWithoutReadingIsLoggedInSummary) {
  on_disconnect_ = [&] { loop_.Quit(); };
  std::thread node([&] {
    TcpNode tcp(port_);
    std::string garbage;
    for (int i = 0; i < 2000; ++i) garbage += "NONSENSE " + std::to_string(i) + "\n";
    for (int i = 0; i < 20; ++i) testing::WriteAll(tcp.fd, garbage);
  });
  loop_.Run();
  node.join();
  EXPECT_FALSE(watchdog_.fired());
  EXPECT_LT(log_.size(), 40u);
  EXPECT_EQ(Count("refused a line"), 5);
  EXPECT_GE(Count("more refused lines not logged one by one"), 1);
}

TEST(BridgeNodeOpen, TransportTextsAreCheckedAndAPortIsNotTakenTwice) {
  PosixLoop loop;
  Status why;
  for (const char* bad : {"", "tcp:4000", "listen:x", "listen:70000", "listen:80 "}) {
    EXPECT_FALSE(testing::Opened(BridgeNode::Open(loop, bad, {}), &why)) << bad;
    EXPECT_NE(why.message.find("stdio or listen:PORT"), std::string::npos) << why.message;
  }
  auto bridge = testing::Opened(BridgeNode::Open(loop, "listen:0", {}), &why);
  ASSERT_TRUE(bridge) << why.message;
  const std::string taken = "listen:" + std::to_string(bridge->listen_port());
  EXPECT_FALSE(testing::Opened(BridgeNode::Open(loop, taken, {}), &why));
  EXPECT_NE(why.message.find("cannot bind 127.0.0.1:"), std::string::npos) << why.message;
}

// The stdio transport, over pipes standing in for stdin and stdout. (The end of input as the
// node closing is proven on the real binary by app/headless_faults.sh.)
TEST(BridgeNodeOverPipes, ANodeThatDoesNotReadNeverBlocksTheClockAndGetsEverythingLater) {
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  PosixLoop loop;
  LoopWatchdog watchdog(loop);
  Lines log;
  auto bridge = BridgeNode::OverDescriptors(
      loop, in[0], out[1],
      {.on_disconnect = {}, .log = [&](std::string line) { log.push_back(std::move(line)); }});
  auto object = bridge->Create().value();
  // Nothing reads the output pipe yet: the pipe fills, then the bridge's own buffer.
  const std::string text(1000, 'x');
  int accepted = 0;
  while (accepted < 1000 && object->SendChatText(text).ok()) ++accepted;
  ASSERT_LT(accepted, 1000);
  EXPECT_GT(accepted, static_cast<int>(BridgeNode::kMaxOutgoing / 1006));
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.back().find("not reading"), std::string::npos);

  // Once the node reads, the loop delivers every accepted line, whole and in order.
  Lines received;
  std::thread reader([&] {
    testing::Lines lines(out[0]);
    while (received.size() < static_cast<size_t>(accepted)) {
      auto line = lines.Next();
      if (!line) break;
      received.push_back(*line);
    }
    loop.Post([&] { loop.Quit(); });
  });
  loop.Run();
  reader.join();
  EXPECT_FALSE(watchdog.fired());
  EXPECT_EQ(received, Lines(static_cast<size_t>(accepted), "CHAT " + text));
  object.reset();
  bridge.reset();
  for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
}

}  // namespace
}  // namespace horatone
