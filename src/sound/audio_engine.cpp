// The audio engine and its graphs; see audio_engine.h.
#include "sound/audio_engine.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "sound/clip_decoder.h"
#include "sound/mixer.h"
#include "sound/output_sink.h"
#include "sound/wav_capture.h"

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
    ClipResult clip = core_->cache.Load(file);
    if (!clip) {
      Status status = clip.status();
      if (file.string() != path) status.message += " (written as " + path + ")";
      return status;
    }
    Drop();
    voice_ = core_->AddVoice(std::move(*clip));
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

namespace {

// The audio thread asks for real-time scheduling where the system grants it (root, or within
// RLIMIT_RTPRIO), so that a machine busy with other work never starves the device.
bool RealTimeAllowed() {
  bool granted = false;
  std::thread probe([&granted] { granted = RaiseToRealTime(); });
  probe.join();
  return granted;
}

std::string Milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000.0);
  return text;
}

}  // namespace

Result<std::unique_ptr<AudioEngine>> AudioEngine::Open(const PathMapper& mapper,
                                                       AudioEngineOptions options) {
  const int rate = options.sample_rate;
  if (rate < 8000 || rate > 192000) {
    return Status::BadInput("Unsupported output sample rate " + std::to_string(rate) + " Hz");
  }
  const std::vector<SoundOutput> table = SoundOutputs(std::move(options.more_outputs));
  options.more_outputs.clear();
  const OutputChoice choice = SplitOutputChoice(options.backend);
  const SoundOutput* wanted = FindSoundOutput(table, choice.name);
  if (wanted == nullptr) {
    return Status::BadInput("Unknown audio output \"" + options.backend + "\" (" +
                            ListSoundOutputs(table) + ")");
  }
  DeviceOptions device;
  device.device = choice.detail;
  const bool real_time = wanted->device && RealTimeAllowed();
  device.sample_rate = rate;
  device.answer_timeout_ms = options.answer_timeout_ms;
  device.cancel = nullptr;  // set to the engine's quit flag once it exists
  device.real_time = real_time;
  device.buffer_ms = options.buffer_ms > 0 ? options.buffer_ms : real_time ? 200 : 400;

  Result<OpenedOutput> opened = wanted->open(device);
  if (!opened) return opened.status();
  std::string note = std::move(opened->note);
  if (wanted->device) {
    note += real_time ? ", real-time audio thread" : ", normal priority (real-time not granted)";
    note += ", buffer " + std::to_string(device.buffer_ms) + " ms";
  }
  // The automatic choice reconnects as the output it took.
  const SoundOutput* used = FindSoundOutput(table, opened->name);
  SoundOutput output = used != nullptr ? *used : *wanted;
  output.name = opened->name;

  std::unique_ptr<WavCapture> capture;
  if (!options.capture_file.empty()) {
    Result<std::unique_ptr<WavCapture>> opened_capture =
        WavCapture::Open(options.capture_file, rate);
    if (!opened_capture) return opened_capture.status();
    capture = std::move(*opened_capture);
  }

  // Each clip renders this far ahead of what is sent, so that the loop has this long to start
  // the next clip at a clip's end and the two join seamlessly. Wherever the stream runs in real
  // time (a device, SvxLink's stream, the null output's capture) it covers a loop thread that a
  // busy machine keeps waiting; in virtual time the loop is never late.
  std::unique_ptr<OutputSink> sink = std::move(opened->sink);
  const int block = rate / 500;
  const int period = std::max(block, sink ? sink->period_frames() : block);
  const int holdback =
      !output.virtual_time ? rate / 10 : std::max(rate / 100, period + rate * 8 / 1000);
  auto core = std::make_shared<EngineCore>(mapper, rate, block, holdback);
  std::unique_ptr<AudioEngine> engine(new AudioEngine(std::move(core), std::move(options),
                                                      std::move(output), std::move(sink),
                                                      std::move(capture), real_time, device));
  engine->Post(Report::kNote, note);
  if (!opened->missing.ok()) engine->DeviceLost(opened->missing.message);
  if (!engine->output_.virtual_time) {
    engine->thread_ = std::thread([e = engine.get()] {
      e->RunAudioThread();
      e->thread_done_.store(true, std::memory_order_release);
    });
  }
  return engine;
}

