// Audio files for the audio tests, made on the spot with libsndfile: tones, steps of constant
// level, and reading back what the engine captured.
#pragma once

#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "test_support/temp_dir.h"

namespace horatone::testing {

inline constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
inline constexpr int kMp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;

struct Samples {
  int rate = 0;
  int channels = 0;
  std::vector<float> data;  // interleaved
  int64_t frames() const { return channels ? static_cast<int64_t>(data.size()) / channels : 0; }
};

inline Samples Tone(int rate, int channels, double seconds, double hz, float amplitude = 0.5f) {
  Samples s{rate, channels, {}};
  for (int64_t i = 0; i < std::llround(seconds * rate); ++i) {
    const float v = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * hz * i / rate));
    s.data.insert(s.data.end(), channels, v);
  }
  return s;
}

inline Samples Level(int rate, int channels, int64_t frames, float value) {
  return Samples{rate, channels,
                 std::vector<float>(static_cast<std::size_t>(frames * channels), value)};
}

inline bool WriteClip(const std::filesystem::path& file, const Samples& s, int format = kWav16) {
  SF_INFO info{0, s.rate, s.channels, format, 0, 0};
  SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
  if (sf == nullptr) return false;
  const bool ok = sf_writef_float(sf, s.data.data(), s.frames()) == s.frames();
  return sf_close(sf) == 0 && ok;
}

inline Samples ReadClip(const std::filesystem::path& file) {
  SF_INFO info{};
  Samples s;
  SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
  if (sf == nullptr) return s;
  s = {info.samplerate, info.channels,
       std::vector<float>(static_cast<std::size_t>(info.frames * info.channels))};
  s.data.resize(
      static_cast<std::size_t>(sf_readf_float(sf, s.data.data(), info.frames) * info.channels));
  sf_close(sf);
  return s;
}

}  // namespace horatone::testing
