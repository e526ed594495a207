// Releasing the transmitter and the two indicators: the unkey check (Beacon8) once a second
// releases the transmitter when the last clip has ended and no announcement is under way,
// and repeats the release while the clock is idle; Timer6 shows the node's own report.
#include "shell/form1.h"

namespace horatone {

void Form1::Beacon8_Timer() {
  const bool clip_ended = ClipHasEnded();
  if (lone_play_ && clip_ended && !Timer2.running()) {
    // A clip that "Play" started has ended with no announcement under way.
    lone_play_ = false;
    Announcing = 0;
  }
  if (clip_ended && Announcing == 0) ReleaseTransmitter();
}

void Form1::Timer6_Timer() {
  const Result<bool> keyed = echolink_->TransmitState();
  if (!keyed) return;  // no report this time; the indicator keeps its last state
  ShowPtt(PTT2, *keyed);
}

}  // namespace horatone
