// The mixer of the audio engine; see mixer.h.
#include "sound/mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace horatone {
namespace {

constexpr std::size_t kMaxVoices = 256;
constexpr std::size_t kCommandCapacity = 8192;
constexpr std::size_t kRetireCapacity = 1024;

// Hundredths of a decibel to a linear factor; -10000 and below is silence.
float GainOf(double hundredths_db) {
  if (hundredths_db <= -10000) return 0.0f;
  return static_cast<float>(std::pow(10.0, hundredths_db / 2000.0));
}

// Writes `frames` frames of `channels` (1 or 2) as stereo.
void ToStereo(const float* in, int channels, int frames, float* out) {
  if (channels == 2) {
    std::memcpy(out, in, sizeof(float) * 2 * static_cast<std::size_t>(frames));
  } else {
    for (int i = 0; i < frames; ++i) out[2 * i] = out[2 * i + 1] = in[i];
  }
}

}  // namespace

Voice::Voice(std::shared_ptr<const DecodedClip> decoded, int ahead_capacity_frames)
    : clip(std::move(decoded)),
      ahead(2 * static_cast<std::size_t>(ahead_capacity_frames)),
      scratch(static_cast<std::size_t>(clip->channels) * ahead_capacity_frames) {
  int error = 0;
  resampler = src_new(SRC_SINC_FASTEST, clip->channels, &error);
}

Voice::~Voice() {
  if (resampler != nullptr) src_delete(resampler);
}

Mixer::Mixer(int sample_rate, int max_block_frames, int holdback_frames)
    : sample_rate_(sample_rate),
      max_block_frames_(max_block_frames),
      holdback_frames_(holdback_frames),
      commands_(kCommandCapacity),
      retired_(kRetireCapacity) {
  active_.reserve(kMaxVoices);
  retire_backlog_.reserve(kRetireCapacity);
}

Mixer::~Mixer() = default;

std::unique_ptr<Voice> Mixer::NewVoice(std::shared_ptr<const DecodedClip> clip) const {
  const int fade_frames = sample_rate_ / 500;
  return std::make_unique<Voice>(std::move(clip),
                                 holdback_frames_ + max_block_frames_ + fade_frames);
}

bool Mixer::Publish(const std::vector<VoiceCommand>& batch) {
  if (batch.empty()) return true;
  if (commands_.FreeSlots() < batch.size()) return false;
  for (const VoiceCommand& command : batch) commands_.Stage(command);
  commands_.Publish();
  return true;
}

void Mixer::Render(float* out, int frames) {
  while (!retire_backlog_.empty() && retired_.Push(retire_backlog_.back())) {
    retire_backlog_.pop_back();
  }
  VoiceCommand command;
  while (commands_.Pop(&command)) Apply(command);
  const bool held = hold_.load(std::memory_order_acquire);
  if (!held) {
    for (Voice* voice : active_) Place(*voice);
    for (Voice* voice : active_) {
      if (voice->running && !voice->removing) Fill(*voice, holdback_frames_ + frames);
    }
  }

  std::fill(out, out + 2 * static_cast<std::size_t>(frames), 0.0f);
  for (std::size_t i = 0; i < active_.size();) {
    Voice& voice = *active_[i];
    const int take = held ? 0 : std::min(frames, voice.ahead_frames);
    if (take > 0) {
      // Volume and balance follow their targets over one block, so a change does not click.
      const float step_left = (voice.target_left - voice.gain_left) / static_cast<float>(frames);
      const float step_right = (voice.target_right - voice.gain_right) / static_cast<float>(frames);
      float left = voice.gain_left, right = voice.gain_right;
      for (int f = 0; f < take; ++f) {
        left += step_left;
        right += step_right;
        out[2 * f] += voice.ahead[2 * f] * left;
        out[2 * f + 1] += voice.ahead[2 * f + 1] * right;
      }
      voice.ahead_frames -= take;
      std::memmove(voice.ahead.data(), voice.ahead.data() + 2 * take,
                   sizeof(float) * 2 * static_cast<std::size_t>(voice.ahead_frames));
    }
    voice.gain_left = voice.target_left;
    voice.gain_right = voice.target_right;
    if (voice.removing && voice.ahead_frames == 0) {
      voice.in_mixer = false;
      if (!retired_.Push(&voice)) retire_backlog_.push_back(&voice);
      active_[i] = active_.back();
      active_.pop_back();
      continue;
    }
    ++i;
  }
  emitted_ += frames;
  int64_t sound_end = sound_end_published_.load(std::memory_order_relaxed);
  for (const Voice* voice : active_) {
    if (voice->ahead_frames > 0 || (voice->running && !voice->at_end && !voice->removing)) {
      sound_end = std::max(sound_end, emitted_ + voice->ahead_frames);
    }
  }
  sound_end_published_.store(sound_end, std::memory_order_release);
  emitted_published_.store(emitted_, std::memory_order_release);
}

bool Mixer::Silent() const {
  if (!commands_.Empty() || !retire_backlog_.empty()) return false;
  for (const Voice* voice : active_) {
    if (voice->removing || voice->start_pending || voice->ahead_frames > 0) return false;
    if (voice->running && !voice->at_end) return false;
  }
  return true;
}

void Mixer::SkipSilence(int64_t frames) {
  emitted_ += frames;
  emitted_published_.store(emitted_, std::memory_order_release);
}

