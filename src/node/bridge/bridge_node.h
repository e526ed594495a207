// The node program as a peer speaking the bridge line protocol, over stdin/stdout or over one
// TCP connection on 127.0.0.1. Every automation object it makes shares the one connection and
// the node's last reported values; events go to each object that has events set. Everything
// runs on the PosixLoop's thread: reads through fd watches, each received line handled as its
// own loop task, writes non-blocking through a bounded outgoing buffer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "echolink/echolink_object.h"
#include "runtime/posix_loop.h"
#include "shell/status.h"

namespace horatone {

class BridgeNode : public NodeFactory {
 public:
  struct Hooks {
    // The node went away: end of input, a lost connection or a failed write. Runs on the loop
    // thread as a handler of its own, after every line received before it.
    std::function<void()> on_disconnect;
    // One line for the operator's log: connections, refusals, bad lines.
    std::function<void(std::string)> log;
  };

  // Most bytes waiting for a slow node; a request that does not fit is refused.
  static constexpr std::size_t kMaxOutgoing = 64 * 1024;

  // `transport` is "stdio" or "listen:PORT" (PORT 0 picks a free port; see listen_port()).
  // A failure on a bad transport text or when the port cannot be bound.
  static Result<std::unique_ptr<BridgeNode>> Open(PosixLoop& loop, std::string_view transport,
                                                  Hooks hooks);
  // The node on a pair of descriptors that stay the caller's (stdin and stdout normally).
  // The end of input acts as the node's CLOSING, after on_disconnect. SIGPIPE is ignored
  // from here on, so that a vanished reader shows as a write error rather than killing us.
  static std::unique_ptr<BridgeNode> OverDescriptors(PosixLoop& loop, int in_fd, int out_fd,
                                                     Hooks hooks);
  // Waits for one node at a time on 127.0.0.1:`port`; a second one is told why and closed.
  static Result<std::unique_ptr<BridgeNode>> Listen(PosixLoop& loop, std::uint16_t port,
                                                    Hooks hooks);

  ~BridgeNode() override;
  BridgeNode(const BridgeNode&) = delete;
  BridgeNode& operator=(const BridgeNode&) = delete;

  // Objects made here stay usable after the bridge is gone; their calls then fail.
  Result<std::unique_ptr<EchoLinkObject>> Create() override;

  // The bound port of a listening bridge, 0 otherwise.
  std::uint16_t listen_port() const;
  bool node_connected() const;

  class Core;

 private:
  explicit BridgeNode(std::shared_ptr<Core> core);
  std::shared_ptr<Core> core_;
};

}  // namespace horatone
