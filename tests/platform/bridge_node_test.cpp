#include "platform/bridge_node.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "test_support/loop_watchdog.h"
#include "test_support/posix_io.h"

namespace horatone {
namespace {

using Lines = std::vector<std::string>;

// The main window's handlers, reduced to a log of what arrived and a hook to answer with.
class RecordingEvents : public EchoLinkEvents {
 public:
  Lines seen;
  std::function<void(const std::string&)> then;

  void DTMFString(const std::string& digits) override { Add("DTMF " + digits); }
  void Closing() override { Add("CLOSING"); }
  void ChatTextReceived(const std::string& text) override { Add("CHAT " + text); }

 private:
  void Add(const std::string& what) {
    seen.push_back(what);
    if (then) then(what);
  }
};

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

TEST(BridgeNodeListening, ExchangesLinesWithOneNodeRefusesASecondAndTakesTheNextAfterIt) {
  PosixLoop loop;
  LoopWatchdog watchdog(loop);
  int disconnects = 0;
  std::promise<void> first_gone;
  Status why;
  auto bridge = BridgeNode::Listen(loop, 0,
                                   {.on_disconnect =
                                        [&] {
                                          if (++disconnects == 1) return first_gone.set_value();
                                          loop.Quit();
                                        },
                                    .log = {}},
                                   &why);
  ASSERT_TRUE(bridge) << why.message;
  auto main_object = bridge->Create(&why);
  auto about_object = bridge->Create(&why);  // shares the connection, has no handlers
  RecordingEvents events;
  main_object->SetEvents(&events);

  // What the node had reported at each event, as the about window's object sees it.
  Lines reported;
  events.then = [&](const std::string& what) {
    reported.push_back(about_object->InfoText().value_or("?") + "|" +
                       std::to_string(about_object->BusyFlag1().value_or(true)) +
                       std::to_string(about_object->BusyFlag2().value_or(true)) +
                       std::to_string(about_object->BusyFlag3().value_or(true)) + "|" +
                       std::to_string(about_object->TransmitState().value_or(true)));
    if (what.starts_with("DTMF")) {
      EXPECT_TRUE(main_object->Transmit(true).ok);
    } else if (what.find("/ver/") != std::string::npos) {
      EXPECT_TRUE(main_object->SendChatText("Horatone  v2.0.1").ok);
    }
  };

  Lines first_heard, second_heard, third_heard;
  std::thread nodes([&, port = bridge->listen_port()] {
    TcpNode first(port);
    testing::WriteAll(first.fd, "DTMF 123\nINFO W1AW-L Newington\nBUSY 0 1 0\nTX 1\n");
    testing::WriteAll(first.fd, "BUSY 1 1\nCHAT hi /ver/ there\r\nBOGUS 1\n");
    for (int i = 0; i < 4; ++i) first_heard.push_back(first.Line());
    TcpNode second(port);
    second_heard = {second.Line(), second.Line()};
    first.Close();
    ASSERT_EQ(first_gone.get_future().wait_for(std::chrono::seconds(10)),
              std::future_status::ready);
    TcpNode third(port);
    testing::WriteAll(third.fd, "DTMF 123\n");
    third_heard.push_back(third.Line());
  });
  loop.Run();
  nodes.join();

  EXPECT_FALSE(watchdog.fired());
  EXPECT_EQ(first_heard, (Lines{"TRANSMIT 1", "ERROR BUSY needs three flags, each 0 or 1",
                                "CHAT Horatone  v2.0.1", "ERROR unknown word \"BOGUS\""}));
  EXPECT_EQ(second_heard, (Lines{"ERROR busy: another node is connected", "<closed>"}));
  EXPECT_EQ(third_heard, (Lines{"TRANSMIT 1"}));
  EXPECT_EQ(events.seen, (Lines{"DTMF 123", "CHAT hi /ver/ there", "DTMF 123"}));
  // Nothing but the defaults before INFO, BUSY and TX, and again once a new node has come.
  EXPECT_EQ(reported, (Lines{"|000|0", "W1AW-L Newington|010|1", "|000|0"}));
  EXPECT_FALSE(bridge->node_connected());
  // With no node, releasing cannot fail; keying, chat and the busy flags need a node.
  EXPECT_TRUE(main_object->Transmit(false).ok);
  EXPECT_TRUE(main_object->AuxFlag(false).ok);
  EXPECT_FALSE(main_object->Transmit(true).ok);
  EXPECT_FALSE(main_object->SendChatText("x").ok);
  EXPECT_FALSE(main_object->BusyFlag1().has_value());
}

TEST(BridgeNodeOpen, TransportTextsAreCheckedAndAPortIsNotTakenTwice) {
  PosixLoop loop;
  Status why;
  for (const char* bad : {"", "tcp:4000", "listen:x", "listen:70000", "listen:80 "}) {
    EXPECT_FALSE(BridgeNode::Open(loop, bad, {}, &why)) << bad;
    EXPECT_NE(why.message.find("stdio or listen:PORT"), std::string::npos) << why.message;
  }
  auto bridge = BridgeNode::Open(loop, "listen:0", {}, &why);
  ASSERT_TRUE(bridge) << why.message;
  const std::string taken = "listen:" + std::to_string(bridge->listen_port());
  EXPECT_FALSE(BridgeNode::Open(loop, taken, {}, &why));
  EXPECT_NE(why.message.find("cannot bind 127.0.0.1:"), std::string::npos) << why.message;
}

// The stdio transport, over pipes standing in for stdin and stdout. (The end of input as the
// node closing is proven on the real binary by app/headless_faults.sh.)
class BridgeNodeOverPipes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(in_), 0);
    ASSERT_EQ(pipe(out_), 0);
    bridge_ = BridgeNode::OverDescriptors(loop_, in_[0], out_[1],
                                          {.on_disconnect = {}, .log = [this](std::string line) {
                                             log_.push_back(std::move(line));
                                           }});
    Status why;
    object_ = bridge_->Create(&why);
  }
  void TearDown() override {
    bridge_.reset();
    for (int fd : {in_[0], in_[1], out_[0], out_[1]}) close(fd);
  }

  PosixLoop loop_;
  LoopWatchdog watchdog_{loop_};
  int in_[2], out_[2];
  Lines log_;
  std::unique_ptr<BridgeNode> bridge_;
  std::unique_ptr<EchoLinkObject> object_;
};

TEST_F(BridgeNodeOverPipes, ANodeThatDoesNotReadNeverBlocksTheClockAndGetsEverythingLater) {
  // Nothing reads the output pipe yet: the pipe fills, then the bridge's own buffer.
  const std::string text(1000, 'x');
  int accepted = 0;
  while (accepted < 1000 && object_->SendChatText(text).ok) ++accepted;
  ASSERT_LT(accepted, 1000);
  EXPECT_GT(accepted, static_cast<int>(BridgeNode::kMaxOutgoing / 1006));
  ASSERT_FALSE(log_.empty());
  EXPECT_NE(log_.back().find("not reading"), std::string::npos);

  // Once the node reads, the loop delivers every accepted line, whole and in order.
  Lines received;
  std::thread reader([&] {
    testing::Lines lines(out_[0]);
    while (received.size() < static_cast<std::size_t>(accepted)) {
      auto line = lines.Next();
      if (!line) break;
      received.push_back(*line);
    }
    loop_.Post([&] { loop_.Quit(); });
  });
  loop_.Run();
  reader.join();
  EXPECT_FALSE(watchdog_.fired());
  EXPECT_EQ(received, Lines(static_cast<std::size_t>(accepted), "CHAT " + text));
}

}  // namespace
}  // namespace horatone