AudioEngine::AudioEngine(std::shared_ptr<EngineCore> core, AudioEngineOptions options,
                         SoundOutput output, std::unique_ptr<OutputSink> sink,
                         std::unique_ptr<WavCapture> capture, bool real_time, DeviceOptions device)
    : core_(std::move(core)),
      options_(std::move(options)),
      output_(std::move(output)),
      backend_name_(output_.name),
      sample_rate_(options_.sample_rate),
      block_frames_(sample_rate_ / 500),
      real_time_(real_time),
      device_options_([&] {
        device.cancel = &quit_;
        return device;
      }()),
      keeper_(OpenNullSink(sample_rate_)),
      capture_(std::move(capture)) {
  if (output_.virtual_time) {
    available_.store(true, std::memory_order_release);
    return;
  }
  if (sink) SetDevice(std::move(sink));
}

AudioEngine::~AudioEngine() {
  quit_.store(true, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(shared_mutex_);
    if (interruptible_ != nullptr) interruptible_->Interrupt();
  }
  WakeAudioThread();
  // Every wait of the audio thread on the device looks at quit_ or is interrupted above, so
  // exit never waits on a sound server that hangs.
  if (thread_.joinable()) thread_.join();
  ContinuePastFailure(FinalizeCapture());
}

Result<std::shared_ptr<MediaGraph>> AudioEngine::CreateGraph() {
  return std::shared_ptr<MediaGraph>(std::make_shared<EngineGraph>(core_));
}

Status AudioEngine::Unavailable() const {
  if (available_.load(std::memory_order_acquire)) return Status::Ok();
  std::lock_guard<std::mutex> lock(shared_mutex_);
  return Status::Unavailable(unavailable_reason_);
}

void AudioEngine::PrepareForSound() {
  if (!output_.device) return;
  prepare_.store(true, std::memory_order_release);
  WakeAudioThread();
}

void AudioEngine::Commit() {
  const bool had_changes = !core_->pending.empty();
  core_->Commit();
  if (had_changes && core_->pending.empty()) WakeAudioThread();
  std::vector<std::pair<Report, std::string>> reports;
  {
    std::lock_guard<std::mutex> lock(shared_mutex_);
    reports.swap(reports_);
  }
  for (const auto& [kind, message] : reports) {
    const auto& report = kind == Report::kLost ? options_.on_device_lost : options_.on_note;
    if (report) report(message);
  }
}

void AudioEngine::Post(Report kind, std::string message) {
  std::lock_guard<std::mutex> lock(shared_mutex_);
  reports_.emplace_back(kind, std::move(message));
}

void AudioEngine::Pump(int64_t frames, std::vector<float>* out) {
  if (!output_.virtual_time) return;  // a real device paces itself on the audio thread
  std::vector<float> block(2 * static_cast<std::size_t>(block_frames_));
  while (frames > 0) {
    const int count = static_cast<int>(std::min<int64_t>(frames, block_frames_));
    core_->mixer.Render(block.data(), count);
    if (capture_) capture_->WriteWaiting(block.data(), count);  // faster than real time
    if (out) out->insert(out->end(), block.begin(), block.begin() + 2 * count);
    frames -= count;
  }
  heard_frame_.store(core_->mixer.frames_emitted(), std::memory_order_release);
}

Status AudioEngine::FinalizeCapture() { return capture_ ? capture_->Finalize() : Status::Ok(); }

int AudioEngine::holdback_frames() const { return core_->mixer.holdback_frames(); }

int64_t AudioEngine::frames_sent() const { return core_->mixer.frames_emitted(); }

void AudioEngine::HoldOutput(bool hold) { core_->mixer.SetHold(hold); }

double AudioEngine::SecondsUntilQuiet() const {
  const int64_t heard = heard_frame_.load(std::memory_order_acquire);
  // A device's own report of its delay may be a few milliseconds short; a release is never
  // early for it.
  const int64_t margin = awake_reported_.load(std::memory_order_acquire) ? sample_rate_ / 25 : 0;
  return static_cast<double>(core_->mixer.sound_end_frame() - heard + margin) / sample_rate_;
}

void AudioEngine::WakeAudioThread() {
  {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    wake_pending_ = true;
  }
  wake_.notify_one();
}

void AudioEngine::SetDevice(std::unique_ptr<OutputSink> device) {
  {
    std::lock_guard<std::mutex> lock(shared_mutex_);
    interruptible_ = device.get();
    unavailable_reason_.clear();
  }
  device_ = std::move(device);
  device_keeps_time_ = device_->FramesDueNow() >= 0;
  resting_ = true;
  awake_ = false;
  underruns_seen_ = device_->Underruns();
  retry_interval_ = std::chrono::milliseconds(250);
  available_.store(true, std::memory_order_release);
}

