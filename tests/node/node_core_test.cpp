// The objects every node hands out, through the simulated node: events reach each object
// that asked for them, a handler may drop objects on the way, and objects outlive the node.
#include "node/node_core.h"

#include <gtest/gtest.h>

#include "node/simulated/simulated_node.h"
#include "runtime/virtual_loop.h"
#include "test_support/fakes.h"

namespace horatone {
namespace {

TEST(NodeObjects, EventsReachEachObjectWithEventsInOrderEvenWhenAHandlerDropsOne) {
  VirtualLoop loop;
  SimulatedNode node{loop};
  auto first = node.Create().value();
  auto silent = node.Create().value();  // the About window's: no events
  auto second = node.Create().value();
  RecordingEvents first_events, second_events;
  std::vector<std::string> order;
  first_events.then = [&](const std::string& what) {
    order.push_back("first " + what);
    if (what == "CLOSING") second.reset();  // ending the program drops the other window
  };
  second_events.then = [&](const std::string& what) { order.push_back("second " + what); };
  first->SetEvents(&first_events);
  second->SetEvents(&second_events);

  node.SendDtmf("123");
  node.SendChat("hi");
  node.Close();
  node.SendDtmf("9");
  EXPECT_EQ(order, (std::vector<std::string>{"first DTMF 123", "second DTMF 123", "first CHAT hi",
                                             "second CHAT hi", "first CLOSING", "first DTMF 9"}));
  EXPECT_EQ(second_events.seen.size(), 2u);
}

TEST(NodeObjects, StayUsableAfterTheNodeIsGoneAndTheirCallsThenFail) {
  VirtualLoop loop;
  std::unique_ptr<EchoLinkObject> object;
  {
    SimulatedNode node{loop};
    object = node.Create().value();
    ASSERT_TRUE(object->Transmit(true));
    EXPECT_EQ(object->TransmitState().value_or(false), true);
    EXPECT_EQ(object->InfoText().value_or(""), "Simulated node");
  }
  EXPECT_FALSE(object->Transmit(false));
  EXPECT_FALSE(object->TransmitState());
  EXPECT_FALSE(object->BusyFlag2());
  EXPECT_FALSE(object->InfoText());
  EXPECT_FALSE(object->SendChatText("x"));
  object->SetEvents(nullptr);
}

}  // namespace
}  // namespace horatone
