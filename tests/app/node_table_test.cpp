// The node table: which node a --node text names, and the help and usage words drawn from it,
// which the operator reads and the scripts around the clock match.
#include "node_table.h"

#include <gtest/gtest.h>

namespace horatone {
namespace {

TEST(NodeTable, NamesAreMatchedWholeAndListenAndUnixTakeMoreAfterThem) {
  for (const char* name : {"sim", "stdio", "rig", "svxlink"}) {
    ASSERT_NE(FindNodeChoice(name), nullptr) << name;
    EXPECT_EQ(FindNodeChoice(name)->name, name);
  }
  ASSERT_NE(FindNodeChoice("listen:4000"), nullptr);
  EXPECT_EQ(FindNodeChoice("listen:4000")->shown, "listen:PORT");
  EXPECT_EQ(FindNodeChoice("listen:x"), FindNodeChoice("listen:4000"));  // the bridge says why
  ASSERT_NE(FindNodeChoice("unix:/run/horatone/node"), nullptr);
  EXPECT_EQ(FindNodeChoice("unix:/run/horatone/node")->shown, "unix:PATH");
  for (const char* bad : {"", "Sim", "sims", "listen", "unix", "rig ", "bridge"})
    EXPECT_EQ(FindNodeChoice(bad), nullptr) << bad;
}

TEST(NodeTable, TheHelpAndTheUsageNameEveryNodeWithinTheHelpsWidth) {
  EXPECT_EQ(NodeNames(), "sim, stdio, listen:PORT, unix:PATH, rig or svxlink");
  EXPECT_EQ(NodeOptionHelp(),
            "  --node NODE          sim (the simulated node, default), stdio,\n"
            "                       listen:PORT (127.0.0.1, after AUTH and the key),\n"
            "                       unix:PATH (a socket file),\n"
            "                       rig (a radio through Hamlib, no node program) or svxlink\n");
}

}  // namespace
}  // namespace horatone
