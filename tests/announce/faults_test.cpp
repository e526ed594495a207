// Faults during an announcement: a missing clip, a clip that stops short, settings changed
// half way, a failing node. Each ends with the transmitter released and the clock idle.
#include <gtest/gtest.h>

#include "announce/steps.h"
#include "test_support/announcing.h"

namespace horatone {
namespace {

using Names = std::vector<std::string>;

// True when no Transmit True follows the last Transmit False.
bool Released(const SimulatedNode& node) {
  const auto calls = node.TransmitCalls();
  return !calls.empty() && !calls.back().second;
}

TEST(Faults, AMissingNumberClipEndsTheAnnouncementAndReleasesTheTransmitter) {
  Harness h({2026, 12, 6, 14, 37, 5});
  Form1& f = StartWithVoice(h, "CHECK1=0\nOPTION3=1\n");
  h.media.RemoveClip(std::string(kVoice1) + "37.wav");
  f.Command29.Click();
  h.loop.AdvanceUntil([&] { return !h.dialogs.shown.empty(); }, 20000);
  ASSERT_EQ(h.dialogs.shown.size(), 1u);
  EXPECT_EQ(HeardNames(h.media), (Names{"DingDong.wav", "TheTimeIs.wav", "14.wav"}));
  EXPECT_NE(h.dialogs.shown[0].text.find("(Voice File Missing)"), std::string::npos);
  // Released before the message was shown, and nothing keyed afterwards.
  EXPECT_TRUE(Released(h.node));
  EXPECT_FALSE(f.Timer2.running());
  EXPECT_EQ(f.Announcing, 0);
  EXPECT_EQ(f.LoadStep, kStepLeadIn);
  EXPECT_EQ(f.ClipGraph, nullptr);
  // The recovery picks the first voice; the voice refresh then restores its folder.
  EXPECT_EQ(f.FileLocation.text(), "C:\\HoraVoice\\F\\");
  h.loop.AdvanceBy(150);
  EXPECT_EQ(f.FileLocation.text(), kVoice1);
  h.loop.AdvanceBy(3000);
  EXPECT_TRUE(Released(h.node));
  EXPECT_FALSE(h.node.keyed());
}

TEST(Faults, AMissingFirstClipStartsNothing) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartWithVoice(h, "CHECK1=0\nCHECK2=0\nFILELOCATION=C:\\Voices\nOPTION3=0\n");
  // No voice selected, so the folder without its final backslash stays in force.
  f.Command29.Click();
  ASSERT_EQ(h.dialogs.shown.size(), 1u);
  EXPECT_EQ(f.ClipPath, "C:\\VoicesBlank.wav");
  EXPECT_FALSE(f.Timer2.running());
  EXPECT_TRUE(h.media.heard.empty());
  EXPECT_FALSE(h.node.keyed());
  EXPECT_TRUE(f.Option3.value());
  h.media.fail_create = true;  // no audio device: the same recovery
  f.Command29.Click();
  EXPECT_EQ(h.dialogs.shown.size(), 2u);
  EXPECT_FALSE(h.node.keyed());
}

TEST(Faults, WithoutASoundDeviceNoTriggerKeysTheTransmitterAndEachSaysWhy) {
  Harness h({2026, 12, 6, 14, 59, 58});
  Form1& f = StartWithVoice(h, "ONHOUR=1\n");
  std::vector<std::string> log;
  f.log = [&](const std::string& line) { log.push_back(line); };
  h.media.unavailable = "PulseAudio: Connection refused";
  f.Command29.Click();     // the button
  h.node.SendDtmf("123");  // a station
  f.Command1.Click();      // Play
  h.loop.AdvanceBy(4000);  // the full hour
  for (const auto& [at, key] : h.node.TransmitCalls()) EXPECT_FALSE(key) << "keyed at " << at;
  EXPECT_TRUE(h.media.heard.empty());
  EXPECT_TRUE(h.dialogs.shown.empty());
  const auto skipped = std::count_if(log.begin(), log.end(), [](const std::string& line) {
    return line == "no sound device: announcement skipped (PulseAudio: Connection refused)";
  });
  EXPECT_EQ(skipped, 4);
  // The device back, the next code is heard.
  h.media.unavailable.reset();
  h.node.SendDtmf("123");
  ASSERT_TRUE(RunToIdle(h));
  EXPECT_FALSE(h.media.heard.empty());
}

TEST(Faults, AClipThatStopsShortIsAbandonedAndTheTransmitterReleased) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartPastTheFirst(h, "CHECK1=0\n");
  h.media.stops_short.insert(std::string(kVoice1) + "14.wav");
  f.Command29.Click();
  ASSERT_TRUE(h.loop.AdvanceUntil([&] { return h.media.heard.size() == 8; }, 10000));  // 14.wav
  const std::int64_t started = h.loop.NowMs();
  const double seconds = *h.media.current()->duration;
  ASSERT_TRUE(h.loop.AdvanceUntil([&] { return !h.node.keyed(); }, 10000));
  EXPECT_LE(h.loop.NowMs() - started, static_cast<std::int64_t>(seconds * 1000) + 2000 + 20);
  EXPECT_FALSE(f.Timer2.running());
  EXPECT_EQ(f.Announcing, 0);
  EXPECT_EQ(f.LoadStep, kStepLeadIn);
  EXPECT_EQ(f.ClipGraph, nullptr);  // the stuck clip is silenced
  // And the idle release goes on every second, as after any announcement.
  const size_t releases = h.node.TransmitCalls().size();
  h.loop.AdvanceBy(2000);
  EXPECT_FALSE(h.node.keyed());
  EXPECT_EQ(h.node.TransmitCalls().size(), releases + 2);
  // The next announcement runs normally.
  h.media.stops_short.clear();
  const size_t from = h.media.heard.size();
  f.Command29.Click();
  ASSERT_TRUE(RunToIdle(h));
  EXPECT_EQ(HeardNames(h.media, from).size(), 5u);
}

