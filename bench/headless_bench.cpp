// The headless clock as a service runs it: the real binary with its node on stdio, the null
// output and a capture. Measures how soon the first sample goes on air after the slot second
// and after a DTMF line, the CPU it uses idle and while announcing, and its memory. The
// capture starts with the process, so a frame index is a moment of the clock's own time.
// Also the TCP bridge door as a node program meets it: its key, AUTH, then a DTMF line and
// the TRANSMIT 1 that answers it.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_child.h"
#include "bench_voice.h"
#include "test_support/posix_io.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using namespace std::chrono_literals;

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
  std::vector<std::string> Args(const std::string& start_at, const std::string& capture,
                                const std::string& node = "stdio") const {
    std::vector<std::string> args = {HORATONE_BINARY, "--headless", "--root",  dir.path().string(),
                                     "--node",        node,         "--audio", "null",
                                     "--start-at",    start_at};
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
    // Capture frame 0 is when the output opened, before the start-up line is logged: taking
    // that line's stamp for it counts every figure below high, never low.
    std::vector<double> starts;  // clock ms of each announcement's start
    double frame0_ms = 0;
    for (const std::string& line : log) {
      if (line.find("starting") != std::string::npos) frame0_ms = StampMs(line, kStart);
      if (line.find("announcement: ") != std::string::npos) starts.push_back(StampMs(line, kStart));
    }
    startup_ms = std::max(startup_ms, frame0_ms);
    const auto onsets = Onsets(root.dir.path() / capture);
    if (onsets.size() != starts.size() || onsets.empty()) {
      std::printf("run %d: %zu onsets for %zu announcements; skipped\n", run, onsets.size(),
                  starts.size());
      continue;
    }
    const auto onset_ms = [&](std::size_t i) {
      return frame0_ms + static_cast<double>(onsets[i]) * 1000 / bench::kRate;
    };
    slot.push_back(onset_ms(0) - 3000);
    for (std::size_t i = 1; i < onsets.size(); ++i) dtmf.push_back(onset_ms(i) - starts[i]);
  }
  if (slot.empty()) return;
  std::printf(
      "| on air after the slot second (headless, null output, %zu runs) | median %.1f ms, max "
      "%.1f ms | <= 20 ms |\n",
      slot.size(), Median(slot), *std::max_element(slot.begin(), slot.end()));
  std::printf(
      "| on air after a DTMF line is read (%zu lines) | median %.1f ms, max %.1f ms | <= 10 ms |\n",
      dtmf.size(), Median(dtmf), *std::max_element(dtmf.begin(), dtmf.end()));
  std::printf(
      "(capture frame 0 is taken as the start-up log line's time, at most %.0f ms after "
      "the clock's start; DTMF times are from the log stamp of the announcement's start, "
      "1 ms steps)\n",
      startup_ms);
}

// The TCP door: a node that connects, sends AUTH with the key from the system directory, then
// DTMF lines, each timed from its write to the TRANSMIT 1 that answers it; then the same on a
// fresh connection each time (connect, AUTH and the line in one write).
void BridgeLatency() {
  constexpr int kOpen = 10, kFresh = 6;
  Root root;
  Child child(root.Args("2026-12-06 14:01:00", "", "listen:0"));
  int port = 0;
  for (int tries = 0; tries < 500 && port == 0; ++tries) {
    for (const std::string& line : child.Log()) {
      const std::size_t at = line.find("127.0.0.1:");
      if (at != std::string::npos && line.find("waiting for the node") != std::string::npos) {
        port = std::atoi(line.c_str() + at + 10);
      }
    }
    std::this_thread::sleep_for(10ms);
  }
  if (port == 0) {
    std::printf("bridge: the clock did not listen; skipped\n");
    return;
  }
  std::string key = testing::ReadBytes(root.dir.path() / "horatone-node.key");
  while (!key.empty() && (key.back() == '\n' || key.back() == '\r')) key.pop_back();
  const std::string auth = "AUTH " + key + "\n";
  // Milliseconds from `since` (before writing `bytes` on `fd`) to the TRANSMIT 1 read back;
  // -1 if none came.
  const auto timed = [](std::chrono::steady_clock::time_point sent, int fd, testing::Lines& lines,
                        const std::string& bytes) {
    if (!testing::WriteAll(fd, bytes)) return -1.0;
    while (auto line = lines.Next(5s)) {
      if (*line == "TRANSMIT 1") {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent)
            .count();
      }
    }
    return -1.0;
  };
  // Reads what the announcement sends until the clock has logged its end.
  const auto drain = [&child](testing::Lines& lines) {
    const auto ended = [&child] {
      const auto log = child.Log();
      return std::count_if(log.begin(), log.end(), [](const std::string& line) {
        return line.find("transmitter PTT OFF") != std::string::npos;
      });
    };
    const auto before = ended();
    const auto until = std::chrono::steady_clock::now() + 8s;
    while (std::chrono::steady_clock::now() < until && ended() == before) lines.Next(50ms);
    for (const auto quiet = std::chrono::steady_clock::now() + 300ms;
         std::chrono::steady_clock::now() < quiet;) {
      lines.Next(50ms);
    }
  };
  std::vector<double> open, fresh;
  {
    const int fd = testing::ConnectLoopback(port);
    testing::Lines lines(fd);
    testing::WriteAll(fd, auth);
    for (int i = 0; i < kOpen; ++i) {
      const double ms = timed(std::chrono::steady_clock::now(), fd, lines, "DTMF 123\n");
      if (ms >= 0) open.push_back(ms);
      drain(lines);
    }
    close(fd);
  }
  for (int i = 0; i < kFresh; ++i) {
    std::this_thread::sleep_for(200ms);  // the old connection's end has been read
    const auto start = std::chrono::steady_clock::now();
    const int fd = testing::ConnectLoopback(port);
    testing::Lines lines(fd);
    if (const double ms = timed(start, fd, lines, auth + "DTMF 123\n"); ms >= 0) {
      fresh.push_back(ms);
    }
    drain(lines);
    if (i + 1 == kFresh) testing::WriteAll(fd, "CLOSING\n");
    close(fd);
  }
  child.Wait();
  if (open.empty() || fresh.empty()) {
    std::printf("bridge: %zu of %d and %zu of %d codes answered; skipped\n", open.size(), kOpen,
                fresh.size(), kFresh);
    return;
  }
  std::printf(
      "| bridge on TCP: DTMF line -> TRANSMIT 1 read back (%zu lines) | median %.2f ms, max "
      "%.2f ms | |\n",
      open.size(), Median(open), *std::max_element(open.begin(), open.end()));
  std::printf(
      "| bridge on TCP: connect, AUTH and DTMF line -> TRANSMIT 1 (%zu connections) | median "
      "%.2f ms, max %.2f ms | |\n",
      fresh.size(), Median(fresh), *std::max_element(fresh.begin(), fresh.end()));
}

