// The real-time loop: one ppoll() per pass over the watched descriptors, the wake-up eventfd
// and the signal pipe, with a timeout to the nearest timer deadline. The signal handler only
// writes the signal number into a pipe; everything else happens on the loop thread.
#include "runtime/posix_loop.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace horatone {
namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

// The write end of the pipe of the loop that holds the termination signals, or -1.
std::atomic<int> signal_pipe_write_fd{-1};

void OnTerminationSignal(int signal_number) {
  const int saved_errno = errno;
  const int fd = signal_pipe_write_fd.load();
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] ssize_t written = write(fd, &byte, 1);
  }
  errno = saved_errno;
}

std::int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

PosixLoop::PosixLoop(std::function<std::int64_t()> monotonic_ns)
    : monotonic_ns_(monotonic_ns ? std::move(monotonic_ns) : MonotonicNs),
      origin_ns_(monotonic_ns_()) {
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    status_ = Status::Error(std::string("event loop: cannot make its wake-up descriptor: ") +
                            std::strerror(errno));
  }
}

PosixLoop::~PosixLoop() {
  if (signals_installed_) {
    for (std::size_t i = 0; i < kHandledSignals.size(); ++i) {
      sigaction(kHandledSignals[i], &previous_actions_[i], nullptr);
    }
    signal_pipe_write_fd.store(-1);
  }
  if (signal_read_fd_ >= 0) close(signal_read_fd_);
  if (signal_write_fd_ >= 0) close(signal_write_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

std::int64_t PosixLoop::NowNs() const { return monotonic_ns_() - origin_ns_; }

std::int64_t PosixLoop::NowMs() const { return NowNs() / kNsPerMs; }

PosixLoop::TimerId PosixLoop::CreateTimer(std::function<void()> on_fire) {
  timers_.push_back(Timer{std::move(on_fire)});
  return static_cast<TimerId>(timers_.size() - 1);
}

void PosixLoop::StartTimer(TimerId id, int interval_ms, int first_delay_ms) {
  if (id < 0 || static_cast<std::size_t>(id) >= timers_.size()) return;
  Timer& timer = timers_[id];
  timer.interval_ns = std::max(interval_ms, 1) * kNsPerMs;
  const std::int64_t first_ns = first_delay_ms < 0 ? timer.interval_ns : first_delay_ms * kNsPerMs;
  timer.deadline_ns = NowMs() * kNsPerMs + first_ns;
  timer.enabled = true;
}

void PosixLoop::StopTimer(TimerId id) {
  if (id < 0 || static_cast<std::size_t>(id) >= timers_.size()) return;
  timers_[id].enabled = false;
}

PosixLoop::WatchId PosixLoop::WatchReadable(int fd, std::function<void()> on_ready) {
  return AddWatch(fd, POLLIN, std::move(on_ready));
}

PosixLoop::WatchId PosixLoop::WatchWritable(int fd, std::function<void()> on_ready) {
  return AddWatch(fd, POLLOUT, std::move(on_ready));
}

PosixLoop::WatchId PosixLoop::AddWatch(int fd, short events, std::function<void()> on_ready) {
  const WatchId id = next_watch_id_++;
  watches_[id] =
      Watch{fd, events, std::make_shared<std::function<void()>>(std::move(on_ready))};
  return id;
}

void PosixLoop::Unwatch(WatchId id) { watches_.erase(id); }

void PosixLoop::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    posted_.push_back(std::move(task));
  }
  if (wake_fd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wake_fd_, &one, sizeof one);
  }
}

void PosixLoop::Quit() {
  quit_.store(true);
  if (wake_fd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wake_fd_, &one, sizeof one);
  }
}

Status PosixLoop::HandleSignals(std::function<void(int)> on_signal) {
  if (signals_installed_) {
    on_signal_ = std::move(on_signal);
    return Status::Ok();
  }
  if (signal_pipe_write_fd.load() >= 0) {
    return Status::Error("event loop: another loop already handles the signals");
  }
  on_signal_ = std::move(on_signal);
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    return Status::Error(std::string("event loop: cannot make the signal pipe: ") +
                         std::strerror(errno));
  }
  signal_read_fd_ = fds[0];
  signal_write_fd_ = fds[1];
  signal_pipe_write_fd.store(signal_write_fd_);

  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kHandledSignals.size(); ++i) {
    if (sigaction(kHandledSignals[i], &action, &previous_actions_[i]) != 0) {
      const std::string why = std::strerror(errno);
      while (i-- > 0) sigaction(kHandledSignals[i], &previous_actions_[i], nullptr);
      signal_pipe_write_fd.store(-1);
      return Status::Error("event loop: cannot install the signal handler: " + why);
    }
  }
  signals_installed_ = true;
  return Status::Ok();
}

