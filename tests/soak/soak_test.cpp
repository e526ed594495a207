// A week of the clock in virtual time with everything happening at once: all three schedule
// boxes on, DTMF codes every few minutes, busy flags coming and going, clips that vanish or
// stall, a sound device that fails now and then, and the operator changing the chain, the
// voice and the 12/24 clock in the middle of announcements. A fixed seed keeps every run the
// same. What must hold: every slot second with the node free starts exactly one announcement,
// none starts at a busy slot, the transmitter is never held beyond the longest chain plus the
// stall grace and a second, and the clock holds no more than one media graph between handlers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

#include "announce/clip_names.h"
#include "test_support/announcing.h"

namespace horatone {
namespace {

constexpr std::int64_t kDayMs = 24LL * 3600 * 1000, kSlotMs = 15 * 60 * 1000;
constexpr int kShortestClipMs = 300, kLongestClipMs = 1600;
// Keyed at most for the longest chain (seven clips), the grace a stalled clip gets (2 s), one
// unkey check (1 s) and two progress ticks.
constexpr std::int64_t kLongestKeyedMs = 7 * kLongestClipMs + 2000 + 1000 + 20;

TEST(Soak, AWeekOfFaultsMissesNoSlotDoublesNoneAndNeverHoldsTheTransmitter) {
  const char* days_text = std::getenv("HORATONE_SOAK_DAYS");
  const int days = days_text ? std::max(1, std::atoi(days_text)) : 7;
  const LocalTime start{2026, 12, 6, 23, 59, 30, 0};
  Harness h(start);
  std::mt19937 rng(20261206);
  auto uniform = [&](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
  };
  // Clip lengths in whole milliseconds, as different from clip to clip as real recordings.
  std::map<std::string, double> lengths;
  for (const char* folder : {kVoice1, "C:\\HoraVoice\\M\\", "C:\\HoraVoice\\F\\"})
    for (const std::string& stem : clips::AllClipStems())
      for (const char* ext : {".wav", ".mp3"})
        lengths[folder + stem + ext] = uniform(kShortestClipMs, kLongestClipMs) / 1000.0;
  for (const auto& [path, seconds] : lengths) h.media.SetClip(path, seconds);
  h.WriteSettings("[SETTINGS]\nTEXT5=C:\\HoraVoice\\M\\\nOPTION14=1\n");
  Form1& f = h.Start();

  std::multimap<std::int64_t, std::function<void()>> actions;
  auto at = [&](std::int64_t ms, std::function<void()> action) {
    actions.emplace(ms, std::move(action));
  };
  auto in_slot_second = [&](std::int64_t ms) {
    const LocalTime t = AddMilliseconds(start, ms);
    return t.second == 0 && t.minute % 15 == 0;
  };
  // Busy flags never change near a slot second, so that whether a slot was busy is clear.
  auto away_from_slots = [&](std::int64_t ms) {
    while (in_slot_second(ms) || in_slot_second(ms + 10) || in_slot_second(ms - 10)) ms += 500;
    return ms;
  };
  // Loop times at which the busy flags changed, with whether any flag was then set.
  std::vector<std::pair<std::int64_t, bool>> busy_changes{{0, false}};
  int busy_count[3] = {0, 0, 0};
  auto set_busy = [&](int flag, int delta) {
    const bool before = std::ranges::count(h.node.busy, true) > 0;
    h.node.busy[flag] = (busy_count[flag] += delta) > 0;
    if (const bool after = std::ranges::count(h.node.busy, true) > 0; before != after)
      busy_changes.emplace_back(h.loop.NowMs(), after);
  };
  // Flips one of: HrMin, the lead-in, the voice, the 12/24-hour clock.
  int mid_changes = 0;
  auto change_setting = [&] {
    mid_changes += f.Announcing == 1;
    const int which = static_cast<int>(uniform(0, 3));
    if (which < 2) {
      CheckBox& box = which == 0 ? f.Check1 : f.Check2;
      box.set_value(box.value() ? 0 : 1);
    } else {
      OptionButton& one = which == 2 ? f.Option3 : f.Option1;
      (one.value() ? (which == 2 ? f.Option4 : f.Option2) : one).set_value(true);
    }
  };
  // A clip of the active voice that the next announcements will want.
  auto random_clip = [&] {
    const std::string stems[] = {std::string(clips::kBell1), std::string(clips::kTheTimeIs),
                                 std::string(clips::kHour),  std::string(clips::kMinutes),
                                 std::string(clips::kBlank), f.HH.text(),
                                 f.MM.text(),                f.AM_PM.text()};
    return f.FileLocation.text() + stems[uniform(0, std::size(stems) - 1)] +
           (f.OptionWAV.value() ? ".wav" : ".mp3");
  };

  std::vector<std::int64_t> starts;
  std::map<std::int64_t, int> slot_starts_by_second;
  int off_the_slot = 0, dtmf_starts = 0, abandoned = 0, clip_failures = 0;
  f.log = [&](const std::string& line) {
    const std::int64_t now = h.loop.NowMs();
    abandoned += line.starts_with("announcement abandoned");
    clip_failures += line.starts_with("clip failed");
    if (!line.starts_with("announcement: ")) return;
    starts.push_back(now);
    if (line == "announcement: DTMF code") {
      ++dtmf_starts;
    } else {
      ++slot_starts_by_second[now / 1000];
      off_the_slot += !in_slot_second(now);
    }
    // Half of all announcements see a setting changed while they play.
    if (uniform(0, 1)) at(now + uniform(0, 8000), change_setting);
  };

  // One random happening, then the next one a few minutes on.
  std::function<void()> random_event = [&] {
    const std::int64_t now = h.loop.NowMs(), kind = uniform(0, 99);
    if (kind < 30) {
      h.node.SendDtmf(f.DTMFTime.text());
    } else if (kind < 35) {
      h.node.SendDtmf("1234");  // not the code: nothing happens
    } else if (kind < 50) {
      const int flag = static_cast<int>(uniform(0, 2));
      const std::int64_t on = away_from_slots(now);
      at(on, [&, flag] { set_busy(flag, +1); });
      at(away_from_slots(on + uniform(5000, 180000)), [&, flag] { set_busy(flag, -1); });
    } else if (kind < 60) {
      const std::string path = random_clip();
      h.media.RemoveClip(path);
      at(now + uniform(10000, 300000), [&, path] { h.media.SetClip(path, lengths[path]); });
    } else if (kind < 65) {
      h.media.fail_create = true;
      at(now + uniform(200, 5000), [&] { h.media.fail_create = false; });
    } else if (kind < 75) {
      const std::string path = random_clip();
      h.media.stops_short.insert(path);
      at(now + uniform(30000, 600000), [&, path] { h.media.stops_short.erase(path); });
    } else {
      change_setting();
    }
    at(now + uniform(10000, 300000), random_event);
  };

  size_t most_live_graphs = 0;
  const std::int64_t end = days * kDayMs + 30000 + 60000;
  at(h.loop.NowMs() + 1000, random_event);
  while (h.loop.NowMs() < end) {
    const std::int64_t next = actions.empty() ? end : std::min(actions.begin()->first, end);
    while (h.loop.NowMs() < next) {
      h.loop.AdvanceBy(std::min<std::int64_t>(1000, next - h.loop.NowMs()));
      most_live_graphs = std::max(most_live_graphs, h.media.live_graphs());
      h.dialogs.shown.clear();
    }
    while (!actions.empty() && actions.begin()->first <= h.loop.NowMs()) {
      auto action = std::move(actions.begin()->second);
      actions.erase(actions.begin());
      action();
    }
  }
  // The faults end, the node falls quiet, and the clock is left alone for a while.
  h.media.fail_create = false;
  h.media.stops_short.clear();
  for (const auto& [path, seconds] : lengths) h.media.SetClip(path, seconds);
  for (bool& flag : h.node.busy) flag = false;
  h.loop.AdvanceBy(60000);

  // Every slot second: one start when the node was free, none when it was busy.
  int free_slots = 0, busy_slots = 0, missed = 0, doubled = 0, started_while_busy = 0;
  for (std::int64_t slot = 30000; slot < days * kDayMs + 30000; slot += kSlotMs) {
    const int count = slot_starts_by_second[slot / 1000];
    const auto change =
        std::upper_bound(busy_changes.begin(), busy_changes.end(), std::pair{slot + 500, true});
    if (std::prev(change)->second) {
      ++busy_slots;
      started_while_busy += count != 0;
    } else {
      ++free_slots;
      missed += count == 0;
      doubled += count > 1;
    }
  }
  EXPECT_GT(busy_slots, 0);  // the busy flags did meet some slots
  EXPECT_EQ(missed, 0);
  EXPECT_EQ(doubled, 0);
  EXPECT_EQ(started_while_busy, 0);
  EXPECT_EQ(off_the_slot, 0);

  // A keyed stretch may span several announcements (a DTMF code during one starts it again),
  // but from each start in it, the next start or the release comes within the limit.
  const auto calls = h.node.TransmitCalls();
  std::int64_t keyed_since = -1, longest_ms = 0;
  for (const auto& [when, key] : calls) {
    if (key && keyed_since < 0) keyed_since = when;
    if (key || keyed_since < 0) continue;
    std::int64_t from = keyed_since;
    for (auto s = std::upper_bound(starts.begin(), starts.end(), keyed_since);
         s != starts.end() && *s <= when; from = *s++) {
      longest_ms = std::max(longest_ms, *s - from);
    }
    longest_ms = std::max(longest_ms, when - from);
    keyed_since = -1;
  }
  EXPECT_LE(longest_ms, kLongestKeyedMs) << "keyed this long without a new start";
  ASSERT_FALSE(calls.empty());
  EXPECT_FALSE(calls.back().second);
  EXPECT_FALSE(h.node.keyed());
  EXPECT_EQ(f.Announcing, 0);
  EXPECT_FALSE(f.Timer2.running());
  // Memory stays flat: one graph at a time, however the announcements ended.
  EXPECT_LE(most_live_graphs, 1u);
  // The faults did happen, often enough to mean something.
  EXPECT_GT(dtmf_starts, days * 50);
  EXPECT_GT(clip_failures, days * 2);
  EXPECT_GT(abandoned, days * 2);
  EXPECT_GT(mid_changes, days * 30);
  std::printf("soak: %d days, %d free and %d busy slots, %zu starts, longest keyed %lld ms\n", days,
              free_slots, busy_slots, starts.size(), static_cast<long long>(longest_ms));
}

}  // namespace
}  // namespace horatone
