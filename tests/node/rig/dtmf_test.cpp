// DTMF from the air through the whole receiving path of the radio node (the dummy rig, no
// rigctld needed): spandsp's own generator, clean and at 16 dB SNR, into FeedReceiverAudio and
// out as DTMFString events on the loop thread. Codes end with the pause or '#'; the receiver
// is deaf to our own transmission.
#include <gtest/gtest.h>
#include <spandsp.h>

#include <cmath>
#include <random>

#include "node/rig/dtmf_receiver.h"
#include "node/rig/rig_node.h"
#include "node/rig/rig_peer.h"
#include "test_support/fakes.h"
#include "test_support/reading.h"

namespace horatone {
namespace {

using namespace std::chrono_literals;
constexpr int kRate = DtmfReceiver::kSampleRate;

// spandsp's generator: `digits` with its standard tone and gap lengths, then `silence_ms`.
std::vector<int16_t> Tones(const std::string& digits, int silence_ms = 0) {
  dtmf_tx_state_t* tx = dtmf_tx_init(nullptr);
  dtmf_tx_put(tx, digits.c_str(), -1);
  std::vector<int16_t> samples;
  int16_t block[160];
  for (int n; (n = dtmf_tx(tx, block, 160)) > 0;) samples.insert(samples.end(), block, block + n);
  dtmf_tx_free(tx);
  samples.resize(samples.size() + static_cast<size_t>(silence_ms * kRate / 1000), 0);
  return samples;
}

// White noise added at `snr_db` below the power of the tones where they sound.
std::vector<int16_t> WithNoise(std::vector<int16_t> samples, double snr_db, unsigned seed) {
  double power = 0, sounding = 0;
  for (int16_t s : samples) power += static_cast<double>(s) * s, sounding += s != 0;
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0,
                                         std::sqrt(power / sounding / std::pow(10.0, snr_db / 10)));
  for (int16_t& s : samples)
    s = static_cast<int16_t>(std::clamp(s + noise(random), -32768.0, 32767.0));
  return samples;
}

class DtmfFromTheAir : public ::testing::Test {
 protected:
  void SetUp() override {
    RigSettings settings;  // the dummy rig, in this process
    settings.ptt_type = "RIG";
    settings.hang_ms = 100;
    settings.tx_delay_ms = 0;
    RigNode::Hooks hooks;
    hooks.post_to_loop = tasks_.Poster();
    hooks.on_ptt = [this](bool keyed, auto) { (keyed ? keyed_ : released_).store(true); };
    Status why;
    node_ = testing::Opened(RigNode::Open(settings, std::move(hooks)), &why);
    ASSERT_TRUE(node_) << why.message;
    object_ = node_->Create().value();
    object_->SetEvents(&codes_);
    ASSERT_TRUE(tasks_.RunUntil([&] { return node_->connected(); }));
  }

  // The node's worker calls the hooks until it has stopped: stop it before they go.
  void TearDown() override { node_.reset(); }

  // Feeds in 20 ms blocks, as the capture does, and runs what the node posted.
  void Hear(const std::vector<int16_t>& samples) {
    for (size_t at = 0; at < samples.size(); at += 160) {
      node_->FeedReceiverAudio(samples.data() + at,
                               static_cast<int>(std::min<size_t>(160, samples.size() - at)));
    }
    tasks_.RunPending();
  }

  testing::PostedTasks tasks_;
  std::unique_ptr<RigNode> node_;
  std::unique_ptr<EchoLinkObject> object_;
  RecordingEvents codes_;
  std::atomic<bool> keyed_{false}, released_{false};
};

TEST_F(DtmfFromTheAir, ACodeEndsWithThePauseOrAHashAndEveryDigitIsHeardThroughNoise) {
  Hear(Tones("123"));
  EXPECT_TRUE(codes_.seen.empty());  // still within the pause
  Hear(Tones("", 2100));
  EXPECT_EQ(codes_.seen, std::vector<std::string>{"DTMF 123"});

  // '#' ends at once; a lone '#' gives nothing; '*' and A to D are digits like the others.
  Hear(Tones("123#"));
  Hear(Tones("#", 100));
  Hear(Tones("*9AD#", 100));
  // All sixteen digits through noise at 16 dB; noise alone is no code.
  const std::string all = "1234567890*ABCD";
  for (unsigned seed : {1u, 2u, 3u}) Hear(WithNoise(Tones(all, 2100), 16.0, seed));
  Hear(WithNoise(Tones("", 3000), -6.0, 4));
  EXPECT_EQ(codes_.seen, (std::vector<std::string>{"DTMF 123", "DTMF 123", "DTMF *9AD",
                                                   "DTMF " + all, "DTMF " + all, "DTMF " + all}));
}

TEST_F(DtmfFromTheAir, NothingIsHeardWhileWeTransmitNorHalfACodeFromBeforeTheKeyUp) {
  Hear(Tones("12"));
  ASSERT_TRUE(object_->Transmit(true));  // deaf from the request on
  Hear(Tones("123", 2100));
  ASSERT_TRUE(tasks_.RunUntil([&] { return keyed_.load(); }));
  Hear(Tones("123#"));
  ASSERT_TRUE(object_->Transmit(false));
  ASSERT_TRUE(tasks_.RunUntil([&] { return released_.load(); }));
  std::this_thread::sleep_for(150ms);  // past the hang time
  Hear(Tones("3", 2100));
  EXPECT_EQ(codes_.seen, std::vector<std::string>{"DTMF 3"});
}

TEST(DtmfReceiver, AVeryLongCodeIsCutAndTheReceiverGoesOn) {
  std::vector<std::string> received;
  DtmfReceiver receiver(2000, [&](const std::string& code) { received.push_back(code); });
  const auto tones = Tones(std::string(40, '5') + "#" + "42", 2100);
  receiver.Feed(tones.data(), static_cast<int>(tones.size()));
  EXPECT_EQ(received, (std::vector<std::string>{std::string(DtmfReceiver::kMaxDigits, '5'), "42"}));
}

}  // namespace
}  // namespace horatone
