// The capture: everything the mixer sends on air, silence included, written as a 16-bit PCM
// WAV file. The thread that feeds the sound device only copies frames into a ring and never
// touches the disk; a writer thread of the capture's own empties the ring ten times a second
// and brings the header up to date, so the file is valid however the process ends. Finalize()
// (loop thread, also on its signal path, or a destructor) writes the rest and closes the file;
// it may be called more than once.
#pragma once

#include <sndfile.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "sound/spsc_ring.h"
#include "shell/status.h"

namespace horatone {

class WavCapture {
 public:
  static Result<std::unique_ptr<WavCapture>> Open(const std::filesystem::path& file,
                                                  int sample_rate);
  ~WavCapture();

  // Interleaved stereo, from one thread at a time. Never waits and never allocates.
  void Write(const float* frames, int count);
  // The same from a thread that may wait (one that renders faster than real time): with the
  // ring full it waits for the writer instead of losing frames.
  void WriteWaiting(const float* frames, int count);
  Status Finalize();

 private:
  static constexpr int kChunkFrames = 256;
  struct Chunk {
    int frames = 0;
    std::array<float, 2 * kChunkFrames> samples{};
  };

  WavCapture(SNDFILE* sf, std::filesystem::path file, int sample_rate);
  void RunWriter();
  void Push(const float* frames, int count, bool wait);
  void Drain();  // writer thread, or the loop thread once the writer has stopped

  SNDFILE* sf_;
  const std::filesystem::path file_;
  SpscRing<Chunk> ring_;
  std::atomic<bool> overflowed_{false};
  std::atomic<bool> closing_{false};
  std::mutex mutex_;  // the writer's sleep and Finalize()
  std::condition_variable wake_;
  std::thread writer_;
  Status status_;  // the writer's, read after it has stopped
  bool finalized_ = false;
};

}  // namespace horatone
