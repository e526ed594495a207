// The bridge's connection and the automation objects over it. The Core holds the one
// connection, the TCP peers still to send their AUTH line, the node's reported values and the
// list of live objects; objects and posted tasks keep it alive (tasks only weakly), so
// whichever goes last is safe. Received lines are queued and each is handled as its own loop
// task, so that the loop's after-each hook runs between them and nothing is handled after the
// loop has been told to quit. A connection that goes while the clock keyed the node's
// transmitter hears TRANSMIT 0 before it is closed, whatever the layers above still wait for.
#include "node/bridge/bridge_node.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "node/bridge/bridge_protocol.h"
#include "node/bridge/node_key.h"
#include "node/node_core.h"
#include "node/rate_limited_log.h"
#include "shell/parse_number.h"

namespace horatone {

namespace {

constexpr std::string_view kBusyReason = "busy: another node is connected";
// A refused peer's bytes read before it is closed, so that the close does not reset the
// connection and lose the ERROR line on its way.
constexpr int kDrainReads = 16;

std::string ErrnoText(std::string_view what) {
  return std::string(what) + ": " + std::strerror(errno);
}

std::string PeerText(const sockaddr_in& address) {
  char host[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

// Who is on the far side of a Unix socket, as the kernel saw it at connect().
std::string UnixPeerText(int fd) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return "an unknown peer";
  return "uid " + std::to_string(peer.uid) + ", pid " + std::to_string(peer.pid);
}

// Says `line` to a peer that is being sent away, reads what it had sent, and closes it.
// Best effort: a peer that does not read loses the reason, nothing else.
void SendAwayAndClose(int fd, const std::string& line) {
  [[maybe_unused]] ssize_t sent = send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  shutdown(fd, SHUT_WR);
  char buffer[4096];
  for (int reads = 0; reads < kDrainReads && read(fd, buffer, sizeof buffer) > 0; ++reads) {
  }
  close(fd);
}

const char* FileKind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  return "not a socket";
}

}  // namespace

class BridgeNode::Core final : public NodeCore,
                               public std::enable_shared_from_this<BridgeNode::Core> {
 public:
  Core(PosixLoop& loop, Hooks hooks) : loop_(loop), hooks_(std::move(hooks)) {}

  Status StartListening(std::uint16_t port, std::string key);
  Status StartListeningUnix(const std::filesystem::path& path, gid_t group);
  void StartOnDescriptors(int in_fd, int out_fd);
  void Shutdown();

  std::uint16_t listen_port() const { return listen_port_; }
  bool node_connected() const { return out_fd_ >= 0; }
  bool shut_down() const { return shut_down_; }

  // Requests from the automation objects.
  Status Transmit(bool key) override {
    // With no node there is no transmitter to release, so releasing cannot fail.
    if (!key && !CanSend()) return Status::Ok();
    Status sent = Send(TransmitLine(key));
    if (sent) keyed_ = key;
    return sent;
  }
  // Without a node nothing can be read: the schedule and the button then hold back, as for a
  // busy node, rather than key a transmitter that nobody controls.
  Result<bool> TransmitState() override { return Known(transmitting_); }
  Result<bool> BusyFlag1() override { return Known(busy_[0]); }
  Result<bool> BusyFlag2() override { return Known(busy_[1]); }
  Result<bool> BusyFlag3() override { return Known(busy_[2]); }
  Result<std::string> InfoText() override { return info_text_; }
  Status AuxFlag(bool value) override {
    if (!value && !CanSend()) return Status::Ok();
    return Send(AuxLine(value));
  }
  Status SendChatText(const std::string& text) override { return Send(ChatLine(text)); }

 private:
  // One received line, or the end of the connection.
  struct Inbound {
    ParsedLine line;
    bool end = false;
    std::string why;     // for the end
    int connection = 0;  // which connection it came from
  };

  Status Send(const std::string& line);
  bool CanSend() const { return out_fd_ >= 0; }
  Result<bool> Known(bool value) const {
    if (!node_connected()) return Status::Unavailable("node bridge: no node connected");
    return value;
  }

  void Log(std::string text) {
    if (hooks_.log) hooks_.log(std::move(text));
  }
  void LogLimited(RateLimitedLog& limit, std::string text) {
    std::string summary;
    const bool allowed = limit.Allow(loop_.NowMs(), &summary);
    if (!summary.empty()) Log(std::move(summary));
    if (allowed) Log(std::move(text));
  }
  // A TCP peer that has yet to send its AUTH line. The slots and their deadline timers are
  // made once, with the listening socket.
  struct Pending {
    int fd = -1;
    PosixLoop::WatchId watch = 0;
    PosixLoop::TimerId timer = 0;
    std::uint64_t arrival = 0;  // counts the peers, so the oldest is the lowest
    std::string bytes;          // everything read so far, up to its first LF and what came with it
    std::string peer;
  };

  // Reads what the connection still holds; true when its end has been read.
  bool DrainEnded();
  void OnAcceptable();
  void AddPending(int fd, std::string peer);
  void OnPendingReadable(std::size_t slot);
  // Sends the pending peer away with `why` in the log; nothing it sent is acted on.
  void RefusePending(std::size_t slot, const std::string& why);
  void ClearPending(std::size_t slot);
  // A peer allowed to be the node, with the bytes it sent after its AUTH line.
  void OnTrusted(int fd, const std::string& peer, std::string_view after_auth);
  void Attach(int in_fd, int out_fd, bool owns_fd);
  // The socket connection's last words and its end: TRANSMIT 0 if the clock keyed it and did
  // not release it, then whatever is still queued, for at most a moment; then it is closed.
  void CloseConnection();
  void OnReadable();
  void Flush();
  // The connection is gone: stop reading, and writing too unless it is only the end of the
  // node's input (kClosed); hand the end to the loop after the lines already received.
  void Lose(Status why);
  void Queue(Inbound item);
  void HandleNext();
  void Handle(const NodeMessage& message);
  void EndConnection(const std::string& why, int connection);

  PosixLoop& loop_;
  Hooks hooks_;
  bool shut_down_ = false;

  int listen_fd_ = -1;
  std::uint16_t listen_port_ = 0;
  PosixLoop::WatchId listen_watch_ = 0;
  // The TCP door: the key, and the peers that have not yet proven they know it.
  std::string key_;
  std::array<Pending, kMaxPending> pending_;
  std::uint64_t arrivals_ = 0;
  // The Unix door: its socket file, removed at the end if it is still the one made here.
  std::filesystem::path unix_path_;
  dev_t unix_device_ = 0;
  ino_t unix_inode_ = 0;

  // The connection. For a socket both are the same descriptor, owned here.
  bool stdio_ = false;
  bool owns_fd_ = false;
  bool is_socket_ = false;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int saved_out_flags_ = -1;
  PosixLoop::WatchId in_watch_ = 0;
  PosixLoop::WatchId out_watch_ = 0;
  bool attached_ = false;  // a node holds the connection, until its end has been handled
  bool lost_ = false;
  bool keyed_ = false;  // the last TRANSMIT sent on this connection was 1
  std::string outgoing_;
  LineReader reader_;
  std::deque<Inbound> inbound_;
  int connection_ = 0;  // counts the connections; the one attached now
  RateLimitedLog refused_lines_{"node bridge: ", "refused lines"};
  RateLimitedLog dropped_lines_{"node bridge: ", "lines to a node that does not read"};
  RateLimitedLog refused_peers_{"node bridge: ", "refused connections"};

  // The node's last reports.
  std::array<bool, 3> busy_{};
  bool transmitting_ = false;
  std::string info_text_;
};

Status BridgeNode::Core::StartListening(std::uint16_t port, std::string key) {
  if (key.empty()) return Status::BadInput("node bridge: no key for the TCP door");
  key_ = std::move(key);
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return Status::Error(ErrnoText("node bridge: socket"));
  const int yes = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return Status::Error(ErrnoText("node bridge: cannot bind 127.0.0.1:" + std::to_string(port)));
  }
  // Room for the node behind a burst of strangers.
  if (listen(listen_fd_, 4 * kMaxPending) != 0) {
    return Status::Error(ErrnoText("node bridge: listen"));
  }
  socklen_t length = sizeof address;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  listen_port_ = ntohs(address.sin_port);
  std::weak_ptr<Core> weak = weak_from_this();
  for (std::size_t slot = 0; slot < pending_.size(); ++slot) {
    pending_[slot].timer = loop_.CreateTimer([weak, slot] {
      if (auto core = weak.lock()) {
        core->RefusePending(slot, "no " + std::string(kAuthWord) + " line within " +
                                      std::to_string(kAuthTimeoutMs / 1000) + " s");
      }
    });
  }
  listen_watch_ = loop_.WatchReadable(listen_fd_, [weak] {
    if (auto core = weak.lock()) core->OnAcceptable();
  });
  Log("node bridge: waiting for the node on 127.0.0.1:" + std::to_string(listen_port_) +
      " (it sends " + std::string(kAuthWord) + " and the key first)");
  return Status::Ok();
}

