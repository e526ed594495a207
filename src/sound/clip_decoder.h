// Decoding of clip files into memory: every WAV libsndfile reads, and MP3 through its mpg123
// support. A clip is decoded whole, once, and then shared read-only with the mixer; the cache
// keeps recently decoded clips keyed by path, size and modification time. Loop thread only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "shell/status.h"

namespace horatone {

struct DecodedClip {
  int sample_rate = 0;
  int channels = 0;  // 1 or 2; files with more channels keep their first two
  int64_t frames = 0;
  std::vector<float> samples;  // interleaved, full scale +-1

  // Clip frames as seconds of the clip. The duration is the frames actually decoded over the
  // file's rate, so it is the same on every render and a position at the end equals it exactly.
  double Seconds(int64_t frame_count) const {
    return static_cast<double>(frame_count) / sample_rate;
  }
  double Duration() const { return Seconds(frames); }
  std::size_t Bytes() const { return samples.size() * sizeof(float); }
};

using ClipResult = Result<std::shared_ptr<const DecodedClip>>;

// Decodes `file`; on failure the status names the file and says what is wrong with it.
ClipResult DecodeClipFile(const std::filesystem::path& file);

class ClipCache {
 public:
  explicit ClipCache(std::size_t max_bytes = std::size_t{64} << 20);

  // The decoded clip of `file`, from the cache when the file's size and modification time are
  // unchanged; a file that has vanished fails even when it is still cached.
  ClipResult Load(const std::filesystem::path& file);

 private:
  struct Entry {
    std::filesystem::path file;
    std::uintmax_t size = 0;
    std::filesystem::file_time_type mtime;
    std::shared_ptr<const DecodedClip> clip;
  };

  std::size_t max_bytes_;
  std::size_t bytes_ = 0;
  std::list<Entry> entries_;  // most recently used first; a voice set is a few dozen entries
};

}  // namespace horatone
