// The audio engine, this system's media service. Each graph decodes one clip and plays it
// through the mixer into one output stream that stays open for the life of the process
// (PulseAudio or PipeWire, ALSA, the clock alone, or a pump driven in virtual time), and the
// stream can be captured to a WAV file. Graphs, Commit() and the device-lost report belong to
// the loop thread; the engine's audio thread only renders and never waits on the loop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/media_service.h"
#include "platform/path_mapper.h"

namespace horatone {

class EngineCore;
class OutputSink;
class WavCapture;

struct AudioEngineOptions {
  // "pulse", "alsa", "null" or "virtual"; empty takes the first of pulse, alsa, null that opens.
  std::string backend;
  // When not empty, everything sent on air, silence included, is also written here (16-bit WAV).
  std::filesystem::path capture_file;
  // Told once, on the loop thread from Commit(), that the output device failed or was missing
  // and the engine plays on with "null".
  std::function<void(const std::string&)> on_device_lost;
  int sample_rate = 48000;
};

class AudioEngine final : public MediaService {
 public:
  // Fails only for an unknown back end name or a capture file that cannot be written; an output
  // device that cannot be opened is reported through on_device_lost instead.
  static std::unique_ptr<AudioEngine> Open(const PathMapper& mapper, AudioEngineOptions options,
                                           Status* why = nullptr);
  ~AudioEngine() override;
  AudioEngine(const AudioEngine&) = delete;
  AudioEngine& operator=(const AudioEngine&) = delete;

  std::shared_ptr<MediaGraph> CreateGraph(Status* why = nullptr) override;
  // Hands the changes of the last handler to the mixer in one batch, frees the voices the
  // mixer has let go, and delivers a device-lost report.
  void Commit() override;

  // Virtual back end only: renders the next `frames` frames now, on the calling thread; they go
  // to the capture and, when `out` is given, are appended to it as interleaved stereo.
  void Pump(int64_t frames, std::vector<float>* out = nullptr);
  // Completes the capture file; later output is not captured. Safe to repeat.
  Status FinalizeCapture();

  const std::string& backend_name() const { return backend_name_; }
  int sample_rate() const { return sample_rate_; }
  // Output is held back this long so that a clip started after another ends joins it seamlessly.
  int holdback_frames() const;
  int64_t frames_sent() const;

  // For keying a transmitter; both safe from any thread. While held, silence goes out and
  // every clip waits where it is: the first syllable is kept while the transmitter keys up.
  void HoldOutput(bool hold);
  // Seconds until the last clip sample queued so far has left the sound device; negative:
  // how long ago it did.
  double SecondsUntilQuiet() const;

 private:
  AudioEngine(std::shared_ptr<EngineCore> core, AudioEngineOptions options,
              std::string backend_name, std::unique_ptr<OutputSink> sink,
              std::unique_ptr<WavCapture> capture);
  void RunAudioThread();
  // Audio thread, on a sink that only keeps time: sleeps while nothing plays until the loop
  // commits a change (or a while has passed), then sends the silence due by now at once.
  void IdleThroughSilence(std::vector<float>& silence);
  void WakeAudioThread();

  std::shared_ptr<EngineCore> core_;
  AudioEngineOptions options_;
  const std::string backend_name_;
  const int sample_rate_;
  const int block_frames_;
  int device_buffered_frames_ = 0;
  std::unique_ptr<OutputSink> sink_;      // audio thread once started
  std::unique_ptr<OutputSink> fallback_;  // the null sink taken over when the device fails
  std::unique_ptr<WavCapture> capture_;
  std::thread thread_;
  std::atomic<bool> quit_{false};
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool wake_pending_ = false;  // under wake_mutex_
  std::atomic<bool> lost_{false};
  std::string lost_message_;  // written before lost_ is set, read after it is seen
  bool lost_reported_ = false;
};

}  // namespace horatone
