// A week of the clock in virtual time with everything happening at once: all three schedule
// boxes on, DTMF codes every few minutes, busy flags coming and going, clips that vanish or
// stall, a sound device that fails now and then, and the operator changing the chain, the
// voice and the 12/24 clock in the middle of announcements. A fixed seed keeps every run the
// same. What must hold: every slot second with the node free starts exactly one announcement,
// none starts at a busy slot, the transmitter is never held beyond the longest chain plus the
// stall grace and a second, and the clock holds no more than one media graph between handlers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>

#include "announce/clip_names.h"
#include "test_support/announcing.h"

namespace horatone {
namespace {

constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;
constexpr const char* kVoice2 = "C:\\HoraVoice\\M\\";
constexpr const char* kRecoveryVoice = "C:\\HoraVoice\\F\\";
constexpr double kShortestClip = 0.3, kLongestClip = 1.6;  // seconds
constexpr int kStepsInLongestChain = 7;
// How long a clip may overrun its length before the clock abandons the announcement.
constexpr std::int64_t kStallGraceMs = 2000;
// The unkey check runs once a second; the stall check every progress tick.
constexpr std::int64_t kUnkeyCheckMs = 1000, kTickSlackMs = 20;

int SoakDays() {
  const char* days = std::getenv("HORATONE_SOAK_DAYS");
  return days ? std::max(1, std::atoi(days)) : 7;
}

class Soak {
 public:
  Soak() : start_{2026, 12, 6, 23, 59, 30, 0}, h_(start_) {
    for (const char* folder : {kVoice1, kVoice2, kRecoveryVoice}) {
      for (const std::string& stem : clips::AllClipStems()) {
        for (const char* ext : {".wav", ".mp3"}) {
          const std::string path = std::string(folder) + stem + ext;
          // Lengths in whole milliseconds, as different from clip to clip as real recordings.
          lengths_[path] =
              std::uniform_int_distribution<int>(kShortestClip * 1000, kLongestClip * 1000)(rng_) /
              1000.0;
          h_.media.SetClip(path, lengths_[path]);
        }
      }
    }
    h_.WriteSettings(std::string("[SETTINGS]\nTEXT5=") + kVoice2 + "\nOPTION14=1\n");
    Form1& form = h_.Start();
    form.log = [this](const std::string& line) { OnLog(line); };
  }

  void Run(int days) {
    const std::int64_t end = days * kDayMs + 30000 + 60000;
    At(h_.loop.NowMs() + 1000, [this] { RandomEvent(); });
    while (h_.loop.NowMs() < end) {
      const std::int64_t next = actions_.empty() ? end : std::min(actions_.begin()->first, end);
      while (h_.loop.NowMs() < next) {
        h_.loop.AdvanceBy(std::min<std::int64_t>(1000, next - h_.loop.NowMs()));
        Sample();
      }
      while (!actions_.empty() && actions_.begin()->first <= h_.loop.NowMs()) {
        auto action = std::move(actions_.begin()->second);
        actions_.erase(actions_.begin());
        action();
      }
    }
    // The faults end, the node falls quiet, and the clock is left alone for a while.
    actions_.clear();
    h_.media.fail_create = false;
    h_.media.stops_short.clear();
    for (const auto& [path, seconds] : lengths_) h_.media.SetClip(path, seconds);
    for (bool& flag : h_.node.busy) flag = false;
    h_.loop.AdvanceBy(60000);
  }

  Harness& h() { return h_; }
  Form1& form() { return *h_.form; }

  // Loop times of every start of an announcement, and the slot starts by second.
  std::vector<std::int64_t> starts;
  std::map<std::int64_t, int> slot_starts_by_second;
  int slot_starts_off_the_slot = 0;
  int dtmf_starts = 0, abandoned = 0, clip_failures = 0, mid_changes = 0;
  size_t most_live_graphs = 0;
  // Loop times at which the busy flags changed, with whether any flag was then set.
  std::vector<std::pair<std::int64_t, bool>> busy_changes{{0, false}};

  bool BusyAt(std::int64_t ms) const {
    bool busy = false;
    for (const auto& [at, value] : busy_changes) {
      if (at > ms) break;
      busy = value;
    }
    return busy;
  }

