// The schedule: the slots it fires on, the busy node, a drifting timer, and a whole day.
#include <gtest/gtest.h>

#include "announce/time_texts.h"
#include "test_support/announcing.h"

namespace horatone {
namespace {

// Starts of announcements (the sequencer switched on), as "HH:MM:SS" of the clock.
std::vector<std::string> StartTimes(Harness& h, std::int64_t run_ms) {
  std::vector<std::string> starts;
  h.form->Timer2.set_observer([&] {
    if (h.form->Timer2.running()) starts.push_back(LongTimeText(h.clock.Now()));
  });
  h.loop.AdvanceBy(run_ms);
  h.form->Timer2.set_observer(nullptr);
  return starts;
}

TEST(Schedule, EachCheckBoxGovernsItsOwnSlots) {
  Harness h({2026, 12, 6, 8, 59, 50});
  StartWithVoice(h, "ONHOUR=1\nQUARTERHOUR=0\nHALFHOUR=1\n");
  EXPECT_EQ(StartTimes(h, 61 * 60 * 1000),
            (std::vector<std::string>{"09:00:00", "09:30:00", "10:00:00"}));
  // The sound output was woken two seconds ahead of the enabled slots only.
  ASSERT_EQ(h.media.prepared_at_ms.size(), 6u);
  EXPECT_EQ(h.media.prepared_at_ms[1] - h.media.prepared_at_ms[0], 1000);
  EXPECT_GE(h.media.prepared_at_ms[0], 7000);
  EXPECT_LT(h.media.prepared_at_ms[0], 9000);

  Harness q({2026, 12, 6, 8, 59, 50});
  StartWithVoice(q, "ONHOUR=0\nQUARTERHOUR=1\nHALFHOUR=0\n");
  EXPECT_EQ(StartTimes(q, 61 * 60 * 1000), (std::vector<std::string>{"09:15:00", "09:45:00"}));
}

TEST(Schedule, ABusyOrUnreadableNodeAtTheSlotSecondSkipsItButTheTextsStayCurrent) {
  Harness h({2026, 12, 6, 13, 59, 50});
  Form1& f = StartWithVoice(h);
  h.node.busy[1] = true;
  h.loop.AdvanceBy(12000);
  EXPECT_FALSE(f.Timer2.running());
  EXPECT_EQ(f.HH.text(), "14");
  EXPECT_EQ(f.MM.text(), "00");
  h.node.busy[1] = false;
  h.loop.AdvanceBy(60000);
  EXPECT_TRUE(h.media.heard.empty());  // the slot is skipped, not made up later
  // A station asking by DTMF during traffic hears the current minute.
  h.node.busy[0] = h.node.busy[1] = h.node.busy[2] = true;
  h.loop.AdvanceBy(60000);
  h.node.SendDtmf("123");
  ASSERT_TRUE(RunToIdle(h));
  const auto heard = HeardNames(h.media);
  EXPECT_NE(std::find(heard.begin(), heard.end(), "02.wav"), heard.end());
  // A busy flag that cannot be read counts as busy: the slot is skipped quietly (no message
  // waits for an operator), the transmitter is never keyed, and the clock goes on.
  h.node.busy[0] = h.node.busy[1] = h.node.busy[2] = false;
  h.node.fail_calls = true;
  const size_t calls = h.node.calls().size();
  ASSERT_TRUE(h.loop.AdvanceUntil([&] { return f.ShowTheTime.caption() == "14:15:06"; }, 1800000));
  EXPECT_FALSE(f.Timer2.running());
  EXPECT_EQ(h.media.heard.size(), heard.size());
  EXPECT_TRUE(h.dialogs.shown.empty());
  for (size_t i = calls; i < h.node.calls().size(); ++i)
    EXPECT_NE(h.node.calls()[i].what, "Transmit 1");
  EXPECT_EQ(f.PTT.caption(), "PTT OFF");
}

// With a busy wait the slot is spoken when the channel clears, with the time of that moment;
// a channel busy longer than the wait skips it.
TEST(Schedule, ASlotWaitsForABusyChannelAsLongAsTheWaitAndSpeaksTheTimeWhenItClears) {
  Harness h({2026, 12, 6, 13, 59, 50});
  Form1& f = StartWithVoice(h);
  f.busy_wait_seconds = 120;
  h.node.busy[0] = true;
  h.loop.AdvanceBy(75000);  // past 14:01:00, still busy
  EXPECT_TRUE(h.media.heard.empty());
  h.node.busy[0] = false;
  const auto starts = StartTimes(h, 60000);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].substr(0, 7), "14:01:0");  // the first tick after it cleared
  ASSERT_TRUE(RunToIdle(h));
  const auto heard = HeardNames(h.media);
  EXPECT_NE(std::find(heard.begin(), heard.end(), "01.wav"), heard.end());
  EXPECT_EQ(std::find(heard.begin(), heard.end(), "00.wav"), heard.end());
  f.busy_wait_seconds = 30;
  h.loop.AdvanceBy(12 * 60000 + 25000);  // to about 14:14:30
  h.node.busy[2] = true;
  h.loop.AdvanceBy(75000);  // 14:15:00 falls in here, and its wait ends before this
  h.node.busy[2] = false;
  EXPECT_TRUE(StartTimes(h, 10 * 60000).empty());
}

