// The radio node against a real rigctld (the dummy rig) started by each test on a free
// loopback port: keying held audio, telling the rig only changes, the release after the sound
// and the hang time, the transmit time-out, and a rigctld that goes away and comes back.
// Nothing here asserts how long anything took; only what happened and in which order.
#include "node/rig/rig_node.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "node/rig/rig_peer.h"
#include "test_support/reading.h"

// Hamlib 4.5 keeps a little memory from every failed open of a network rig (rigctld away);
// the node limits how often it tries, and the leak checker is told it is Hamlib's.
extern "C" const char* __lsan_default_suppressions() { return "leak:libhamlib.so\n"; }

namespace horatone {
namespace {

using namespace std::chrono_literals;
using testing::PostedTasks;
using testing::Reading;
using testing::Rigctld;

class RigNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rigctld_ = std::make_unique<Rigctld>(port_);
    if (!rigctld_->running()) GTEST_SKIP() << "rigctld (libhamlib-utils) is not installed";
  }

  // The node's worker calls the hooks until it has stopped: stop it before they go.
  void TearDown() override { node_.reset(); }

  RigSettings Settings() const {
    RigSettings s;
    s.model = 2;  // rigctld
    s.rig_file = rigctld_->address();
    s.tx_delay_ms = 100;
    s.hang_ms = 100;
    return s;
  }

  // Opens the node and waits until it has reached rigctld.
  EchoLinkObject& Open(const RigSettings& settings) {
    RigNode::Hooks hooks;
    hooks.post_to_loop = tasks_.Poster();
    hooks.log = [this](const std::string& line) { log_.push_back(line); };
    hooks.on_lost = [this](const std::string& why) { lost_.push_back(why); };
    hooks.hold_output = [this](bool hold) { Note(hold ? "hold" : "play"); };
    hooks.seconds_until_quiet = [this] {
      return std::chrono::duration<double>(quiet_at_.load() - std::chrono::steady_clock::now())
          .count();
    };
    hooks.on_ptt = [this](bool keyed, auto) { Note(keyed ? "ptt on" : "ptt off"); };
    Status why;
    node_ = testing::Opened(RigNode::Open(settings, std::move(hooks)), &why);
    EXPECT_TRUE(node_) << why.message;
    object_ = node_->Create().value();
    EXPECT_TRUE(tasks_.RunUntil([&] { return node_->connected(); }));
    return *object_;
  }

  void Note(const std::string& what) {
    std::lock_guard lock(mutex_);
    happened_.push_back(what);
  }
  std::vector<std::string> Happened() {
    std::lock_guard lock(mutex_);
    return happened_;
  }
  size_t Count(const std::string& what) { return std::ranges::count(Happened(), what); }
  bool WaitFor(const std::string& what, size_t times = 1) {
    return tasks_.RunUntil([&] { return Count(what) >= times; });
  }
  bool Logged(const std::string& part) const {
    return std::ranges::any_of(
        log_, [&](const auto& line) { return line.find(part) != std::string::npos; });
  }
  // The sound output falls quiet `span` from now.
  void QuietIn(std::chrono::steady_clock::duration span) {
    quiet_at_ = std::chrono::steady_clock::now() + span;
  }
  void Sounding() { QuietIn(1h); }

  const int port_ = testing::FreeLoopbackPort();
  std::unique_ptr<Rigctld> rigctld_;
  PostedTasks tasks_;
  std::unique_ptr<RigNode> node_;
  std::unique_ptr<EchoLinkObject> object_;
  std::atomic<std::chrono::steady_clock::time_point> quiet_at_{};  // quiet long ago
  std::mutex mutex_;
  std::vector<std::string> happened_;
  std::vector<std::string> log_, lost_;
};

TEST_F(RigNodeTest, KeysWithTheSoundHeldUntilTheRadioIsUpAndTellsTheRigOnlyChanges) {
  RigSettings settings = Settings();
  settings.dcd_type = "None";  // no squelch reported: never busy
  EchoLinkObject& rig = Open(settings);
  EXPECT_EQ(Reading(rig.BusyFlag1()), false);
  // The clock's idle release once a second never reaches the radio.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(rig.Transmit(false));
  tasks_.RunFor(200ms);
  EXPECT_TRUE(Happened().empty());

  // Every clip of an announcement asks to key; the radio is keyed once.
  Sounding();
  EXPECT_TRUE(rig.Transmit(true));
  ASSERT_FALSE(Happened().empty());
  EXPECT_EQ(Happened().front(), "hold");  // before the clip can start
  ASSERT_TRUE(WaitFor("play"));
  EXPECT_TRUE(rig.Transmit(true));
  EXPECT_TRUE(rig.Transmit(true));
  EXPECT_EQ(Happened(), (std::vector<std::string>{"hold", "ptt on", "play"}));
  EXPECT_EQ(rigctld_->Ptt(), "1");
  EXPECT_TRUE(tasks_.RunUntil([&] { return Reading(rig.TransmitState()) == true; }));

  QuietIn(-10s);
  EXPECT_TRUE(rig.Transmit(false));
  EXPECT_TRUE(rig.Transmit(false));
  ASSERT_TRUE(WaitFor("ptt off"));
  tasks_.RunFor(200ms);
  EXPECT_EQ(Happened(), (std::vector<std::string>{"hold", "ptt on", "play", "ptt off"}));
  EXPECT_EQ(rigctld_->Ptt(), "0");
  EXPECT_TRUE(tasks_.RunUntil([&] { return Reading(rig.TransmitState()) == false; }));
  EXPECT_TRUE(lost_.empty());
}

