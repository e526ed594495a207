// What the clock needs of a SvxLink, worked out from its configuration: the values to set in
// svxlink.conf (the clock's receiver, a Voter that puts it beside the logic's own receiver,
// the logic's control PTY, its squelch-opens-the-repeater settings and the handler's FIFO),
// where SvxLink loads the Tcl handler from, and the service drop-in that starts the clock as
// SvxLink's user with the matching options. Pure: `horatone svxlink-setup` does the files.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "node/svxlink/svx_config.h"
#include "shell/status.h"

namespace horatone {

struct SvxSetupOptions {
  std::string logic = "RepeaterLogic";   // the logic the clock joins
  std::string audio = "127.0.0.1:5300";  // the clock receiver's UDP input, HOST:PORT
  std::string squelch_pty = "/dev/shm/horatone_sql";
  std::string dtmf_pty = "/dev/shm/horatone_dtmf";
  std::string events = "/run/horatone/svxlink";
  std::string user = "svxlink";  // the user SvxLink runs as, and so the clock
  std::string root = "/var/lib/horatone";
  std::string binary = "/usr/bin/horatone";
};

// One value the clock needs in svxlink.conf; `had` is what the file says now, if anything.
struct SvxChange {
  std::string section, key, want;
  std::optional<std::string> had;
};

// The clock's receiver and the Voter, as the set-up names them.
inline constexpr const char* kSvxClockReceiver = "HoratoneRx";
inline constexpr const char* kSvxVoter = "Voter";

// The values to set so that `file` has what the clock needs, in the order they are set;
// nothing when it has it all. A failure when the file has no section for the logic.
Result<std::vector<SvxChange>> SvxSetupChanges(const SvxConfigFile& file,
                                               const SvxSetupOptions& options);
// `file` with `changes` made.
void ApplySvxChanges(SvxConfigFile* file, const std::vector<SvxChange>& changes);

// Where SvxLink loads local event handlers from: events.d/local/ beside the logic's
// EVENT_HANDLER (SvxLink's own default when the logic names none).
std::string SvxLocalEventsFolder(const SvxConfigFile& file, const SvxSetupOptions& options);
// The sample rate the clock must send at: CARD_SAMPLE_RATE of [GLOBAL], 48000 without it.
int SvxCardRate(const SvxConfigFile& file);
// The text of the clock service's drop-in for this SvxLink.
std::string SvxServiceDropIn(const SvxConfigFile& file, const SvxSetupOptions& options);

}  // namespace horatone