void CpuAndMemory(int idle_seconds, int busy_seconds) {
  Root root;
  // No slot for the next quarter of an hour.
  Child child(root.Args("2026-12-06 14:01:00", ""));
  std::this_thread::sleep_for(2s);
  double cpu = child.CpuSeconds();
  auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const double idle =
      100 * (child.CpuSeconds() - cpu) /
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const long idle_rss = child.StatusKb("VmRSS");

  cpu = child.CpuSeconds();
  started = std::chrono::steady_clock::now();
  for (int s = 0; s < busy_seconds; s += 3) {
    child.Send("DTMF 123\n");
    std::this_thread::sleep_for(3s);
  }
  const double busy =
      100 * (child.CpuSeconds() - cpu) /
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

// The idle clock with its web page served and nobody looking at it, beside the same clock
// without the page over the same minute, so that both meet the same machine.
void IdleWithWebPage(int idle_seconds) {
  Root plain_root, web_root;
  int port = 0;
  {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port = ntohs(address.sin_port);
    }
    ::close(probe);
  }
  std::vector<std::string> args = web_root.Args("2026-12-06 14:01:00", "");
  args.push_back("--web");
  args.push_back("127.0.0.1:" + std::to_string(port));
  Child plain(plain_root.Args("2026-12-06 14:01:00", ""));
  Child web(args);
  web.WaitForLog("web page on", 5s);
  std::this_thread::sleep_for(2s);
  const double plain_cpu = plain.CpuSeconds(), web_cpu = web.CpuSeconds();
  const auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double plain_idle = 100 * (plain.CpuSeconds() - plain_cpu) / seconds;
  const double web_idle = 100 * (web.CpuSeconds() - web_cpu) / seconds;
  const long plain_rss = plain.StatusKb("VmRSS"), web_rss = web.StatusKb("VmRSS");

  // One page open: its live status, read as a browser would, over a quarter of the time.
  const int page = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port));
  double open_cpu_percent = -1;
  long open_rss = -1;
  if (::connect(page, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    const std::string ask = "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                            "\r\nAccept: text/event-stream\r\n\r\n";
    if (::write(page, ask.data(), ask.size()) == static_cast<ssize_t>(ask.size())) {
      std::atomic<bool> reading{true};
      std::thread reader([&] {
        char buffer[65536];
        while (reading && ::read(page, buffer, sizeof buffer) > 0) {
        }
      });
      std::this_thread::sleep_for(2s);
      const double before = web.CpuSeconds();
      const auto from = std::chrono::steady_clock::now();
      std::this_thread::sleep_for(std::chrono::seconds(std::max(idle_seconds / 4, 5)));
      open_cpu_percent =
          100 * (web.CpuSeconds() - before) /
          std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
      open_rss = web.StatusKb("VmRSS");
      reading = false;
      ::shutdown(page, SHUT_RDWR);
      reader.join();
    }
  }
  ::close(page);
  for (Child* child : {&plain, &web}) {
    child->Send("CLOSING\n");
    child->Wait();
  }
  std::printf(
      "| CPU, headless idle with --web on and nobody connected, over %d s | %.3f %% of one "
      "core (without the page, same minute: %.3f %%) | <= 0.1 %% |\n",
      idle_seconds, web_idle, plain_idle);
  std::printf("| RSS, headless idle with --web on | %.1f MB (without: %.1f MB) | |\n",
              web_rss / 1024.0, plain_rss / 1024.0);
  std::printf("| CPU and RSS, headless with one page's live status open | %.2f %% of one core, "
              "%.1f MB | |\n",
              open_cpu_percent, open_rss / 1024.0);
}

}  // namespace
}  // namespace horatone

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const int idle = argc > 1 ? std::atoi(argv[1]) : 60;
  // "web" as the second argument measures only the idle clock with its web page.
  if (argc > 2 && std::string(argv[2]) == "web") {
    horatone::IdleWithWebPage(idle);
    return 0;
  }
  // "bridge" as the second argument measures only the TCP bridge door.
  if (argc > 2 && std::string(argv[2]) == "bridge") {
    horatone::BridgeLatency();
    return 0;
  }
  horatone::Latency();
  horatone::BridgeLatency();
  horatone::CpuAndMemory(idle, 30);
  horatone::IdleWithWebPage(idle);
}
