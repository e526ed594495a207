// The node bridge at the edges of a connection, with real sockets: a node that comes straight
// back after closing, one that only shuts its writing side while keyed, a last line cut off by
// the end, and a peer that floods the clock with garbage and never reads.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/bridge_node.h"
#include "test_support/loop_watchdog.h"
#include "test_support/posix_io.h"

namespace horatone {
namespace {

using Lines = std::vector<std::string>;

// Keys on every code, as the clock does, and keeps what arrived.
class KeyingEvents : public EchoLinkEvents {
 public:
  EchoLinkObject* object = nullptr;
  Lines seen;
  void DTMFString(const std::string& digits) override {
    seen.push_back("DTMF " + digits);
    ASSERT_TRUE(object->Transmit(true));
  }
  void Closing() override { seen.push_back("CLOSING"); }
  void ChatTextReceived(const std::string& text) override { seen.push_back("CHAT " + text); }
};

class BridgeEdges : public ::testing::Test {
 protected:
  void SetUp() override {
    Status why;
    bridge_ = BridgeNode::Listen(
        loop_, 0,
        {.on_disconnect =
             [this] {
               ++disconnects_;
               IgnoreFailure(object_->Transmit(false));  // what ending the announcement does
               if (on_disconnect_) on_disconnect_();
             },
         .log = [this](std::string line) { log_.push_back(std::move(line)); }},
        &why);
    ASSERT_TRUE(bridge_) << why.message;
    object_ = bridge_->Create(&why);
    events_.object = object_.get();
    object_->SetEvents(&events_);
    port_ = bridge_->listen_port();
  }

  int Count(const std::string& part) const {
    return static_cast<int>(std::count_if(log_.begin(), log_.end(), [&](const std::string& l) {
      return l.find(part) != std::string::npos;
    }));
  }

  PosixLoop loop_;
  LoopWatchdog watchdog_{loop_};
  std::unique_ptr<BridgeNode> bridge_;
  std::unique_ptr<EchoLinkObject> object_;
  KeyingEvents events_;
  Lines log_;
  int disconnects_ = 0;
  std::function<void()> on_disconnect_;
  int port_ = 0;
};

// Nodes that close and come straight back are taken and their cut-off lines dropped; the last
// one only shuts its writing side while keyed, and still hears the release.
TEST_F(BridgeEdges, NodesThatCloseAndComeStraightBackAndOneThatShutsItsWritingSide) {
  constexpr int kTries = 30;
  Lines first_lines, last_heard;
  on_disconnect_ = [&] {
    if (disconnects_ == kTries + 1) loop_.Quit();
  };
  std::thread node([&] {
    for (int i = 0; i < kTries; ++i) {
      const int fd = testing::ConnectLoopback(port_);
      testing::Lines lines(fd);
      testing::WriteAll(fd, "DTMF 123\nDTMF 9");  // the second line never ends
      first_lines.push_back(lines.Next().value_or("<nothing>"));
      close(fd);
    }
    const int fd = testing::ConnectLoopback(port_);
    testing::Lines lines(fd);
    testing::WriteAll(fd, "DTMF 123\n");
    last_heard.push_back(lines.Next().value_or("<nothing>"));
    shutdown(fd, SHUT_WR);
    for (auto line = lines.Next(); line; line = lines.Next()) last_heard.push_back(*line);
    close(fd);
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

TEST_F(BridgeEdges, APeerFloodingGarbageWithoutReadingIsLoggedInSummary) {
  on_disconnect_ = [&] { loop_.Quit(); };
  std::thread node([&] {
    const int fd = testing::ConnectLoopback(port_);
    std::string garbage;
    for (int i = 0; i < 2000; ++i) garbage += "NONSENSE " + std::to_string(i) + "\n";
    for (int i = 0; i < 20; ++i) testing::WriteAll(fd, garbage);
    close(fd);
  });
  loop_.Run();
  node.join();
  EXPECT_FALSE(watchdog_.fired());
  EXPECT_LT(log_.size(), 40u);
  EXPECT_EQ(Count("refused a line"), 5);
  EXPECT_GE(Count("more refused lines not logged one by one"), 1);
}

}  // namespace
}  // namespace horatone
