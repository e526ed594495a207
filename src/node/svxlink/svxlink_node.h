// SvxLink as the node: the clock is one more receiver of SvxLink. Keying is that receiver's
// squelch, written to its squelch PTY ('O' open, 'Z' closed); the audio goes to its UDP input
// (SvxUdpSink); codes come from the logic's DTMF control PTY, where SvxLink writes every digit
// it receives from the air or through the PTY. The shipped Tcl handler reports SvxLink's
// squelch and transmitter into the clock's FIFO for the busy flags, and claims the clock's
// code (written beside the FIFO) so that SvxLink leaves it alone (svx_event_files.h). With
// SvxLink's EchoLink module loaded it also reports a station talking (flag 3), the chat lines
// stations send (the chat event) and the module's callsign (the information text).
//
// Everything runs on the loop thread. SvxLink going away (its PTYs hang up) releases the
// clock's transmitter, is logged, and the node waits for the PTYs to come back.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "echolink/echolink_object.h"
#include "shell/status.h"

namespace horatone {

class PosixLoop;

struct SvxLinkSettings {
  std::string squelch_pty;  // PTY_PATH of the clock's receiver
  std::string dtmf_pty;     // DTMF_CTRL_PTY of the logic
  // The FIFO the Tcl handler reports into (HORATONE_EVENTS in the logic), the code file beside
  // it; empty for none, and then the busy flags stay clear and SvxLink hears the code too.
  std::string events;
  int dtmf_pause_ms = 2000;  // a code without '#' ends after this pause
  // How long after a release the squelch stays open, so that SvxLink's own path from receiver
  // to transmitter plays out the last sample. The release itself comes once the clock's
  // sound has been played (QuietReleaseNodes in front of this node).
  int release_margin_ms = 150;
};

class SvxLinkNode : public NodeFactory {
 public:
  struct Hooks {
    std::function<void(const std::string&)> log;
    // SvxLink went away, so anything under way is not on the air.
    std::function<void(const std::string&)> on_lost;
  };

  // A failure when the settings are unusable or the events FIFO is not the clock's to use. A
  // SvxLink that is not running yet is no failure: the node waits for it.
  static Result<std::unique_ptr<SvxLinkNode>> Open(PosixLoop& loop, SvxLinkSettings settings,
                                                   Hooks hooks);
  // Closes the clock's squelch and the PTYs, and removes the code file (the FIFO stays: with
  // nobody reading it, the handler cannot open it).
  ~SvxLinkNode() override;
  SvxLinkNode(const SvxLinkNode&) = delete;
  SvxLinkNode& operator=(const SvxLinkNode&) = delete;

  // Objects made here stay usable after the node is gone; their calls then fail.
  Result<std::unique_ptr<EchoLinkObject>> Create() override;
  bool connected() const;
  // The information text: "SvxLink", and the EchoLink module's callsign once it is known.
  std::string InfoText() const;
  // The clock's DTMF code, whenever it is set or changes: written into the code file for the
  // Tcl handler. A failure to write it is logged, once for each reason.
  void SetClockCode(const std::string& code);

  class Core;

 private:
  explicit SvxLinkNode(std::shared_ptr<Core> core);
  std::shared_ptr<Core> core_;
};

}  // namespace horatone
