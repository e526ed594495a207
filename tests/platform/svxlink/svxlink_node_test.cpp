// The SvxLink node against PTYs made by the test, standing in for SvxLink's. The loop runs on
// the test's main thread; the far side works from another thread and calls into the loop only
// through posted tasks.
#include "platform/svxlink/svxlink_node.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include "platform/posix_loop.h"
#include "test_support/loop_watchdog.h"
#include "test_support/posix_io.h"
#include "test_support/svxlink_peer.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// SvxLink's end of one PTY, with the link to the other end where SvxLink makes it. (SvxLink
// going away and coming back is tested against the real one in tests/app/svxlink_test.cpp.)
class FakePty {
 public:
  explicit FakePty(const std::filesystem::path& link) {
    grantpt(master_), unlockpt(master_);
    std::filesystem::create_symlink(ptsname(master_), link);
  }
  ~FakePty() { close(master_); }
  void Write(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the node wrote within `limit` ("" for nothing).
  std::string Read(std::chrono::milliseconds limit) {
    std::string got;
    const auto until = Clock::now() + limit;
    for (char bytes[64]; Clock::now() < until && got.empty(); std::this_thread::sleep_for(5ms)) {
      const ssize_t n = read(master_, bytes, sizeof bytes);
      if (n > 0) got.append(bytes, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
};

struct Recorder : EchoLinkEvents {
  std::vector<std::string> codes;  // loop thread
  void DTMFString(const std::string& digits) override { codes.push_back(digits); }
  void Closing() override { codes.push_back("CLOSING"); }
  void ChatTextReceived(const std::string&) override {}
};

class SvxLinkNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sql_.emplace(dir_.path() / "sql");
    dtmf_.emplace(dir_.path() / "dtmf");
    events_port_ = testing::FreePort(SOCK_STREAM);
    Status why;
    node_ = SvxLinkNode::Open(loop_,
                              {(dir_.path() / "sql").string(), (dir_.path() / "dtmf").string(),
                               "127.0.0.1:" + std::to_string(events_port_), 300, 100},
                              {nullptr, nullptr, [this] { return quiet_in_.load(); },
                               [](const std::string& code) { return code == "123"; }},
                              &why);
    ASSERT_TRUE(node_) << why.message;
    (object_ = node_->Create(&why))->SetEvents(&recorder_);
  }

  // Runs `script` on another thread while the loop runs here.
  void Run(std::function<void()> script) {
    std::thread far([&] { script(), loop_.Quit(); });
    loop_.Run();
    far.join();
    EXPECT_FALSE(watchdog_.fired());
  }

  // Calls `call` on the loop thread and waits for its result.
  auto OnLoop(auto call) {
    std::promise<decltype(call())> result;
    loop_.Post([&] { result.set_value(call()); });
    return result.get_future().get();
  }

  // What the event handler would send; the clock's answer, if any.
  std::string Report(const std::string& lines) {
    const int fd = testing::ConnectLoopback(events_port_);
    testing::WriteAll(fd, lines);
    shutdown(fd, SHUT_WR);
    std::string text = testing::Lines(fd).Next(2000ms).value_or("");
    close(fd);
    return text;
  }

  TempDir dir_;
  PosixLoop loop_;
  LoopWatchdog watchdog_{loop_};
  std::optional<FakePty> sql_, dtmf_;
  int events_port_ = 0;
  std::atomic<double> quiet_in_{-1.0};
  Recorder recorder_;
  std::unique_ptr<SvxLinkNode> node_;
  std::unique_ptr<EchoLinkObject> object_;
};

TEST_F(SvxLinkNodeTest, KeysAtOnceReleasesOnlyAfterTheSoundAndCutsCodes) {
  Run([&] {
    EXPECT_EQ(sql_->Read(1000ms), "Z");  // connecting closes the clock's squelch
    EXPECT_TRUE(OnLoop([&] { return object_->Transmit(true).ok; }));
    EXPECT_EQ(sql_->Read(1000ms), "O");
    EXPECT_TRUE(OnLoop([&] { return object_->Transmit(true).ok; }));
    // The sound plays for 0.3 s more: the squelch stays open through it and the margin, and
    // the once-a-second release of an idle clock adds nothing.
    quiet_in_ = 0.3;
    const auto asked = Clock::now();
    EXPECT_TRUE(OnLoop([&] { return object_->Transmit(false).ok; }));
    EXPECT_TRUE(OnLoop([&] { return object_->Transmit(false).ok; }));
    EXPECT_EQ(sql_->Read(3000ms), "Z");
    EXPECT_GE(Clock::now() - asked, 400ms);
    quiet_in_ = -1.0;
    EXPECT_TRUE(OnLoop([&] { return object_->Transmit(false).ok; }));
    EXPECT_EQ(sql_->Read(200ms), "");

    dtmf_->Write("12");
    dtmf_->Write("3#");
    dtmf_->Write("#");        // an empty code is none
    dtmf_->Write("4\r\n5x");  // what is not a digit is left out; the pause ends it
    std::this_thread::sleep_for(1000ms);
  });
  EXPECT_EQ(recorder_.codes, (std::vector<std::string>{"123", "45"}));
}

TEST_F(SvxLinkNodeTest, TheBusyFlagsFollowSvxLinksSquelchAndTransmitter) {
  using Flags = std::array<std::optional<bool>, 2>;
  const auto flags = [&] {
    return OnLoop([&] { return Flags{object_->BusyFlag1(), object_->BusyFlag2()}; });
  };
  Run([&] {
    sql_->Read(1000ms);
    EXPECT_EQ(flags(), (Flags{false, false}));
    Report("SQL 1\nTX 1\n");  // a station keys up: SvxLink opens and transmits for it
    EXPECT_EQ(flags(), (Flags{true, true}));
    Report("SQL 0\n");
    EXPECT_EQ(flags(), (Flags{false, true}));  // the repeater's tail is still theirs
    Report("TX 0\n");
    EXPECT_EQ(flags(), (Flags{false, false}));
    // The clock's own squelch and the transmission it starts are no reason to wait.
    OnLoop([&] { return object_->Transmit(true).ok; });
    Report("SQL 1\nTX 1\n");
    EXPECT_EQ(flags(), (Flags{false, false}));
    EXPECT_EQ(OnLoop([&] { return object_->TransmitState(); }), true);
    // The event handler asks about commands; only the clock's code is the clock's.
    EXPECT_EQ(Report("CMD 123\n"), "1");
    EXPECT_EQ(Report("CMD 1234\n"), "0");
    EXPECT_EQ(Report("NONSENSE\n"), "");
  });
}

}  // namespace
}  // namespace horatone
