// On-air timing of the radio node against a real rigctld (dummy rig) on loopback, with the
// audio engine in real time on the null output and everything it sends captured. From the PTT
// transitions the rig took (with the frame count sent at that moment) and the captured audio:
// key-to-first-sample, last-sample-to-release, and the transmit time-out. Prints a table;
// asserts nothing. Run by hand: build/bench/rig_bench [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_voice.h"
#include "sound/audio_engine.h"
#include "sound/audio_files.h"
#include "node/rig/rig_node.h"
#include "node/rig/rig_peer.h"
#include "test_support/reading.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr int kRate = 48000;

struct Transition {
  bool keyed;
  SteadyClock::time_point asked_at;  // the Hamlib call began
  SteadyClock::time_point at;        // it returned
  int64_t frames_sent;               // when it returned
  // Frames sent when the call began.
  int64_t asked_frames() const {
    return frames_sent -
           static_cast<int64_t>(std::chrono::duration<double>(at - asked_at).count() * kRate);
  }
};

double Ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Row(const char* what, std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::printf("%-46s %8.1f %8.1f %8.1f  (n=%zu)\n", what, values.front(), values[values.size() / 2],
              values.back(), values.size());
}

int Run(int runs) {
  const int port = testing::FreeLoopbackPort();
  testing::Rigctld rigctld(port);
  if (!rigctld.running()) {
    std::fprintf(stderr, "rig_bench: rigctld did not start\n");
    return 1;
  }
  TempDir dir;
  PathMapper mapper(dir.path());
  const auto clip = dir.path() / "clip.wav";
  testing::WriteClip(clip, testing::Level(kRate, 1, kRate / 2, 0.25f));  // 0.5 s
  const auto long_clip = dir.path() / "long.wav";
  testing::WriteClip(long_clip, testing::Level(kRate, 1, kRate * 4, 0.25f));

  AudioEngineOptions audio;
  audio.backend = "null";
  audio.capture_file = dir.path() / "air.wav";
  Result<std::unique_ptr<AudioEngine>> opened = AudioEngine::Open(mapper, audio);
  if (!opened) {
    std::fprintf(stderr, "rig_bench: %s\n", opened.message().c_str());
    return 1;
  }
  std::unique_ptr<AudioEngine> engine = std::move(*opened);

  std::mutex mutex;
  std::vector<Transition> transitions;
  std::vector<SteadyClock::time_point> requests;  // when the clock asked to key
  RigSettings settings;
  settings.model = 2;
  settings.rig_file = rigctld.address();
  settings.timeout_s = 2;  // only the last run lasts that long
  RigNode::Hooks hooks;
  hooks.post_to_loop = [](std::function<void()> task) { task(); };
  hooks.log = [](const std::string& line) { std::fprintf(stderr, "  rig: %s\n", line.c_str()); };
  AudioEngine* sound = engine.get();
  hooks.hold_output = [sound](bool hold) { sound->HoldOutput(hold); };
  hooks.seconds_until_quiet = [sound] { return sound->SecondsUntilQuiet(); };
  hooks.on_ptt = [&](bool keyed, SteadyClock::time_point asked_at) {
    const int64_t frames = sound->frames_sent();
    std::lock_guard lock(mutex);
    transitions.push_back({keyed, asked_at, SteadyClock::now(), frames});
  };
  Result<std::unique_ptr<RigNode>> rig_opened = RigNode::Open(settings, hooks);
  if (!rig_opened) {
    std::fprintf(stderr, "rig_bench: %s\n", rig_opened.message().c_str());
    return 1;
  }
  std::unique_ptr<RigNode> node = std::move(rig_opened).value();
  auto rig = node->Create().value();
  for (int i = 0; i < 500 && !node->connected(); ++i) std::this_thread::sleep_for(10ms);
  auto count = [&] {
    std::lock_guard lock(mutex);
    return transitions.size();
  };
  auto wait_for = [&](size_t n, std::chrono::milliseconds limit) {
    const auto give_up = SteadyClock::now() + limit;
    while (count() < n && SteadyClock::now() < give_up) std::this_thread::sleep_for(1ms);
    return count() >= n;
  };

  // What the clock does for one announcement: key, start the clip in the same handler, and
  // release as soon as the position reads the end (the earliest its unkey check can).
  auto announce = [&](const std::filesystem::path& file, bool release) {
    requests.push_back(SteadyClock::now());
    bench::Must(rig->Transmit(true));
    auto graph = bench::Must(engine->CreateGraph());
    bench::Must(graph->RenderFile(file.string()));
    bench::Must(graph->Run());
    bench::Must(graph->SetCurrentPosition(0));
    engine->Commit();
    if (!release) return graph;
    while (graph->CurrentPosition() != graph->Duration()) std::this_thread::sleep_for(1ms);
    bench::Must(rig->Transmit(false));
    return graph;
  };

  std::vector<double> key_to_first, last_to_release, last_to_off_call, request_to_key, timeout;
  std::vector<std::pair<int64_t, int64_t>> sound_spans;  // first and last+1 frame of each run
  for (int i = 0; i < runs; ++i) {
    const size_t before = count();
    const int64_t start_frame = engine->frames_sent();
    auto graph = announce(clip, true);
    if (!wait_for(before + 2, 5s)) break;
    std::this_thread::sleep_for(500ms);
    sound_spans.push_back({start_frame, engine->frames_sent()});
  }
  // The time-out: a 4 s clip against a 2 s limit, the clock never releasing.
  const size_t before = count();
  auto graph = announce(long_clip, false);
  wait_for(before + 2, 8s);
  bench::Must(rig->Transmit(false));
  std::this_thread::sleep_for(300ms);
  node.reset();
  bench::Must(engine->FinalizeCapture());

  const testing::Samples air = testing::ReadClip(audio.capture_file);
  for (size_t run = 0; run < sound_spans.size(); ++run) {
    const Transition& on = transitions[2 * run];
    const Transition& off = transitions[2 * run + 1];
    int64_t first = -1, last = -1;
    for (int64_t f = sound_spans[run].first; f < sound_spans[run].second && f < air.frames(); ++f) {
      if (air.data[2 * f] != 0.0f) {
        if (first < 0) first = f;
        last = f + 1;
      }
    }
    if (first < 0) continue;
    key_to_first.push_back(1000.0 * static_cast<double>(first - on.frames_sent) / kRate);
    last_to_release.push_back(1000.0 * static_cast<double>(off.frames_sent - last) / kRate);
    last_to_off_call.push_back(1000.0 * static_cast<double>(off.asked_frames() - last) / kRate);
    request_to_key.push_back(Ms(on.at - requests[run]));
  }
  if (transitions.size() >= 2 * sound_spans.size() + 2) {
    const Transition& on = transitions[2 * sound_spans.size()];
    const Transition& off = transitions[2 * sound_spans.size() + 1];
    timeout.push_back(Ms(off.asked_at - on.at));
  }
  if (key_to_first.empty()) {
    std::fprintf(stderr, "rig_bench: nothing measured\n");
    return 1;
  }
  std::printf("rig_bench: rigctld dummy rig over loopback, null output, %d runs\n", runs);
  std::printf("settings: tx delay %d ms, hang %d ms, time-out %d s\n", settings.tx_delay_ms,
              settings.hang_ms, settings.timeout_s);
  std::printf("%-46s %8s %8s %8s\n", "ms", "min", "median", "max");
  Row("request to PTT on (rig_set_ptt)", request_to_key);
  Row("PTT-on call returned to first sample (tx delay)", key_to_first);
  Row("last sample to PTT-off call begun (hang)", last_to_off_call);
  Row("last sample to PTT-off call returned", last_to_release);
  if (!timeout.empty()) Row("PTT on to time-out PTT-off call (limit 2000)", timeout);
  return 0;
}

}  // namespace
}  // namespace horatone

int main(int argc, char** argv) { return horatone::Run(argc > 1 ? std::atoi(argv[1]) : 10); }
