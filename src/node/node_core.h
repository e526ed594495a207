// The one automation object every node program hands out, over a small interface the node
// implements, and the delivery of the node's events to the objects that asked for them.
// An object keeps its node's core alive, so it stays usable after the node is gone; the core
// then fails its calls. Loop thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "echolink/echolink_object.h"

namespace horatone {

// A node implements the calls; its objects pass them on.
class NodeCore : public EchoLinkCalls {
 public:
  // A new object on `core`, which it keeps alive.
  static std::unique_ptr<EchoLinkObject> NewObject(std::shared_ptr<NodeCore> core);

  // The node's events, to each object that has events set, in the order they were made.
  void DeliverDtmf(const std::string& digits);
  void DeliverChat(const std::string& text);
  void DeliverClosing();

 private:
  class Object;
  template <typename Call>
  void ToEachWithEvents(Call call);

  std::vector<Object*> objects_;
};

}  // namespace horatone
