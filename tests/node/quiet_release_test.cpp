// The release that waits for the sound, in virtual time against the simulated node.
#include "node/quiet_release.h"

#include <gtest/gtest.h>

#include "node/simulated/simulated_node.h"
#include "runtime/virtual_loop.h"
#include "test_support/reading.h"

namespace horatone {
namespace {

TEST(QuietRelease, WaitsForTheLastSampleIsWithdrawnByAKeyUpIsBoundedAndEndsWithTheProgram) {
  VirtualLoop loop;
  SimulatedNode node{loop};
  double quiet_at_ms = 0;
  QuietReleaseNodes nodes{node, loop, [&] { return (quiet_at_ms - loop.NowMs()) / 1000.0; }};
  auto made = nodes.Create();
  auto object = made ? std::move(*made) : nullptr;
  ASSERT_TRUE(object);
  ASSERT_TRUE(object->Transmit(true));
  quiet_at_ms = 337;
  ASSERT_TRUE(object->Transmit(false));
  ASSERT_TRUE(object->Transmit(false));  // the once-a-second repeat changes nothing
  EXPECT_EQ(testing::Reading(object->TransmitState()), true);
  loop.AdvanceBy(336);
  EXPECT_TRUE(node.keyed());
  loop.AdvanceBy(10);
  EXPECT_FALSE(node.keyed());
  EXPECT_GE(node.TransmitCalls().back().first, 337);
  ASSERT_TRUE(object->Transmit(true));  // once quiet, a release goes straight through
  ASSERT_TRUE(object->Transmit(false));
  EXPECT_FALSE(node.keyed());
  // A key-up withdraws a waiting release.
  ASSERT_TRUE(object->Transmit(true));
  quiet_at_ms = loop.NowMs() + 200;
  ASSERT_TRUE(object->Transmit(false));
  loop.AdvanceBy(100);
  ASSERT_TRUE(object->Transmit(true));
  loop.AdvanceBy(500);
  EXPECT_TRUE(node.keyed());
  // A device that never reports the sound played does not hold the transmitter.
  quiet_at_ms = 1e12;
  ASSERT_TRUE(object->Transmit(false));
  loop.AdvanceBy(QuietReleaseNodes::kLongestWaitMs + 1);
  EXPECT_FALSE(node.keyed());
  // The end of the program passes a waiting release on at once.
  ASSERT_TRUE(object->Transmit(true));
  ASSERT_TRUE(object->Transmit(false));
  object.reset();
  EXPECT_FALSE(node.keyed());
}

}  // namespace
}  // namespace horatone
