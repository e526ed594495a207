// A stream's own clock for the outputs that only keep time (the null output, SvxLink's UDP
// stream): frames counted from an origin on the monotonic clock, in whole frames so that the
// pace never drifts however the frames are handed over. It starts with the first frame, and a
// stall of more than a second (a suspended machine, a debugger) starts it afresh rather than
// racing to catch up. Used by one thread at a time.
#pragma once

#include <time.h>

#include <cerrno>
#include <cstdint>

namespace horatone {

class StreamClock {
 public:
  explicit StreamClock(int sample_rate) : rate_(sample_rate) {}

  static int64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * kNsPerSecond + now.tv_nsec;
  }
  void Start() {
    if (origin_ns_ < 0) origin_ns_ = NowNs();
  }
  void RestartAt(int64_t origin_ns) {
    origin_ns_ = origin_ns;
    frames_ = 0;
  }
  // Starts afresh when the frames counted so far were due more than a second ago.
  void ForgiveStall() {
    const int64_t now = NowNs();
    if (now > DeadlineNs(frames_) + kNsPerSecond) RestartAt(now);
  }
  void Count(int64_t frames) { frames_ += frames; }
  int64_t frames() const { return frames_; }

  // When `frames` frames from the origin have played.
  int64_t DeadlineNs(int64_t frames) const {
    return origin_ns_ + frames / rate_ * kNsPerSecond + frames % rate_ * kNsPerSecond / rate_;
  }
  static void SleepUntil(int64_t deadline_ns) {
    const timespec until{static_cast<time_t>(deadline_ns / kNsPerSecond),
                         static_cast<long>(deadline_ns % kNsPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
  }
  // The frames due by now beyond those counted; none after a stall, which starts afresh.
  int64_t DueNow() {
    Start();
    const int64_t late_ns = NowNs() - DeadlineNs(frames_);
    if (late_ns <= 0) return 0;
    if (late_ns > kNsPerSecond) {
      RestartAt(NowNs());
      return 0;
    }
    return late_ns * rate_ / kNsPerSecond;
  }

 private:
  static constexpr int64_t kNsPerSecond = 1'000'000'000;
  const int rate_;
  int64_t origin_ns_ = -1;
  int64_t frames_ = 0;  // written or skipped since the origin
};

}  // namespace horatone
