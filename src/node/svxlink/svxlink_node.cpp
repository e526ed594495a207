// SvxLink as the node; see svxlink_node.h. The PTYs are SvxLink's: it creates them and the
// links to them, so the clock opens the slave ends (raw, non-blocking) and treats a hang-up as
// SvxLink gone. The events port takes one short connection per report from the Tcl handler.
#include "node/svxlink/svxlink_node.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "node/dtmf_code.h"
#include "node/node_core.h"
#include "shell/parse_number.h"
#include "runtime/posix_loop.h"

namespace horatone {
namespace {

constexpr int kReconnectEveryMs = 500;
constexpr std::size_t kLongestReport = 512;
constexpr std::size_t kMostReporters = 8;

// The slave end of one of SvxLink's PTYs, raw so that digits arrive one by one and nothing
// is echoed back to SvxLink.
Result<int> OpenPty(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Status::NotFound(path + ": " + std::strerror(errno));
  termios mode{};
  if (tcgetattr(fd, &mode) != 0) {
    close(fd);
    return Status::BadInput(path + " is not a PTY");
  }
  cfmakeraw(&mode);
  tcsetattr(fd, TCSANOW, &mode);
  return fd;
}

Result<sockaddr_in> ParseEndpoint(const std::string& text) {
  const Status wrong =
      Status::BadInput("the events address \"" + text + "\" is not IPV4-ADDRESS:PORT");
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return wrong;
  const Result<int> port = ParseNumber(std::string_view(text).substr(colon + 1), 1, 65535);
  if (!port) return wrong;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(*port));
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1) return wrong;
  return address;
}

}  // namespace

class SvxLinkNode::Core final : public NodeCore, public std::enable_shared_from_this<Core> {
 public:
  Core(PosixLoop& loop, SvxLinkSettings settings, Hooks hooks)
      : loop_(loop),
        settings_(std::move(settings)),
        hooks_(std::move(hooks)),
        code_(settings_.dtmf_pause_ms) {}

  Status Start() {
    if (!settings_.events.empty()) {
      Result<sockaddr_in> endpoint = ParseEndpoint(settings_.events);
      if (!endpoint) return endpoint.status();
      sockaddr_in address = *endpoint;
      listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      const int yes = 1;
      setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      if (listen_fd_ < 0 ||
          bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
          listen(listen_fd_, 8) != 0) {
        const std::string error = std::strerror(errno);
        if (listen_fd_ >= 0) close(listen_fd_);
        listen_fd_ = -1;
        return Status::Error("cannot listen for SvxLink's events on " + settings_.events + ": " +
                             error);
      }
      listen_watch_ = loop_.WatchReadable(listen_fd_, [this] { Accept(); });
    }
    std::weak_ptr<Core> weak = weak_from_this();
    reconnect_timer_ = loop_.CreateTimer([weak] {
      if (auto core = weak.lock()) core->TryConnect();
    });
    release_timer_ = loop_.CreateTimer([weak] {
      if (auto core = weak.lock()) core->ReleaseNow();
    });
    pause_timer_ = loop_.CreateTimer([weak] {
      if (auto core = weak.lock()) core->Paused();
    });
    TryConnect();
    if (!connected()) loop_.StartTimer(reconnect_timer_, kReconnectEveryMs);
    return Status::Ok();
  }

  void Stop() {
    if (closed_) return;
    if (connected()) {
      if (keyed_) WriteSquelch('Z');
      Disconnect();
    }
    closed_ = true;
    loop_.StopTimer(reconnect_timer_);
    loop_.StopTimer(release_timer_);
    loop_.StopTimer(pause_timer_);
    for (auto& [fd, reporter] : reporters_) {
      loop_.Unwatch(reporter.watch);
      close(fd);
    }
    reporters_.clear();
    if (listen_fd_ >= 0) {
      loop_.Unwatch(listen_watch_);
      close(listen_fd_);
      listen_fd_ = -1;
    }
  }

  bool connected() const { return squelch_fd_ >= 0; }

  Status Transmit(bool key) override {
    if (closed_) return Status::Error("the SvxLink node is closed");
    if (!key) {
      if (!keyed_ || release_pending_) return Status::Ok();
      // The squelch stays open until SvxLink has played out the last sample.
      if (settings_.release_margin_ms <= 0) {
        ReleaseNow();
      } else {
        release_pending_ = true;
        loop_.StartTimer(release_timer_, 60000, settings_.release_margin_ms);
      }
      return Status::Ok();
    }
    if (!connected()) return Status::Error("SvxLink is not connected; not keying");
    if (release_pending_) {
      release_pending_ = false;
      loop_.StopTimer(release_timer_);
    }
    if (keyed_) return Status::Ok();
    if (!WriteSquelch('O')) return Status::Error("SvxLink went away while keying");
    keyed_ = true;
    return Status::Ok();
  }

