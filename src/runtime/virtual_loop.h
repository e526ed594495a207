// Virtual time for tests, benchmarks and soak runs: timers fire in deadline order (ties in
// creation order) as the test advances the clock, so a whole announcement, a day of schedule
// or a week of soak runs in milliseconds and the same way every time. VirtualClock reads the
// local time as a start moment plus the loop's virtual milliseconds.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "shell/services.h"
#include "shell/time_zone.h"

namespace horatone {

class VirtualLoop : public TimerService {
 public:
  TimerId CreateTimer(std::function<void()> on_fire) override;
  void StartTimer(TimerId id, int interval_ms, int first_delay_ms = -1) override;
  void StopTimer(TimerId id) override;
  std::int64_t NowMs() const override { return now_ms_; }

  // Fires every timer due up to now + ms, moving the clock to each deadline in turn.
  void AdvanceBy(std::int64_t ms);
  // Advances until `done` holds or `limit_ms` has passed; true when `done` held.
  bool AdvanceUntil(const std::function<bool()>& done, std::int64_t limit_ms);
  // Stops firing timers for good (the program has ended).
  void Quit() { quit_ = true; }
  bool quit() const { return quit_; }

  // Extra milliseconds a timer of the given interval fires late each time (a drifting
  // platform timer); none by default.
  std::function<int(int interval_ms)> lateness;
  // Called whenever the clock moves, with the new time (the fake media follows it).
  std::function<void(std::int64_t now_ms)> on_time_moved;

 private:
  struct Entry {
    std::function<void()> on_fire;
    bool running = false;
    int interval_ms = 0;
    std::int64_t deadline = 0;
  };
  std::vector<Entry> timers_;
  std::int64_t now_ms_ = 0;
  bool quit_ = false;
};

class VirtualClock : public Clock {
 public:
  VirtualClock(const TimerService& loop, LocalTime start) : loop_(loop), start_(start) {}
  // The start is a wall-clock time of `zone`, whose daylight-saving changes the clock then
  // follows; without a zone local time is UTC and never changes its offset.
  VirtualClock(const TimerService& loop, LocalTime start, std::shared_ptr<const TimeZone> zone)
      : loop_(loop), start_(start), zone_(std::move(zone)) {}
  LocalTime Now() const override;
  std::int64_t EpochMs() const override;
  // Moves the start so that the clock reads `now` at the loop's present moment.
  void Set(LocalTime now);
  // From now on local time is that of `zone`, starting at the wall-clock time `now`.
  void SetZone(std::shared_ptr<const TimeZone> zone, LocalTime now) {
    zone_ = std::move(zone);
    Set(now);
  }

 private:
  const TimerService& loop_;
  LocalTime start_;
  std::shared_ptr<const TimeZone> zone_;
  std::int64_t start_offset_ms_ = 0;
};

// Calendar arithmetic on local times (no time zone changes).
LocalTime AddMilliseconds(const LocalTime& time, std::int64_t ms);

}  // namespace horatone
