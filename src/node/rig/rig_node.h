// A radio on a sound-card interface as the node: Hamlib keys the transmitter (CAT, serial
// RTS/DTR, CM108 GPIO, ... or a running rigctld) and reads squelch for the busy flag, and DTMF
// from the receiver's audio becomes DTMFString events. Hamlib's calls block, so one worker
// thread owns the rig; the loop thread only sees cached state and queues requests, and results
// come back through `post_to_loop`, which works under any loop that can run a task posted from
// another thread.
//
// On the air: the sound output is held from the request to key until the radio has been keyed
// for the TX delay, so the first syllable is never clipped; the release waits until the last
// sample has left the sound device plus the hang time; the transmit time-out releases the
// radio whatever the clock thinks and refuses to key again until the clock has released it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "echolink/echolink_object.h"
#include "node/rig/rig_settings.h"
#include "shell/status.h"

namespace horatone {

class RigNode : public NodeFactory {
 public:
  struct Hooks {
    // Required. Runs the task on the loop thread; called from the worker and capture threads.
    std::function<void(std::function<void()>)> post_to_loop;
    // Loop thread: one line for the operator's log.
    std::function<void(const std::string&)> log;
    // Loop thread: the rig stopped answering, so anything under way is not on the air.
    std::function<void(const std::string&)> on_lost;
    // The sound output, called from the loop and worker threads. Without them the radio keys
    // at once and is released the hang time after the clock's release.
    std::function<void(bool)> hold_output;
    std::function<double()> seconds_until_quiet;  // negative: quiet for that long already
    // Worker thread, as soon as the radio has taken a PTT change, with the moment the call
    // that made it began (Hamlib may wait inside the call): for measurements.
    std::function<void(bool keyed, std::chrono::steady_clock::time_point asked_at)> on_ptt;
  };

  // Makes the rig from the settings (no I/O yet: the worker opens it and keeps trying) and,
  // when the settings name one, starts the receiver's audio. A failure for a
  // model Hamlib does not know or a setting it refuses.
  static Result<std::unique_ptr<RigNode>> Open(const RigSettings& settings, Hooks hooks);
  // Releases the transmitter and closes the rig.
  ~RigNode() override;
  RigNode(const RigNode&) = delete;
  RigNode& operator=(const RigNode&) = delete;

  // Objects made here stay usable after the node is gone; their calls then fail.
  Result<std::unique_ptr<EchoLinkObject>> Create() override;

  // The receiver's audio, 8 kHz mono, from one thread at a time (the capture, or a test).
  // Deaf while the transmitter is keyed, being keyed, and for the hang time after.
  void FeedReceiverAudio(const int16_t* samples, int count);

  bool connected() const;
  // Manufacturer and model as Hamlib names them ("Hamlib NET rigctl").
  const std::string& model_name() const;

  class Core;

 private:
  explicit RigNode(std::shared_ptr<Core> core);
  std::shared_ptr<Core> core_;
};

}  // namespace horatone
