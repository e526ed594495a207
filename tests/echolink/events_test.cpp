// The node's events: the DTMF code, the version query in chat, and the node closing.
#include <gtest/gtest.h>

#include "test_support/announcing.h"

namespace horatone {
namespace {

TEST(NodeEvents, OnlyTheExactCodeStartsTheVersionQueryIsAnsweredAndClosingEndsWithoutSaving) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartWithVoice(h, "CHECK1=0\n");
  const std::string settings = h.ReadSettingsFile();
  // The version query is answered wherever it stands in the chat, but only in lower case.
  h.node.SendChat("/VER/");
  EXPECT_TRUE(std::none_of(h.node.calls().begin(), h.node.calls().end(),
                           [](const auto& call) { return call.what.rfind("Chat", 0) == 0; }));
  h.node.SendChat("hello /ver/ there");
  EXPECT_EQ(h.node.calls().back().what, "Chat Horatone  v2.0.1");

  for (const char* digits : {"12", "1234", " 123", "0123", "", "A123"}) {
    h.node.SendDtmf(digits);
    EXPECT_FALSE(f.Timer2.running()) << digits;
  }
  // An empty code matches only an empty string.
  f.DTMFTime.set_text("");
  h.node.SendDtmf("1");
  EXPECT_FALSE(f.Timer2.running());
  h.node.SendDtmf("");
  EXPECT_TRUE(f.Timer2.running());

  // The node closing during the announcement releases and ends, without saving the change.
  h.loop.AdvanceBy(300);
  ASSERT_TRUE(h.node.keyed());
  h.node.Close();
  EXPECT_FALSE(h.node.keyed());
  EXPECT_EQ(h.node.calls().back().what, "Aux 0");
  EXPECT_TRUE(f.ended());
  EXPECT_TRUE(h.dialogs.shown.empty());
  EXPECT_EQ(h.ReadSettingsFile(), settings);
}

}  // namespace
}  // namespace horatone
