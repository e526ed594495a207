// The headless clock as a service runs it: the real binary with its node on stdio, the null
// output and a capture. Measures how soon the first sample goes on air after the slot second
// and after a DTMF line, the CPU it uses idle and while announcing, and its memory. The
// capture starts with the process, so a frame index is a moment of the clock's own time.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_voice.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using namespace std::chrono_literals;

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
    out_reader_ = std::thread([fd = out[0]] {
      char buffer[4096];
      while (read(fd, buffer, sizeof buffer) > 0) {
      }
      close(fd);
    });
    err_reader_ = std::thread([this, fd = err[0]] {
      std::string pending;
      char buffer[4096];
      ssize_t n;
      while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t lf; (lf = pending.find('\n')) != std::string::npos;) {
          std::lock_guard<std::mutex> lock(mutex_);
          log_.push_back(pending.substr(0, lf));
          pending.erase(0, lf + 1);
        }
      }
      close(fd);
    });
  }
  ~Child() { Wait(); }

  void Send(const std::string& line) {
    [[maybe_unused]] ssize_t n = write(in_, line.data(), line.size());
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
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
  // CPU time of all threads, from the scheduler's own accounting.
  double CpuSeconds() const {
    double total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
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
  std::vector<std::string> log_;
};

// Milliseconds from 2026-12-06 `start` (HH:MM:SS) to a log line's stamp on the same day.
double StampMs(const std::string& line, int start_seconds) {
  int h, m, s, ms;
  if (std::sscanf(line.c_str(), "%*d-%*d-%*d %d:%d:%d.%d", &h, &m, &s, &ms) != 4) return -1;
  return ((h * 60 + m) * 60 + s - start_seconds) * 1000.0 + ms;
}

struct Root {
  TempDir dir;
  Root() {
    bench::WriteLevelVoice(dir.path() / "C" / "Program Files" / "Horatone");
    std::ofstream(dir.path() / "Horatone.ini") << "[SETTINGS]\nCHECK1=0\nCHECK2=1\nAMPM=1\n";
  }
  std::vector<std::string> Args(const std::string& start_at, const std::string& capture) const {
    std::vector<std::string> args = {HORATONE_BINARY, "--headless", "--root", dir.path().string(),
                                     "--node", "stdio", "--audio", "null", "--start-at", start_at};
    if (!capture.empty()) {
      args.push_back("--capture");
      args.push_back((dir.path() / capture).string());
    }
    return args;
  }
};

// First frames of sound after at least half a second of silence.
std::vector<int64_t> Onsets(const std::filesystem::path& capture) {
  std::vector<int64_t> onsets;
  const auto runs = bench::Runs(testing::ReadClip(capture));
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].value == 0.0f) continue;
    if (i == 0 || (runs[i - 1].value == 0.0f && runs[i - 1].frames >= bench::kRate / 2)) {
      onsets.push_back(runs[i].first);
    }
  }
  return onsets;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void Latency() {
  constexpr int kRuns = 3, kDtmfPerRun = 3;
  constexpr int kStart = 13 * 3600 + 59 * 60 + 57;  // three seconds before 14:00:00
  Root root;
  std::vector<double> slot, dtmf;
  double startup_ms = 0;
  for (int run = 0; run < kRuns; ++run) {
    const std::string capture = "air" + std::to_string(run) + ".wav";
    std::vector<std::string> log;
    {
      Child child(root.Args("2026-12-06 13:59:57", capture));
      child.WaitForLog("announcement: the hour", 6s);
      std::this_thread::sleep_for(4s);
      for (int i = 0; i < kDtmfPerRun; ++i) {
        child.Send("DTMF 123\n");
        std::this_thread::sleep_for(4s);
      }
      child.Send("CLOSING\n");
      child.Wait();
      log = child.Log();
    }
    std::vector<double> starts;  // clock ms of each announcement's start
    for (const std::string& line : log) {
      if (line.find("starting") != std::string::npos) startup_ms = std::max(startup_ms, StampMs(line, kStart));
      if (line.find("announcement: ") != std::string::npos) starts.push_back(StampMs(line, kStart));
    }
    const auto onsets = Onsets(root.dir.path() / capture);
    if (onsets.size() != starts.size() || onsets.empty()) {
      std::printf("run %d: %zu onsets for %zu announcements; skipped\n", run, onsets.size(),
                  starts.size());
      continue;
    }
    slot.push_back(static_cast<double>(onsets[0]) * 1000 / bench::kRate - 3000);
    for (std::size_t i = 1; i < onsets.size(); ++i) {
      dtmf.push_back(static_cast<double>(onsets[i]) * 1000 / bench::kRate - starts[i]);
    }
  }
  if (slot.empty()) return;
  std::printf(
      "| on air after the slot second (headless, null output, %zu runs) | median %.1f ms, max "
      "%.1f ms | <= 20 ms |\n",
      slot.size(), Median(slot), *std::max_element(slot.begin(), slot.end()));
  std::printf(
      "| on air after a DTMF line is read (%zu lines) | median %.1f ms, max %.1f ms | <= 10 ms |\n",
      dtmf.size(), Median(dtmf), *std::max_element(dtmf.begin(), dtmf.end()));
  std::printf("(capture frame 0 is taken as the clock's start; the start-up log line came %.0f ms "
              "in; DTMF times are from the log stamp of the announcement's start, 1 ms steps)\n",
              startup_ms);
}

void CpuAndMemory(int idle_seconds, int busy_seconds) {
  Root root;
  // No slot for the next quarter of an hour.
  Child child(root.Args("2026-12-06 14:01:00", ""));
  std::this_thread::sleep_for(2s);
  double cpu = child.CpuSeconds();
  auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const double idle = 100 * (child.CpuSeconds() - cpu) /
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const long idle_rss = child.StatusKb("VmRSS");

  cpu = child.CpuSeconds();
  started = std::chrono::steady_clock::now();
  for (int s = 0; s < busy_seconds; s += 3) {
    child.Send("DTMF 123\n");
    std::this_thread::sleep_for(3s);
  }
  const double busy = 100 * (child.CpuSeconds() - cpu) /
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const long busy_rss = child.StatusKb("VmRSS"), peak = child.StatusKb("VmHWM");
  child.Send("CLOSING\n");
  child.Wait();
  std::printf("| CPU, headless idle over %d s (all threads) | %.3f %% of one core | <= 0.1 %% |\n",
              idle_seconds, idle);
  std::printf("| CPU, headless announcing back to back over %d s | %.2f %% of one core | |\n",
              busy_seconds, busy);
  std::printf("| RSS, headless | idle %.1f MB, announcing %.1f MB, peak %.1f MB | <= 15 MB |\n",
              idle_rss / 1024.0, busy_rss / 1024.0, peak / 1024.0);
}

}  // namespace
}  // namespace horatone

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const int idle = argc > 1 ? std::atoi(argv[1]) : 60;
  horatone::Latency();
  horatone::CpuAndMemory(idle, 30);
}