  Result<bool> TransmitState() override {
    if (!connected()) return NotConnected();
    return reports_seen_ ? tx_on_ : keyed_;
  }
  // A station on one of SvxLink's other receivers: a squelch open while the clock's is closed.
  Result<bool> BusyFlag1() override {
    if (!connected()) return NotConnected();
    return sql_open_ && !keyed_;
  }
  // SvxLink transmitting for someone else: a transmission that began while the clock was not
  // keyed, up to the moment a station's squelch closes in it. What follows a station is the
  // repeater's hang time, and the tail after the clock's own is not someone else's either.
  Result<bool> BusyFlag2() override {
    if (!connected()) return NotConnected();
    return tx_on_ && tx_for_others_;
  }
  Result<bool> BusyFlag3() override { return false; }
  Result<std::string> InfoText() override { return std::string("SvxLink"); }
  Status AuxFlag(bool) override { return Status::Ok(); }
  Status SendChatText(const std::string& text) override {
    Log("chat (SvxLink has no chat): " + text);
    return Status::Ok();
  }

  void Log(const std::string& line) const {
    if (hooks_.log) hooks_.log(line);
  }

 private:
  static Status NotConnected() { return Status::Unavailable("SvxLink is not connected"); }

  struct Reporter {
    PosixLoop::WatchId watch = 0;
    std::string pending;
  };

  void TryConnect() {
    if (closed_ || connected()) return;
    const Result<int> squelch = OpenPty(settings_.squelch_pty);
    const Result<int> dtmf = squelch ? OpenPty(settings_.dtmf_pty) : squelch;
    if (!dtmf) {
      if (squelch) close(*squelch);
      if (dtmf.message() != last_failure_) Log("waiting for SvxLink: " + dtmf.message());
      last_failure_ = dtmf.message();
      return;
    }
    last_failure_.clear();
    squelch_fd_ = *squelch;
    dtmf_fd_ = *dtmf;
    squelch_watch_ = loop_.WatchReadable(squelch_fd_, [this] { Drain(squelch_fd_, false); });
    dtmf_watch_ = loop_.WatchReadable(dtmf_fd_, [this] { Drain(dtmf_fd_, true); });
    loop_.StopTimer(reconnect_timer_);
    keyed_ = false;
    WriteSquelch('Z');
    if (connected()) {
      Log("SvxLink connected: squelch " + settings_.squelch_pty + ", DTMF " + settings_.dtmf_pty);
    }
  }

  void Disconnect() {
    loop_.Unwatch(squelch_watch_);
    loop_.Unwatch(dtmf_watch_);
    close(squelch_fd_);
    close(dtmf_fd_);
    squelch_fd_ = dtmf_fd_ = -1;
    keyed_ = release_pending_ = false;
    loop_.StopTimer(release_timer_);
    sql_open_ = tx_on_ = tx_for_others_ = false;
    busy_logged_.clear();
    code_.Forget();
    loop_.StopTimer(pause_timer_);
  }

  void Lost(const std::string& why) {
    if (!connected()) return;
    const bool was_keyed = keyed_;
    Disconnect();
    Log("SvxLink lost (" + why + ")" + (was_keyed ? "; the clock's transmitter is released" : "") +
        "; reconnecting");
    if (!closed_) loop_.StartTimer(reconnect_timer_, kReconnectEveryMs);
    if (hooks_.on_lost) hooks_.on_lost("SvxLink was lost");
  }

  bool WriteSquelch(char state) {
    if (!connected()) return false;
    if (write(squelch_fd_, &state, 1) == 1) return true;
    Lost(std::string("writing its squelch PTY: ") + std::strerror(errno));
    return false;
  }

  // Reads what SvxLink wrote; a hang-up means SvxLink has closed its end.
  void Drain(int fd, bool digits) {
    char chunk[256];
    for (;;) {
      const ssize_t got = read(fd, chunk, sizeof chunk);
      if (got > 0) {
        if (digits) TakeDigits(chunk, static_cast<std::size_t>(got));
        if (!connected()) return;
        continue;
      }
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
      Lost(std::string(digits ? "its DTMF PTY" : "its squelch PTY") + " hung up");
      return;
    }
  }