TEST(Faults, TheStallGraceFollowsTheSpeedAndANodeThatRefusesCallsDoesNotHangTheClock) {
  Harness h({2026, 12, 6, 14, 5, 10});
  Form1& f = StartWithVoice(h, "CHECK1=0\n");
  f.V2.set_value(10);  // a tenth of normal speed: clips take ten times as long
  f.Command29.Click();
  ASSERT_TRUE(RunToIdle(h, 600000));
  EXPECT_EQ(HeardNames(h.media).size(), 5u);
  EXPECT_TRUE(Released(h.node));
  f.V2.set_value(100);
  f.Command29.Click();
  h.node.fail_calls = true;  // keying the next clip fails: the recovery ends the announcement
  h.loop.AdvanceBy(5000);
  EXPECT_FALSE(f.Timer2.running());
  EXPECT_EQ(f.Announcing, 0);
  EXPECT_EQ(h.dialogs.shown.size(), 1u);
}

TEST(Faults, SwitchingHrMinOrTheLeadInOffMidAnnouncementFinishesIt) {
  for (const bool hour_word : {true, false}) {
    Harness h({2026, 12, 6, 14, 5, 10});
    Form1& f = StartPastTheFirst(h, hour_word ? "CHECK2=0\nAMPM=0\n" : "CHECK1=0\nAMPM=0\n");
    const size_t from = h.media.heard.size();
    f.Command29.Click();
    if (hour_word) {
      ASSERT_TRUE(h.loop.AdvanceUntil([&] { return h.media.heard.size() == from + 3; }, 10000));
      ASSERT_EQ(f.NextStep, kStepHourWord);  // "Hour" playing
      f.Check1.set_value(0);
    } else {
      f.Check2.set_value(0);  // the bell plays
    }
    ASSERT_TRUE(RunToIdle(h));
    const Names expected =
        hour_word ? Names{"TheTimeIs.wav", "14.wav", "Hour.wav", "05.wav", "Blank.wav"}
                  : Names{"DingDong.wav", "TheTimeIs.wav", "14.wav", "05.wav", "Blank.wav"};
    EXPECT_EQ(HeardNames(h.media, from), expected);
  }
}

}  // namespace
}  // namespace horatone
