// What the radio adapter needs to know: the Hamlib model and ports, the on-air timing, the
// busy policy and the receiver's audio. They live in section [RIG] of the settings file, apart
// from the window's own section, and each can be given on the command line, which wins.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "shell/profile_store.h"

namespace horatone {

inline constexpr const char* kRigSection = "RIG";

struct RigSettings {
  int model = 1;             // Hamlib model number; 1 is the dummy rig, 2 a running rigctld
  std::string rig_file;      // serial device, or host:port for rigctld; empty: the model's own
  int serial_speed = 0;      // 0: the model's own
  std::string ptt_file;      // empty: the rig's port
  std::string ptt_type;      // Hamlib's spelling ("RIG", "RTS", "CM108", ...); empty: the model's
  std::string dcd_type;      // likewise ("RIG", "CD", "CM108", "None", ...)
  int tx_delay_ms = 300;     // keyed before the first sample goes out
  int hang_ms = 200;         // keyed after the last sample has left the sound device
  int timeout_s = 60;        // the transmitter is released after this long whatever happens
  int busy_wait_s = 0;       // a scheduled announcement waits this long for a busy channel
  int dtmf_pause_ms = 2000;  // a DTMF code ends after this pause, or with '#'
  std::string rx_audio;      // the receiver's audio: pulse[:SOURCE] or alsa[:DEVICE]
};

// The [RIG] key that a command-line option sets ("--rig-model" and "-m" give "MODEL"), or
// nullptr when `option` is not one of the radio's options.
const char* RigKeyForOption(std::string_view option);

// The help lines of the radio's options.
std::string RigOptionsHelp();

// Reads section [RIG] of `profile`, then the values given on the command line (keyed by their
// [RIG] key). A value that is not valid leaves its default and adds one line to `problems`
// naming the value and where it came from.
RigSettings LoadRigSettings(ProfileStore& profile,
                            const std::map<std::string, std::string>& command_line,
                            std::vector<std::string>* problems);

}  // namespace horatone
