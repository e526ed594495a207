// A private PulseAudio server for tests of the real sound path: its own folder and socket, one
// null sink "air" in 32-bit float (so that what the clock sends arrives unchanged), no
// autospawn, and on request the sink suspended after one idle second. Started and stopped by pid.
// Beside it, a recorder of the sink's monitor that stamps each piece with the time it arrived, a
// description of how a recording differs from what was sent, and the busy loops that load every
// core while a test runs.
#pragma once

#include <pthread.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support/posix_io.h"

namespace horatone::testing {

using SteadyTime = std::chrono::steady_clock::time_point;

inline bool HavePulseAudio() { return std::system("command -v pulseaudio >/dev/null 2>&1") == 0; }
// ALSA's pulse plug-in (Debian: libasound2-plugins), which takes ALSA's "pulse" device there.
inline bool HaveAlsaPulsePlugin() {
  return std::system("ls /usr/lib/*/alsa-lib/libasound_module_pcm_pulse.so >/dev/null 2>&1") == 0;
}

// A thread that stamps what it sees runs in real time where it may (below the clock's audio
// thread), so that busy cores do not make its stamps late; so does the sound library's thread
// that it starts, which carries the sound to it.
inline void StampPromptly() {
  sched_param param{};
  param.sched_priority = 10;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

// How many threads of process `pid` named `name` run at normal priority, not in real time.
inline int ThreadsAtNormalPriority(pid_t pid, const std::string& name) {
  int count = 0;
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    if (comm != name) continue;
    const int policy = sched_getscheduler(std::stoi(task.path().filename().string()));
    if (policy >= 0 && (policy & ~SCHED_RESET_ON_FORK) != SCHED_FIFO &&
        (policy & ~SCHED_RESET_ON_FORK) != SCHED_RR) {
      ++count;
    }
  }
  return count;
}

class PulseServer {
 public:
  // `suspend_idle_sink`: the sink is suspended after one idle second. PulseAudio's null sink
  // then stalls for about two seconds when it resumes, so only the test of idling asks for it.
  // The server logs in detail, so that a stream of a client that ran dry is on record.
  explicit PulseServer(std::filesystem::path dir, bool suspend_idle_sink = false)
      : dir_(std::move(dir)) {
    std::filesystem::create_directories(dir_);
    // The sink first, as a desktop's server has its devices before it takes clients.
    std::ofstream(dir_ / "server.pa")
        << "load-module module-null-sink sink_name=air format=float32le rate=48000 channels=2\n"
        << "set-default-sink air\n"
        << (suspend_idle_sink ? "load-module module-suspend-on-idle timeout=1\n" : "")
        << "load-module module-native-protocol-unix socket=" << Socket().string()
        << " auth-anonymous=1\n";
    // Every program the test starts from here on finds this server and no other.
    setenv("PULSE_SERVER", ("unix:" + Socket().string()).c_str(), 1);
  }
  ~PulseServer() { Kill(SIGKILL); }

  std::filesystem::path Socket() const { return dir_ / "native"; }

