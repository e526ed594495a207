// The release that waits for the sound, in virtual time against the simulated node: it reaches
// the node when the last sample has been played, not before; a key-up withdraws it; it never
// waits for ever; and the program's end passes it on at once.
#include "platform/quiet_release.h"

#include <gtest/gtest.h>

#include "platform/simulated_node.h"
#include "platform/virtual_loop.h"

namespace horatone {
namespace {

class QuietReleaseTest : public ::testing::Test {
 protected:
  // The sound ends at `quiet_at_ms_` on the loop's clock.
  double SecondsUntilQuiet() const { return (quiet_at_ms_ - loop_.NowMs()) / 1000.0; }
  std::unique_ptr<EchoLinkObject> Make() {
    Status why;
    auto object = nodes_.Create(&why);
    EXPECT_TRUE(object) << why.message;
    return object;
  }

  VirtualLoop loop_;
  SimulatedNode node_{loop_};
  double quiet_at_ms_ = 0;
  QuietReleaseNodes nodes_{node_, loop_, [this] { return SecondsUntilQuiet(); }};
};

TEST_F(QuietReleaseTest, AReleaseReachesTheNodeWhenTheLastSampleHasBeenPlayed) {
  auto object = Make();
  ASSERT_TRUE(object->Transmit(true));
  quiet_at_ms_ = 337;
  ASSERT_TRUE(object->Transmit(false));
  ASSERT_TRUE(object->Transmit(false));  // the once-a-second repeat changes nothing
  EXPECT_TRUE(node_.keyed());
  EXPECT_EQ(object->TransmitState(), true);  // the node says what is true
  loop_.AdvanceBy(336);
  EXPECT_TRUE(node_.keyed());
  loop_.AdvanceBy(10);
  EXPECT_FALSE(node_.keyed());
  EXPECT_GE(node_.TransmitCalls().back().first, 337);
  // Once quiet, a release goes straight through.
  ASSERT_TRUE(object->Transmit(true));
  ASSERT_TRUE(object->Transmit(false));
  EXPECT_FALSE(node_.keyed());
}

TEST_F(QuietReleaseTest, AKeyUpWithdrawsAWaitingReleaseAndTheWaitIsBounded) {
  auto object = Make();
  ASSERT_TRUE(object->Transmit(true));
  quiet_at_ms_ = 200;
  ASSERT_TRUE(object->Transmit(false));
  loop_.AdvanceBy(100);
  ASSERT_TRUE(object->Transmit(true));  // the next announcement
  loop_.AdvanceBy(500);
  EXPECT_TRUE(node_.keyed());
  // A device that never reports the sound played does not hold the transmitter.
  quiet_at_ms_ = 1e12;
  ASSERT_TRUE(object->Transmit(false));
  loop_.AdvanceBy(QuietReleaseNodes::kLongestWaitMs + 1);
  EXPECT_FALSE(node_.keyed());
}

TEST_F(QuietReleaseTest, TheEndOfTheProgramPassesAWaitingReleaseOnAtOnce) {
  auto object = Make();
  ASSERT_TRUE(object->Transmit(true));
  quiet_at_ms_ = 5000;
  ASSERT_TRUE(object->Transmit(false));
  object.reset();
  EXPECT_FALSE(node_.keyed());
}

}  // namespace
}  // namespace horatone
