// A program under measurement as a child process: its standard input to write to, its error
// stream collected line by line (each with the steady time it arrived), its CPU time from the
// scheduler's own accounting, and its memory.
#pragma once

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace horatone {

using namespace std::chrono_literals;

// CPU time of all threads of a process, from the scheduler's own accounting.
inline double CpuSecondsOf(pid_t pid) {
  double total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
    long long ns = 0;
    if (stat >> ns) total += static_cast<double>(ns) / 1e9;
  }
  closedir(dir);
  return total;
}

class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_reader_ = ReadLines(out[0], &out_);
    err_reader_ = ReadLines(err[0], &err_);
  }
  ~Child() { Wait(); }

  void Send(const std::string& line) {
    [[maybe_unused]] ssize_t n = write(in_, line.data(), line.size());
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& [line, at] : err_) lines.push_back(line);
    return lines;
  }
  // The lines of Log(), each with the steady time it arrived.
  std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> LogLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
  }
  pid_t pid() const { return pid_; }
  // The lines on its standard output, each with the steady time it arrived.
  std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> Output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
  }
  bool WaitForLog(const std::string& text, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      for (const std::string& line : Log()) {
        if (line.find(text) != std::string::npos) return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  double CpuSeconds() const { return CpuSecondsOf(pid_); }
  // A line of /proc/PID/status, such as VmRSS, in kB.
  long StatusKb(const std::string& key) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    }
    return -1;
  }
  int Wait() {
    if (in_ >= 0) close(in_);
    in_ = -1;
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    if (out_reader_.joinable()) out_reader_.join();
    if (err_reader_.joinable()) err_reader_.join();
    return status;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  std::thread out_reader_, err_reader_;
  std::mutex mutex_;
  using StampedLines = std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>>;
  // A thread that collects the lines arriving on `fd`, each with its time, until it closes.
  std::thread ReadLines(int fd, StampedLines* into) {
    return std::thread([this, fd, into] {
      // Stamped in real time where it may, so that busy cores do not make the stamps late.
      sched_param param{};
      param.sched_priority = 10;
      pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &param);
      std::string pending;
      char buffer[4096];
      ssize_t n;
      while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t lf; (lf = pending.find('\n')) != std::string::npos;) {
          std::lock_guard<std::mutex> lock(mutex_);
          into->emplace_back(pending.substr(0, lf), std::chrono::steady_clock::now());
          pending.erase(0, lf + 1);
        }
      }
      close(fd);
    });
  }

  StampedLines out_, err_;
};

}  // namespace horatone
