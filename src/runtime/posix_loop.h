// The real-time event loop of the headless clock: timers on CLOCK_MONOTONIC, file descriptor
// watches, tasks posted from other threads and the termination signals, all run one after the
// other on the thread that calls Run(). Only Post() and Quit() may be called from other threads.
// The loop sleeps in ppoll() until the next deadline, with nanosecond resolution.
#pragma once

#include <poll.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "shell/services.h"
#include "shell/status.h"

namespace horatone {

class PosixLoop : public TimerService {
 public:
  using WatchId = int;

  // `monotonic_ns` replaces CLOCK_MONOTONIC, for tests that must not depend on the machine's pace.
  explicit PosixLoop(std::function<std::int64_t()> monotonic_ns = {});
  ~PosixLoop() override;
  PosixLoop(const PosixLoop&) = delete;
  PosixLoop& operator=(const PosixLoop&) = delete;

  // Not ok when the loop's wake-up descriptor could not be made; Run() then returns at once.
  const Status& status() const { return status_; }

  // TimerService. A periodic timer keeps its cadence: each deadline is the previous one plus
  // the interval, and deadlines already missed are skipped rather than fired in a burst.
  // Timers due at the same moment fire in the order they were created; a start counts from
  // the current whole millisecond, so timers started together share their deadlines.
  // Intervals below 1 ms count as 1 ms.
  TimerId CreateTimer(std::function<void()> on_fire) override;
  void StartTimer(TimerId id, int interval_ms, int first_delay_ms = -1) override;
  void StopTimer(TimerId id) override;
  std::int64_t NowMs() const override;

  // Calls `on_ready` on the loop thread while `fd` is readable (or writable). A hang-up or
  // error on the descriptor also counts as ready, so that the reader sees it. The descriptor
  // stays owned by the caller; unwatch it before closing it.
  WatchId WatchReadable(int fd, std::function<void()> on_ready);
  WatchId WatchWritable(int fd, std::function<void()> on_ready);
  void Unwatch(WatchId id);

  // Queues `task` to run on the loop thread. Safe from any thread.
  void Post(std::function<void()> task);

  // Runs handlers until Quit(). After Quit() no further handler starts; Run() then returns.
  void Run();
  // Safe from any thread and from inside a handler.
  void Quit();
  bool quitting() const { return quit_.load(); }

  // The signals a service receives (kHandledSignals), whose default action would end the
  // process wherever it stands, become a call of `on_signal(signal_number)` on the loop
  // thread. One loop in the process at a time can hold them; the previous actions come back
  // when this loop ends.
  static constexpr std::array<int, 6> kHandledSignals = {SIGTERM, SIGINT,  SIGHUP,
                                                         SIGQUIT, SIGUSR1, SIGUSR2};
  Status HandleSignals(std::function<void(int)> on_signal);

  // Runs after every handler of any kind (timer, watch, posted task, signal).
  void SetAfterEachHandler(std::function<void()> hook) { after_each_ = std::move(hook); }

 private:
  struct Timer {
    std::function<void()> on_fire;
    bool enabled = false;
    std::int64_t interval_ns = 0;
    std::int64_t deadline_ns = 0;
  };
  struct Watch {
    int fd;
    short events;
    std::shared_ptr<std::function<void()>> on_ready;
  };

  std::int64_t NowNs() const;
  WatchId AddWatch(int fd, short events, std::function<void()> on_ready);
  // One handler has ended: run the after-each hook.
  void HandlerDone();
  void FireDueTimers();
  void RunPostedTasks();
  void DrainSignals();
  void DispatchWatches(const std::vector<pollfd>& fds, const std::vector<WatchId>& ids);

  Status status_;
  std::function<std::int64_t()> monotonic_ns_;
  std::int64_t origin_ns_ = 0;
  std::deque<Timer> timers_;  // index is the TimerId; a deque keeps handlers in place as it grows
  std::map<WatchId, Watch> watches_;
  WatchId next_watch_id_ = 1;
  std::function<void()> after_each_;

  int wake_fd_ = -1;  // eventfd: Post() and Quit() from other threads
  std::mutex posted_mutex_;
  std::vector<std::function<void()>> posted_;
  std::atomic<bool> quit_{false};

  int signal_read_fd_ = -1;  // the read end of the signal handler's pipe
  int signal_write_fd_ = -1;
  std::function<void(int)> on_signal_;
  bool signals_installed_ = false;
  std::array<struct sigaction, kHandledSignals.size()> previous_actions_{};
};

}  // namespace horatone