Status BridgeNode::Core::StartListeningUnix(const std::filesystem::path& path, gid_t group) {
  const std::string where = "node bridge: " + path.string();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.string().size() >= sizeof address.sun_path) {
    return Status::BadInput(where + ": a socket path needs 1 to " +
                            std::to_string(sizeof address.sun_path - 1) + " bytes");
  }
  std::memcpy(address.sun_path, path.c_str(), path.string().size());
  struct stat there {};
  if (lstat(path.c_str(), &there) == 0) {
    if (!S_ISSOCK(there.st_mode)) {
      return Status::BadInput(where + " is there and is " + FileKind(there.st_mode) +
                              ", not a socket; it is left alone (choose another path)");
    }
    // A socket left by a clock that ended goes; one that somebody answers on stays.
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answered =
        probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0) close(probe);
    if (answered) return Status::Unavailable(where + ": another program is listening there");
    if (unlink(path.c_str()) != 0) return Status::Error(ErrnoText(where + ": cannot remove it"));
  } else if (errno != ENOENT) {
    return Status::Error(ErrnoText(where));
  }
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return Status::Error(ErrnoText("node bridge: socket"));
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return Status::Error(ErrnoText(where + ": cannot bind"));
  }
  struct stat made {};
  if (lstat(path.c_str(), &made) != 0) return Status::Error(ErrnoText(where));
  unix_path_ = path;
  unix_device_ = made.st_dev;
  unix_inode_ = made.st_ino;
  // Its mode and group are who may be the node; both are set before anyone can connect.
  if (group != static_cast<gid_t>(-1) && made.st_gid != group &&
      fchownat(AT_FDCWD, path.c_str(), static_cast<uid_t>(-1), group, AT_SYMLINK_NOFOLLOW) != 0) {
    return Status::Error(ErrnoText(where + ": cannot give it to group " + std::to_string(group)));
  }
  if (fchmodat(AT_FDCWD, path.c_str(), 0660, 0) != 0) {
    return Status::Error(ErrnoText(where + ": cannot make it mode 0660"));
  }
  if (listen(listen_fd_, 4 * kMaxPending) != 0) {
    return Status::Error(ErrnoText("node bridge: listen"));
  }
  std::weak_ptr<Core> weak = weak_from_this();
  listen_watch_ = loop_.WatchReadable(listen_fd_, [weak] {
    if (auto core = weak.lock()) core->OnAcceptable();
  });
  Log("node bridge: waiting for the node on " + path.string());
  return Status::Ok();
}

