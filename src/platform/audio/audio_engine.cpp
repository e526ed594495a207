// The audio engine and its graphs; see audio_engine.h.
#include "platform/audio/audio_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <unordered_map>

#include "platform/audio/clip_decoder.h"
#include "platform/audio/mixer.h"
#include "platform/audio/output_sink.h"
#include "platform/audio/svx_udp_sink.h"
#include "platform/audio/wav_capture.h"

namespace horatone {

// The loop thread's side of the engine, shared by the engine and its graphs so that a graph
// outliving the engine stays harmless: voices, the pending batch and the clip cache.
class EngineCore {
 public:
  EngineCore(const PathMapper& path_mapper, int sample_rate, int block_frames, int holdback_frames)
      : mapper(path_mapper), mixer(sample_rate, block_frames, holdback_frames) {}

  Voice* AddVoice(std::shared_ptr<const DecodedClip> clip) {
    std::unique_ptr<Voice> voice = mixer.NewVoice(std::move(clip));
    Voice* raw = voice.get();
    voices.emplace(raw, std::move(voice));
    Send(raw, VoiceCommand::kAdd, 0);
    return raw;
  }

  uint64_t Send(Voice* voice, VoiceCommand::Kind kind, double value) {
    const uint64_t seq = next_seq++;
    pending.push_back(VoiceCommand{kind, voice, value, seq});
    return seq;
  }

  void Commit() {
    if (mixer.Publish(pending)) pending.clear();
    Voice* voice = nullptr;
    while (mixer.TakeRetired(&voice)) voices.erase(voice);
  }

  const PathMapper mapper;
  ClipCache cache;
  Mixer mixer;
  std::vector<VoiceCommand> pending;
  uint64_t next_seq = 1;
  std::unordered_map<Voice*, std::unique_ptr<Voice>> voices;
};

namespace {

Status NoClip() { return Status::Error("No clip has been rendered into this media graph"); }

class EngineGraph final : public MediaGraph {
 public:
  explicit EngineGraph(std::shared_ptr<EngineCore> core) : core_(std::move(core)) {}
  ~EngineGraph() override { Drop(); }

  Status RenderFile(const std::string& path) override {
    const std::filesystem::path file = core_->mapper.Map(path);
    std::shared_ptr<const DecodedClip> clip;
    Status status = core_->cache.Load(file, &clip);
    if (!status) {
      if (file.string() != path) status.message += " (written as " + path + ")";
      return status;
    }
    Drop();
    voice_ = core_->AddVoice(std::move(clip));
    seek_seq_ = 0;
    return Status::Ok();
  }

  std::optional<double> Duration() override {
    if (voice_ == nullptr) return std::nullopt;
    return voice_->clip->Duration();
  }

  std::optional<double> CurrentPosition() override {
    if (voice_ == nullptr) return std::nullopt;
    // Until the mixer has taken a seek, the position is the one asked for.
    if (voice_->applied_seq.load(std::memory_order_acquire) < seek_seq_) {
      return voice_->clip->Seconds(seek_frame_);
    }
    return voice_->clip->Seconds(voice_->played_frames.load(std::memory_order_acquire));
  }

  Status Run() override { return Send(VoiceCommand::kRun, 0); }
  Status Stop() override { return Send(VoiceCommand::kStop, 0); }

  Status SetCurrentPosition(double seconds) override {
    if (voice_ == nullptr) return NoClip();
    if (!std::isfinite(seconds) || seconds < 0) {
      return Status::Error("Position out of range: " + std::to_string(seconds) + " s");
    }
    const DecodedClip& clip = *voice_->clip;
    seek_frame_ =
        std::min<int64_t>(clip.frames, std::llround(std::min(seconds * clip.sample_rate, 9e18)));
    seek_seq_ = core_->Send(voice_, VoiceCommand::kSeek, static_cast<double>(seek_frame_));
    return Status::Ok();
  }

