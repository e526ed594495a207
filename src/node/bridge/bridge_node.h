// The node program as a peer speaking the bridge line protocol, over stdin/stdout, over one
// TCP connection on 127.0.0.1 or over one connection on a Unix socket. Every automation object
// it makes shares the one connection and the node's last reported values; events go to each
// object that has events set. Everything runs on the PosixLoop's thread: reads through fd
// watches, each received line handled as its own loop task, writes non-blocking through a
// bounded outgoing buffer.
//
// Who may be the node: on stdio, whoever started the clock; on the Unix socket, whoever the
// socket file's mode lets in (its owner and group); on TCP, which every local user and every
// web page in a local browser can reach, only a peer whose first line is `AUTH <key>`. Until
// then a TCP peer is pending: kept apart from the node, it can neither act nor hold the
// node's place, and it is refused after kAuthTimeoutMs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
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

  // How long a TCP peer has to send its AUTH line.
  static constexpr int kAuthTimeoutMs = 5000;
  // Most TCP peers waiting to send it; a newer one makes the oldest go.
  static constexpr int kMaxPending = 8;

  // `transport` is "stdio", "listen:PORT" (PORT 0 picks a free port; see listen_port()) or
  // "unix:PATH". `root` is the system directory: its key (made there if absent) guards
  // listen:, its group is the Unix socket's. A failure on a bad transport text, a key that
  // cannot be had, or a port or path that cannot be bound.
  static Result<std::unique_ptr<BridgeNode>> Open(PosixLoop& loop, std::string_view transport,
                                                  const std::filesystem::path& root, Hooks hooks);
  // The node on a pair of descriptors that stay the caller's (stdin and stdout normally).
  // The end of input acts as the node's CLOSING, after on_disconnect. SIGPIPE is ignored
  // from here on, so that a vanished reader shows as a write error rather than killing us.
  static std::unique_ptr<BridgeNode> OverDescriptors(PosixLoop& loop, int in_fd, int out_fd,
                                                     Hooks hooks);
  // Waits for one node at a time on 127.0.0.1:`port`, each proving itself with `key`; a
  // second one is told why and closed.
  static Result<std::unique_ptr<BridgeNode>> Listen(PosixLoop& loop, std::uint16_t port,
                                                    std::string key, Hooks hooks);
  // Waits for one node at a time on a Unix socket made at `path` (mode 0660, group `group`
  // unless that is -1), which is removed again when the bridge goes. A stale socket there is
  // replaced; anything else there is left alone and is a failure.
  static Result<std::unique_ptr<BridgeNode>> ListenUnix(PosixLoop& loop,
                                                        const std::filesystem::path& path,
                                                        gid_t group, Hooks hooks);

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
