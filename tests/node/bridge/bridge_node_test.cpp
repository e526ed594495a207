// The node bridge with real sockets and pipes: one node at a time, what it reports, a node
// that comes straight back after closing, one that only shuts its writing side while keyed, a
// last line cut off by the end, a peer that floods the clock with garbage, and a node that
// does not read. The doors: TCP peers without the key (strangers, a web page's POST, one
// that says nothing), and the Unix socket's file.
#include "node/bridge/bridge_node.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "node/quiet_release.h"
#include "test_support/fakes.h"
#include "test_support/loop_watchdog.h"
#include "test_support/posix_io.h"
#include "test_support/reading.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using Lines = std::vector<std::string>;

constexpr std::string_view kKey = "0123456789abcdef0123456789abcdef";
const std::string kAuth = "AUTH " + std::string(kKey) + "\n";

// A peer on the far side of the TCP bridge; a node starts with its AUTH line.
struct TcpNode {
  explicit TcpNode(int port, bool authorised = true)
      : fd(testing::ConnectLoopback(port)), lines(fd) {
    if (authorised) testing::WriteAll(fd, kAuth);
  }
  ~TcpNode() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  std::string Line() { return lines.Next().value_or("<closed>"); }
  int fd;
  testing::Lines lines;
};

// A listening bridge whose events key on every code, as the clock does. Its loop's clock can
// be moved on (from the loop's thread), for the AUTH deadline.
class BridgeListening : public ::testing::Test {
 protected:
  void SetUp() override {
    Status why;
    bridge_ = testing::Opened(
        BridgeNode::Listen(loop_, 0, std::string(kKey),
                           {.on_disconnect =
                                [this] {
                                  ++disconnects_;
                                  // What ending the announcement does, when nothing holds the
                                  // release back.
                                  if (release_on_disconnect_)
                                    ContinuePastFailure(object_->Transmit(false));
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

  // Moves the loop's clock on by `ms`, from another thread; the loop then runs what fell due.
  void Skip(int ms) {
    loop_.Post([this, ms] { skipped_ns_ += std::int64_t{ms} * 1000000; });
  }

  std::atomic<std::int64_t> skipped_ns_{0};
  PosixLoop loop_{[this] {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec + skipped_ns_.load();
  }};
  LoopWatchdog watchdog_{loop_};
  std::unique_ptr<BridgeNode> bridge_;
  std::unique_ptr<EchoLinkObject> object_;
  RecordingEvents events_;
  Lines log_;
  int disconnects_ = 0;
  bool release_on_disconnect_ = true;
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

// Peers without the key: each hears why and is closed, and nothing any of them sent reaches
// the clock; the node that comes after them is served as if they had never been.
TEST_F(BridgeListening, PeersWithoutTheKeyAreRefusedAndNothingTheySentIsActedOn) {
  std::string wrong_key(kKey);
  wrong_key.back() = '0';
  const std::string strangers[] = {
      "DTMF 123\n",
      "CLOSING\n",
      "AUTH\nDTMF 123\n",
      "AUTH " + wrong_key + "\nDTMF 123\nCLOSING\n",
      "AUTH " + std::string(kKey) + "0\nDTMF 123\n",
      " " + kAuth + "DTMF 123\n",
      // What a web page's fetch() with a text/plain body sends.
      "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n"
      "Origin: http://example.com\r\nContent-Length: 18\r\n\r\nDTMF 123\nCLOSING\n",
      std::string(2000, 'A') + "\nDTMF 123\n",
  };
  std::vector<Lines> heard;
  Lines node_heard;
  std::thread peers([&] {
    for (const std::string& bytes : strangers) {
      TcpNode stranger(port_, /*authorised=*/false);
      testing::WriteAll(stranger.fd, bytes);
      heard.push_back(stranger.lines.Rest());
    }
    TcpNode node(port_);
    testing::WriteAll(node.fd, "DTMF 123\n");
    node_heard.push_back(node.Line());
    loop_.Post([this] { loop_.Quit(); });
  });
  loop_.Run();
  peers.join();
  EXPECT_FALSE(watchdog_.fired());
  EXPECT_EQ(heard, std::vector<Lines>(std::size(strangers), Lines{"ERROR not authorised"}));
  EXPECT_EQ(node_heard, (Lines{"TRANSMIT 1"}));
  EXPECT_EQ(events_.seen, (Lines{"DTMF 123"}));         // the node's, and no CLOSING
  EXPECT_EQ(Count("nothing it sent was acted on"), 5);  // the first five of ten seconds
  EXPECT_EQ(Count("wrong key"), 2);
  EXPECT_EQ(Count("node connected"), 1);
}

// Strangers who connect and say nothing neither keep the node out nor stay: the oldest goes
// when the node comes to a full waiting room, and the rest at their deadline.
TEST_F(BridgeListening, SilentStrangersNeverKeepTheNodeOutAndAreSentAwayAtTheirDeadline) {
  Lines node_heard, oldest_heard;
  std::vector<Lines> rest_heard;
  std::thread peers([&] {
    std::vector<std::unique_ptr<TcpNode>> strangers;
    for (int i = 0; i < BridgeNode::kMaxPending; ++i) {
      strangers.push_back(std::make_unique<TcpNode>(port_, /*authorised=*/false));
    }
    testing::WriteAll(strangers.back()->fd, "AUT");  // half a line, no more
    // The node's program restarted and is back at once, while the strangers hold on; the
    // first of them makes room for it.
    TcpNode node(port_);
    testing::WriteAll(node.fd, "DTMF 123\n");
    node_heard.push_back(node.Line());
    oldest_heard = strangers.front()->lines.Rest();
    // All were let in before the node was; their time runs out.
    Skip(BridgeNode::kAuthTimeoutMs);
    for (std::size_t i = 1; i < strangers.size(); ++i) {
      rest_heard.push_back(strangers[i]->lines.Rest());
    }
    testing::WriteAll(node.fd, "DTMF 456\n");  // the node is still served
    node_heard.push_back(node.Line());
    loop_.Post([this] { loop_.Quit(); });
  });
  loop_.Run();
  peers.join();
  EXPECT_FALSE(watchdog_.fired());
  EXPECT_EQ(node_heard, (Lines{"TRANSMIT 1", "TRANSMIT 1"}));
  EXPECT_EQ(oldest_heard, (Lines{"ERROR not authorised"}));
  EXPECT_EQ(rest_heard,
            std::vector<Lines>(BridgeNode::kMaxPending - 1, Lines{"ERROR not authorised"}));
  EXPECT_EQ(Count("the oldest goes"), 1);
  EXPECT_GE(Count("no AUTH line within 5 s"), 1);
  EXPECT_EQ(Count("refused a second node"), 0);
  EXPECT_EQ(events_.seen, (Lines{"DTMF 123", "DTMF 456"}));
}

// The release waits for the sound above the bridge; a node that shuts its writing side while
// keyed must not be left keyed by that wait.
TEST_F(BridgeListening, ANodeThatGoesWhileTheReleaseWaitsForTheSoundHearsItBeforeTheClose) {
  QuietReleaseNodes quiet(*bridge_, loop_, [] { return 2.0; });  // the sound plays on
  auto held = quiet.Create().value();
  object_->SetEvents(nullptr);
  held->SetEvents(&events_);
  release_on_disconnect_ = false;
  events_.then = [&](const std::string& what) {
    EXPECT_TRUE(!what.starts_with("DTMF") || held->Transmit(true).ok());
  };
  on_disconnect_ = [&] { EXPECT_TRUE(held->Transmit(false).ok()); };  // now held back
  Lines heard;
  std::thread node([&] {
    TcpNode tcp(port_);
    testing::WriteAll(tcp.fd, "DTMF 123\n");
    heard.push_back(tcp.Line());
    shutdown(tcp.fd, SHUT_WR);
    for (const std::string& line : tcp.lines.Rest()) heard.push_back(line);
    loop_.Post([this] { loop_.Quit(); });
  });
  loop_.Run();
  node.join();
  EXPECT_FALSE(watchdog_.fired());
  ASSERT_GE(heard.size(), 2u);
  EXPECT_EQ(heard.front(), "TRANSMIT 1");
  EXPECT_EQ(heard.back(), "TRANSMIT 0");
  held.reset();  // the release it still held finds no node: nothing to do, nothing fails
}

// The Unix door: the socket file's mode is the trust, so a peer is the node without AUTH.
constexpr gid_t kNoGroup = static_cast<gid_t>(-1);

TEST(BridgeNodeUnix, TheSocketIsTheNodesWithoutAKeyReplacesOnlyAStaleSocketAndGoesAtTheEnd) {
  TempDir dir;
  const std::filesystem::path path = dir.path() / "node.sock";
  PosixLoop loop;
  LoopWatchdog watchdog(loop);
  Lines log;
  RecordingEvents events;
  Status why;
  // A stale socket from an earlier run is replaced.
  {
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(stale);
  }
  auto bridge = testing::Opened(
      BridgeNode::ListenUnix(loop, path, getegid(),
                             {.on_disconnect = [&] { loop.Quit(); },
                              .log = [&](std::string line) { log.push_back(std::move(line)); }}),
      &why);
  ASSERT_TRUE(bridge) << why.message;
  struct stat made {};
  ASSERT_EQ(lstat(path.c_str(), &made), 0);
  EXPECT_TRUE(S_ISSOCK(made.st_mode));
  EXPECT_EQ(made.st_mode & 07777, 0660u);
  EXPECT_EQ(made.st_gid, getegid());
  auto object = bridge->Create().value();
  object->SetEvents(&events);
  events.then = [&](const std::string&) { EXPECT_TRUE(object->Transmit(true).ok()); };
  Lines heard;
  std::thread node([&] {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    testing::WriteAll(fd, "DTMF 123\n");
    testing::Lines lines(fd);
    heard.push_back(lines.Next().value_or("<closed>"));
    shutdown(fd, SHUT_WR);
    for (const std::string& line : lines.Rest()) heard.push_back(line);
    close(fd);
  });
  loop.Run();
  node.join();
  EXPECT_FALSE(watchdog.fired());
  EXPECT_EQ(events.seen, (Lines{"DTMF 123"}));
  EXPECT_EQ(heard, (Lines{"TRANSMIT 1", "TRANSMIT 0"}));  // released at the close, unasked
  const std::string peer = "node connected from uid " + std::to_string(geteuid()) + ", pid ";
  EXPECT_TRUE(std::ranges::any_of(log, [&](const std::string& l) {
    return l.find(peer) != std::string::npos;
  })) << (log.empty() ? "" : log.front());
  // A second bridge on the same path finds somebody answering there and leaves it.
  EXPECT_FALSE(testing::Opened(BridgeNode::ListenUnix(loop, path, kNoGroup, {}), &why));
  EXPECT_NE(why.message.find("another program is listening"), std::string::npos) << why.message;
  object.reset();
  bridge.reset();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));

  // Anything but a socket at the path is left alone.
  std::ofstream(path) << "keep me";
  std::filesystem::create_symlink(path, dir.path() / "link.sock");
  for (const auto& [there, kind] : {std::pair{path, "a regular file"},
                                    std::pair{dir.path() / "link.sock", "a symbolic link"}}) {
    EXPECT_FALSE(testing::Opened(BridgeNode::ListenUnix(loop, there, kNoGroup, {}), &why));
    EXPECT_NE(why.message.find(std::string("is ") + kind + ", not a socket"), std::string::npos)
        << why.message;
  }
  EXPECT_EQ(testing::ReadBytes(path), "keep me");
}

TEST(BridgeNodeOpen, TransportTextsAreCheckedAndAPortIsNotTakenTwice) {
  PosixLoop loop;
  TempDir root;
  Status why;
  for (const char* bad : {"", "tcp:4000", "listen:x", "listen:70000", "listen:80 ", "unix:"}) {
    EXPECT_FALSE(testing::Opened(BridgeNode::Open(loop, bad, root.path(), {}), &why)) << bad;
    EXPECT_NE(why.message.find("stdio, listen:PORT"), std::string::npos) << why.message;
  }
  auto bridge = testing::Opened(BridgeNode::Open(loop, "listen:0", root.path(), {}), &why);
  ASSERT_TRUE(bridge) << why.message;
  EXPECT_TRUE(std::filesystem::exists(root.path() / "horatone-node.key"));
  const std::string taken = "listen:" + std::to_string(bridge->listen_port());
  EXPECT_FALSE(testing::Opened(BridgeNode::Open(loop, taken, root.path(), {}), &why));
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
