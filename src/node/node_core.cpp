// The node programs' shared automation object; see node_core.h.
#include "node/node_core.h"

#include <algorithm>

namespace horatone {

class NodeCore::Object final : public EchoLinkObject {
 public:
  explicit Object(std::shared_ptr<NodeCore> core) : core_(std::move(core)) {
    core_->objects_.push_back(this);
  }
  ~Object() override { std::erase(core_->objects_, this); }
  EchoLinkEvents* events() const { return events_; }

  Status Transmit(bool key) override { return core_->Transmit(key); }
  Result<bool> TransmitState() override { return core_->TransmitState(); }
  Result<bool> BusyFlag1() override { return core_->BusyFlag1(); }
  Result<bool> BusyFlag2() override { return core_->BusyFlag2(); }
  Result<bool> BusyFlag3() override { return core_->BusyFlag3(); }
  Result<std::string> InfoText() override { return core_->InfoText(); }
  Status AuxFlag(bool value) override { return core_->AuxFlag(value); }
  Status SendChatText(const std::string& text) override { return core_->SendChatText(text); }
  void SetEvents(EchoLinkEvents* events) override { events_ = events; }

 private:
  std::shared_ptr<NodeCore> core_;
  EchoLinkEvents* events_ = nullptr;
};

std::unique_ptr<EchoLinkObject> NodeCore::NewObject(std::shared_ptr<NodeCore> core) {
  return std::make_unique<Object>(std::move(core));
}

// Walks a copy and looks each object up again before its turn: a handler may end the program
// and drop its own object or another.
template <typename Call>
void NodeCore::ToEachWithEvents(Call call) {
  for (Object* object : std::vector<Object*>(objects_)) {
    if (std::find(objects_.begin(), objects_.end(), object) == objects_.end()) continue;
    if (EchoLinkEvents* events = object->events()) call(*events);
  }
}

void NodeCore::DeliverDtmf(const std::string& digits) {
  ToEachWithEvents([&](EchoLinkEvents& events) { events.DTMFString(digits); });
}

void NodeCore::DeliverChat(const std::string& text) {
  ToEachWithEvents([&](EchoLinkEvents& events) { events.ChatTextReceived(text); });
}

void NodeCore::DeliverClosing() {
  ToEachWithEvents([](EchoLinkEvents& events) { events.Closing(); });
}

}  // namespace horatone
