// The simulated node, the default when no node program is connected: it keeps the transmit
// state, the busy flags and the info text, records every call with its time, and lets tests
// and the node panel send DTMF, chat and closing. Every window's instance talks to the one
// simulated node; events go to the instances that asked for them. Loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "echolink/echolink_object.h"
#include "shell/services.h"

namespace horatone {

class SimulatedNode : public NodeFactory {
 public:
  explicit SimulatedNode(const TimerService& time);
  ~SimulatedNode() override;

  // Objects made here stay usable after the node is gone; their calls then fail.
  Result<std::unique_ptr<EchoLinkObject>> Create() override;

  struct Call {
    std::int64_t ms;   // loop time of the call
    std::string what;  // "Transmit 1", "Transmit 0", "Aux 0", "Chat <text>"
  };
  const std::vector<Call>& calls() const { return calls_; }
  // Only the Transmit calls, each with its time and value.
  std::vector<std::pair<std::int64_t, bool>> TransmitCalls() const;
  bool keyed() const { return keyed_; }

  std::string info_text = "Simulated node";
  bool busy[3] = {false, false, false};
  // Failure injection: every call fails while set.
  bool fail_calls = false;
  // Told after every call the clock makes (the node panel follows it).
  std::function<void()> on_call;

  void SendDtmf(const std::string& digits);
  void SendChat(const std::string& text);
  void Close();

 private:
  class Core;
  void Record(std::string what);

  const TimerService& time_;
  bool keyed_ = false;
  std::vector<Call> calls_;
  std::shared_ptr<Core> core_;
};

}  // namespace horatone
