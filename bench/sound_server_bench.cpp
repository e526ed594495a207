// The headless clock on a real sound server that the benchmark starts itself (PulseAudio with
// a null sink, its monitor recorded with the time each piece came out): whether what leaves the
// server is the capture with every core busy, how soon the first sample leaves after a DTMF line
// and after the slot second, how long after the last sample the node hears the release, and
// what the clock and the server cost while idle. `sound_server_bench [idle seconds]`.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bench_child.h"
#include "bench_voice.h"
#include "sound/audio_files.h"
#include "test_support/sound_server.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using testing::SteadyTime;

double Ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Stats {
  std::vector<double> values;
  void Add(double v) { values.push_back(v); }
  std::string Text() const {
    if (values.empty()) return "none";
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    char text[96];
    std::snprintf(text, sizeof text, "median %.1f ms, min %.1f, max %.1f (%zu)", v[v.size() / 2],
                  v.front(), v.back(), v.size());
    return text;
  }
};

// A system directory with a level voice and the full hour switched on.
struct Root {
  TempDir dir;
  Root() {
    bench::WriteLevelVoice(dir.path() / "C" / "Program Files" / "Horatone");
    std::ofstream(dir.path() / "Horatone.ini") << "[SETTINGS]\nCHECK1=0\nCHECK2=1\nONHOUR=1\n";
  }
  // With a capture, except for the idle figure: a service runs without one.
  std::vector<std::string> Args(const std::string& start_at, bool capture = true) const {
    // HORATONE_BENCH_AUDIO picks another way to the server, e.g. "alsa:pulse".
    const char* audio = std::getenv("HORATONE_BENCH_AUDIO");
    std::vector<std::string> args = {
        HORATONE_BINARY, "--headless", "--root",  dir.path().string(),
        "--node",        "stdio",      "--audio", audio ? audio : "pulse",
        "--start-at",    start_at};
    if (capture) args.insert(args.end(), {"--capture", (dir.path() / "air.wav").string()});
    return args;
  }
};

// When the clock's own time `clock_ms` (ms since midnight) was, in steady time: from the log
// lines, each stamped by the clock and seen by us a little later; the earliest sight wins.
std::optional<SteadyTime> SteadyOfClock(Child& child, double clock_ms) {
  std::optional<SteadyTime> best;
  for (const auto& [line, seen] : child.LogLines()) {
    int h, m, s, ms;
    if (std::sscanf(line.c_str(), "%*d-%*d-%*d %d:%d:%d.%d", &h, &m, &s, &ms) != 4) continue;
    const double stamp = ((h * 60.0 + m) * 60 + s) * 1000 + ms;
    const auto guess =
        seen + std::chrono::microseconds(static_cast<int64_t>((clock_ms - stamp) * 1000));
    if (!best || guess < *best) best = guess;
  }
  return best;
}

// Releases the node heard: the arrival of each "TRANSMIT 0" after a "TRANSMIT 1".
std::vector<SteadyTime> Releases(Child& child) {
  std::vector<SteadyTime> releases;
  bool keyed = false;
  for (const auto& [line, at] : child.Output()) {
    if (line == "TRANSMIT 1") keyed = true;
    if (line == "TRANSMIT 0" && keyed) {
      releases.push_back(at);
      keyed = false;
    }
  }
  return releases;
}