void AudioEngine::DeviceLost(const std::string& why) {
  available_.store(false, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(shared_mutex_);
    interruptible_ = nullptr;
    unavailable_reason_ = why;
    reports_.emplace_back(Report::kLost, why);
  }
  device_.reset();
  device_keeps_time_ = false;
  awake_reported_.store(false, std::memory_order_release);
  keeper_->Restart(0);
  heard_frame_.store(core_->mixer.frames_emitted(), std::memory_order_release);
  next_retry_ = std::chrono::steady_clock::now() + retry_interval_;
}

void AudioEngine::TryReconnect() {
  const auto now = std::chrono::steady_clock::now();
  if (now < next_retry_) return;
  // The sound library's own threads are made at normal priority, as at start-up.
  if (real_time_) {
    sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  }
  Result<OpenedOutput> opened = output_.open(device_options_);
  std::unique_ptr<OutputSink> device = opened ? std::move(opened->sink) : nullptr;
  if (real_time_) RaiseToRealTime();
  if (!device) {
    retry_interval_ =
        std::min(retry_interval_ * 2, std::chrono::milliseconds(options_.longest_retry_ms));
    next_retry_ = std::chrono::steady_clock::now() + retry_interval_;
    return;
  }
  SetDevice(std::move(device));
  Post(Report::kNote, "sound device back: " + backend_name_);
  keeper_->Restart(0);
}

// What paces the stream while the engine renders without a device to wait on: a device that
// only keeps time itself (the null output, SvxLink's UDP stream), else the engine's keeper.
OutputSink& AudioEngine::Pacer() { return device_keeps_time_ ? *device_ : *keeper_; }

void AudioEngine::IdleThroughSilence(std::vector<float>& silence,
                                     std::chrono::milliseconds longest) {
  {
    std::unique_lock<std::mutex> lock(wake_mutex_);
    wake_.wait_for(lock, longest,
                   [this] { return wake_pending_ || quit_.load(std::memory_order_acquire); });
    wake_pending_ = false;
  }
  AccountSilence(silence);
}

// The silence that would have gone out meanwhile is accounted now, block by block, so that the
// timeline, the capture and every later frame keep their places in time. A batch that just
// arrived is applied by the next Render(), at the first frame after this silence.
void AudioEngine::AccountSilence(std::vector<float>& silence) {
  std::fill(silence.begin(), silence.end(), 0.0f);
  OutputSink& pacer = Pacer();
  for (int64_t due = pacer.FramesDueNow(); due > 0;) {
    // Without a capture to write it to, the silence is taken in one step.
    const int64_t count = capture_ ? std::min<int64_t>(due, block_frames_) : due;
    if (capture_) capture_->Write(silence.data(), static_cast<int>(count));
    core_->mixer.SkipSilence(count);
    pacer.Skip(count);
    due -= count;
  }
  heard_frame_.store(core_->mixer.frames_emitted(), std::memory_order_release);
}

// No device (or the null output): the time keeper paces the stream, and it sleeps through
// silence.
void AudioEngine::RenderOnKeeper(std::vector<float>& block) {
  if (core_->mixer.Silent()) {
    // A commit wakes it at once; without a device it also looks for one ten times a second.
    IdleThroughSilence(block, std::chrono::milliseconds(device_ ? 500 : 100));
    return;
  }
  core_->mixer.Render(block.data(), block_frames_);
  if (capture_) capture_->Write(block.data(), block_frames_);
  OutputSink& pacer = Pacer();
  // A sink that only keeps time has nothing to fail.
  ContinuePastFailure(pacer.Write(block.data(), block_frames_));
  heard_frame_.store(core_->mixer.frames_emitted() - pacer.QueuedFrames(),
                     std::memory_order_release);
}

// One block to the device. False when the device failed (it is then gone).
bool AudioEngine::PlayOnDevice(std::vector<float>& block) {
  core_->mixer.Render(block.data(), block_frames_);
  if (capture_) capture_->Write(block.data(), block_frames_);
  if (Status written = device_->Write(block.data(), block_frames_); !written) {
    if (!quit_.load(std::memory_order_acquire)) DeviceLost(written.message);
    return false;
  }
  // The device's delay is read every few blocks; between readings the estimate only errs late.
  const int64_t emitted = core_->mixer.frames_emitted();
  if (++writes_since_delay_ >= 4 || core_->mixer.Silent()) {
    writes_since_delay_ = 0;
    heard_frame_.store(emitted - device_->QueuedFrames(), std::memory_order_release);
  }
  const int64_t underruns = device_->Underruns();
  if (!resting_ && underruns > underruns_seen_) {
    underruns_.fetch_add(underruns - underruns_seen_, std::memory_order_acq_rel);
    underruns_seen_ = underruns;
    Post(Report::kNote, "sound output underrun (" + std::to_string(underruns_.load()) +
                            " so far) at timeline " +
                            Milliseconds(static_cast<double>(emitted) / sample_rate_));
  }
  return true;
}

