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
  LocalTime start;          // a few seconds before the trigger
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
  switch (row.trigger) {
    case Row::kButton: f.Command29.Click(); break;
    case Row::kDtmf: h.node.SendDtmf("123"); break;
    case Row::kSchedule: h.loop.AdvanceUntil([&] { return f.Timer2.running(); }, 20000); break;
  }
  ASSERT_TRUE(RunToIdle(h));
  EXPECT_EQ(HeardNames(h.media, from), row.heard);
  EXPECT_EQ(logged, row.heard);
  EXPECT_EQ(f.PTT.caption(), "PTT OFF");
}

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

TEST(Sequencer, TheWorkedExampleHoldsAfterEveryEvent) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartPastTheFirst(h, "CHECK1=0\n");
  ASSERT_EQ(f.LoadStep, 11);
  ASSERT_EQ(f.NextStep, 11);

  struct After {
    size_t heard;
    int load_step, next_step, announcing;
    bool timer2;
  };
  const size_t base = h.media.heard.size();
  f.Command29.Click();
  const After expected[] = {{1, 11, 11, 1, true},  // start: lead-in plays
                            {2, 0, 1, 1, true},    // lead-in ends: blocks 1 and 2
                            {3, 0, 2, 1, true},    // "TheTimeIs" ends: blocks 2 and 3
                            {4, 11, 3, 1, true},   // hour ends: blocks 3 and 4
                            {5, 11, 11, 0, false}};  // minute ends: blocks 4 and 5
  for (const After& after : expected) {
    ASSERT_TRUE(h.loop.AdvanceUntil([&] { return h.media.heard.size() >= base + after.heard; }, 5000));
    EXPECT_EQ(f.LoadStep, after.load_step) << "after clip " << after.heard;
    EXPECT_EQ(f.NextStep, after.next_step) << "after clip " << after.heard;
    EXPECT_EQ(f.Announcing, after.announcing) << "after clip " << after.heard;
    EXPECT_EQ(f.Timer2.running(), after.timer2) << "after clip " << after.heard;
    EXPECT_EQ(f.PTT.caption(), "PTT ON");
    EXPECT_TRUE(h.node.keyed());
  }
  // The suffix ends; within a second the transmitter is released, and again every second.
  const std::int64_t suffix_end = h.media.heard_at_ms.back() + 1000 * 0.5 + 10 * 60;
  ASSERT_TRUE(RunToIdle(h, 5000));
  EXPECT_LE(h.node.TransmitCalls().back().first, suffix_end + 1000);
  const size_t releases = h.node.TransmitCalls().size();
  h.loop.AdvanceBy(3000);
  EXPECT_EQ(h.node.TransmitCalls().size(), releases + 3);
}

TEST(Sequencer, AStartDuringAnAnnouncementBeginsTheChainAgain) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartPastTheFirst(h, "CHECK1=0\nAMPM=0\n");
  const size_t from = h.media.heard.size();
  f.Command29.Click();
  h.loop.AdvanceUntil([&] { return h.media.heard.size() == from + 3; }, 10000);  // hour playing
  f.Command29.Click();
  ASSERT_TRUE(RunToIdle(h));
  EXPECT_EQ(HeardNames(h.media, from),
            (Names{"DingDong.wav", "TheTimeIs.wav", "14.wav", "DingDong.wav", "TheTimeIs.wav",
                   "14.wav", "05.wav", "Blank.wav"}));
}

TEST(ManualAnnouncement, ABusyNodeMakesTheButtonDoNothing) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartWithVoice(h);
  h.node.busy[2] = true;
  const size_t calls = h.node.calls().size();
  f.Command29.Click();
  EXPECT_FALSE(f.Timer2.running());
  EXPECT_FALSE(f.LoadStep.has_value());
  EXPECT_TRUE(h.media.heard.empty());
  h.loop.AdvanceBy(500);
  for (size_t i = calls; i < h.node.calls().size(); ++i) EXPECT_EQ(h.node.calls()[i].what, "Transmit 0");
}

TEST(ManualAnnouncement, SpeedAndVolumeReachEveryClipBalanceOnlyTheLoadedOne) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartWithVoice(h);
  f.V2.set_value(10);
  f.V1.set_value(-3000);
  f.Command29.Click();
  h.loop.AdvanceBy(2);  // the first press after start-up in the worded order starts at the next tick
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

TEST(ManualAnnouncement, PlaySoundsOneClipAndReleasesWhatItKeyed) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartPastTheFirst(h, "CHECK1=0\n");
  const size_t from = h.media.heard.size();
  f.Command1.Click();
  EXPECT_EQ(f.PTT.caption(), "PTT ON");
  EXPECT_TRUE(h.node.keyed());
  EXPECT_EQ(f.LoadStep, 11);
  EXPECT_EQ(f.NextStep, 11);
  EXPECT_FALSE(f.Timer2.running());
  ASSERT_TRUE(h.loop.AdvanceUntil([&] { return !h.node.keyed(); }, 3000));
  EXPECT_EQ(HeardNames(h.media, from), (Names{"DingDong.wav"}));
  EXPECT_EQ(f.Announcing, 0);
  EXPECT_EQ(f.PTT.caption(), "PTT OFF");
}

TEST(Progress, TheBoxesShowLengthAndPositionAndStartAtZero) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartWithVoice(h, "CHECK1=0\n");
  EXPECT_EQ(f.Text2.text(), "00:00:00");
  f.Command1.Click();
  h.loop.AdvanceBy(250);
  EXPECT_EQ(f.Text1.text(), f.Text3.text());  // the length, not the time left
  EXPECT_EQ(f.Text2.text(), "0.25");
  f.H1.Scroll(0);
  h.loop.AdvanceBy(20);
  EXPECT_EQ(f.Text2.text(), "0.02");
  // Long after the clip has ended the refresh has nothing to do; a drag still wakes it.
  h.loop.AdvanceBy(10000);
  EXPECT_EQ(f.Text2.text(), f.Text3.text());
  f.H1.Scroll(0);
  h.loop.AdvanceBy(300);
  EXPECT_NEAR(std::stod(f.Text2.text()), 0.3, 1e-9);
  EXPECT_EQ(f.H1.value(), 0);
}

}  // namespace
}  // namespace horatone