// The release waits for the last sample; neither announcements ended at once nor closing the
// node leave the radio keyed.
TEST_F(RigNodeTest, ReleaseWaitsForTheLastSampleAndNothingLeavesTheRadioKeyed) {
  EchoLinkObject& rig = Open(Settings());
  Sounding();  // the sound device still has the tail to play
  ASSERT_TRUE(rig.Transmit(true));
  ASSERT_TRUE(WaitFor("play"));
  ASSERT_TRUE(rig.Transmit(false));
  tasks_.RunFor(400ms);  // several hang times: still sounding, so still keyed
  EXPECT_EQ(Count("ptt off"), 0u);
  EXPECT_EQ(rigctld_->Ptt(), "1");

  // The next announcement asks again before the release: no second key-up, nothing held.
  ASSERT_TRUE(rig.Transmit(true));
  QuietIn(0s);  // the last sample is just leaving
  ASSERT_TRUE(rig.Transmit(false));
  ASSERT_TRUE(WaitFor("ptt off"));
  EXPECT_EQ(Happened(), (std::vector<std::string>{"hold", "ptt on", "play", "ptt off"}));

  // Announcements ended at once, whether or not the radio has keyed meanwhile.
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(rig.Transmit(true));
    ASSERT_TRUE(rig.Transmit(false));
  }
  EXPECT_TRUE(
      tasks_.RunUntil([&] { return Count("hold") == Count("play") && rigctld_->Ptt() == "0"; }));
  tasks_.RunFor(300ms);
  EXPECT_EQ(Count("ptt on"), Count("ptt off"));
  EXPECT_EQ(rigctld_->Ptt(), "0");
  // Closing the node releases a keyed radio.
  const size_t plays = Count("play");
  Sounding();
  ASSERT_TRUE(rig.Transmit(true));
  ASSERT_TRUE(WaitFor("play", plays + 1));
  node_.reset();
  EXPECT_EQ(rigctld_->Ptt(), "0");
  EXPECT_FALSE(rig.Transmit(true));  // the object outlives the node; its calls fail
}

TEST_F(RigNodeTest, TheTimeOutReleasesWhateverTheClockThinksAndRefusesUntilTheClockReleases) {
  RigSettings settings = Settings();
  settings.timeout_s = 1;
  EchoLinkObject& rig = Open(settings);
  Sounding();
  ASSERT_TRUE(rig.Transmit(true));
  ASSERT_TRUE(WaitFor("ptt off"));  // nobody asked for it
  EXPECT_TRUE(tasks_.RunUntil([&] { return Logged("time-out"); }));
  EXPECT_EQ(rigctld_->Ptt(), "0");

  // The rest of the announcement asks to key: refused, nothing held.
  EXPECT_FALSE(rig.Transmit(true));
  tasks_.RunFor(200ms);
  EXPECT_EQ(Count("ptt on"), 1u);
  EXPECT_EQ(Count("hold"), 1u);

  // The clock releases; the next announcement keys again.
  EXPECT_TRUE(rig.Transmit(false));
  EXPECT_TRUE(rig.Transmit(true));
  EXPECT_TRUE(WaitFor("ptt on", 2));
  EXPECT_TRUE(rig.Transmit(false));
  QuietIn(-10s);
  EXPECT_TRUE(WaitFor("ptt off", 2));
}

TEST_F(RigNodeTest, ALostRigctldReleasesReportsAndIsReconnected) {
  EchoLinkObject& rig = Open(Settings());
  Sounding();
  ASSERT_TRUE(rig.Transmit(true));
  ASSERT_TRUE(WaitFor("ptt on"));
  rigctld_->Stop();
  // Found by the next call to the rig, at the latest the once-a-second PTT read.
  ASSERT_TRUE(tasks_.RunUntil([&] { return !lost_.empty(); }));
  EXPECT_FALSE(node_->connected());
  EXPECT_TRUE(Logged("lost the rig"));
  EXPECT_EQ(Reading(rig.TransmitState()), std::nullopt);
  EXPECT_EQ(Reading(rig.BusyFlag1()), std::nullopt);  // unknown: the schedule does not start
  EXPECT_FALSE(rig.Transmit(true));
  EXPECT_TRUE(rig.Transmit(false));

  // rigctld comes back (a fresh dummy rig): the node reconnects and keys again.
  ASSERT_TRUE(rigctld_->Start());
  ASSERT_TRUE(tasks_.RunUntil([&] { return node_->connected(); }));
  EXPECT_TRUE(Logged("rig connected"));
  EXPECT_EQ(rigctld_->Ptt(), "0");
  ASSERT_TRUE(rig.Transmit(true));
  EXPECT_TRUE(WaitFor("ptt on", 2));
  EXPECT_EQ(rigctld_->Ptt(), "1");
}

TEST(RigNodeOpen, AModelOrSettingHamlibDoesNotKnowIsRefusedWithTheReason) {
  RigNode::Hooks hooks;
  hooks.post_to_loop = [](std::function<void()>) {};
  RigSettings settings;
  settings.model = 99999;
  Status why;
  EXPECT_FALSE(testing::Opened(RigNode::Open(settings, hooks), &why));
  EXPECT_NE(why.message.find("no rig model 99999"), std::string::npos) << why.message;

  settings.model = 1;
  settings.rx_audio = "oss:/dev/dsp";
  EXPECT_FALSE(testing::Opened(RigNode::Open(settings, hooks), &why));
  EXPECT_NE(why.message.find("oss:/dev/dsp"), std::string::npos) << why.message;
}

}  // namespace
}  // namespace horatone
