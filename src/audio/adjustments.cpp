// The operator's volume, speed, balance and position bars acting on the loaded clip, the
// 10 ms progress refresh (Timer1), and CleanUp, which drops the one media graph.
#include "shell/form1.h"

namespace horatone {

void Form1::CleanUp() {
  ClipGraph.reset();
  ClipAudio.reset();
  ClipPosition.reset();
}

void Form1::V1_Change() {
  if (ClipAudio) ContinuePastFailure(ClipAudio->SetVolume(V1.value()));
  VolSet.set_text(std::to_string(V1.value()));
}

void Form1::V2_Change() {
  if (ClipPosition) ContinuePastFailure(ClipPosition->SetRate(V2.value() / 100.0));
  if (clip_deadline_ms) ArmClipDeadline();
}

void Form1::H2_Change() {
  if (ClipAudio) ContinuePastFailure(ClipAudio->SetBalance(H2.value()));
}

void Form1::H1_Scroll() {
  if (ClipPosition) ContinuePastFailure(ClipPosition->SetCurrentPosition(H1.value()));
  ArmClipDeadline();  // playback moved: the progress refresh follows it again
}

void Form1::Timer1_Timer() {
  RefreshProgress();
  CheckForStalledClip();
}

}  // namespace horatone
