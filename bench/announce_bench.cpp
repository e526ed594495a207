// Joins between clips as they go on air in real announcements: the window model with the
// real audio engine on its virtual output, pumped frame by frame in step with the virtual
// loop, so that 100 announcements take a second and every tick lands where the loop puts it.
// The capture is then cut into runs: each clip is a steady level of its own, so a join is a
// change of level, and any silence between two clips of one announcement is a gap.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "bench_voice.h"
#include "sound/audio_engine.h"
#include "test_support/fakes.h"

namespace horatone {
namespace {

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

void JoinsOfRealAnnouncements() {
  constexpr int kAnnouncements = 100, kClipsEach = 5;
  TempDir dir;
  PathMapper mapper(dir.path());
  bench::WriteLevelVoice(dir.path() / "C" / "Program Files" / "Horatone");
  std::ofstream(dir.path() / "Horatone.ini") << "[SETTINGS]\nCHECK1=0\nCHECK2=1\nAMPM=1\n"
                                                  "ONHOUR=0\nQUARTERHOUR=0\nHALFHOUR=0\n";
  AudioEngineOptions options;
  options.backend = "virtual";
  options.capture_file = dir.path() / "air.wav";
  std::unique_ptr<AudioEngine> engine = AudioEngine::Open(mapper, options).value();

  VirtualLoop loop;
  VirtualClock clock(loop, {2026, 12, 6, 14, 20, 10, 0});
  IniProfileFile profile(mapper, "Horatone.ini");
  SimulatedNode node(loop);
  ScriptedDialogs dialogs;
  RecordingShell shell;
  LoopEnd end(loop);
  std::int64_t pumped_ms = 0;
  loop.on_time_moved = [&](std::int64_t now) {
    engine->Pump((now - pumped_ms) * bench::kRate / 1000);
    pumped_ms = now;
  };
  Form1 form(Form1Services{loop, clock, *engine, node, profile, dialogs, shell, end});
  form.Load();
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < kAnnouncements; ++i) {
    loop.AdvanceBy(2000);
    form.Command29.Click();
    loop.AdvanceBy(18000);
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  bench::Must(engine->FinalizeCapture());

  const auto runs = bench::Runs(testing::ReadClip(dir.path() / "air.wav"));
  std::vector<double> gaps;
  for (std::size_t i = 1; i + 1 < runs.size(); ++i) {
    if (runs[i].value != 0.0f && runs[i - 1].value != 0.0f) gaps.push_back(0);  // level change
    if (runs[i].value == 0.0f && runs[i - 1].value != 0.0f && runs[i + 1].value != 0.0f &&
        runs[i].frames < bench::kRate / 2) {
      gaps.push_back(static_cast<double>(runs[i].frames));
    }
  }
  if (gaps.empty()) {
    std::printf("join gap: no joins found\n");
    return;
  }
  const double zero = static_cast<double>(std::count(gaps.begin(), gaps.end(), 0.0));
  const double max = *std::max_element(gaps.begin(), gaps.end());
  std::printf(
      "| join gap, real announcements (window model + engine, virtual time) | %zu of %d joins: "
      "median %.0f, p99 %.0f, max %.0f samples (%.2f ms); %.1f%% without a gap | 0 in >= 99%%, "
      "never > 5 ms |\n",
      gaps.size(), kAnnouncements * (kClipsEach - 1), Percentile(gaps, 0.5),
      Percentile(gaps, 0.99), max, max * 1000 / bench::kRate, 100 * zero / gaps.size());
  std::printf("(100 announcements, 2000 s of virtual time, took %.2f s)\n", wall);
}

}  // namespace
}  // namespace horatone

int main() { horatone::JoinsOfRealAnnouncements(); }