TEST(Schedule, ADriftingTimerNeitherSkipsNorDoublesASecond) {
  for (int late_ms : {0, 3, 40, 400}) {
    Harness h({2026, 12, 6, 8, 59, 58, 999});
    h.loop.lateness = [late_ms](int interval) { return interval == 1000 ? late_ms : 0; };
    Form1& f = StartWithVoice(h);
    std::vector<std::string> shown;
    f.ShowTheTime.set_observer([&] { shown.push_back(f.ShowTheTime.caption()); });
    const auto starts = StartTimes(h, 2 * 3600 * 1000);
    EXPECT_EQ(starts.size(), 8u) << "late by " << late_ms;
    for (const std::string& start : starts) EXPECT_EQ(start.substr(6), "00") << start;
    const auto seconds = [](const std::string& t) {
      return std::stoi(t.substr(0, 2)) * 3600 + std::stoi(t.substr(3, 2)) * 60 +
             std::stoi(t.substr(6));
    };
    for (size_t i = 1; i < shown.size(); ++i)
      ASSERT_EQ(seconds(shown[i]) - seconds(shown[i - 1]), 1)
          << shown[i] << ", late by " << late_ms;
  }
}

TEST(Schedule, AWholeDayGivesNinetySixAnnouncementsEachReleasedWithinASecond) {
  Harness h({2026, 12, 6, 23, 59, 59, 500});
  Form1& f = StartWithVoice(h);
  int wrong_second = 0;
  std::vector<std::int64_t> suffix_ends;  // when each announcement's last clip ends
  f.Timer2.set_observer([&] {
    if (f.Timer2.running()) {
      const LocalTime now = h.clock.Now();
      if (now.second != 0 || now.minute % 15 != 0) ++wrong_second;
    } else {
      // The suffix clip has just been loaded and starts now.
      suffix_ends.push_back(h.loop.NowMs() +
                            static_cast<std::int64_t>(*h.media.current()->duration * 1000));
    }
  });
  h.loop.AdvanceBy(24LL * 3600 * 1000);
  EXPECT_EQ(wrong_second, 0);
  ASSERT_EQ(suffix_ends.size(), 96u);
  // Every keying is released, within a second (and a tick) of its last clip's end.
  const auto calls = h.node.TransmitCalls();
  std::vector<std::int64_t> releases;
  for (size_t i = 1; i < calls.size(); ++i) {
    if (calls[i - 1].second && !calls[i].second) releases.push_back(calls[i].first);
  }
  ASSERT_EQ(releases.size(), 96u);
  for (size_t i = 0; i < releases.size(); ++i) {
    EXPECT_GE(releases[i], suffix_ends[i]);
    EXPECT_LE(releases[i], suffix_ends[i] + 1000 + 20);  // a second and two progress ticks
  }
}

}  // namespace
}  // namespace horatone
