// Benchmarks of the audio engine, in real time on the null output: the gap at the joins of
// announcement-like chains as captured on air, the cost of rendering a clip cold and cached,
// and the engine's CPU use idle and while playing. Prints one table; asserts nothing.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "bench_voice.h"
#include "sound/audio_engine.h"
#include "sound/audio_files.h"
#include "sound/clip_decoder.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

// 100 chains of five clips, each started by a 1 ms sequencer tick once the previous one reads
// its end, as the clock does; the gaps are counted in the captured output.
void JoinGaps(const std::filesystem::path& dir, const PathMapper& mapper) {
  constexpr int kChains = 100, kClipsPerChain = 5;
  const float levels[] = {0.2f, 0.3f};
  for (int i = 0; i < 2; ++i) {
    testing::WriteClip(dir / ("level" + std::to_string(i) + ".wav"),
                       testing::Level(kRate, 1, kRate * 3 / 100, levels[i]));
  }
  AudioEngineOptions options;
  options.backend = "null";
  options.capture_file = dir / "air.wav";
  std::unique_ptr<AudioEngine> engine = AudioEngine::Open(mapper, options).value();

  auto next_tick = Clock::now();
  auto tick = [&] {
    next_tick += std::chrono::milliseconds(1);
    std::this_thread::sleep_until(next_tick);
  };
  for (int chain = 0; chain < kChains; ++chain) {
    std::shared_ptr<MediaGraph> graph;
    for (int clip = 0; clip < kClipsPerChain; ++clip) {
      auto next = bench::Must(engine->CreateGraph());
      bench::Must(next->RenderFile((dir / ("level" + std::to_string(clip % 2) + ".wav")).string()));
      bench::Must(next->SetVolume(0));
      bench::Must(next->SetRate(1.0));
      bench::Must(next->Run());
      bench::Must(next->SetCurrentPosition(0));
      graph = next;
      engine->Commit();
      do tick();
      while (graph->CurrentPosition() != graph->Duration());
    }
    graph.reset();
    engine->Commit();
    for (int i = 0; i < 40; ++i) tick();  // silence between announcements
  }
  engine.reset();  // finalizes the capture

  const testing::Samples air = testing::ReadClip(dir / "air.wav");
  std::vector<double> gaps;
  int64_t zeros = kRate;  // the capture starts in silence
  bool in_chain = false;
  for (int64_t f = 0; f < air.frames(); ++f) {
    if (air.data[2 * f] == 0.0f) {
      ++zeros;
      continue;
    }
    const bool new_segment = f > 0 && air.data[2 * f] != air.data[2 * (f - 1)];
    if (in_chain && zeros < kRate / 50 && (new_segment || zeros > 0))
      gaps.push_back(static_cast<double>(zeros));
    if (zeros >= kRate / 50) in_chain = true;
    zeros = 0;
  }
  const double zero_joins = static_cast<double>(std::count(gaps.begin(), gaps.end(), 0.0));
  std::printf(
      "join gap (%zu joins of %d expected, null output, 1 ms ticks): median %.0f, p99 %.0f, max "
      "%.0f samples "
      "(max %.2f ms); %.1f%% without a gap\n",
      gaps.size(), kChains * (kClipsPerChain - 1), Percentile(gaps, 0.5), Percentile(gaps, 0.99),
      *std::max_element(gaps.begin(), gaps.end()),
      *std::max_element(gaps.begin(), gaps.end()) * 1000 / kRate,
      100 * zero_joins / static_cast<double>(gaps.size()));
}

void RenderTimes(const std::filesystem::path& dir, const PathMapper& mapper) {
  const testing::Samples second = testing::Tone(22050, 1, 1.0, 440);
  testing::WriteClip(dir / "one.wav", second);
  testing::WriteClip(dir / "one.mp3", second, testing::kMp3);
  AudioEngineOptions options;
  options.backend = "virtual";
  for (const char* name : {"one.wav", "one.mp3"}) {
    const std::string path = (dir / name).string();
    constexpr int kRounds = 200;
    double cold = 0, cached = 0;
    for (int i = 0; i < kRounds; ++i) {
      // An empty clip cache.
      std::unique_ptr<AudioEngine> engine = AudioEngine::Open(mapper, options).value();
      auto graph = bench::Must(engine->CreateGraph());
      auto start = Clock::now();
      bench::Must(graph->RenderFile(path));
      cold += std::chrono::duration<double>(Clock::now() - start).count();
      start = Clock::now();
      auto again = bench::Must(engine->CreateGraph());
      bench::Must(again->RenderFile(path));
      cached += std::chrono::duration<double>(Clock::now() - start).count();
    }
    std::printf("render of a 1 s %s clip: cold %.3f ms, cached %.4f ms\n", name + 4,
                cold / kRounds * 1e3, cached / kRounds * 1e3);
  }
}

void CpuUse(const std::filesystem::path& dir, const PathMapper& mapper) {
  testing::WriteClip(dir / "long.wav", testing::Tone(22050, 1, 4.0, 440));
  AudioEngineOptions options;
  options.backend = "null";
  std::unique_ptr<AudioEngine> engine = AudioEngine::Open(mapper, options).value();
  auto measure = [](double seconds) {
    const double cpu = CpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return 100 * (CpuSeconds() - cpu) / std::chrono::duration<double>(Clock::now() - start).count();
  };
  const double idle = measure(3.0);
  auto graph = bench::Must(engine->CreateGraph());
  bench::Must(graph->RenderFile((dir / "long.wav").string()));
  bench::Must(graph->Run());
  engine->Commit();
  const double playing = measure(3.0);
  std::printf(
      "engine CPU on the null output: idle %.2f%%, playing a resampled clip %.2f%% of one core\n",
      idle, playing);
}

}  // namespace
}  // namespace horatone

int main() {
  horatone::TempDir dir;
  horatone::PathMapper mapper(dir.path());
  horatone::RenderTimes(dir.path(), mapper);
  horatone::CpuUse(dir.path(), mapper);
  horatone::JoinGaps(dir.path(), mapper);
}
