// A voice folder for the benchmarks: every clip a steady level of its own, at the output rate,
// so that in a capture each clip's first and last sample and every gap between clips can be
// found exactly; and finding the runs of equal samples in a capture.
#pragma once

#include <cstdint>
#include <filesystem>
#include <utility>
#include <vector>

#include "announce/clip_names.h"
#include "sound/audio_files.h"

#include <cstdio>
#include <cstdlib>

#include "shell/status.h"

namespace horatone::bench {

// A benchmark's own set-up step must work; a failure ends the run with its message.
inline void Must(const Status& status) {
  if (status) return;
  std::fprintf(stderr, "benchmark set-up failed: %s\n", status.message.c_str());
  std::exit(1);
}

// The same for a step that makes something: its value, or the end of the run.
template <typename T>
T Must(Result<T> made) {
  Must(made.status());
  return std::move(made).value();
}

constexpr int kRate = 48000;

// Clip i of the voice: level 0.05 + 0.004 i, 0.3 to 0.6 s long (an odd number of frames).
inline void WriteLevelVoice(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  int index = 0;
  for (const std::string& stem : clips::AllClipStems()) {
    const int64_t frames = (kRate * 3 / 10 + (index * 7919) % (kRate * 3 / 10)) | 1;
    testing::WriteClip(folder / (stem + ".wav"),
                       testing::Level(kRate, 1, frames, 0.05f + 0.004f * static_cast<float>(index)));
    ++index;
  }
}

struct Run {
  int64_t first;  // frame
  int64_t frames;
  float value;
};

// The runs of equal left-channel samples of a stereo capture.
inline std::vector<Run> Runs(const testing::Samples& air) {
  std::vector<Run> runs;
  for (int64_t f = 0; f < air.frames(); ++f) {
    const float v = air.data[static_cast<std::size_t>(2 * f)];
    if (runs.empty() || runs.back().value != v) runs.push_back({f, 0, v});
    ++runs.back().frames;
  }
  return runs;
}

}  // namespace horatone::bench
