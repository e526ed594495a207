// SvxLink as the node; see svxlink_node.h. The PTYs are SvxLink's: it creates them and the
// links to them, so the clock opens the slave ends (raw, non-blocking) and treats a hang-up as
// SvxLink gone. The events FIFO is the clock's: the Tcl handler opens it for each report.
#include "node/svxlink/svxlink_node.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "node/dtmf_code.h"
#include "node/log_text.h"
#include "node/node_core.h"
#include "node/rate_limited_log.h"
#include "node/svxlink/svx_event_files.h"
#include "node/svxlink/svx_reports.h"
#include "runtime/posix_loop.h"

namespace horatone {
namespace {

constexpr int kReconnectEveryMs = 500;
// What one wake-up reads from the FIFO at most, so that a flood cannot hold the loop.
constexpr std::size_t kMostReadAtOnce = 16384;
// What of a chat line the log shows.
constexpr std::size_t kChatShown = 200;

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
      Result<int> fifo = OpenSvxEventsFifo(settings_.events);
      if (!fifo) return Status::Error(fifo.status().kind, "--svx-events: " + fifo.message());
      events_fd_ = *fifo;
      events_watch_ = loop_.WatchReadable(events_fd_, [this] { ReadReports(); });
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
    if (events_fd_ >= 0) {
      loop_.Unwatch(events_watch_);
      close(events_fd_);
      events_fd_ = -1;
      if (std::string summary = refused_reports_.Summary(); !summary.empty()) Log(summary);
    }
    // With the clock gone, the handler must not claim its code for it.
    if (code_written_) unlink(SvxCodeFilePath(settings_.events).c_str());
    code_written_ = false;
  }

