// The node's release waits for the sound. A release (Transmit False) that comes while clip
// samples are still queued in the sound device is passed on once they have been played, so a
// release never cuts the last word; a key-up meanwhile withdraws it. The wait is bounded, and
// a release still waiting when the object goes (the program ends) is passed on at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "echolink/echolink_object.h"
#include "shell/services.h"

namespace horatone {

class QuietReleaseNodes final : public NodeFactory {
 public:
  // `seconds_until_quiet`: how long until the last queued sample has been played (the audio
  // engine's report); `inner` and `timers` outlive the objects made here.
  QuietReleaseNodes(NodeFactory& inner, TimerService& timers,
                    std::function<double()> seconds_until_quiet);
  Result<std::unique_ptr<EchoLinkObject>> Create() override;

  // The longest a release waits for the sound, should the device never report it played.
  static constexpr int kLongestWaitMs = 3000;

 private:
  NodeFactory& inner_;
  TimerService& timers_;
  std::function<double()> seconds_until_quiet_;
};

}  // namespace horatone
