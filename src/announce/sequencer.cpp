// The sequencer: SayAudioTime starts an announcement, TXFile loads and plays the clip of
// LoadStep with the transmitter keyed, and the Timer2 tick notices the end of a clip and
// runs the step blocks, so that each end of clip starts exactly the next clip in one tick.
#include <cmath>

#include "announce/steps.h"
#include "shell/form1.h"
#include "shell/seconds_text.h"
#include "shell/texts.h"

namespace horatone {

void Form1::ApplyVolumeAndRate() {
  if (ClipAudio) ContinuePastFailure(ClipAudio->SetVolume(V1.value()));
  if (ClipPosition) ContinuePastFailure(ClipPosition->SetRate(V2.value() / 100.0));
}

void Form1::RunFromStart() {
  if (ClipGraph) {
    ContinuePastFailure(ClipGraph->Run());
    started_graph_ = ClipGraph;
    started_path_ = ClipPath;
  }
  if (ClipPosition) ContinuePastFailure(ClipPosition->SetCurrentPosition(0));
  ArmClipDeadline();
}

bool Form1::SoundCanBeHeard() {
  const Status sound = services_.media.Unavailable();
  if (sound) return true;
  // Keying the transmitter with nothing to send would put dead air on the channel.
  Log("no sound device: announcement skipped (" + sound.message + ")");
  return false;
}

void Form1::StartAnnouncement(std::optional<int> first_step) {
  const bool scheduled = scheduled_start_;
  if (!scheduled && schedule_.quiet_all && schedule_.QuietAt(SpokenTime())) {
    Log("announcement not made: quiet hours");
    return;
  }
  if (!SoundCanBeHeard()) return;
  PlanTail(scheduled);
  lone_play_ = false;
  LoadFile();
  if (!load_status_.ok()) return;  // the recovery has ended the announcement
  ApplyVolumeAndRate();
  RunFromStart();
  const int step = first_step.value_or(Check2.value() == 1 ? kStepLeadIn : kStepTimeIs);
  LoadStep = step;
  NextStep = step;
  Timer2.set_running(true);
}

void Form1::SayAudioTime() { StartAnnouncement(std::nullopt); }

// Messages go with scheduled announcements only; the identification with any announcement,
// as often as the schedule asks for it.
void Form1::PlanTail(bool scheduled) {
  tail_.clear();
  tail_next_ = 0;
  if (scheduled) {
    for (const std::string& clip : schedule_.MessagesAt(SpokenTime(), false)) {
      tail_.push_back({clip, false});
    }
  }
  if (schedule_.id_clip.empty()) return;
  const std::int64_t now = services_.timers.NowMs();
  if (schedule_.id_every == 0 || !last_identification_ms_ ||
      now - *last_identification_ms_ >= schedule_.id_every * 60000LL) {
    tail_.push_back({schedule_.id_clip, true});
  }
}

// The clip before has ended: the next clip after the time, or the end. The identification is
// never sent into a busy channel; it goes with a later announcement instead.
void Form1::ContinueIntoTail() {
  while (tail_next_ < tail_.size() && tail_[tail_next_].identification && NodeIsBusy()) {
    Log("identification held back: the channel is busy");
    ++tail_next_;
  }
  if (tail_next_ >= tail_.size()) {
    EndAnnouncement();
    return;
  }
  ClipPath.clear();
  LoadStep = kStepTail;
  TXFile();
}

void Form1::TXFile() {
  ApplyVolumeAndRate();
  ClipPath.clear();
  LoadFile();
  if (!load_status_.ok()) return;  // released by the recovery; nothing more is keyed
  Text2.set_text(std::string(texts::kZeroTime));
  ShowPtt(PTT, true);
  ContinuePastFailure(echolink_->Transmit(true));
  RunFromStart();
}

namespace {

// What LoadStep holds once a block has run, besides a step code: no step, or the ready value
// (the suffix block ends the announcement).
constexpr int kNoStep = 0;
constexpr int kReadyValue = -1;

struct StepBlock {
  int step;             // runs when NextStep holds this step
  int load_step_after;  // a step code, kNoStep or kReadyValue
};

constexpr StepBlock kPlainBlocks[] = {{kStepLeadIn, kNoStep},
                                      {kStepTimeIs, kNoStep},
                                      {kStepHour, kNoStep},
                                      {kStepMinute, kStepLeadIn},
                                      {kStepSuffix, kReadyValue}};
constexpr StepBlock kWordedBlocks[] = {{kStepLeadIn, kNoStep},     {kStepTimeIs, kNoStep},
                                       {kStepHour, kNoStep},       {kStepHourWord, kNoStep},
                                       {kStepMinute, kStepLeadIn}, {kStepMinuteWord, kStepLeadIn},
                                       {kStepSuffix, kReadyValue}};

// A step the chosen chain has no block for (the operator changed "Hr / Min" or the lead-in
// during an announcement) goes on with the next step that chain has.
std::optional<int> StepInChain(int step, bool worded, bool lead_in) {
  if (!worded && step == kStepHourWord) return kStepMinute;
  if (!worded && step == kStepMinuteWord) return kStepSuffix;
  if (!lead_in && step == kStepLeadIn) return kStepTimeIs;
  return std::nullopt;
}

}  // namespace

void Form1::Timer2_Timer() {
  if (ClipHasEnded()) {
    const bool worded = Check1.value() != 0;
    if (NextStep) {
      if (const std::optional<int> step = StepInChain(*NextStep, worded, Check2.value() == 1)) {
        // Loaded afresh, not as the reload of an ended clip.
        NextStep = step;
        Text2.set_text(std::string(texts::kZeroTime));
      }
    }
    const auto* blocks = worded ? std::begin(kWordedBlocks) : std::begin(kPlainBlocks);
    const auto* end = worded ? std::end(kWordedBlocks) : std::end(kPlainBlocks);
    for (const StepBlock* block = blocks; block != end; ++block) {
      if (block->step == kStepLeadIn && Check2.value() != 1) continue;
      if (NextStep != block->step) continue;
      ClipPath.clear();
      LoadStep = block->step;
      TXFile();
      if (!load_status_.ok()) return;
      ApplyVolumeAndRate();
      LoadStep = block->load_step_after == kReadyValue ? ReadyStep() : block->load_step_after;
    }
    if (NextStep == kStepTail) {
      ContinueIntoTail();
      if (!load_status_.ok()) return;
    }
  }
  RefreshProgress();
}

void Form1::RefreshProgress() {
  if (!ClipPosition) return;
  // One reading of the position serves the bar and the text (this runs every 1 and 10 ms).
  const std::optional<double> position = ClipPosition->CurrentPosition();
  if (position) H1.set_value(static_cast<int>(std::nearbyint(*position)));
  if (const std::optional<double> duration = ClipPosition->Duration()) {
    Text1.set_text(progress_texts_.Text(0, *duration));
  }
  if (position) Text2.set_text(progress_texts_.Text(1, *position));
}

void Form1::ArmClipDeadline() {
  clip_deadline_ms.reset();
  if (!ClipPosition) return;
  const std::optional<double> duration = ClipPosition->Duration();
  const std::optional<double> position = ClipPosition->CurrentPosition();
  if (!duration || !position) return;
  const double rate = V2.value() / 100.0;
  constexpr double kGraceMs = 2000;
  const double remaining_ms = std::max(0.0, *duration - *position) / rate * 1000.0;
  clip_deadline_ms = services_.timers.NowMs() + static_cast<std::int64_t>(remaining_ms + kGraceMs);
}

void Form1::CheckForStalledClip() {
  if (!clip_deadline_ms || services_.timers.NowMs() < *clip_deadline_ms) return;
  const bool clip_ended = ClipHasEnded();
  if (clip_ended && Announcing != 1) {
    clip_deadline_ms.reset();  // ended as it should
    return;
  }
  // The clip stopped short of its end, or the chain did not go on after it: give up on this
  // announcement rather than hold the transmitter.
  AbandonAnnouncement(clip_ended ? "the chain did not go on after a clip"
                                 : "a clip stopped before its end");
}

}  // namespace horatone