  void SetClockCode(const std::string& code) {
    if (closed_ || settings_.events.empty() || (code_written_ && code == clock_code_)) return;
    const std::string path = SvxCodeFilePath(settings_.events);
    // Only a code SvxLink can pass on as a command is worth claiming.
    const Status written = WriteSvxCodeFile(path, IsDtmfText(code) ? code : std::string());
    if (written) {
      code_written_ = true;
      clock_code_ = code;
      code_failure_.clear();
      return;
    }
    if (written.message != code_failure_) Log("SvxLink's code file: " + written.message);
    code_failure_ = written.message;
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
  // keyed, up to the moment a station's squelch closes in it or an EchoLink station stops
  // talking. What follows a station is the repeater's hang time, and the tail after the
  // clock's own is not someone else's either. An EchoLink station's own talk is flag 3.
  Result<bool> BusyFlag2() override {
    if (!connected()) return NotConnected();
    return tx_on_ && tx_for_others_ && !echolink_talking_;
  }
  // A station connected through SvxLink's EchoLink module is talking.
  Result<bool> BusyFlag3() override {
    if (!connected()) return NotConnected();
    return echolink_talking_;
  }
  // "SvxLink", and the EchoLink module's callsign once the handler has reported it.
  Result<std::string> InfoText() override {
    return callsign_.empty() ? std::string("SvxLink") : "SvxLink " + callsign_;
  }
  Status AuxFlag(bool) override { return Status::Ok(); }
  // SvxLink 19.09 offers an event handler no way to send an EchoLink chat line: no Tcl
  // command, and the EchoLink module's command PTY takes only KILL and DISC. So the reply is
  // logged, with the reason, and the call succeeds: nothing is lost that could have gone out.
  Status SendChatText(const std::string& text) override {
    std::string summary;
    const bool allowed = chat_log_.Allow(loop_.NowMs(), &summary);
    if (!summary.empty()) Log(summary);
    if (allowed) {
      Log("chat reply not sent (SvxLink lets no event handler send EchoLink chat): " +
          LogText(text, kChatShown));
    }
    return Status::Ok();
  }

  void Log(const std::string& line) const {
    if (hooks_.log) hooks_.log(line);
  }

 private:
  static Status NotConnected() { return Status::Unavailable("SvxLink is not connected"); }

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
    sql_open_ = tx_on_ = tx_for_others_ = echolink_talking_ = false;
    callsign_.clear();
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

  // What the Tcl handler wrote into the FIFO. The clock holds its writing end too, so the
  // FIFO never reads as ended.
  void ReadReports() {
    char chunk[4096];
    std::vector<SvxReport> reports;
    for (std::size_t taken = 0; taken < kMostReadAtOnce;) {
      const ssize_t got = read(events_fd_, chunk, sizeof chunk);
      if (got <= 0) break;
      reader_.Feed(std::string_view(chunk, static_cast<std::size_t>(got)), &reports);
      taken += static_cast<std::size_t>(got);
    }
    for (const SvxReport& report : reports) Report(report);
    // Once for what came together: the handler reports its whole state at once, and a
    // station's talk must not show for a moment as a transmission for someone else.
    if (!reports.empty()) NoteBusy();
  }

  // One report from the Tcl handler.
  void Report(const SvxReport& report) {
    switch (report.kind) {
      case SvxReport::Kind::kSquelch:
        reports_seen_ = true;
        // The station has gone: the repeater's tail is not a reason to hold the clock.
        if (sql_open_ && !report.on && !keyed_) tx_for_others_ = false;
        sql_open_ = report.on;
        break;
      case SvxReport::Kind::kTransmit:
        reports_seen_ = true;
        if (report.on && !tx_on_) tx_for_others_ = !keyed_;
        tx_on_ = report.on;
        if (!report.on) tx_for_others_ = false;
        break;
      case SvxReport::Kind::kEchoLinkTalking:
        reports_seen_ = true;
        // As with a station on the receiver, the tail after it is not someone else's.
        if (echolink_talking_ && !report.on && !keyed_) tx_for_others_ = false;
        echolink_talking_ = report.on;
        break;
      case SvxReport::Kind::kCallsign:
        if (report.text != callsign_) Log("SvxLink's EchoLink module: " + report.text);
        callsign_ = report.text;
        break;
      case SvxReport::Kind::kChat: {
        std::string summary;
        const bool allowed = chat_log_.Allow(loop_.NowMs(), &summary);
        if (!summary.empty()) Log(summary);
        if (allowed) Log("EchoLink chat: " + LogText(report.text, kChatShown));
        DeliverChat(report.text);
        break;
      }
      case SvxReport::Kind::kRefused: {
        std::string summary;
        const bool allowed = refused_reports_.Allow(loop_.NowMs(), &summary);
        if (!summary.empty()) Log(summary);
        if (allowed) Log("SvxLink's event handler sent " + report.reason);
        break;
      }
    }
  }

  // Logs each change of what holds the clock back, so that an operator sees when and why.
  void NoteBusy() {
    const std::string busy = sql_open_ && !keyed_       ? "a station on its receiver"
                             : echolink_talking_        ? "an EchoLink station talking"
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
  int events_fd_ = -1;
  PosixLoop::WatchId events_watch_ = 0;
  SvxReportReader reader_;
  RateLimitedLog refused_reports_{"SvxLink: ", "refused reports"};
  // Chat lines and the replies to them, which a remote station can send without end.
  RateLimitedLog chat_log_{"SvxLink: ", "chat lines"};
  bool code_written_ = false;
  std::string clock_code_;  // as the code file holds it
  std::string code_failure_;
  TimerService::TimerId reconnect_timer_ = 0, release_timer_ = 0, pause_timer_ = 0;
  std::string last_failure_;
  DtmfCode code_;       // in loop milliseconds
  bool keyed_ = false;  // the clock's squelch is open
  bool release_pending_ = false;
  bool reports_seen_ = false;
  bool sql_open_ = false, tx_on_ = false, tx_for_others_ = false;
  bool echolink_talking_ = false;
  std::string callsign_;  // the EchoLink module's, as reported
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

Result<std::unique_ptr<EchoLinkObject>> SvxLinkNode::Create() { return NodeCore::NewObject(core_); }

bool SvxLinkNode::connected() const { return core_->connected(); }

std::string SvxLinkNode::InfoText() const { return core_->InfoText().value_or("SvxLink"); }

void SvxLinkNode::SetClockCode(const std::string& code) { core_->SetClockCode(code); }

}  // namespace horatone