void BridgeNode::Core::StartOnDescriptors(int in_fd, int out_fd) {
  stdio_ = true;
  signal(SIGPIPE, SIG_IGN);
  saved_out_flags_ = fcntl(out_fd, F_GETFL);
  if (saved_out_flags_ >= 0) fcntl(out_fd, F_SETFL, saved_out_flags_ | O_NONBLOCK);
  Attach(in_fd, out_fd, /*owns_fd=*/false);
}

void BridgeNode::Core::Attach(int in_fd, int out_fd, bool owns_fd) {
  attached_ = true;
  ++connection_;
  in_fd_ = in_fd;
  out_fd_ = out_fd;
  owns_fd_ = owns_fd;
  struct stat info {};
  is_socket_ = fstat(out_fd, &info) == 0 && S_ISSOCK(info.st_mode);
  lost_ = false;
  keyed_ = false;
  reader_ = LineReader();
  std::weak_ptr<Core> weak = weak_from_this();
  in_watch_ = loop_.WatchReadable(in_fd_, [weak] {
    if (auto core = weak.lock()) core->OnReadable();
  });
}

void BridgeNode::Core::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  inbound_.clear();
  for (std::size_t slot = 0; slot < pending_.size(); ++slot) ClearPending(slot);
  if (listen_watch_) loop_.Unwatch(listen_watch_);
  listen_watch_ = 0;
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
  if (!unix_path_.empty()) {
    struct stat there {};
    if (lstat(unix_path_.c_str(), &there) == 0 && there.st_dev == unix_device_ &&
        there.st_ino == unix_inode_) {
      unlink(unix_path_.c_str());
    }
    unix_path_.clear();
  }
  if (owns_fd_ && out_fd_ >= 0) {
    lost_ = true;  // a write failing now has no end to report
    CloseConnection();
  } else {
    if (in_watch_) loop_.Unwatch(in_watch_);
    if (out_watch_) loop_.Unwatch(out_watch_);
    if (stdio_ && out_fd_ >= 0 && saved_out_flags_ >= 0) {
      fcntl(out_fd_, F_SETFL, saved_out_flags_);
    }
  }
  in_watch_ = out_watch_ = 0;
  in_fd_ = out_fd_ = -1;
  attached_ = false;
}