  Status SetRate(double rate) override {
    if (!(rate >= 0.1 && rate <= 2.0))
      return Status::Error("Rate out of range (0.1 to 2): " + std::to_string(rate));
    return Send(VoiceCommand::kRate, rate);
  }
  Status SetVolume(long volume) override {
    if (volume < -10000 || volume > 0)
      return Status::Error("Volume out of range (-10000 to 0): " + std::to_string(volume));
    return Send(VoiceCommand::kVolume, static_cast<double>(volume));
  }
  Status SetBalance(long balance) override {
    if (balance < -10000 || balance > 10000) {
      return Status::Error("Balance out of range (-10000 to 10000): " + std::to_string(balance));
    }
    return Send(VoiceCommand::kBalance, static_cast<double>(balance));
  }

 private:
  Status Send(VoiceCommand::Kind kind, double value) {
    if (voice_ == nullptr) return NoClip();
    core_->Send(voice_, kind, value);
    return Status::Ok();
  }
  // The voice leaves the mixer with the next batch; the mixer hands it back to be freed.
  void Drop() {
    if (voice_ != nullptr) core_->Send(voice_, VoiceCommand::kRemove, 0);
    voice_ = nullptr;
  }

  std::shared_ptr<EngineCore> core_;
  Voice* voice_ = nullptr;
  uint64_t seek_seq_ = 0;
  int64_t seek_frame_ = 0;
};

}  // namespace

std::unique_ptr<AudioEngine> AudioEngine::Open(const PathMapper& mapper, AudioEngineOptions options,
                                               Status* why) {
  const int rate = options.sample_rate;
  if (rate < 8000 || rate > 192000) {
    if (why) *why = Status::Error("Unsupported output sample rate " + std::to_string(rate) + " Hz");
    return nullptr;
  }
  const std::string& wanted = options.backend;
  std::unique_ptr<OutputSink> sink;
  std::string failure;
  if (wanted.empty()) {
    std::string ignored;
    sink = OpenPulseSink(rate, &ignored);
    if (!sink) sink = OpenAlsaSink(rate, &ignored);
  } else if (wanted == "pulse") {
    sink = OpenPulseSink(rate, &failure);
  } else if (wanted == "alsa") {
    sink = OpenAlsaSink(rate, &failure);
  } else if (wanted.rfind("svxlink:", 0) == 0) {
    SvxUdpTarget target;
    std::string bad;
    if (!ParseSvxUdpTarget(wanted.substr(8), &target, &bad)) {
      if (why) *why = Status::Error("SvxLink audio: " + bad);
      return nullptr;
    }
    sink = SvxUdpSink::Open(target, rate, &failure);
  } else if (wanted != "null" && wanted != "virtual") {
    if (why)
      *why =
          Status::Error("Unknown audio output \"" + wanted + "\" (pulse, alsa, null or virtual)");
    return nullptr;
  }
  if (!sink && wanted != "virtual") sink = OpenNullSink(rate);

  std::unique_ptr<WavCapture> capture;
  if (!options.capture_file.empty()) {
    capture = WavCapture::Open(options.capture_file, rate, why);
    if (!capture) return nullptr;
  }

  // Hold back output long enough for the loop to notice a clip's end and start the next one,
  // even when the device takes a whole period at a time.
  const int block = rate / 500;
  const int period = sink ? sink->period_frames() : block;
  const int holdback = std::max(rate / 100, period + rate * 8 / 1000);
  auto core = std::make_shared<EngineCore>(mapper, rate, block, holdback);
  std::string name = sink ? sink->name() : "virtual";
  std::unique_ptr<AudioEngine> engine(new AudioEngine(
      std::move(core), std::move(options), std::move(name), std::move(sink), std::move(capture)));
  if (!failure.empty()) {
    engine->lost_message_ = failure + "; playing on without a sound device";
    engine->lost_.store(true, std::memory_order_release);
  }
  if (engine->sink_) engine->thread_ = std::thread([e = engine.get()] { e->RunAudioThread(); });
  return engine;
}

AudioEngine::AudioEngine(std::shared_ptr<EngineCore> core, AudioEngineOptions options,
                         std::string backend_name, std::unique_ptr<OutputSink> sink,
                         std::unique_ptr<WavCapture> capture)
    : core_(std::move(core)),
      options_(std::move(options)),
      backend_name_(std::move(backend_name)),
      sample_rate_(options_.sample_rate),
      block_frames_(sample_rate_ / 500),
      sink_(std::move(sink)),
      fallback_(OpenNullSink(sample_rate_)),
      capture_(std::move(capture)) {
  if (sink_) device_buffered_frames_ = sink_->buffered_frames();
}

AudioEngine::~AudioEngine() {
  quit_.store(true, std::memory_order_release);
  WakeAudioThread();
  if (thread_.joinable()) thread_.join();
  FinalizeCapture();
}

std::shared_ptr<MediaGraph> AudioEngine::CreateGraph(Status*) {
  return std::make_shared<EngineGraph>(core_);
}

void AudioEngine::Commit() {
  const bool had_changes = !core_->pending.empty();
  core_->Commit();
  if (had_changes && core_->pending.empty()) WakeAudioThread();
  if (!lost_reported_ && lost_.load(std::memory_order_acquire)) {
    lost_reported_ = true;
    if (options_.on_device_lost) options_.on_device_lost(lost_message_);
  }
}

void AudioEngine::Pump(int64_t frames, std::vector<float>* out) {
  if (backend_name_ != "virtual") return;  // a real device paces itself on the audio thread
  std::vector<float> block(2 * static_cast<std::size_t>(block_frames_));
  while (frames > 0) {
    const int count = static_cast<int>(std::min<int64_t>(frames, block_frames_));
    core_->mixer.Render(block.data(), count);
    if (capture_) capture_->Write(block.data(), count);
    if (out) out->insert(out->end(), block.begin(), block.begin() + 2 * count);
    frames -= count;
  }
}

Status AudioEngine::FinalizeCapture() { return capture_ ? capture_->Finalize() : Status::Ok(); }

int AudioEngine::holdback_frames() const { return core_->mixer.holdback_frames(); }

int64_t AudioEngine::frames_sent() const { return core_->mixer.frames_emitted(); }

void AudioEngine::HoldOutput(bool hold) { core_->mixer.SetHold(hold); }

double AudioEngine::SecondsUntilQuiet() const {
  const int64_t heard = core_->mixer.frames_emitted() - device_buffered_frames_;
  return static_cast<double>(core_->mixer.sound_end_frame() - heard) / sample_rate_;
}

void AudioEngine::WakeAudioThread() {
  {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    wake_pending_ = true;
  }
  wake_.notify_one();
}

void AudioEngine::IdleThroughSilence(std::vector<float>& silence) {
  // The capture still grows in real time, a quarter of a second at a time, while nothing plays.
  constexpr auto kLongestSleep = std::chrono::milliseconds(250);
  {
    std::unique_lock<std::mutex> lock(wake_mutex_);
    wake_.wait_for(lock, kLongestSleep,
                   [this] { return wake_pending_ || quit_.load(std::memory_order_acquire); });
    wake_pending_ = false;
  }
  // The silence that would have gone out meanwhile goes out now, block by block, so that the
  // stream, the capture and every later frame keep their places in time. A batch that just
  // arrived is applied by the next Render(), at the first frame after this silence.
  std::fill(silence.begin(), silence.end(), 0.0f);
  for (int64_t due = sink_->FramesDueNow(); due > 0;) {
    const int count = static_cast<int>(std::min<int64_t>(due, block_frames_));
    if (capture_) capture_->Write(silence.data(), count);
    core_->mixer.SkipSilence(count);
    sink_->Skip(count);
    due -= count;
  }
}

void AudioEngine::RunAudioThread() {
  std::vector<float> block(2 * static_cast<std::size_t>(block_frames_));
  std::string why;
  while (!quit_.load(std::memory_order_acquire)) {
    if (core_->mixer.Silent() && sink_->FramesDueNow() >= 0) {
      IdleThroughSilence(block);
      continue;
    }
    core_->mixer.Render(block.data(), block_frames_);
    if (capture_) capture_->Write(block.data(), block_frames_);
    if (!sink_->Write(block.data(), block_frames_, &why)) {
      if (!lost_.load(std::memory_order_acquire)) {
        lost_message_ = why + "; playing on without a sound device";
        lost_.store(true, std::memory_order_release);
      }
      sink_ = std::move(fallback_);
    }
  }
}

}  // namespace horatone
