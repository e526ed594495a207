// The two buttons that start playback by hand: "Say The Time" speaks the time as the
// schedule does; "Play" sounds the one clip the composer gives for the current state.
#include "shell/form1.h"

namespace horatone {

void Form1::Command29_Click() {
  if (NodeIsBusy()) return;
  Log("announcement: Say The Time");
  SayAudioTime();
}

void Form1::Command1_Click() {
  Log("Play");
  if (!SoundCanBeHeard()) return;
  LoadFile();
  if (!load_status_.ok()) return;
  RunFromStart();
  // Whatever this clip keyed is released once it has ended (see Beacon8_Timer).
  lone_play_ = !Timer2.running();
}

}  // namespace horatone