void BridgeNode::Core::CloseConnection() {
  if (in_watch_) loop_.Unwatch(in_watch_);
  in_watch_ = 0;
  if (out_fd_ >= 0) {
    if (keyed_) {
      // Past the bound of the buffer if need be: this line matters more than what it holds.
      outgoing_ += TransmitLine(false);
      keyed_ = false;
    }
    Flush();
    if (out_fd_ >= 0 && !outgoing_.empty()) {
      pollfd ready{out_fd_, POLLOUT, 0};
      if (poll(&ready, 1, 100) > 0) Flush();
    }
  }
  if (out_fd_ >= 0) {
    if (out_watch_) loop_.Unwatch(out_watch_);
    out_watch_ = 0;
    outgoing_.clear();
    close(out_fd_);
    out_fd_ = -1;
  }
  in_fd_ = -1;
}

void BridgeNode::Core::OnAcceptable() {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      Log(ErrnoText("node bridge: accept"));
    }
    return;
  }
  if (peer.ss_family == AF_INET) {
    AddPending(fd, PeerText(reinterpret_cast<const sockaddr_in&>(peer)));
  } else {
    // The socket file's mode has let it in.
    OnTrusted(fd, UnixPeerText(fd), {});
  }
}

void BridgeNode::Core::AddPending(int fd, std::string peer) {
  std::size_t slot = 0;
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    if (pending_[i].fd < 0) {
      slot = i;
      break;
    }
    if (pending_[i].arrival < pending_[slot].arrival) slot = i;
  }
  // All taken: the peer that has waited longest goes, so that strangers who hold their
  // connections open cannot keep a node out.
  if (pending_[slot].fd >= 0) {
    RefusePending(slot, "more than " + std::to_string(kMaxPending) +
                            " connections waiting for their " + std::string(kAuthWord) +
                            " line; the oldest goes");
  }
  Pending& pending = pending_[slot];
  pending.fd = fd;
  pending.arrival = ++arrivals_;
  pending.peer = std::move(peer);
  pending.bytes.clear();
  std::weak_ptr<Core> weak = weak_from_this();
  pending.watch = loop_.WatchReadable(fd, [weak, slot] {
    if (auto core = weak.lock()) core->OnPendingReadable(slot);
  });
  loop_.StartTimer(pending.timer, kAuthTimeoutMs, kAuthTimeoutMs);
  // A node sends its AUTH line as it connects: it is often here already.
  OnPendingReadable(slot);
}