  LocalTime TimeAt(std::int64_t ms) const { return AddMilliseconds(start_, ms); }
  bool InSlotSecond(std::int64_t ms) const {
    const LocalTime t = TimeAt(ms);
    return t.second == 0 && t.minute % 15 == 0;
  }

 private:
  void At(std::int64_t ms, std::function<void()> action) {
    actions_.emplace(ms, std::move(action));
  }
  std::int64_t Uniform(std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng_);
  }
  bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  // Busy flags never change inside a slot second, so that whether a slot was busy is clear.
  std::int64_t AwayFromSlots(std::int64_t ms) const {
    while (InSlotSecond(ms) || InSlotSecond(ms + 10) || InSlotSecond(ms - 10)) ms += 500;
    return ms;
  }

  void OnLog(const std::string& line) {
    if (line.rfind("announcement abandoned", 0) == 0) {
      ++abandoned;
    } else if (line.rfind("announcement: ", 0) == 0) {
      const std::int64_t now = h_.loop.NowMs();
      starts.push_back(now);
      if (line == "announcement: DTMF code") {
        ++dtmf_starts;
      } else {
        ++slot_starts_by_second[now / 1000];
        if (!InSlotSecond(now)) ++slot_starts_off_the_slot;
      }
      // Half of all announcements see a setting changed while they play.
      if (Chance(0.5)) At(now + Uniform(0, 8000), [this] { ChangeSetting(true); });
    } else if (line.rfind("clip failed", 0) == 0) {
      ++clip_failures;
    }
  }

  void Sample() {
    most_live_graphs = std::max(most_live_graphs, h_.media.live_graphs());
    h_.dialogs.shown.clear();
  }

  void SetBusy(int flag, int delta) {
    const bool before = h_.node.busy[0] || h_.node.busy[1] || h_.node.busy[2];
    busy_count_[flag] += delta;
    h_.node.busy[flag] = busy_count_[flag] > 0;
    const bool after = h_.node.busy[0] || h_.node.busy[1] || h_.node.busy[2];
    if (before != after) busy_changes.emplace_back(h_.loop.NowMs(), after);
  }

  // A clip of the active voice that the next announcements will want.
  std::string RandomClipOfTheVoice() {
    const std::string stems[] = {std::string(clips::kBell1), std::string(clips::kTheTimeIs),
                                 std::string(clips::kHour),  std::string(clips::kMinutes),
                                 std::string(clips::kBlank), form().HH.text(),
                                 form().MM.text(),           form().AM_PM.text()};
    const std::string& stem = stems[static_cast<size_t>(Uniform(0, std::size(stems) - 1))];
    return form().FileLocation.text() + stem + (form().OptionWAV.value() ? ".wav" : ".mp3");
  }

  // Flips one of: HrMin, the lead-in, the voice, the 12/24-hour clock.
  void ChangeSetting(bool mid) {
    if (mid && form().Announcing == 1) ++mid_changes;
    Form1& f = form();
    switch (Uniform(0, 3)) {
      case 0:
        return f.Check1.set_value(f.Check1.value() ? 0 : 1);
      case 1:
        return f.Check2.set_value(f.Check2.value() ? 0 : 1);
      case 2:
        return (f.Option3.value() ? f.Option4 : f.Option3).set_value(true);
      default:
        return (f.Option1.value() ? f.Option2 : f.Option1).set_value(true);
    }
  }

  // One random happening, then the next one a few minutes on.
  void RandomEvent() {
    const std::int64_t now = h_.loop.NowMs();
    const int kind = static_cast<int>(Uniform(0, 99));
    if (kind < 30) {
      h_.node.SendDtmf(form().DTMFTime.text());
    } else if (kind < 35) {
      h_.node.SendDtmf("1234");  // not the code: nothing happens
    } else if (kind < 50) {
      const int flag = static_cast<int>(Uniform(0, 2));
      const std::int64_t on = AwayFromSlots(now);
      At(on, [this, flag] { SetBusy(flag, +1); });
      At(AwayFromSlots(on + Uniform(5000, 180000)), [this, flag] { SetBusy(flag, -1); });
    } else if (kind < 60) {
      const std::string path = RandomClipOfTheVoice();
      h_.media.RemoveClip(path);
      At(now + Uniform(10000, 300000), [this, path] { h_.media.SetClip(path, lengths_[path]); });
    } else if (kind < 65) {
      h_.media.fail_create = true;
      At(now + Uniform(200, 5000), [this] { h_.media.fail_create = false; });
    } else if (kind < 75) {
      const std::string path = RandomClipOfTheVoice();
      h_.media.stops_short.insert(path);
      At(now + Uniform(30000, 600000), [this, path] { h_.media.stops_short.erase(path); });
    } else {
      ChangeSetting(false);
    }
    At(now + Uniform(10000, 300000), [this] { RandomEvent(); });
  }

