// Test helpers for the radio node: a real rigctld (the dummy rig, PTT through the rig) on a
// free loopback port, a second client that asks it what the rig is doing, and a stand-in for
// the loop thread that runs what the node posts. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace horatone::testing {

inline int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// One line exchanged with rigctld over a fresh connection: the reply's first line, or nullopt.
inline std::optional<std::string> AskRigctld(int port, const std::string& command) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::optional<std::string> reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string line = command + "\n";
    if (write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
      std::string text;
      char c;
      while (read(fd, &c, 1) == 1 && c != '\n') text.push_back(c);
      reply = text;
    }
  }
  close(fd);
  return reply;
}

// rigctld with the dummy rig, PTT through the rig, on 127.0.0.1:port.
class Rigctld {
 public:
  explicit Rigctld(int port) : port_(port) { Start(); }
  ~Rigctld() { Stop(); }

  bool Start() {
    const std::string port = std::to_string(port_);
    std::vector<std::string> args = {"rigctld", "-m",        "1",  "-P", "RIG",
                                     "-T",      "127.0.0.1", "-t", port};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int failed = posix_spawnp(&pid_, "rigctld", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) {
      pid_ = -1;
      return false;
    }
    // Up once it answers; at most five seconds.
    for (int i = 0; i < 250; ++i) {
      if (AskRigctld(port_, "t")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  bool running() const { return pid_ > 0; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  // What the rig itself says of its PTT: "1", "0", or nullopt when rigctld does not answer.
  std::optional<std::string> Ptt() const { return AskRigctld(port_, "t"); }

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