void Mixer::Apply(const VoiceCommand& command) {
  Voice& voice = *command.voice;
  const int64_t clip_frames = voice.clip->frames;
  switch (command.kind) {
    case VoiceCommand::kAdd:
      if (active_.size() < kMaxVoices) {
        active_.push_back(&voice);
        voice.in_mixer = true;
      }
      break;
    case VoiceCommand::kRemove:
      // A clip that has played to its end keeps the tail it has queued: that is the end the
      // next clip joins. One still playing is silenced.
      voice.removing = true;
      voice.running = false;
      if (!voice.at_end) Cut(voice);
      if (!voice.in_mixer && !retired_.Push(&voice)) retire_backlog_.push_back(&voice);
      return;  // the loop thread reads nothing more from a removed voice
    case VoiceCommand::kRun:
      if (!voice.running) {
        voice.running = true;
        voice.start_pending = true;
      }
      break;
    case VoiceCommand::kStop:
      voice.running = false;
      voice.start_pending = false;
      if (!voice.at_end) Cut(voice);
      break;
    case VoiceCommand::kSeek:
      Cut(voice);
      voice.cursor = std::clamp<int64_t>(static_cast<int64_t>(command.value), 0, clip_frames);
      voice.at_end = voice.cursor >= clip_frames;
      if (voice.resampler != nullptr) src_reset(voice.resampler);
      if (voice.running && !voice.at_end) voice.start_pending = true;
      break;
    case VoiceCommand::kRate:
      if (voice.rate != command.value && voice.resampler != nullptr) src_reset(voice.resampler);
      voice.rate = command.value;
      break;
    case VoiceCommand::kVolume:
    case VoiceCommand::kBalance: {
      (command.kind == VoiceCommand::kVolume ? voice.volume : voice.balance) =
          static_cast<long>(command.value);
      // Balance attenuates the channel opposite to the side it favours.
      const float level = GainOf(static_cast<double>(voice.volume));
      voice.target_left = level * GainOf(voice.balance > 0 ? -voice.balance : 0);
      voice.target_right = level * GainOf(voice.balance < 0 ? voice.balance : 0);
      break;
    }
  }
  PublishPosition(voice);
  voice.applied_seq.store(command.seq, std::memory_order_release);
}

// Silences what the voice has queued: the next couple of milliseconds fade out, the rest is
// dropped. Anything the voice plays next follows the faded part.
void Mixer::Cut(Voice& voice) {
  const int keep = std::min(voice.ahead_frames, sample_rate_ / 500);
  for (int f = 0; f < keep; ++f) {
    const float weight = static_cast<float>(keep - f) / static_cast<float>(keep + 1);
    voice.ahead[2 * f] *= weight;
    voice.ahead[2 * f + 1] *= weight;
  }
  voice.ahead_frames = keep;
}

// A voice that starts from silence begins at the end frame of the clip that ended last, when
// that frame has not gone out yet; otherwise with the next frame sent.
void Mixer::Place(Voice& voice) {
  if (!voice.start_pending) return;
  voice.start_pending = false;
  if (!voice.running || voice.at_end || voice.removing || voice.ahead_frames > 0) return;
  int offset = 0;
  if (last_end_valid_) {
    offset = static_cast<int>(std::clamp<int64_t>(last_end_frame_ - emitted_, 0, holdback_frames_));
    last_end_valid_ = false;
  }
  std::fill(voice.ahead.begin(), voice.ahead.begin() + 2 * offset, 0.0f);
  voice.ahead_frames = offset;
}

void Mixer::Fill(Voice& voice, int upto_frames) {
  const DecodedClip& clip = *voice.clip;
  while (!voice.at_end && voice.ahead_frames < upto_frames) {
    const int want = upto_frames - voice.ahead_frames;
    float* out = voice.ahead.data() + 2 * static_cast<std::size_t>(voice.ahead_frames);
    const float* in = clip.samples.data() + voice.cursor * clip.channels;
    int got = 0;
    if (clip.sample_rate == sample_rate_ && voice.rate == 1.0) {
      got = static_cast<int>(std::min<int64_t>(want, clip.frames - voice.cursor));
      ToStereo(in, clip.channels, got, out);
      voice.cursor += got;
      voice.at_end = voice.cursor >= clip.frames;
    } else if (voice.resampler == nullptr) {
      voice.at_end = true;
    } else {
      SRC_DATA data{};
      data.data_in = in;
      data.input_frames = static_cast<long>(clip.frames - voice.cursor);
      data.data_out = voice.scratch.data();
      data.output_frames = want;
      data.end_of_input = 1;  // the whole rest of the clip is always handed over
      data.src_ratio = static_cast<double>(sample_rate_) / (clip.sample_rate * voice.rate);
      if (src_process(voice.resampler, &data) != 0) {
        voice.at_end = true;
      } else {
        got = static_cast<int>(data.output_frames_gen);
        voice.cursor += data.input_frames_used;
        ToStereo(voice.scratch.data(), clip.channels, got, out);
        voice.at_end = got == 0 && data.input_frames_used == 0;
      }
    }
    voice.ahead_frames += got;
    if (voice.at_end) {
      voice.cursor = clip.frames;
      last_end_frame_ = emitted_ + voice.ahead_frames;
      last_end_valid_ = true;
    }
  }
  PublishPosition(voice);
}

void Mixer::PublishPosition(Voice& voice) {
  const int64_t frames = voice.clip->frames;
  const int64_t played = voice.at_end ? frames : std::min(voice.cursor, frames - 1);
  voice.played_frames.store(played, std::memory_order_release);
}

}  // namespace horatone