  void TakeDigits(const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (std::optional<std::string> code = code_.Take(bytes[i], loop_.NowMs())) {
        loop_.StopTimer(pause_timer_);
        Deliver(*code);
      } else if (IsDtmfDigit(bytes[i])) {
        loop_.StartTimer(pause_timer_, 60000, settings_.dtmf_pause_ms);
      }
    }
  }

  void Paused() {
    if (std::optional<std::string> code = code_.PauseAt(loop_.NowMs())) {
      loop_.StopTimer(pause_timer_);
      Deliver(*code);
    } else if (const std::optional<std::int64_t> ends = code_.EndsAt()) {
      // The loop's clock had not quite reached the end of the pause.
      loop_.StartTimer(pause_timer_, 60000,
                       static_cast<int>(std::max<std::int64_t>(1, *ends - loop_.NowMs())));
    } else {
      loop_.StopTimer(pause_timer_);
    }
  }

  void Deliver(const std::string& code);

  void ReleaseNow() {
    loop_.StopTimer(release_timer_);
    release_pending_ = false;
    if (!keyed_) return;
    keyed_ = false;
    WriteSquelch('Z');
  }

  void Accept() {
    for (;;) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      if (reporters_.size() >= kMostReporters) {
        close(fd);
        continue;
      }
      Reporter& reporter = reporters_[fd];
      reporter.watch = loop_.WatchReadable(fd, [this, fd] { ReadReport(fd); });
    }
  }

  void DropReporter(int fd) {
    auto it = reporters_.find(fd);
    if (it == reporters_.end()) return;
    loop_.Unwatch(it->second.watch);
    close(fd);
    reporters_.erase(it);
  }

  void ReadReport(int fd) {
    char chunk[256];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) {
      DropReporter(fd);  // a line cut off by the end is not a report
      return;
    }
    std::string& pending = reporters_[fd].pending;
    pending.append(chunk, static_cast<std::size_t>(got));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::string reply = Report(line);
      if (!reply.empty() && send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
        DropReporter(fd);
        return;
      }
    }
    if (pending.size() > kLongestReport) DropReporter(fd);
  }

  // One line from the Tcl handler: "SQL 0|1", "TX 0|1" or "CMD digits" (answered 1 or 0).
  std::string Report(const std::string& line) {
    reports_seen_ = true;
    if (line == "SQL 1" || line == "SQL 0") {
      const bool open = line == "SQL 1";
      // The station has gone: the repeater's tail is not a reason to hold the clock.
      if (sql_open_ && !open && !keyed_) tx_for_others_ = false;
      sql_open_ = open;
      NoteBusy();
    } else if (line == "TX 1" || line == "TX 0") {
      const bool on = line == "TX 1";
      if (on && !tx_on_) tx_for_others_ = !keyed_;
      tx_on_ = on;
      if (!on) tx_for_others_ = false;
      NoteBusy();
    } else if (line.rfind("CMD ", 0) == 0) {
      const bool ours = hooks_.is_clock_code && hooks_.is_clock_code(line.substr(4));
      return ours ? "1\n" : "0\n";
    } else {
      Log("SvxLink's event handler sent an unknown report: " + line.substr(0, 80));
    }
    return {};
  }

  // Logs each change of what holds the clock back, so that an operator sees when and why.
  void NoteBusy() {
    const std::string busy = sql_open_ && !keyed_       ? "a station on its receiver"
                             : tx_on_ && tx_for_others_ ? "transmitting for someone else"
                                                        : "";
    if (busy == busy_logged_) return;
    busy_logged_ = busy;
    Log(busy.empty() ? "SvxLink free" : "SvxLink busy: " + busy);
  }

  PosixLoop& loop_;
  const SvxLinkSettings settings_;
  const Hooks hooks_;
  bool closed_ = false;
  int squelch_fd_ = -1, dtmf_fd_ = -1;
  PosixLoop::WatchId squelch_watch_ = 0, dtmf_watch_ = 0;
  int listen_fd_ = -1;
  PosixLoop::WatchId listen_watch_ = 0;
  std::map<int, Reporter> reporters_;
  TimerService::TimerId reconnect_timer_ = 0, release_timer_ = 0, pause_timer_ = 0;
  std::string last_failure_;
  DtmfCode code_;  // in loop milliseconds
  bool keyed_ = false;  // the clock's squelch is open
  bool release_pending_ = false;
  bool reports_seen_ = false;
  bool sql_open_ = false, tx_on_ = false, tx_for_others_ = false;
  std::string busy_logged_;
};

void SvxLinkNode::Core::Deliver(const std::string& code) {
  Log("DTMF from SvxLink: " + code);
  DeliverDtmf(code);
}

Result<std::unique_ptr<SvxLinkNode>> SvxLinkNode::Open(PosixLoop& loop, SvxLinkSettings settings,
                                                       Hooks hooks) {
  if (settings.squelch_pty.empty()) return Status::BadInput("--svx-squelch names no PTY");
  if (settings.dtmf_pty.empty()) return Status::BadInput("--svx-dtmf names no PTY");
  if (settings.dtmf_pause_ms < 200 || settings.dtmf_pause_ms > 10000)
    return Status::BadInput("the DTMF pause must be 200 to 10000 ms");
  auto core = std::make_shared<Core>(loop, std::move(settings), std::move(hooks));
  if (Status started = core->Start(); !started) {
    core->Stop();
    return started;
  }
  return std::unique_ptr<SvxLinkNode>(new SvxLinkNode(std::move(core)));
}

SvxLinkNode::SvxLinkNode(std::shared_ptr<Core> core) : core_(std::move(core)) {}

SvxLinkNode::~SvxLinkNode() { core_->Stop(); }

Result<std::unique_ptr<EchoLinkObject>> SvxLinkNode::Create() {
  return NodeCore::NewObject(core_);
}

bool SvxLinkNode::connected() const { return core_->connected(); }

}  // namespace horatone
