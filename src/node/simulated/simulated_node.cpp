#include "node/simulated/simulated_node.h"

#include "node/node_core.h"

namespace horatone {

class SimulatedNode::Core final : public NodeCore {
 public:
  explicit Core(SimulatedNode& node) : node_(&node) {}
  void Detach() { node_ = nullptr; }

  Status Transmit(bool key) override {
    if (!Usable()) return Failed();
    node_->keyed_ = key;
    node_->Record(std::string("Transmit ") + (key ? "1" : "0"));
    return Status::Ok();
  }
  Result<bool> TransmitState() override {
    if (!Usable()) return Failed();
    return node_->keyed_;
  }
  Result<bool> BusyFlag1() override { return Busy(0); }
  Result<bool> BusyFlag2() override { return Busy(1); }
  Result<bool> BusyFlag3() override { return Busy(2); }
  Result<std::string> InfoText() override {
    if (!Usable()) return Failed();
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

 private:
  bool Usable() const { return node_ && !node_->fail_calls; }
  static Status Failed() { return Status::Error("the simulated node refused the call"); }
  Result<bool> Busy(int flag) {
    if (!Usable()) return Failed();
    return node_->busy[flag];
  }

  SimulatedNode* node_;
};

SimulatedNode::SimulatedNode(const TimerService& time)
    : time_(time), core_(std::make_shared<Core>(*this)) {}

SimulatedNode::~SimulatedNode() { core_->Detach(); }

Result<std::unique_ptr<EchoLinkObject>> SimulatedNode::Create() {
  return NodeCore::NewObject(core_);
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

void SimulatedNode::SendDtmf(const std::string& digits) { core_->DeliverDtmf(digits); }

void SimulatedNode::SendChat(const std::string& text) { core_->DeliverChat(text); }

void SimulatedNode::Close() { core_->DeliverClosing(); }

}  // namespace horatone
