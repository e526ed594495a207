// The mixer: sums the playing voices (one per rendered graph) into the stereo stream that goes
// on air. Voices are made and freed on the loop thread; the mixer learns of them only through
// batches of commands published at Commit and hands each back through the retire ring once it
// is silent. Render() runs on the audio thread (or a test's pump), takes no lock, allocates
// nothing.
//
// Each voice renders a little ahead of what is sent out (the hold-back). When a clip ends, the
// sequencer only notices on its next tick; a clip started within the hold-back after that is
// placed at the old clip's end frame, so the two join without a gap.
#pragma once

#include <samplerate.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "sound/clip_decoder.h"
#include "sound/spsc_ring.h"

namespace horatone {

struct Voice {
  Voice(std::shared_ptr<const DecodedClip> decoded, int ahead_capacity_frames);
  ~Voice();
  Voice(const Voice&) = delete;
  Voice& operator=(const Voice&) = delete;

  const std::shared_ptr<const DecodedClip> clip;

  // Published by the mixer, read by the loop thread: clip frames played (exactly clip->frames
  // once the clip has played to its end) and the sequence number of the last command applied.
  std::atomic<int64_t> played_frames{0};
  std::atomic<uint64_t> applied_seq{0};

  // Mixer state; touched only by the thread that renders.
  SRC_STATE* resampler = nullptr;
  std::vector<float> ahead;    // stereo frames rendered but not yet sent out
  std::vector<float> scratch;  // resampler output in the clip's own channels
  int ahead_frames = 0;
  int64_t cursor = 0;  // next clip frame to feed
  double rate = 1.0;
  bool running = false;
  bool at_end = false;
  bool removing = false;
  bool in_mixer = false;
  bool start_pending = false;
  float gain_left = 1.0f, gain_right = 1.0f;
  float target_left = 1.0f, target_right = 1.0f;
  long volume = 0;
  long balance = 0;
};

struct VoiceCommand {
  enum Kind { kAdd, kRemove, kRun, kStop, kSeek, kRate, kVolume, kBalance };
  Kind kind = kAdd;
  Voice* voice = nullptr;
  double value = 0;  // seek: clip frame; rate; volume and balance in hundredths of a dB
  uint64_t seq = 0;
};

class Mixer {
 public:
  Mixer(int sample_rate, int max_block_frames, int holdback_frames);
  ~Mixer();

  int sample_rate() const { return sample_rate_; }
  int max_block_frames() const { return max_block_frames_; }
  int holdback_frames() const { return holdback_frames_; }
  int64_t frames_emitted() const { return emitted_published_.load(std::memory_order_acquire); }
  // The timeline frame just after the last clip frame queued so far, silence after a clip's
  // end not counted: output is quiet once this frame has been sent.
  int64_t sound_end_frame() const { return sound_end_published_.load(std::memory_order_acquire); }

  // Any thread. While held, silence goes out and no voice moves on: clips wait, nothing is
  // lost, and their positions stay where they were (the transmitter is still keying up).
  void SetHold(bool hold) { hold_.store(hold, std::memory_order_release); }

  // Loop thread.
  std::unique_ptr<Voice> NewVoice(std::shared_ptr<const DecodedClip> clip) const;
  // Makes the whole batch visible to the mixer at once; false (nothing sent) when the ring has
  // no room for all of it, and the caller tries again at its next commit.
  bool Publish(const std::vector<VoiceCommand>& batch);
  // A voice the mixer no longer uses; the loop thread may free it.
  bool TakeRetired(Voice** voice) { return retired_.Pop(voice); }

  // Audio thread: the next `frames` (at most max_block_frames) stereo frames, interleaved.
  void Render(float* out, int frames);
  // Audio thread: true while Render() could give nothing but silence until the next batch
  // arrives: no command waiting, no voice with output queued or still to make, none to retire.
  bool Silent() const;
  // Audio thread, while Silent(): `frames` of silence count as sent, without rendering them.
  void SkipSilence(int64_t frames);

 private:
  void Apply(const VoiceCommand& command);
  void Cut(Voice& voice);
  void Place(Voice& voice);
  void Fill(Voice& voice, int upto_frames);
  void PublishPosition(Voice& voice);

  const int sample_rate_;
  const int max_block_frames_;
  const int holdback_frames_;
  SpscRing<VoiceCommand> commands_;
  SpscRing<Voice*> retired_;
  std::vector<Voice*> active_;  // capacity reserved up front
  std::vector<Voice*> retire_backlog_;
  int64_t emitted_ = 0;
  std::atomic<int64_t> emitted_published_{0};
  std::atomic<int64_t> sound_end_published_{0};
  std::atomic<bool> hold_{false};
  int64_t last_end_frame_ = 0;  // timeline frame just after the last clip that played out
  bool last_end_valid_ = false;
};

}  // namespace horatone
