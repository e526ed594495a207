// Test helpers for the radio node: a real rigctld (the dummy rig, PTT through the rig) on a
// free loopback port, a second client that asks it what the rig is doing, and a stand-in for
// the loop thread that runs what the node posts. Every wait is bounded.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "test_support/posix_io.h"

namespace horatone::testing {

inline int FreeLoopbackPort() {
  int port = 0;
  if (const int fd = BindLoopback(SOCK_STREAM, &port); fd >= 0) close(fd);
  return port;
}

// rigctld with the dummy rig, PTT through the rig, on 127.0.0.1:port.
class Rigctld {
 public:
  explicit Rigctld(int port) : port_(port) { Start(); }
  ~Rigctld() { Stop(); }

  bool Start() {
    pid_ =
        Spawn({"rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", std::to_string(port_)});
    // Up once it answers; at most five seconds.
    for (int i = 0; pid_ > 0 && i < 250; ++i) {
      if (Ptt()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);  // gone at once, as a crash would leave it
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  bool running() const { return pid_ > 0; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  // What the rig itself says of its PTT: "1", "0", or nullopt when rigctld does not answer.
  std::optional<std::string> Ptt() const {
    const int fd = ConnectLoopback(port_);
    std::optional<std::string> reply;
    if (fd >= 0 && WriteAll(fd, "t\n")) reply = Lines(fd).Next(std::chrono::seconds(2));
    if (fd >= 0) close(fd);
    return reply;
  }

 private:
  int port_;
  pid_t pid_ = -1;
};

// The loop thread's part: tasks posted from other threads, run on the test's thread.
class PostedTasks {
 public:
  std::function<void(std::function<void()>)> Poster() {
    return [this](std::function<void()> task) {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    };
  }
  void RunPending() {
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard lock(mutex_);
      tasks.swap(tasks_);
    }
    for (auto& task : tasks) task();
  }
  // Runs posted tasks until `done` holds; false after `limit`.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < give_up) {
      RunPending();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    RunPending();
    return done();
  }
  // Runs posted tasks for a while, for checks that something does NOT happen.
  void RunFor(std::chrono::milliseconds span) {
    RunUntil([] { return false; }, span);
  }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace horatone::testing