void BridgeNode::Core::OnPendingReadable(std::size_t slot) {
  Pending& pending = pending_[slot];
  if (pending.fd < 0) return;
  char buffer[4096];
  const ssize_t got = read(pending.fd, buffer, sizeof buffer);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (got <= 0) {
    LogLimited(refused_peers_, "node bridge: a connection from " + pending.peer +
                                   " ended before its " + std::string(kAuthWord) + " line");
    ClearPending(slot);
    return;
  }
  pending.bytes.append(buffer, static_cast<std::size_t>(got));
  const std::size_t newline = pending.bytes.find('\n');
  if (newline == std::string::npos) {
    // Even with a CR before its LF, no AUTH line is this long.
    if (pending.bytes.size() > kMaxBridgeLine + 1) {
      RefusePending(slot, "its first line is not " + std::string(kAuthWord));
    }
    return;
  }
  const std::string_view first = std::string_view(pending.bytes).substr(0, newline);
  if (!IsAuthLine(first, key_)) {
    const bool tried = first.starts_with(std::string(kAuthWord) + " ");
    RefusePending(slot, tried ? "wrong key" : "its first line is not " + std::string(kAuthWord));
    return;
  }
  const int fd = std::exchange(pending.fd, -1);
  const std::string peer = pending.peer;
  const std::string after = pending.bytes.substr(newline + 1);
  ClearPending(slot);
  OnTrusted(fd, peer, after);
}

void BridgeNode::Core::RefusePending(std::size_t slot, const std::string& why) {
  Pending& pending = pending_[slot];
  if (pending.fd < 0) return;
  const std::string peer = pending.peer;
  const int fd = std::exchange(pending.fd, -1);
  ClearPending(slot);
  SendAwayAndClose(fd, ErrorLine(kNotAuthorised));
  LogLimited(refused_peers_, "node bridge: refused a connection from " + peer + ": " + why +
                                 "; nothing it sent was acted on");
}

void BridgeNode::Core::ClearPending(std::size_t slot) {
  Pending& pending = pending_[slot];
  if (pending.watch) loop_.Unwatch(pending.watch);
  pending.watch = 0;
  if (pending.fd >= 0) close(pending.fd);
  pending.fd = -1;
  if (!key_.empty()) loop_.StopTimer(pending.timer);  // the timers are the TCP door's
  pending.bytes.clear();
  pending.bytes.shrink_to_fit();
}

void BridgeNode::Core::OnTrusted(int fd, const std::string& peer, std::string_view after_auth) {
  if (attached_ && !stdio_ && DrainEnded()) {
    // The node closed and came straight back: its old connection has ended, and its end is
    // still queued behind its last lines. The old descriptor goes now, after the release if
    // it was keyed; the queued end then only reports the disconnect.
    CloseConnection();
    attached_ = false;
  }
  if (attached_) {
    SendAwayAndClose(fd, ErrorLine(kBusyReason));
    Log("node bridge: refused a second node from " + peer + ": another node is connected");
    return;
  }
  Attach(fd, fd, /*owns_fd=*/true);
  Log("node bridge: node connected from " + peer);
  if (!after_auth.empty()) {
    // The lines that came with the AUTH line, as if read now.
    std::vector<ParsedLine> lines;
    reader_.Feed(after_auth, &lines);
    for (ParsedLine& line : lines) Queue(Inbound{std::move(line), false, {}, connection_});
  }
}

void BridgeNode::Core::OnReadable() {
  char buffer[4096];
  const ssize_t got = read(in_fd_, buffer, sizeof buffer);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  std::vector<ParsedLine> lines;
  if (got > 0) {
    reader_.Feed(std::string_view(buffer, static_cast<std::size_t>(got)), &lines);
  } else {
    // A line cut off by the end of the connection is not a command: it is dropped.
    std::vector<ParsedLine> unfinished;
    reader_.Finish(&unfinished);
    if (!unfinished.empty()) Log("node bridge: dropped an unfinished line at the end of input");
  }
  for (ParsedLine& line : lines) Queue(Inbound{std::move(line), false, {}, connection_});
  if (got == 0) Lose(Status::Closed("end of input"));
  if (got < 0) Lose(Status::Unavailable(ErrnoText("read failed")));
}

bool BridgeNode::Core::DrainEnded() {
  // A bounded look: a node that keeps sending has not ended.
  for (int reads = 0; reads < 16 && !lost_ && in_fd_ >= 0; ++reads) {
    pollfd ready{in_fd_, POLLIN, 0};
    if (poll(&ready, 1, 0) <= 0) break;
    OnReadable();
  }
  return lost_;
}

