// Ends a real-time loop, and marks the run as failed, if a test is still running after ten
// seconds: a fault then fails its test instead of hanging it. Nothing is asserted about pace.
#pragma once

#include "runtime/posix_loop.h"

namespace horatone {

class LoopWatchdog {
 public:
  static constexpr int kGiveUpSeconds = 10;

  explicit LoopWatchdog(PosixLoop& loop)
      : timer_(loop.CreateTimer([this, &loop] {
          fired_ = true;
          loop.Quit();
        })) {
    loop.StartTimer(timer_, kGiveUpSeconds * 1000);
  }
  bool fired() const { return fired_; }

 private:
  bool fired_ = false;
  PosixLoop::TimerId timer_;
};

}  // namespace horatone