// `server_name`: empty to start a private PulseAudio here; else the name of the server that
// PULSE_SERVER already points to (PipeWire's pipewire-pulse, say), with a sink "air".
void OnAir(bool loaded, int dtmf_count, const std::string& server_name) {
  TempDir server_dir;
  std::optional<testing::PulseServer> server;
  if (server_name.empty()) {
    server.emplace(server_dir.path());
    if (!server->Start()) {
      std::printf("(PulseAudio did not start)\n");
      return;
    }
  }
  const std::string label = server_name.empty() ? "PulseAudio 16.1" : server_name;
  Root root;
  testing::MonitorRecorder recorder;
  std::optional<testing::BusyCores> busy;
  if (loaded) busy.emplace();
  Child child(root.Args("2026-12-06 13:59:57"));
  std::this_thread::sleep_for(7s);  // the full hour and its announcement
  std::vector<SteadyTime> dtmf_sent;
  for (int i = 0; i < dtmf_count; ++i) {
    dtmf_sent.push_back(std::chrono::steady_clock::now());
    child.Send("DTMF 123\n");
    std::this_thread::sleep_for(4s);
  }
  const std::optional<SteadyTime> slot = SteadyOfClock(child, 14 * 3600 * 1000.0);
  child.Send("CLOSING\n");
  child.Wait();
  busy.reset();

  Stats dtmf, slot_delay, release;
  for (const SteadyTime sent : dtmf_sent) {
    if (auto first = recorder.FirstSoundAfter(sent)) dtmf.Add(Ms(*first - sent));
  }
  if (slot) {
    if (auto first = recorder.FirstSoundAfter(*slot - 1s)) slot_delay.Add(Ms(*first - *slot));
  }
  for (const SteadyTime released : Releases(child)) {
    if (auto last = recorder.LastSoundBefore(released)) release.Add(Ms(released - *last));
  }
  recorder.Stop();

  // What left the server against the capture, through the capture's own 16-bit conversion.
  testing::Samples heard;
  heard.rate = 48000;
  heard.channels = 2;
  heard.data = recorder.Samples();
  testing::WriteClip(root.dir.path() / "heard.wav", heard);
  const auto heard_parts =
      testing::SplitAtSilence(testing::ReadClip(root.dir.path() / "heard.wav").data);
  const auto sent_parts =
      testing::SplitAtSilence(testing::ReadClip(root.dir.path() / "air.wav").data);
  int same = 0;
  for (std::size_t i = 0; i < std::min(heard_parts.size(), sent_parts.size()); ++i) {
    same += heard_parts[i] == sent_parts[i];
  }
  int underruns = 0;
  for (const std::string& line : child.Log())
    underruns += line.find("underrun") != std::string::npos;

  const char* how = loaded ? "both cores busy" : "quiet machine";
  const char* name = label.c_str();
  std::printf(
      "| %s, %s: announcements that left the server sample for sample as "
      "captured | %d of %zu; underruns %d | all; none |\n",
      name, how, same, sent_parts.size(), underruns);
  std::printf(
      "| %s, %s: DTMF line -> first sample out of the server (stream at rest) "
      "| %s | <= 50 ms |\n",
      name, how, dtmf.Text().c_str());
  std::printf(
      "| %s, %s: slot second -> first sample out of the server | %s | <= 20 ms "
      "|\n",
      name, how, slot_delay.Text().c_str());
  std::printf("| %s, %s: last sample out of the server -> `TRANSMIT 0` | %s | > 0 |\n", name, how,
              release.Text().c_str());
}

void Idle(int seconds) {
  TempDir server_dir;
  testing::PulseServer server(server_dir.path(), /*suspend_idle_sink=*/true);
  if (!server.Start()) return;
  Root root;
  Child child(root.Args("2026-12-06 14:01:00", /*capture=*/false));
  child.Send("DTMF 123\n");
  std::this_thread::sleep_for(8s);  // one announcement, then rest
  const double clock_before = child.CpuSeconds(), server_before = CpuSecondsOf(server.pid());
  const auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double span =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double clock = 100 * (child.CpuSeconds() - clock_before) / span;
  const double server_cpu = 100 * (CpuSecondsOf(server.pid()) - server_before) / span;
  const std::string state = server.SinkState();
  child.Send("CLOSING\n");
  child.Wait();
  std::printf(
      "| PulseAudio, idle %d s after an announcement: CPU of the clock / of the server; "
      "the sink | %.3f %% / %.3f %%; %s | <= 0.1 %% each; suspended |\n",
      seconds, clock, server_cpu, state.c_str());
}

}  // namespace
}  // namespace horatone

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const int idle = argc > 1 ? std::atoi(argv[1]) : 60;
  if (!horatone::testing::HavePulseAudio()) {
    std::printf("(pulseaudio is not installed: no sound-server rows)\n");
    return 0;
  }
  // HORATONE_BENCH_SERVER names a server already running at PULSE_SERVER (e.g. "PipeWire
  // 0.3.65"); only the on-air rows are measured on it.
  if (const char* other = std::getenv("HORATONE_BENCH_SERVER")) {
    horatone::OnAir(false, 6, other);
    horatone::OnAir(true, 6, other);
    return 0;
  }
  horatone::OnAir(false, 6, "");
  horatone::OnAir(true, 6, "");
  horatone::Idle(idle);
}
