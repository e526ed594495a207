// Whole announcements in virtual time: the real triggers, the sequencer, the fake media, and
// the exact clips heard, in order.
#include <gtest/gtest.h>

#include "announce/steps.h"
#include "test_support/announcing.h"

namespace horatone {
namespace {

using Names = std::vector<std::string>;

struct Row {
  const char* name;
  const char* settings;
  LocalTime start;  // a few seconds before the trigger
  enum { kButton, kSchedule, kDtmf } trigger;
  bool first_after_start_up;
  Names heard;
};

class ResultingAnnouncements : public ::testing::TestWithParam<Row> {};

TEST_P(ResultingAnnouncements, PlayTheirClipsInOrder) {
  const Row& row = GetParam();
  Names logged;  // the log names each clip once, as it goes on air; outlives the harness
  Harness h(row.start);
  Form1& f = StartWithVoice(h, row.settings);
  if (!row.first_after_start_up) {
    f.Command29.Click();  // a previous announcement leaves the ready state
    ASSERT_TRUE(RunToIdle(h));
  }
  const size_t from = h.media.heard.size();
  f.log = [&logged](const std::string& line) {
    if (line.starts_with("clip ")) logged.push_back(line.substr(line.find_last_of("\\/") + 1));
  };
  // clang-format off
  switch (row.trigger) {
    case Row::kButton: f.Command29.Click(); break;
    case Row::kDtmf: h.node.SendDtmf("123"); break;
    case Row::kSchedule: h.loop.AdvanceUntil([&] { return f.Timer2.running(); }, 20000); break;
  }
  // clang-format on
  ASSERT_TRUE(RunToIdle(h));
  EXPECT_EQ(HeardNames(h.media, from), row.heard);
  EXPECT_EQ(logged, row.heard);
  EXPECT_EQ(f.PTT.caption(), "PTT OFF");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    AllSettings, ResultingAnnouncements,
    ::testing::Values(
        Row{"PlainNoLeadInNoSuffix", "CHECK1=0\nCHECK2=0\nAMPM=0\n", {2026, 12, 6, 14, 5, 10},
            Row::kButton, false, {"TheTimeIs.wav", "14.wav", "05.wav", "Blank.wav"}},
        Row{"PlainFirstAfterStartUp", "CHECK1=0\nCHECK2=0\nAMPM=0\n", {2026, 12, 6, 14, 5, 10},
            Row::kButton, true,
            {"Blank.wav", "TheTimeIs.wav", "14.wav", "05.wav", "Blank.wav"}},
        Row{"PlainBell1AtMidnight", "CHECK1=0\nAMPM=0\nOPTION5=1\n", {2026, 12, 5, 23, 59, 40},
            Row::kSchedule, false,
            {"DingDong.wav", "TheTimeIs.wav", "00.wav", "00.wav", "Blank.wav"}},
        Row{"WordedPreamble12Hour", "OPTION9=1\nOPTION1=1\nOPTION2=0\n", {2026, 12, 6, 9, 29, 40},
            Row::kSchedule, false,
            {"GoodMorning.wav", "TheTimeIs.wav", "09.wav", "Hour.wav", "30.wav", "Minutes.wav",
             "AM.wav"}},
        Row{"WordedBell2AfterMidnightByDtmf", "OPTION6=1\nOPTION1=1\nOPTION2=0\n", {2026, 12, 7, 0, 15, 10},
            Row::kDtmf, false,
            {"DingDong2.wav", "TheTimeIs.wav", "12.wav", "Hour.wav", "15.wav", "Minutes.wav",
             "AM.wav"}},
        Row{"WordedNoLeadInNoSuffix", "CHECK2=0\nAMPM=0\n", {2026, 12, 6, 18, 44, 40},
            Row::kSchedule, false,
            {"TheTimeIs.wav", "18.wav", "Hour.wav", "45.wav", "Minutes.wav", "Blank.wav"}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(ManualAnnouncement, SpeedAndVolumeReachEveryClipBalanceOnlyTheLoadedOne) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartWithVoice(h);
  f.V2.set_value(10);
  f.V1.set_value(-3000);
  f.Command29.Click();
  // The first press after start-up in the worded order starts at the next tick.
  h.loop.AdvanceBy(2);
  ASSERT_NE(h.media.current(), nullptr);
  EXPECT_DOUBLE_EQ(h.media.current()->rate, 0.1);
  EXPECT_EQ(h.media.current()->volume, -3000);
  f.V2.set_value(200);
  EXPECT_DOUBLE_EQ(h.media.current()->rate, 2.0);
  f.H2.set_value(-5000);
  EXPECT_EQ(h.media.current()->balance, -5000);
  ASSERT_TRUE(h.loop.AdvanceUntil([&] { return h.media.heard.size() == 2; }, 5000));
  EXPECT_EQ(h.media.current()->balance, 0);  // the next clip plays centred
  EXPECT_EQ(h.media.current()->volume, -3000);
  EXPECT_DOUBLE_EQ(h.media.current()->rate, 2.0);
}

TEST(ManualAnnouncement, AStartDuringOneBeginsAgainPlaySoundsOneClipAndABusyNodeStopsTheButton) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartPastTheFirst(h, "CHECK1=0\nAMPM=0\n");
  size_t from = h.media.heard.size();
  f.Command29.Click();
  h.loop.AdvanceUntil([&] { return h.media.heard.size() == from + 3; }, 10000);  // hour playing
  f.Command29.Click();
  ASSERT_TRUE(RunToIdle(h));
  EXPECT_EQ(HeardNames(h.media, from),
            (Names{"DingDong.wav", "TheTimeIs.wav", "14.wav", "DingDong.wav", "TheTimeIs.wav",
                   "14.wav", "05.wav", "Blank.wav"}));
  from = h.media.heard.size();
  f.Command1.Click();
  EXPECT_TRUE(h.node.keyed());
  EXPECT_FALSE(f.Timer2.running());
  ASSERT_TRUE(h.loop.AdvanceUntil([&] { return !h.node.keyed(); }, 3000));
  EXPECT_EQ(HeardNames(h.media, from), (Names{"DingDong.wav"}));
  EXPECT_EQ(f.PTT.caption(), "PTT OFF");
  h.node.busy[2] = true;
  const size_t calls = h.node.calls().size();
  f.Command29.Click();
  EXPECT_FALSE(f.Timer2.running());
  h.loop.AdvanceBy(500);
  EXPECT_EQ(h.media.heard.size(), from + 1);
  for (size_t i = calls; i < h.node.calls().size(); ++i)
    EXPECT_EQ(h.node.calls()[i].what, "Transmit 0");
}

}  // namespace
}  // namespace horatone
