// The simulated node's panel as the page uses it: what it sends reaches the clock as the
// node's own events, bad input is refused before anything is sent, and the list of calls
// counts a repeated call on one line.
#include "ui/web/web_node.h"

#include <gtest/gtest.h>

#include "test_support/announcing.h"

namespace horatone {
namespace {

TEST(WebNodePanel, WhatThePanelSendsReachesTheClock) {
  Harness h;
  Form1& f = StartWithVoice(h);
  // Bad input: refused, naming the field; nothing reaches the clock.
  for (const auto& [action, values, words] :
       std::vector<std::tuple<std::string, PageValues, std::string>>{
           {"dtmf", {{"digits", "12 3"}}, "DTMF digits"},
           {"dtmf", {{"digits", ""}}, "DTMF digits"},
           {"dtmf", {{"digits", std::string(33, '1')}}, "DTMF digits"},
           {"chat", {{"line", "two\nlines"}}, "Chat line"},
           {"chat", {{"line", std::string(256, 'x')}}, "Chat line"},
           {"busy", {{"flag", "4"}, {"on", "1"}}, "Busy flag"},
           {"busy", {{"flag", "2"}, {"on", "yes"}}, "Busy 2"}}) {
    const PageAnswer answer = UseNodePanel(h.node, f, action, values);
    EXPECT_EQ(answer.status, 422) << action;
    EXPECT_NE(answer.json.find(words), std::string::npos) << answer.json;
  }
  EXPECT_FALSE(h.node.busy[1]);
  EXPECT_EQ(UseNodePanel(h.node, f, "reboot", {}).status, 404);
  h.loop.AdvanceBy(100);
  EXPECT_TRUE(h.media.heard.empty());

  // A busy channel keeps the DTMF code from announcing, as on the air.
  EXPECT_EQ(UseNodePanel(h.node, f, "busy", {{"flag", "2"}, {"on", "1"}}).status, 200);
  EXPECT_TRUE(h.node.busy[1]);
  EXPECT_NE(NodePanelJson(h.node, f).find("\"busy\":[false,true,false]"), std::string::npos);
  UseNodePanel(h.node, f, "busy", {{"flag", "2"}, {"on", "0"}});

  EXPECT_EQ(UseNodePanel(h.node, f, "dtmf", {{"digits", "123"}}).status, 200);
  h.loop.AdvanceBy(50);
  EXPECT_FALSE(h.media.heard.empty());
  EXPECT_TRUE(h.node.keyed());
  EXPECT_NE(NodePanelJson(h.node, f).find("\"keyed\":true"), std::string::npos);
  ASSERT_TRUE(RunToIdle(h));

  // The version query is answered in chat; the idle releases count up on one line.
  UseNodePanel(h.node, f, "chat", {{"line", "hello /ver/"}});
  h.loop.AdvanceBy(3000);
  const std::string panel = NodePanelJson(h.node, f);
  EXPECT_NE(panel.find("  Chat Horatone  v2.0.1\""), std::string::npos) << panel;
  EXPECT_NE(panel.find("Transmit 0 \xc3\x97"), std::string::npos) << panel;

  // Closing the node ends the clock.
  EXPECT_EQ(UseNodePanel(h.node, f, "close", {}).status, 200);
  EXPECT_TRUE(f.ended());
  EXPECT_EQ(UseNodePanel(h.node, f, "dtmf", {{"digits", "123"}}).status, 503);
}

}  // namespace
}  // namespace horatone