Status BridgeNode::Core::Send(const std::string& line) {
  if (out_fd_ < 0) {
    return Status::Error(shut_down_ ? "node bridge: closed" : "node bridge: no node connected");
  }
  if (outgoing_.size() + line.size() > kMaxOutgoing) {
    LogLimited(dropped_lines_,
               "node bridge: the node is not reading; dropped: " + line.substr(0, line.size() - 1));
    return Status::Error("node bridge: the node is not reading its lines");
  }
  outgoing_ += line;
  Flush();
  return Status::Ok();
}

void BridgeNode::Core::Flush() {
  while (!outgoing_.empty() && out_fd_ >= 0) {
    const ssize_t put =
        is_socket_ ? send(out_fd_, outgoing_.data(), outgoing_.size(), MSG_NOSIGNAL | MSG_DONTWAIT)
                   : write(out_fd_, outgoing_.data(), outgoing_.size());
    if (put > 0) {
      outgoing_.erase(0, static_cast<std::size_t>(put));
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!out_watch_) {
        std::weak_ptr<Core> weak = weak_from_this();
        out_watch_ = loop_.WatchWritable(out_fd_, [weak] {
          if (auto core = weak.lock()) core->Flush();
        });
      }
      return;
    }
    Lose(Status::Unavailable(ErrnoText("write failed")));
    return;
  }
  if (out_watch_) {
    loop_.Unwatch(out_watch_);
    out_watch_ = 0;
  }
}

void BridgeNode::Core::Lose(Status why) {
  if (lost_) return;
  lost_ = true;
  if (in_watch_) loop_.Unwatch(in_watch_);
  in_watch_ = 0;
  if (why.kind != StatusKind::kClosed) {
    // The output is gone too: nothing more can be said to this node.
    if (out_watch_) loop_.Unwatch(out_watch_);
    out_watch_ = 0;
    outgoing_.clear();
    if (owns_fd_) {
      close(out_fd_);
      in_fd_ = -1;  // the same descriptor
    } else if (saved_out_flags_ >= 0) {
      fcntl(out_fd_, F_SETFL, saved_out_flags_);
    }
    out_fd_ = -1;
  }
  Queue(Inbound{{}, true, std::move(why.message), connection_});
}

void BridgeNode::Core::Queue(Inbound item) {
  inbound_.push_back(std::move(item));
  std::weak_ptr<Core> weak = weak_from_this();
  loop_.Post([weak] {
    if (auto core = weak.lock()) core->HandleNext();
  });
}

void BridgeNode::Core::HandleNext() {
  if (inbound_.empty()) return;
  Inbound item = std::move(inbound_.front());
  inbound_.pop_front();
  if (item.end) {
    EndConnection(item.why, item.connection);
  } else if (item.line.message) {
    Handle(*item.line.message);
  } else {
    LogLimited(refused_lines_, "node bridge: refused a line: " + item.line.error);
    // A reply that cannot be sent means the connection is going; its reader sees that.
    if (out_fd_ >= 0) ContinuePastFailure(Send(ErrorLine(item.line.error)));
  }
}

void BridgeNode::Core::Handle(const NodeMessage& message) {
  switch (message.kind) {
    case NodeMessage::Kind::kDtmf:
      DeliverDtmf(message.text);
      break;
    case NodeMessage::Kind::kChat:
      DeliverChat(message.text);
      break;
    case NodeMessage::Kind::kClosing:
      DeliverClosing();
      break;
    case NodeMessage::Kind::kBusy:
      busy_ = message.busy;
      break;
    case NodeMessage::Kind::kTransmit:
      transmitting_ = message.transmitting;
      break;
    case NodeMessage::Kind::kInfo:
      info_text_ = message.text;
      break;
  }
}

