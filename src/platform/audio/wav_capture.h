// The capture: everything the mixer sends on air, silence included, written as a 16-bit PCM
// WAV file. The header is brought up to date with every write, so the file is valid however
// the process ends; Finalize() closes it for good. Write() runs on the thread that renders and
// never waits for Finalize(); Finalize() runs on the loop thread (also on its signal path) or
// in a destructor, and may be called more than once.
#pragma once

#include <sndfile.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "shell/status.h"

namespace horatone {

class WavCapture {
 public:
  static std::unique_ptr<WavCapture> Open(const std::filesystem::path& file, int sample_rate,
                                          Status* why);
  ~WavCapture();

  void Write(const float* frames, int count);  // interleaved stereo
  Status Finalize();

 private:
  WavCapture(SNDFILE* sf, std::filesystem::path file, int sample_rate);
  Status FlushLocked();

  std::mutex mutex_;
  SNDFILE* sf_;
  const std::filesystem::path file_;
  std::vector<float> buffer_;  // about 100 ms, so that the disk sees few writes
  std::size_t buffered_ = 0;
  Status status_;
};

}  // namespace horatone
