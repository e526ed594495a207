// The node program's automation object as the clock uses it: keying, busy flags, the reported
// transmitter state, an information text, chat and the aux flag; events for DTMF strings,
// chat lines and closing. Each window makes its own instance through a NodeFactory; events
// are delivered on the loop thread. Calls never throw: a failed call says so in its result.
#pragma once

#include <memory>
#include <string>

#include "shell/status.h"

namespace horatone {

class EchoLinkEvents {
 public:
  virtual ~EchoLinkEvents() = default;
  virtual void DTMFString(const std::string& digits) = 0;
  virtual void Closing() = 0;
  virtual void ChatTextReceived(const std::string& text) = 0;
};

// The calls the clock makes on the node.
class EchoLinkCalls {
 public:
  virtual ~EchoLinkCalls() = default;

  // True keys the transmitter, False releases it.
  virtual Status Transmit(bool key) = 0;
  // The node's own report of its transmitter; a failure when it cannot be read.
  virtual Result<bool> TransmitState() = 0;
  virtual Result<bool> BusyFlag1() = 0;
  virtual Result<bool> BusyFlag2() = 0;
  virtual Result<bool> BusyFlag3() = 0;
  // InfoText of the object's InfoObject.
  virtual Result<std::string> InfoText() = 0;
  virtual Status AuxFlag(bool value) = 0;
  virtual Status SendChatText(const std::string& text) = 0;
};

class EchoLinkObject : public EchoLinkCalls {
 public:
  // Where this instance delivers its events; nullptr for none (the About window's instance).
  virtual void SetEvents(EchoLinkEvents* events) = 0;
};

class NodeFactory {
 public:
  virtual ~NodeFactory() = default;
  // A new automation object, or why none can be made.
  virtual Result<std::unique_ptr<EchoLinkObject>> Create() = 0;
};

}  // namespace horatone