  // Starts the daemon and waits until it answers; false if it does not within ten seconds.
  bool Start() {
    const std::string home = dir_.string();
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    std::filesystem::remove(Socket());
    pid_ = Spawn({"pulseaudio", "-n", "-F", (dir_ / "server.pa").string(), "--daemonize=no",
                  "--exit-idle-time=-1", "--use-pid-file=no", "--disallow-exit=yes",
                  "--log-target=stderr", "--log-level=debug", "--log-time=true"},
                 -1, -1, (dir_ / "server.log").string());
    for (int i = 0; i < 200; ++i, usleep(50'000)) {
      if (SinkState() != "") return true;
    }
    return false;
  }

  void Kill(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    if (signal == SIGKILL || signal == SIGTERM) {
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  pid_t pid() const { return pid_; }

  // The server's reports of a client's stream that ran dry while it played (the sink then
  // played silence for it), each with the time since the server started.
  std::vector<std::string> Underruns() const {
    std::vector<std::string> found;
    std::ifstream log(dir_ / "server.log");
    for (std::string line; std::getline(log, line);) {
      if (line.find("Implicit underrun") != std::string::npos) found.push_back(line);
    }
    return found;
  }

  // "RUNNING", "IDLE" or "SUSPENDED"; empty when the server does not answer.
  std::string SinkState() const {
    FILE* pipe = popen("pactl list short sinks 2>/dev/null", "r");
    if (pipe == nullptr) return "";
    char line[512];
    std::string state;
    while (fgets(line, sizeof line, pipe) != nullptr) {
      std::string text(line);
      if (text.find("\tair\t") == std::string::npos) continue;
      const std::size_t tab = text.find_last_of('\t');
      state = text.substr(tab + 1);
      while (!state.empty() && (state.back() == '\n' || state.back() == ' ')) state.pop_back();
    }
    pclose(pipe);
    return state;
  }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

// Records the monitor of "air" in 10 ms pieces, in float, from construction to Stop(). The
// stream is opened on the recording thread, so that the library's thread it starts takes its
// priority.
class MonitorRecorder {
 public:
  MonitorRecorder() {
    std::promise<bool> opened;
    std::future<bool> ok = opened.get_future();
    thread_ = std::thread([this, opened = std::move(opened)]() mutable { Run(opened); });
    if (!ok.get()) thread_.join();
  }
  ~MonitorRecorder() { Stop(); }
  bool ok() const { return stream_ != nullptr; }

  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (stream_ != nullptr) pa_simple_free(stream_);
    stream_ = nullptr;
  }

  // The arrival time of the last piece that held a sample other than zero.
  SteadyTime LastSoundArrival() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_sound_;
  }
  std::vector<float> Samples() {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
  }
  // When the first (last) sample other than zero came out of the server after (before) `t`:
  // its piece's arrival, less the frames that followed it in the piece.
  std::optional<SteadyTime> FirstSoundAfter(SteadyTime t) { return FindSound(t, true); }
  std::optional<SteadyTime> LastSoundBefore(SteadyTime t) { return FindSound(t, false); }

 private:
  std::optional<SteadyTime> FindSound(SteadyTime t, bool first) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<SteadyTime> found;
    for (std::size_t p = 0; p < arrivals_.size(); ++p) {
      if (first ? arrivals_[p] <= t : arrivals_[p] > t) continue;
      for (std::size_t f = 0; f < kPieceFrames; ++f) {
        const std::size_t frame = first ? f : kPieceFrames - 1 - f;
        const float* s = &samples_[(p * kPieceFrames + frame) * 2];
        if (s[0] == 0.0f && s[1] == 0.0f) continue;
        const auto later =
            std::chrono::microseconds((kPieceFrames - 1 - frame) * 1'000'000 / 48000);
        found = arrivals_[p] - later;
        break;
      }
      if (found && first) return found;
    }
    return found;
  }

  void Run(std::promise<bool>& opened) {
    StampPromptly();
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = 480 * 2 * sizeof(float);
    int error = 0;
    stream_ = pa_simple_new(nullptr, "horatone-test", PA_STREAM_RECORD, "air.monitor", "monitor",
                            &spec, nullptr, &attr, &error);
    opened.set_value(stream_ != nullptr);
    if (stream_ == nullptr) return;
    std::vector<float> piece(480 * 2);
    while (!stop_.load()) {
      if (pa_simple_read(stream_, piece.data(), piece.size() * sizeof(float), &error) < 0) return;
      const SteadyTime now = std::chrono::steady_clock::now();
      std::lock_guard<std::mutex> lock(mutex_);
      samples_.insert(samples_.end(), piece.begin(), piece.end());
      arrivals_.push_back(now);
      for (float sample : piece) {
        if (sample != 0.0f) {
          last_sound_ = now;
          break;
        }
      }
    }
  }

  pa_simple* stream_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  static constexpr std::size_t kPieceFrames = 480;
  std::vector<float> samples_;
  std::vector<SteadyTime> arrivals_;
  SteadyTime last_sound_{};
};

// The stretches of sound (interleaved stereo) apart by more than half a second of digital
// silence at 48 kHz: the announcements of a recording.
inline std::vector<std::vector<float>> SplitAtSilence(const std::vector<float>& data) {
  std::vector<std::vector<float>> parts;
  const auto sound = [&](std::size_t f) { return data[2 * f] != 0 || data[2 * f + 1] != 0; };
  for (std::size_t f = 0, frames = data.size() / 2; f < frames;) {
    if (!sound(f)) {
      ++f;
      continue;
    }
    std::size_t start = f, last = f;
    for (; f < frames && f - last <= 24000; ++f) last = sound(f) ? f : last;
    parts.emplace_back(data.begin() + 2 * start, data.begin() + 2 * (last + 1));
  }
  return parts;
}

// How `heard` (interleaved stereo at 48 kHz) differs from `sent`: how much is the same at the
// start and at the end, and what came out between them in place of what was sent, with how
// much of it was silence (what a stream that ran dry leaves). Empty when they are the same.
inline std::string DescribeDifference(const std::vector<float>& heard,
                                      const std::vector<float>& sent) {
  if (heard == sent) return "";
  const auto ms = [](std::size_t frames) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(1);
    text << static_cast<double>(frames) / 48.0 << " ms";
    return text.str();
  };
  const std::size_t heard_frames = heard.size() / 2, sent_frames = sent.size() / 2;
  const std::size_t shorter = std::min(heard_frames, sent_frames);
  const auto same = [&](std::size_t h, std::size_t s) {
    return heard[2 * h] == sent[2 * s] && heard[2 * h + 1] == sent[2 * s + 1];
  };
  std::size_t head = 0, tail = 0;
  while (head < shorter && same(head, head)) ++head;
  while (head + tail < shorter && same(heard_frames - 1 - tail, sent_frames - 1 - tail)) ++tail;
  const std::size_t came = heard_frames - head - tail, went = sent_frames - head - tail;
  std::size_t silent = 0, run = 0, longest = 0;
  for (std::size_t f = head; f < head + came; ++f) {
    const bool quiet = heard[2 * f] == 0 && heard[2 * f + 1] == 0;
    silent += quiet;
    run = quiet ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  std::ostringstream text;
  text << "the same for the first " << ms(head) << " and the last " << ms(tail)
       << "; between them ";
  if (came == 0) return text.str() + ms(went) + " of what was sent did not come out";
  text << ms(came) << " came out in place of " << ms(went) << " sent, ";
  if (silent == came) return text.str() + "all of it silence";
  if (silent == 0) return text.str() + "none of it silence";
  text << ms(silent) << " of it silence (" << ms(longest) << " at a stretch)";
  return text.str();
}

// One process per core spinning until the object goes.
class BusyCores {
 public:
  BusyCores() {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    for (long i = 0; i < cores; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        volatile unsigned long spin = 0;
        for (;;) spin = spin + 1UL;
      }
      pids_.push_back(pid);
    }
  }
  ~BusyCores() {
    for (pid_t pid : pids_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

 private:
  std::vector<pid_t> pids_;
};

}  // namespace horatone::testing