// The device has played all there was to say: it rests, and the time keeper takes over from
// the moment the device will have played what it still holds.
void AudioEngine::Rest() {
  keeper_->Restart(device_->QueuedFrames());
  if (Status rested = device_->Rest(true); !rested) {
    DeviceLost(rested.message);
    return;
  }
  resting_ = true;
  awake_ = false;
  silent_from_ = -1;
  awake_reported_.store(false, std::memory_order_release);
  heard_frame_.store(core_->mixer.frames_emitted(), std::memory_order_release);
}

// A stream that starts while its sink runs joins the sink where it is already rendering, and
// what the sink had rendered ahead (a server takes back its own sink's buffer, but not what a
// monitor or a network sink has passed on) is lost from the stream's first frames. On a device
// that cannot start on silence first, each stretch of sound therefore begins with a lead of
// silence, so that what is dropped is never a word.
bool AudioEngine::WriteLead(std::vector<float>& block) {
  awake_reported_.store(true, std::memory_order_release);
  std::fill(block.begin(), block.end(), 0.0f);
  for (int lead = sample_rate_ * kLeadMs / 1000; lead > 0; lead -= block_frames_) {
    const int count = std::min(lead, block_frames_);
    if (capture_) capture_->Write(block.data(), count);
    if (Status written = device_->Write(block.data(), count); !written) {
      if (!quit_.load(std::memory_order_acquire)) DeviceLost(written.message);
      return false;
    }
    core_->mixer.SkipSilence(count);
  }
  return true;
}

void AudioEngine::RunAudioThread() {
  if (real_time_) RaiseToRealTime();
  std::vector<float> block(2 * static_cast<std::size_t>(block_frames_));
  using Clock = std::chrono::steady_clock;
  while (!quit_.load(std::memory_order_acquire)) {
    if (!device_) {
      if (output_.device) TryReconnect();
      if (!device_) {
        RenderOnKeeper(block);
        continue;
      }
    }
    if (prepare_.exchange(false, std::memory_order_acq_rel)) {
      prepared_until_ = Clock::now() + std::chrono::seconds(4);
    }
    const bool prepared = Clock::now() < prepared_until_;
    if (device_keeps_time_) {
      RenderOnKeeper(block);
      continue;
    }
    if (resting_) {
      // A sound due soon opens the stream ahead of it, so that the server has its sink running
      // when the sound comes.
      const bool silent = core_->mixer.Silent();
      if (silent && !prepared) {
        if (awake_) Rest();
        // Asleep until the loop has something to say; the silence is accounted on waking (the
        // time keeper takes more than a second of it for a stall, so the sleep stays under).
        IdleThroughSilence(block, std::chrono::milliseconds(500));
        continue;
      }
      if (!awake_) {
        if (Status woken = device_->Rest(false); !woken) {
          DeviceLost(woken.message);
          continue;
        }
        awake_ = true;
      }
      if (silent) {
        if (Status kept = device_->KeepPlayingSilence(); !kept) {
          DeviceLost(kept.message);
          continue;
        }
        IdleThroughSilence(block, std::chrono::milliseconds(20));
        continue;
      }
      // The sound goes in over silence that the stream already plays, where the sink reads
      // next; a device that cannot do that starts with a lead of silence instead.
      if (Status kept = device_->KeepPlayingSilence(); !kept) {
        DeviceLost(kept.message);
        continue;
      }
      const bool replacing = device_->ReplaceSilence();
      AccountSilence(block);  // up to now; from here the device keeps the time
      if (replacing) {
        awake_reported_.store(true, std::memory_order_release);
      } else if (!WriteLead(block)) {
        continue;
      }
      resting_ = false;
      underruns_seen_ = device_->Underruns();
    }
    // A stretch of silence after the sound (the loop may start the next clip a little late)
    // keeps the stream going; a longer one lets it rest once all has been played.
    if (!core_->mixer.Silent()) {
      silent_from_ = -1;
    } else if (silent_from_ < 0) {
      silent_from_ = core_->mixer.frames_emitted();
    } else if (core_->mixer.frames_emitted() - silent_from_ > sample_rate_ * kRestAfterMs / 1000) {
      Rest();
      continue;
    }
    PlayOnDevice(block);
  }
}

}  // namespace horatone
