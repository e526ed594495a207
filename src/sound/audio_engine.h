// The audio engine, this system's media service. Each graph decodes one clip and plays it
// through the mixer into one output stream (PulseAudio or PipeWire, ALSA, the clock alone, or a
// pump driven in virtual time), and the stream can be captured to a WAV file. The stream rests
// while there is nothing to say, wakes for each sound (ahead of time for a scheduled one), and
// is reconnected when the sound server goes away and comes back. Graphs, Commit() and the
// reports belong to the loop thread; the engine's audio thread renders, feeds the device and
// reconnects it, and never waits on the loop.
#pragma once

#include <atomic>
#include <chrono>
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
#include "runtime/path_mapper.h"
#include "sound/output_sink.h"
#include "sound/sound_output.h"

namespace horatone {

class EngineCore;
class WavCapture;

struct AudioEngineOptions {
  // "pulse", "alsa", "alsa:DEVICE", "null", "virtual" or one of `more_outputs`. Empty takes
  // PulseAudio when a server answers, else ALSA when its default device opens, else waits for
  // a PulseAudio server.
  std::string backend;
  // Outputs beyond the sound library's own, such as a node's audio input.
  std::vector<SoundOutput> more_outputs;
  // When not empty, everything sent on air, silence included, is also written here (16-bit WAV).
  std::filesystem::path capture_file;
  // Told on the loop thread from Commit() each time the sound device fails or goes away (also
  // when it is missing at start-up). Until it is back, Unavailable() says why.
  std::function<void(const std::string&)> on_device_lost;
  // Lines worth a log, on the loop thread from Commit(): the output chosen and why, underruns
  // with their time, the device coming back.
  std::function<void(const std::string&)> on_note;
  int sample_rate = 48000;
  // What the device may hold ahead of what is heard; 0 chooses (more without real-time
  // scheduling). Tests and benchmarks also shorten the answer time-out and the reconnect.
  int buffer_ms = 0;
  int answer_timeout_ms = 3000;
  int longest_retry_ms = 4000;
};

class AudioEngine final : public MediaService {
 public:
  // Fails only for an unknown back end name or a capture file that cannot be written; an output
  // device that cannot be opened is reported through on_device_lost instead.
  static Result<std::unique_ptr<AudioEngine>> Open(const PathMapper& mapper,
                                                   AudioEngineOptions options);
  ~AudioEngine() override;
  AudioEngine(const AudioEngine&) = delete;
  AudioEngine& operator=(const AudioEngine&) = delete;

  Result<std::shared_ptr<MediaGraph>> CreateGraph() override;
  Status Unavailable() const override;
  void PrepareForSound() override;
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
  // Seconds until the last clip sample queued so far has been played by the sound device, as
  // the device reports its delay; negative: how long ago it was. Never early.
  double SecondsUntilQuiet() const;
  // Underruns the device has reported since start-up, and whether the audio thread runs with
  // real-time priority.
  int64_t underruns() const { return underruns_.load(std::memory_order_acquire); }
  bool real_time() const { return real_time_; }

 private:
  AudioEngine(std::shared_ptr<EngineCore> core, AudioEngineOptions options, SoundOutput output,
              std::unique_ptr<OutputSink> sink, std::unique_ptr<WavCapture> capture, bool real_time,
              DeviceOptions device);
  enum class Report { kLost, kNote };
  void RunAudioThread();
  // Audio thread, while nothing plays (or there is no device): sleeps until the loop commits a
  // change, a wake-up is asked for, or `longest` has passed, then accounts the silence due by
  // now on the time keeper at once.
  void IdleThroughSilence(std::vector<float>& silence, std::chrono::milliseconds longest);
  void AccountSilence(std::vector<float>& silence);
  void RenderOnKeeper(std::vector<float>& block);
  OutputSink& Pacer();
  bool PlayOnDevice(std::vector<float>& block);
  void Rest();
  bool WriteLead(std::vector<float>& block);
  static constexpr int kLeadMs = 20;
  static constexpr int kRestAfterMs = 150;
  void DeviceLost(const std::string& why);
  void TryReconnect();
  void Post(Report kind, std::string message);
  void SetDevice(std::unique_ptr<OutputSink> device);
  void WakeAudioThread();

  std::shared_ptr<EngineCore> core_;
  AudioEngineOptions options_;
  const SoundOutput output_;  // the row in use: how it reconnects, whether it is pumped
  const std::string backend_name_;
  const int sample_rate_;
  const int block_frames_;
  const bool real_time_;
  const DeviceOptions device_options_;
  std::unique_ptr<OutputSink> device_;  // audio thread once started; null while lost
  std::unique_ptr<OutputSink> keeper_;  // keeps time while the device rests or is lost
  std::unique_ptr<WavCapture> capture_;
  std::thread thread_;
  std::atomic<bool> quit_{false};
  std::atomic<bool> thread_done_{false};
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool wake_pending_ = false;  // under wake_mutex_
  std::atomic<bool> prepare_{false};

  // Audio thread only.
  bool device_keeps_time_ = false;
  bool resting_ = true;  // nothing to play: the time keeper paces the timeline
  bool awake_ = false;   // the device is not resting (it plays, or is ready ahead of a sound)
  std::chrono::steady_clock::time_point prepared_until_{};
  std::chrono::steady_clock::time_point next_retry_{};
  std::chrono::milliseconds retry_interval_{250};
  int64_t underruns_seen_ = 0;
  int writes_since_delay_ = 0;
  int64_t silent_from_ = -1;  // timeline frame where the mixer fell silent while playing

  // Shared with the loop thread.
  std::atomic<bool> available_{false};
  std::atomic<bool> awake_reported_{false};  // a device stream is playing
  std::atomic<int64_t> heard_frame_{0};      // timeline frame being heard (emitted less the delay)
  std::atomic<int64_t> underruns_{0};
  mutable std::mutex shared_mutex_;
  std::string unavailable_reason_;                       // under shared_mutex_
  std::vector<std::pair<Report, std::string>> reports_;  // under shared_mutex_
  OutputSink* interruptible_ = nullptr;                  // under shared_mutex_
};

}  // namespace horatone
