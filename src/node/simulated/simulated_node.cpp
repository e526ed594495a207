#include "node/simulated/simulated_node.h"

#include <algorithm>

#include "node/node_events.h"

namespace horatone {

class SimulatedNode::Instance : public EchoLinkObject {
 public:
  explicit Instance(SimulatedNode& node) : node_(&node) { node_->instances_.push_back(this); }
  ~Instance() override {
    if (node_) std::erase(node_->instances_, this);
  }
  void Detach() { node_ = nullptr; }
  EchoLinkEvents* events() const { return events_; }

  Status Transmit(bool key) override {
    if (!Usable()) return Failed();
    node_->keyed_ = key;
    node_->Record(std::string("Transmit ") + (key ? "1" : "0"));
    return Status::Ok();
  }
  std::optional<bool> TransmitState() override {
    if (!Usable()) return std::nullopt;
    return node_->keyed_;
  }
  std::optional<bool> BusyFlag1() override { return Busy(0); }
  std::optional<bool> BusyFlag2() override { return Busy(1); }
  std::optional<bool> BusyFlag3() override { return Busy(2); }
  std::optional<std::string> InfoText() override {
    if (!Usable()) return std::nullopt;
    return node_->info_text;
  }
  Status AuxFlag(bool value) override {
    if (!Usable()) return Failed();
    node_->Record(std::string("Aux ") + (value ? "1" : "0"));
    return Status::Ok();
  }
  Status SendChatText(const std::string& text) override {
    if (!Usable()) return Failed();
    node_->Record("Chat " + text);
    return Status::Ok();
  }
  void SetEvents(EchoLinkEvents* events) override { events_ = events; }

 private:
  bool Usable() const { return node_ && !node_->fail_calls; }
  static Status Failed() { return Status::Error("the simulated node refused the call"); }
  std::optional<bool> Busy(int flag) {
    if (!Usable()) return std::nullopt;
    return node_->busy[flag];
  }

  SimulatedNode* node_;
  EchoLinkEvents* events_ = nullptr;
};

SimulatedNode::SimulatedNode(const TimerService& time) : time_(time) {}

SimulatedNode::~SimulatedNode() {
  for (Instance* instance : instances_) instance->Detach();
}

std::unique_ptr<EchoLinkObject> SimulatedNode::Create(Status*) {
  return std::make_unique<Instance>(*this);
}

void SimulatedNode::Record(std::string what) {
  calls_.push_back({time_.NowMs(), std::move(what)});
  if (on_call) on_call();
}

std::vector<std::pair<std::int64_t, bool>> SimulatedNode::TransmitCalls() const {
  std::vector<std::pair<std::int64_t, bool>> result;
  for (const Call& call : calls_) {
    if (call.what == "Transmit 1") result.emplace_back(call.ms, true);
    if (call.what == "Transmit 0") result.emplace_back(call.ms, false);
  }
  return result;
}

template <typename Deliver>
void SimulatedNode::ToEachInstance(Deliver deliver) {
  ToEachWithEvents(instances_, deliver);
}

void SimulatedNode::SendDtmf(const std::string& digits) {
  ToEachInstance([&](EchoLinkEvents& events) { events.DTMFString(digits); });
}

void SimulatedNode::SendChat(const std::string& text) {
  ToEachInstance([&](EchoLinkEvents& events) { events.ChatTextReceived(text); });
}

void SimulatedNode::Close() {
  ToEachInstance([&](EchoLinkEvents& events) { events.Closing(); });
}

}  // namespace horatone
