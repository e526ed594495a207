#include "runtime/virtual_loop.h"

#include <chrono>
#include <limits>

namespace horatone {

TimerService::TimerId VirtualLoop::CreateTimer(std::function<void()> on_fire) {
  timers_.push_back(Entry{std::move(on_fire)});
  return static_cast<TimerId>(timers_.size() - 1);
}

void VirtualLoop::StartTimer(TimerId id, int interval_ms, int first_delay_ms) {
  Entry& timer = timers_.at(static_cast<size_t>(id));
  timer.running = true;
  timer.interval_ms = interval_ms;
  timer.deadline = now_ms_ + (first_delay_ms >= 0 ? first_delay_ms : interval_ms);
  if (lateness) timer.deadline += lateness(interval_ms);
}

void VirtualLoop::StopTimer(TimerId id) { timers_.at(static_cast<size_t>(id)).running = false; }

void VirtualLoop::AdvanceBy(std::int64_t ms) {
  const std::int64_t end = now_ms_ + ms;
  while (!quit_) {
    size_t next = timers_.size();
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    for (size_t i = 0; i < timers_.size(); ++i) {
      if (timers_[i].running && timers_[i].deadline < best) {
        best = timers_[i].deadline;
        next = i;
      }
    }
    if (next == timers_.size() || best > end) break;
    if (best > now_ms_) {
      now_ms_ = best;
      if (on_time_moved) on_time_moved(now_ms_);
    }
    Entry& timer = timers_[next];
    const std::int64_t fired_deadline = timer.deadline;
    timer.on_fire();
    // A handler that restarted its own timer has set the next deadline itself.
    Entry& after = timers_[next];
    if (after.running && after.deadline == fired_deadline) {
      after.deadline += after.interval_ms;
      if (lateness) after.deadline += lateness(after.interval_ms);
      if (after.deadline <= now_ms_) after.deadline = now_ms_ + 1;
    }
  }
  if (!quit_ && end > now_ms_) {
    now_ms_ = end;
    if (on_time_moved) on_time_moved(now_ms_);
  }
}

bool VirtualLoop::AdvanceUntil(const std::function<bool()>& done, std::int64_t limit_ms) {
  for (std::int64_t waited = 0; waited < limit_ms && !quit_; ++waited) {
    if (done()) return true;
    AdvanceBy(1);
  }
  return done();
}

LocalTime AddMilliseconds(const LocalTime& time, std::int64_t ms) {
  return EpochMsToCivil(CivilToEpochMs(time) + ms);
}

LocalTime VirtualClock::Now() const {
  if (zone_) return zone_->ToLocal(EpochMs());
  return AddMilliseconds(start_, loop_.NowMs() - start_offset_ms_);
}

std::int64_t VirtualClock::EpochMs() const {
  const std::int64_t start = zone_ ? zone_->FromLocal(start_) : CivilToEpochMs(start_);
  return start + (loop_.NowMs() - start_offset_ms_);
}

void VirtualClock::Set(LocalTime now) {
  start_ = now;
  start_offset_ms_ = loop_.NowMs();
}

}  // namespace horatone
