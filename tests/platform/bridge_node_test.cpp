#include "platform/bridge_node.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_support/loop_watchdog.h"

namespace horatone {
namespace {

constexpr int kGiveUpSeconds = LoopWatchdog::kGiveUpSeconds;

// The main window's handlers, reduced to a log of what arrived and a hook to answer with.
class RecordingEvents : public EchoLinkEvents {
 public:
  std::vector<std::string> seen;
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

// A node on the far side of the TCP bridge, with blocking calls that give up in time.
class TestNode {
 public:
  explicit TestNode(std::uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    timeval give_up{kGiveUpSeconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &give_up, sizeof give_up);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~TestNode() { Close(); }

  bool connected() const { return connected_; }
  void Send(const std::string& bytes) {
    ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // The next line without its LF; nullopt at the end of the connection or on giving up.
  std::optional<std::string> ReadLine() {
    for (;;) {
      const auto newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      char chunk[512];
      const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
      if (got <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(got));
    }
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  bool connected_ = false;
  std::string buffer_;
};

TEST(BridgeNodeListening, ExchangesLinesWithOneNodeRefusesASecondAndTakesTheNextAfterIt) {
  PosixLoop loop;
  LoopWatchdog watchdog(loop);
  std::vector<std::string> log;
  int disconnects = 0;
  std::promise<void> first_gone;
  Status why;
  auto bridge = BridgeNode::Listen(
      loop, 0,
      {.on_disconnect =
           [&] {
             if (++disconnects == 1) {
               first_gone.set_value();
             } else {
               loop.Quit();
             }
           },
       .log = [&](std::string line) { log.push_back(std::move(line)); }},
      &why);
  ASSERT_TRUE(bridge) << why.message;
  ASSERT_NE(bridge->listen_port(), 0);

  auto main_object = bridge->Create(&why);
  auto about_object = bridge->Create(&why);  // shares the connection, has no handlers
  ASSERT_TRUE(main_object && about_object);
  RecordingEvents events;
  main_object->SetEvents(&events);

  // What the node had reported at each event, as the about window's object sees it.
  std::vector<std::string> reported;
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

  std::vector<std::string> first_heard, second_heard, third_heard;
  std::thread nodes([&, port = bridge->listen_port()] {
    TestNode first(port);
    ASSERT_TRUE(first.connected());
    first.Send("DTMF 123\nINFO W1AW-L Newington\nBUSY 0 1 0\nTX 1\n");
    first.Send("BUSY 1 1\nCHAT hi /ver/ there\r\nBOGUS 1\n");
    for (int i = 0; i < 4; ++i) first_heard.push_back(first.ReadLine().value_or("<none>"));

    TestNode second(port);
    ASSERT_TRUE(second.connected());
    second_heard.push_back(second.ReadLine().value_or("<none>"));
    second_heard.push_back(second.ReadLine().value_or("<closed>"));

    first.Close();
    ASSERT_EQ(first_gone.get_future().wait_for(std::chrono::seconds(kGiveUpSeconds)),
              std::future_status::ready);
    TestNode third(port);
    ASSERT_TRUE(third.connected());
    third.Send("DTMF 123\n");
    third_heard.push_back(third.ReadLine().value_or("<none>"));
  });
  loop.Run();
  nodes.join();

  EXPECT_FALSE(watchdog.fired());
  EXPECT_EQ(first_heard, (std::vector<std::string>{"TRANSMIT 1",
                                                   "ERROR BUSY needs three flags, each 0 or 1",
                                                   "CHAT Horatone  v2.0.1",
                                                   "ERROR unknown word \"BOGUS\""}));
  EXPECT_EQ(second_heard,
            (std::vector<std::string>{"ERROR busy: another node is connected", "<closed>"}));
  EXPECT_EQ(third_heard, (std::vector<std::string>{"TRANSMIT 1"}));
  EXPECT_EQ(events.seen,
            (std::vector<std::string>{"DTMF 123", "CHAT hi /ver/ there", "DTMF 123"}));
  // Nothing but the defaults before INFO, BUSY and TX, and again once a new node has come.
  EXPECT_EQ(reported, (std::vector<std::string>{"|000|0", "W1AW-L Newington|010|1", "|000|0"}));
  EXPECT_EQ(disconnects, 2);
  EXPECT_FALSE(bridge->node_connected());
  // With no node, releasing cannot fail, and what needs a node says so.
  EXPECT_TRUE(main_object->Transmit(false).ok);
  EXPECT_TRUE(main_object->AuxFlag(false).ok);
  EXPECT_FALSE(main_object->Transmit(true).ok);
  EXPECT_FALSE(main_object->SendChatText("x").ok);
  // Nor can the busy flags or the transmitter state be read, so nothing is scheduled.
  EXPECT_FALSE(main_object->BusyFlag1().has_value());
  EXPECT_FALSE(main_object->TransmitState().has_value());

  auto log_has = [&](const std::string& part) {
    for (const auto& line : log) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(log_has("node connected from 127.0.0.1:"));
  EXPECT_TRUE(log_has("refused a second node"));
  EXPECT_TRUE(log_has("node disconnected"));
  EXPECT_TRUE(log_has("BOGUS"));
}

TEST(BridgeNodeOpen, TransportTextsAreCheckedAndExplained) {
  PosixLoop loop;
  for (const char* bad : {"", "tcp:4000", "listen:", "listen:x", "listen:70000", "listen:-1",
                          "listen:80 ", "STDIO"}) {
    Status why;
    EXPECT_FALSE(BridgeNode::Open(loop, bad, {}, &why)) << bad;
    EXPECT_NE(why.message.find("stdio or listen:PORT"), std::string::npos) << why.message;
  }
  Status why;
  auto bridge = BridgeNode::Open(loop, "listen:0", {}, &why);
  ASSERT_TRUE(bridge) << why.message;
  // The same port cannot be taken twice.
  const std::string taken = "listen:" + std::to_string(bridge->listen_port());
  EXPECT_FALSE(BridgeNode::Open(loop, taken, {}, &why));
  EXPECT_NE(why.message.find("cannot bind 127.0.0.1:"), std::string::npos) << why.message;
}

// The stdio transport, over pipes standing in for stdin and stdout.
class BridgeNodeOverPipes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(to_clock_), 0);
    ASSERT_EQ(pipe(from_clock_), 0);
  }
  void TearDown() override {
    for (int fd : {to_clock_[0], to_clock_[1], from_clock_[0], from_clock_[1]}) {
      if (fd >= 0) close(fd);
    }
  }
  void CloseInput() {
    close(to_clock_[1]);
    to_clock_[1] = -1;
  }
  std::string Drain() {
    std::string all;
    char chunk[4096];
    ssize_t got;
    while ((got = read(from_clock_[0], chunk, sizeof chunk)) > 0) {
      all.append(chunk, static_cast<std::size_t>(got));
    }
    return all;
  }

  int to_clock_[2] = {-1, -1};
  int from_clock_[2] = {-1, -1};
};

TEST_F(BridgeNodeOverPipes, EndOfInputIsTakenAsClosingAfterTheDisconnectHook) {
  PosixLoop loop;
  LoopWatchdog watchdog(loop);
  std::vector<std::string> order;
  auto bridge = BridgeNode::OverDescriptors(
      loop, to_clock_[0], from_clock_[1],
      {.on_disconnect = [&] { order.push_back("disconnect"); }, .log = {}});
  Status why;
  auto object = bridge->Create(&why);
  RecordingEvents events;
  object->SetEvents(&events);
  events.then = [&](const std::string& what) {
    order.push_back(what);
    if (what == "CHAT /ver/") object->SendChatText("Horatone  v2.0.1\n");
    if (what == "CLOSING") {
      object->Transmit(false);
      object->AuxFlag(false);
      loop.Quit();
    }
  };
  const std::string input = "TX 1\nCHAT /ver/\nDTMF 1x\nDTMF 12";  // the last line lacks its LF
  ASSERT_EQ(write(to_clock_[1], input.data(), input.size()),
            static_cast<ssize_t>(input.size()));
  CloseInput();
  loop.Run();
  EXPECT_FALSE(watchdog.fired());
  EXPECT_EQ(order, (std::vector<std::string>{"CHAT /ver/", "DTMF 12", "disconnect", "CLOSING"}));
  bridge.reset();  // gives the output back in blocking mode
  close(from_clock_[1]);
  from_clock_[1] = -1;
  EXPECT_EQ(Drain(),
            "CHAT Horatone  v2.0.1 \n"
            "ERROR DTMF digits may only be 0-9, A-D, * and #\n"
            "TRANSMIT 0\n"
            "AUX 0\n");
}

TEST_F(BridgeNodeOverPipes, ANodeThatDoesNotReadNeverBlocksTheClockAndGetsEverythingLater) {
  PosixLoop loop;
  LoopWatchdog watchdog(loop);
  std::vector<std::string> log;
  auto bridge = BridgeNode::OverDescriptors(
      loop, to_clock_[0], from_clock_[1],
      {.on_disconnect = {}, .log = [&](std::string line) { log.push_back(std::move(line)); }});
  Status why;
  auto object = bridge->Create(&why);

  // Nothing reads the output pipe yet: the pipe fills, then the bridge's own buffer.
  const std::string text(1000, 'x');
  int accepted = 0;
  while (accepted < 1000 && object->SendChatText(text).ok) ++accepted;
  ASSERT_LT(accepted, 1000);
  EXPECT_GT(accepted, static_cast<int>(BridgeNode::kMaxOutgoing / 1006));
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.back().find("not reading"), std::string::npos);

  // Once the node reads, the loop delivers every accepted line, whole and in order.
  std::string received;
  std::thread reader([&] {
    const std::size_t expected = static_cast<std::size_t>(accepted) * (text.size() + 6);
    char chunk[8192];
    while (received.size() < expected) {
      const ssize_t got = read(from_clock_[0], chunk, sizeof chunk);
      if (got <= 0) break;
      received.append(chunk, static_cast<std::size_t>(got));
    }
    loop.Post([&] { loop.Quit(); });
  });
  loop.Run();
  reader.join();
  EXPECT_FALSE(watchdog.fired());
  std::string expected;
  for (int i = 0; i < accepted; ++i) expected += "CHAT " + text + "\n";
  EXPECT_EQ(received, expected);
}

}  // namespace
}  // namespace horatone
