// Real-time scheduling for the engine's threads; see output_sink.h.
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "sound/output_sink.h"

namespace horatone {

// The priority of the engine's real-time threads: 20, within RLIMIT_RTPRIO; 0 where none is
// granted.
static int RealTimePriority() {
  rlimit limit{};
  int priority = 20;
  if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && geteuid() != 0) {
    priority = std::min<int>(priority, static_cast<int>(limit.rlim_cur));
  }
  return std::max(priority, 0);
}

bool RaiseToRealTime() { return RaiseToRealTime(gettid()); }

bool RaiseToRealTime(pid_t thread) {
  sched_param param{};
  param.sched_priority = RealTimePriority();
  if (param.sched_priority < 1) return false;
  return sched_setscheduler(thread, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

}  // namespace horatone
