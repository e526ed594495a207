// The release that waits for the sound; see quiet_release.h.
#include "node/quiet_release.h"

#include <algorithm>
#include <cmath>

namespace horatone {
namespace {

class QuietReleaseObject final : public EchoLinkObject {
 public:
  QuietReleaseObject(std::unique_ptr<EchoLinkObject> inner, TimerService& timers,
                     std::function<double()> seconds_until_quiet)
      : inner_(std::move(inner)),
        timers_(timers),
        seconds_until_quiet_(std::move(seconds_until_quiet)),
        timer_(timers_.CreateTimer([this] { Check(); })) {}

  ~QuietReleaseObject() override {
    timers_.StopTimer(timer_);
    if (waiting_) ContinuePastFailure(inner_->Transmit(false));
  }

  Status Transmit(bool key) override {
    if (key) {
      Withdraw();
      return inner_->Transmit(true);
    }
    if (waiting_) return Status::Ok();  // already on its way
    const double seconds = seconds_until_quiet_();
    if (seconds <= 0) return inner_->Transmit(false);
    waiting_ = true;
    give_up_ms_ = timers_.NowMs() + QuietReleaseNodes::kLongestWaitMs;
    Arm(seconds);
    return Status::Ok();
  }

  Result<bool> TransmitState() override { return inner_->TransmitState(); }
  Result<bool> BusyFlag1() override { return inner_->BusyFlag1(); }
  Result<bool> BusyFlag2() override { return inner_->BusyFlag2(); }
  Result<bool> BusyFlag3() override { return inner_->BusyFlag3(); }
  Result<std::string> InfoText() override { return inner_->InfoText(); }
  Status AuxFlag(bool value) override { return inner_->AuxFlag(value); }
  Status SendChatText(const std::string& text) override { return inner_->SendChatText(text); }
  void SetEvents(EchoLinkEvents* events) override { inner_->SetEvents(events); }

 private:
  void Arm(double seconds) {
    const std::int64_t left_ms = give_up_ms_ - timers_.NowMs();
    const auto delay = static_cast<std::int64_t>(std::ceil(seconds * 1000.0)) + 1;
    const int wait = static_cast<int>(std::clamp<std::int64_t>(std::min(delay, left_ms), 1, 1000));
    timers_.StartTimer(timer_, wait, wait);
  }

  void Check() {
    if (!waiting_) {
      timers_.StopTimer(timer_);
      return;
    }
    const double seconds = seconds_until_quiet_();
    if (seconds > 0 && timers_.NowMs() < give_up_ms_) {
      Arm(seconds);
      return;
    }
    Withdraw();
    ContinuePastFailure(inner_->Transmit(false));  // the node reports its own failures
  }

  void Withdraw() {
    waiting_ = false;
    timers_.StopTimer(timer_);
  }

  std::unique_ptr<EchoLinkObject> inner_;
  TimerService& timers_;
  std::function<double()> seconds_until_quiet_;
  const TimerService::TimerId timer_;
  bool waiting_ = false;
  std::int64_t give_up_ms_ = 0;
};

}  // namespace

QuietReleaseNodes::QuietReleaseNodes(NodeFactory& inner, TimerService& timers,
                                     std::function<double()> seconds_until_quiet)
    : inner_(inner), timers_(timers), seconds_until_quiet_(std::move(seconds_until_quiet)) {}

Result<std::unique_ptr<EchoLinkObject>> QuietReleaseNodes::Create() {
  Result<std::unique_ptr<EchoLinkObject>> inner = inner_.Create();
  if (!inner) return inner.status();
  return std::unique_ptr<EchoLinkObject>(
      std::make_unique<QuietReleaseObject>(std::move(*inner), timers_, seconds_until_quiet_));
}

}  // namespace horatone