  const LocalTime start_;
  Harness h_;
  std::mt19937 rng_{20261206};
  std::map<std::string, double> lengths_;
  std::multimap<std::int64_t, std::function<void()>> actions_;
  int busy_count_[3] = {0, 0, 0};
};

TEST(Soak, AWeekOfFaultsMissesNoSlotDoublesNoneAndNeverHoldsTheTransmitter) {
  const int days = SoakDays();
  Soak soak;
  soak.Run(days);
  Harness& h = soak.h();

  // Every slot second: one start when the node was free, none when it was busy.
  int free_slots = 0, busy_slots = 0, missed = 0, doubled = 0, started_while_busy = 0;
  for (std::int64_t slot = 30000; slot < days * kDayMs + 30000; slot += 15 * 60 * 1000) {
    const auto found = soak.slot_starts_by_second.find(slot / 1000);
    const int count = found == soak.slot_starts_by_second.end() ? 0 : found->second;
    if (soak.BusyAt(slot + 500)) {
      ++busy_slots;
      if (count != 0) ++started_while_busy;
    } else {
      ++free_slots;
      if (count == 0) ++missed;
      if (count > 1) ++doubled;
    }
  }
  EXPECT_EQ(free_slots + busy_slots, days * 96);
  EXPECT_GT(busy_slots, 0);  // the busy flags did meet some slots
  EXPECT_EQ(missed, 0);
  EXPECT_EQ(doubled, 0);
  EXPECT_EQ(started_while_busy, 0);
  EXPECT_EQ(soak.slot_starts_off_the_slot, 0);

  // A keyed stretch may span several announcements (a DTMF code during one starts it again),
  // but from each start in it, the next start or the release comes within the longest chain,
  // the stall grace and one unkey check.
  const std::int64_t longest_chain_ms =
      static_cast<std::int64_t>(kStepsInLongestChain * kLongestClip * 1000);
  const std::int64_t limit_ms = longest_chain_ms + kStallGraceMs + kUnkeyCheckMs + kTickSlackMs;
  const auto calls = h.node.TransmitCalls();
  std::int64_t keyed_since = -1, longest_ms = 0;
  int stretches = 0;
  for (const auto& [at, key] : calls) {
    if (key && keyed_since < 0) keyed_since = at;
    if (key || keyed_since < 0) continue;
    std::int64_t from = keyed_since;
    for (auto s = std::upper_bound(soak.starts.begin(), soak.starts.end(), keyed_since);
         s != soak.starts.end() && *s <= at; from = *s++) {
      longest_ms = std::max(longest_ms, *s - from);
    }
    longest_ms = std::max(longest_ms, at - from);
    ++stretches;
    keyed_since = -1;
  }
  EXPECT_LE(longest_ms, limit_ms) << "keyed this long without a new start";
  EXPECT_FALSE(h.node.keyed());
  ASSERT_FALSE(calls.empty());
  EXPECT_FALSE(calls.back().second);
  EXPECT_EQ(soak.form().Announcing, 0);
  EXPECT_FALSE(soak.form().Timer2.running());

  // Memory stays flat: one graph at a time, however the announcements ended.
  EXPECT_LE(soak.most_live_graphs, 1u);

  // The faults did happen, often enough to mean something.
  EXPECT_GT(soak.dtmf_starts, days * 50);
  EXPECT_GT(soak.clip_failures, days * 2);
  EXPECT_GT(soak.abandoned, days * 2);
  EXPECT_GT(soak.mid_changes, days * 30);

  std::printf(
      "soak: %d days, %d free and %d busy slots, %zu starts (%d by DTMF), %d keyed "
      "stretches, longest %lld ms without a new start (limit %lld ms)\n",
      days, free_slots, busy_slots, soak.starts.size(), soak.dtmf_starts, stretches,
      static_cast<long long>(longest_ms), static_cast<long long>(limit_ms));
}

}  // namespace
}  // namespace horatone
