// The simulated node's events reach only the instances that still exist when their turn
// comes: a handler may drop its own instance or another one.
#include "platform/simulated_node.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/virtual_loop.h"

namespace horatone {
namespace {

// Drops the instance held in `*victim` when an event arrives; counts what it heard.
struct Dropper : EchoLinkEvents {
  std::unique_ptr<EchoLinkObject>* victim = nullptr;
  int heard = 0;
  void DTMFString(const std::string&) override { Heard(); }
  void Closing() override { Heard(); }
  void ChatTextReceived(const std::string&) override { Heard(); }
  void Heard() {
    ++heard;
    if (victim) victim->reset();
  }
};

TEST(SimulatedNodeEvents, AnInstanceDroppedByAnEarlierHandlerHearsNothingMore) {
  VirtualLoop loop;
  SimulatedNode node(loop);
  for (const auto send :
       {+[](SimulatedNode& n) { n.SendDtmf("123"); }, +[](SimulatedNode& n) { n.SendChat("hi"); },
        +[](SimulatedNode& n) { n.Close(); }}) {
    Dropper first, second;
    std::unique_ptr<EchoLinkObject> a = node.Create(nullptr), b = node.Create(nullptr);
    a->SetEvents(&first);
    b->SetEvents(&second);
    first.victim = &b;  // the first handler drops the second instance
    send(node);
    EXPECT_EQ(first.heard, 1);
    EXPECT_EQ(second.heard, 0);
    EXPECT_EQ(b, nullptr);
  }
}

}  // namespace
}  // namespace horatone