void PosixLoop::HandlerDone() {
  if (after_each_) after_each_();
}

void PosixLoop::FireDueTimers() {
  // Every timer fires at most once per pass: it is rescheduled past `now` before its handler
  // runs, so a handler may stop or restart any timer, its own included.
  const std::int64_t now = NowNs();
  while (!quit_.load()) {
    Timer* due = nullptr;
    for (Timer& timer : timers_) {
      if (timer.enabled && timer.deadline_ns <= now &&
          (due == nullptr || timer.deadline_ns < due->deadline_ns)) {
        due = &timer;
      }
    }
    if (due == nullptr) return;
    due->deadline_ns += due->interval_ns;
    if (due->deadline_ns <= now) {
      const std::int64_t missed = (now - due->deadline_ns) / due->interval_ns + 1;
      due->deadline_ns += missed * due->interval_ns;
    }
    due->on_fire();
    HandlerDone();
  }
}

void PosixLoop::RunPostedTasks() {
  std::uint64_t count = 0;
  [[maybe_unused]] ssize_t got = read(wake_fd_, &count, sizeof count);
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    tasks.swap(posted_);
  }
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    if (quit_.load()) {
      // Keep what has not run, in order, ahead of anything posted meanwhile.
      std::lock_guard<std::mutex> lock(posted_mutex_);
      posted_.insert(posted_.begin(), std::make_move_iterator(tasks.begin() + i),
                     std::make_move_iterator(tasks.end()));
      return;
    }
    tasks[i]();
    HandlerDone();
  }
}

void PosixLoop::DrainSignals() {
  unsigned char numbers[16];
  for (;;) {
    const ssize_t got = read(signal_read_fd_, numbers, sizeof numbers);
    if (got <= 0) return;
    for (ssize_t i = 0; i < got && !quit_.load(); ++i) {
      if (on_signal_) on_signal_(numbers[i]);
      HandlerDone();
    }
  }
}

void PosixLoop::DispatchWatches(const std::vector<pollfd>& fds, const std::vector<WatchId>& ids) {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (quit_.load()) return;
    if (fds[i].revents == 0) continue;
    // An earlier handler of this pass may have removed this watch.
    const auto found = watches_.find(ids[i]);
    if (found == watches_.end()) continue;
    const auto on_ready = found->second.on_ready;  // survives an Unwatch from inside itself
    (*on_ready)();
    HandlerDone();
  }
}

void PosixLoop::Run() {
  std::vector<pollfd> fds;
  std::vector<WatchId> ids;
  while (status_.ok() && !quit_.load()) {
    fds.clear();
    ids.clear();
    for (const auto& [id, watch] : watches_) {
      fds.push_back(pollfd{watch.fd, watch.events, 0});
      ids.push_back(id);
    }
    const std::size_t wake_index = fds.size();
    fds.push_back(pollfd{wake_fd_, POLLIN, 0});
    if (signal_read_fd_ >= 0) fds.push_back(pollfd{signal_read_fd_, POLLIN, 0});

    std::int64_t next_deadline = std::numeric_limits<std::int64_t>::max();
    for (const Timer& timer : timers_) {
      if (timer.enabled) next_deadline = std::min(next_deadline, timer.deadline_ns);
    }
    timespec timeout{};
    timespec* timeout_ptr = nullptr;
    if (next_deadline != std::numeric_limits<std::int64_t>::max()) {
      const std::int64_t wait_ns = std::max<std::int64_t>(0, next_deadline - NowNs());
      timeout.tv_sec = static_cast<time_t>(wait_ns / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(wait_ns % 1'000'000'000);
      timeout_ptr = &timeout;
    }

    const int ready = ppoll(fds.data(), fds.size(), timeout_ptr, nullptr);
    if (ready < 0 && errno != EINTR) {
      status_ = Status::Error(std::string("event loop: ppoll failed: ") + std::strerror(errno));
      break;
    }
    if (ready < 0) continue;

    FireDueTimers();
    if (signal_read_fd_ >= 0 && fds.back().revents != 0) DrainSignals();
    if (fds[wake_index].revents != 0) RunPostedTasks();
    DispatchWatches(fds, ids);
  }
  quit_.store(false);
}

}  // namespace horatone