void BridgeNode::Core::EndConnection(const std::string& why, int connection) {
  // What the node reported no longer holds once it is gone.
  busy_ = {};
  transmitting_ = false;
  info_text_.clear();
  for (RateLimitedLog* limit : {&refused_lines_, &dropped_lines_}) {
    if (std::string summary = limit->Summary(); !summary.empty()) Log(std::move(summary));
  }
  if (connection != connection_) {
    // A connection already replaced by the next one (its descriptor is gone). What ending
    // the announcement says was meant for the old node, not for the new one.
    Log("node bridge: node disconnected (" + why + ")");
    const int current = std::exchange(out_fd_, -1);
    if (hooks_.on_disconnect) hooks_.on_disconnect();
    out_fd_ = current;
    return;
  }
  if (stdio_) {
    // The output may still be open: the closing handler's release can still reach the node.
    Log("node bridge: node input ended (" + why + "); taken as closing");
    if (hooks_.on_disconnect) hooks_.on_disconnect();
    if (!loop_.quitting()) DeliverClosing();
    return;
  }
  // A node that only shut its writing side still hears the release of the transmitter, and
  // whatever else ending the announcement says, before its connection is closed.
  Log("node bridge: node disconnected (" + why + ")");
  if (hooks_.on_disconnect) hooks_.on_disconnect();
  CloseConnection();
  attached_ = false;
}

BridgeNode::BridgeNode(std::shared_ptr<Core> core) : core_(std::move(core)) {}

BridgeNode::~BridgeNode() { core_->Shutdown(); }

Result<std::unique_ptr<BridgeNode>> BridgeNode::Open(PosixLoop& loop, std::string_view transport,
                                                     const std::filesystem::path& root,
                                                     Hooks hooks) {
  if (transport == "stdio") {
    return OverDescriptors(loop, STDIN_FILENO, STDOUT_FILENO, std::move(hooks));
  }
  constexpr std::string_view kListen = "listen:", kUnix = "unix:";
  if (transport.starts_with(kListen)) {
    if (const Result<int> port = ParseNumber(transport.substr(kListen.size()), 0, 65535)) {
      Result<std::string> key = LoadOrMakeNodeKey(root);
      if (!key) return key.status();
      return Listen(loop, static_cast<std::uint16_t>(*port), std::move(*key), std::move(hooks));
    }
  }
  if (transport.starts_with(kUnix) && transport.size() > kUnix.size()) {
    struct stat folder {};
    if (stat(root.c_str(), &folder) != 0) {
      return Status::Error(ErrnoText("node bridge: the system directory " + root.string()));
    }
    return ListenUnix(loop, std::filesystem::path(transport.substr(kUnix.size())), folder.st_gid,
                      std::move(hooks));
  }
  return Status::BadInput("node bridge \"" + std::string(transport) +
                          "\": expected stdio, listen:PORT with PORT 0 to 65535, or unix:PATH");
}

std::unique_ptr<BridgeNode> BridgeNode::OverDescriptors(PosixLoop& loop, int in_fd, int out_fd,
                                                        Hooks hooks) {
  auto core = std::make_shared<Core>(loop, std::move(hooks));
  core->StartOnDescriptors(in_fd, out_fd);
  return std::unique_ptr<BridgeNode>(new BridgeNode(std::move(core)));
}

Result<std::unique_ptr<BridgeNode>> BridgeNode::Listen(PosixLoop& loop, std::uint16_t port,
                                                       std::string key, Hooks hooks) {
  auto core = std::make_shared<Core>(loop, std::move(hooks));
  Status status = core->StartListening(port, std::move(key));
  if (!status) {
    core->Shutdown();
    return status;
  }
  return std::unique_ptr<BridgeNode>(new BridgeNode(std::move(core)));
}

Result<std::unique_ptr<BridgeNode>> BridgeNode::ListenUnix(PosixLoop& loop,
                                                           const std::filesystem::path& path,
                                                           gid_t group, Hooks hooks) {
  auto core = std::make_shared<Core>(loop, std::move(hooks));
  Status status = core->StartListeningUnix(path, group);
  if (!status) {
    core->Shutdown();
    return status;
  }
  return std::unique_ptr<BridgeNode>(new BridgeNode(std::move(core)));
}

Result<std::unique_ptr<EchoLinkObject>> BridgeNode::Create() {
  if (core_->shut_down()) return Status::Closed("node bridge: closed");
  return NodeCore::NewObject(core_);
}

std::uint16_t BridgeNode::listen_port() const { return core_->listen_port(); }

bool BridgeNode::node_connected() const { return core_->node_connected(); }

}  // namespace horatone
