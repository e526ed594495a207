// The radio as the node; see rig_node.h. The worker thread owns the RIG handle and is the only
// one to call Hamlib. The loop thread and the worker share the small state below under one
// mutex, held only for moments and never across a Hamlib call.
#include "node/rig/rig_node.h"

#include <hamlib/rig.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "node/node_core.h"
#include "node/rig/dtmf_receiver.h"
#include "node/rig/rx_audio.h"

namespace horatone {
namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A rig that does not answer is tried again after 2 s, then less and less often: each failed
// open of a network rig costs Hamlib a little memory that it never gives back.
constexpr auto kFirstRetry = std::chrono::seconds(2);
constexpr auto kLongestRetry = std::chrono::seconds(30);
constexpr auto kPttPollEvery = milliseconds(1000);
constexpr auto kDcdPollEvery = milliseconds(100);

int NoHamlibOutput(enum rig_debug_level_e, rig_ptr_t, const char*, va_list) { return 0; }

// Hamlib's text for an error code, first line only.
std::string HamlibError(int code) {
  std::string text = rigerror2(code);
  text = text.substr(0, text.find('\n'));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

// An error that says the rig cannot do or refused one thing; anything else means the rig (or
// rigctld) is no longer reachable.
bool IsRefusal(int code) { return RIG_IS_SOFT_ERRCODE(-code); }

std::int64_t Ns(SteadyClock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

class RigNode::Core final : public NodeCore, public std::enable_shared_from_this<Core> {
 public:
  Core(RigSettings settings, Hooks hooks)
      : settings_(std::move(settings)),
        hooks_(std::move(hooks)),
        receiver_(settings_.dtmf_pause_ms, [this](const std::string& code) {
          Post([code](Core& core) { core.DeliverCode(code); });
        }) {}

  // Makes and drops one RIG to check the model and the settings; no I/O.
  Status Check() {
    Result<RIG*> made = MakeRig();
    if (!made) return made.status();
    RIG* rig = *made;
    model_name_ = std::string(rig->caps->mfg_name) + " " + rig->caps->model_name;
    rig_cleanup(rig);
    return Status::Ok();
  }

  void Start() {
    worker_ = std::thread([this] { Run(); });
  }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      poked_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
    rx_audio_.reset();
  }

  void StartReceiver(std::unique_ptr<RxAudio> rx) { rx_audio_ = std::move(rx); }

  // --- Loop thread ------------------------------------------------------------------------
  Status Transmit(bool key) override {
    std::lock_guard lock(mutex_);
    if (stop_) return Status::Error("the rig is closed");
    if (!key) {
      locked_out_ = false;  // the clock has released: the next announcement may key again
      if (want_key_) {
        want_key_ = false;
        unkey_requested_ = SteadyClock::now();
        poked_ = true;
        wake_.notify_all();
      }
      return Status::Ok();
    }
    if (!connected_) return Status::Error("the rig is not connected; not keying");
    if (locked_out_) {
      return Status::Error(
          "the transmit time-out has released the transmitter; it keys again "
          "at the next announcement");
    }
    if (want_key_) return Status::Ok();
    want_key_ = true;
    deaf_.store(true);
    // The clip is about to start: hold it until the radio is up, unless it is up already.
    if (radio_ != Radio::kOn && !hold_active_ && hooks_.hold_output) {
      hooks_.hold_output(true);
      hold_active_ = true;
    }
    poked_ = true;
    wake_.notify_all();
    return Status::Ok();
  }

  Result<bool> TransmitState() override {
    const int state = transmit_state_.load();
    if (state < 0) return Status::Unavailable("the rig is not connected");
    return state == 1;
  }

  Result<bool> BusyFlag1() override {
    // Unknown: the schedule waits for the rig.
    if (!connected_.load()) return Status::Unavailable("the rig is not connected");
    return busy_.load();
  }
  Result<bool> BusyFlag2() override { return false; }
  Result<bool> BusyFlag3() override { return false; }
  Result<std::string> InfoText() override { return model_name_; }
  Status AuxFlag(bool) override { return Status::Ok(); }
  Status SendChatText(const std::string& text) override {
    Log("chat (no chat on the air): " + text);
    return Status::Ok();
  }

  void Log(const std::string& line) {
    if (hooks_.log) hooks_.log(line);
  }

  void DeliverCode(const std::string& code);

  // Any thread: a line for the log, written on the loop thread.
  void PostLog(std::string line) {
    Post([line = std::move(line)](Core& core) { core.Log(line); });
  }

  bool connected() const { return connected_.load(); }
  const std::string& model_name() const { return model_name_; }

  // --- Receiver thread ----------------------------------------------------------------------
  void Feed(const int16_t* samples, int count) {
    const bool deaf = deaf_.load() || Ns(SteadyClock::now()) < deaf_until_ns_.load();
    if (deaf) {
      receiver_.FeedDeaf(count);
    } else {
      receiver_.Feed(samples, count);
    }
  }

 private:
  enum class Radio { kOff, kKeying, kOn, kReleasing };

  // Runs `task` on the loop thread if the node is still there then.
  void Post(std::function<void(Core&)> task) {
    if (!hooks_.post_to_loop) return;
    hooks_.post_to_loop([weak = weak_from_this(), task = std::move(task)] {
      if (auto core = weak.lock()) task(*core);
    });
  }

  Result<RIG*> MakeRig() {
    RIG* rig = rig_init(static_cast<rig_model_t>(settings_.model));
    if (rig == nullptr) {
      return Status::NotFound("Hamlib knows no rig model " + std::to_string(settings_.model));
    }
    const std::pair<const char*, std::string> conf[] = {
        {"rig_pathname", settings_.rig_file},
        {"serial_speed", settings_.serial_speed ? std::to_string(settings_.serial_speed) : ""},
        {"ptt_pathname", settings_.ptt_file},
        {"ptt_type", settings_.ptt_type},
        {"dcd_type", settings_.dcd_type}};
    for (const auto& [name, value] : conf) {
      if (value.empty()) continue;
      const int result = rig_set_conf(rig, rig_token_lookup(rig, name), value.c_str());
      if (result != RIG_OK) {
        rig_cleanup(rig);
        return Status::BadInput(std::string("Hamlib refused ") + name + " \"" + value +
                                "\" for model " + std::to_string(settings_.model) + ": " +
                                HamlibError(result));
      }
    }
    return rig;
  }

  // Worker: a rig opened, with the transmitter released (it may have been left keyed).
  Result<RIG*> OpenRig() {
    Result<RIG*> made = MakeRig();
    if (!made) return made;
    RIG* rig = *made;
    int result = rig_open(rig);
    if (result == RIG_OK) {
      rig_set_cache_timeout_ms(rig, HAMLIB_CACHE_ALL, 0);  // PTT and DCD read from the rig
      result = rig_set_ptt(rig, RIG_VFO_CURR, RIG_PTT_OFF);
      if (result != RIG_OK && IsRefusal(result)) result = RIG_OK;
      if (result != RIG_OK) rig_close(rig);
    }
    if (result != RIG_OK) {
      rig_cleanup(rig);
      return Status::Unavailable("cannot open rig model " + std::to_string(settings_.model) +
                                 (settings_.rig_file.empty() ? "" : " on " + settings_.rig_file) +
                                 ": " + HamlibError(result));
    }
    return rig;
  }

  void UpdateDeaf() { deaf_.store(want_key_ || radio_ != Radio::kOff); }

  void ReleaseHold() {
    if (!hold_active_) return;
    hold_active_ = false;
    if (hooks_.hold_output) hooks_.hold_output(false);
  }

  // When a release asked for by the clock may go ahead: the hang time after the last sample
  // has left the sound device (or after the request, when the sound is not known).
  SteadyClock::time_point ReleaseDue(SteadyClock::time_point now) const {
    const auto hang = milliseconds(settings_.hang_ms);
    if (!hooks_.seconds_until_quiet) return unkey_requested_ + hang;
    const double quiet_in = hooks_.seconds_until_quiet();
    const auto quiet = now + std::chrono::duration_cast<SteadyClock::duration>(
                                 std::chrono::duration<double>(quiet_in));
    return std::max(now, quiet + hang);
  }

  void Run();
  // Worker, with the lock held on entry and exit; each drops it around its Hamlib call.
  void Key(std::unique_lock<std::mutex>& lock);
  bool Release(std::unique_lock<std::mutex>& lock);
  void Poll(std::unique_lock<std::mutex>& lock, SteadyClock::time_point now);
  void Lost(std::unique_lock<std::mutex>& lock, const std::string& what, int result);

  const RigSettings settings_;
  const Hooks hooks_;
  std::string model_name_;
  std::thread worker_;
  std::unique_ptr<RxAudio> rx_audio_;
  DtmfReceiver receiver_;  // the receiver thread only

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool poked_ = false;         // a request came since the worker last looked
  bool want_key_ = false;      // the clock's request
  bool locked_out_ = false;    // after a time-out, until the clock releases
  bool timed_out_ = false;     // this keying has run out of time; released until the rig obeys
  bool hold_active_ = false;   // the sound output is held for the key-up
  Radio radio_ = Radio::kOff;  // what the radio has been told
  SteadyClock::time_point unkey_requested_{};
  SteadyClock::time_point keyed_at_{};
  std::atomic<bool> connected_{false};
  std::atomic<int> transmit_state_{-1};  // -1 unknown, 0 released, 1 keyed
  std::atomic<bool> busy_{false};
  std::atomic<bool> deaf_{false};
  std::atomic<std::int64_t> deaf_until_ns_{0};

  // Worker only.
  RIG* rig_ = nullptr;
  bool dcd_readable_ = true;
  SteadyClock::time_point next_ptt_poll_{}, next_dcd_poll_{}, next_release_try_{};
};

void RigNode::Core::DeliverCode(const std::string& code) {
  Log("DTMF from the air: " + code);
  DeliverDtmf(code);
}

void RigNode::Core::Run() {
  bool open_failure_reported = false;
  auto next_open = SteadyClock::now();
  SteadyClock::duration retry_in = kFirstRetry;
  std::unique_lock lock(mutex_);
  while (!stop_) {
    const auto now = SteadyClock::now();
    if (rig_ == nullptr) {
      if (now < next_open) {
        wake_.wait_until(lock, next_open, [this] { return stop_; });
        continue;
      }
      lock.unlock();
      Result<RIG*> opened = OpenRig();
      lock.lock();
      if (!opened) {
        if (!open_failure_reported) {
          PostLog(opened.message() + "; trying again in 2 s, then up to every 30 s");
        }
        open_failure_reported = true;
        next_open = SteadyClock::now() + retry_in;
        retry_in = std::min<SteadyClock::duration>(retry_in * 2, kLongestRetry);
        continue;
      }
      rig_ = *opened;
      open_failure_reported = false;
      retry_in = kFirstRetry;
      radio_ = Radio::kOff;
      timed_out_ = false;
      dcd_readable_ = settings_.dcd_type != "None";
      next_ptt_poll_ = next_dcd_poll_ = SteadyClock::now();
      transmit_state_.store(0);
      connected_.store(true);
      PostLog("rig connected: " + model_name_ +
              (settings_.rig_file.empty() ? "" : " on " + settings_.rig_file));
      continue;
    }

    auto wake_at = now + kPttPollEvery;
    if (hold_active_ && radio_ == Radio::kOn) {
      const auto up = keyed_at_ + milliseconds(settings_.tx_delay_ms);
      if (now >= up)
        ReleaseHold();
      else
        wake_at = std::min(wake_at, up);
    }
    if (want_key_ && radio_ == Radio::kOff) {
      Key(lock);
      continue;
    }
    if (!want_key_ && radio_ == Radio::kOff) ReleaseHold();  // released before it keyed
    if (radio_ == Radio::kOn) {
      const auto limit = keyed_at_ + std::chrono::seconds(settings_.timeout_s);
      if (now >= limit && !timed_out_) {
        timed_out_ = true;
        want_key_ = false;
        locked_out_ = true;
        ReleaseHold();
        PostLog("transmit time-out: the transmitter was keyed for " +
                std::to_string(settings_.timeout_s) +
                " s and is released; it keys again at the next announcement");
        Release(lock);
        continue;
      }
      if (timed_out_) {
        // A release the rig refused after the time-out is tried again at its interval, not
        // back to back.
        if (now >= next_release_try_) {
          Release(lock);
          continue;
        }
        wake_at = std::min(wake_at, next_release_try_);
      } else {
        wake_at = std::min(wake_at, limit);
      }
      if (!timed_out_ && !want_key_ && now >= next_release_try_) {
        const auto due = ReleaseDue(now);
        if (now >= due) {
          Release(lock);
          continue;
        }
        wake_at = std::min(wake_at, due);
      }
    }
    Poll(lock, now);
    if (rig_ == nullptr || stop_) continue;
    wake_at = std::min(wake_at, next_ptt_poll_);
    if (dcd_readable_ && radio_ == Radio::kOff) wake_at = std::min(wake_at, next_dcd_poll_);
    if (radio_ == Radio::kOn && !want_key_) wake_at = std::min(wake_at, next_release_try_);
    // A request made while a Hamlib call was under way is not missed.
    wake_.wait_until(lock, wake_at, [this] { return poked_; });
    poked_ = false;
  }

  // Closing: the transmitter is never left on.
  ReleaseHold();
  want_key_ = false;
  if (rig_ != nullptr) {
    RIG* rig = rig_;
    rig_ = nullptr;
    const bool keyed = radio_ != Radio::kOff;
    lock.unlock();
    if (keyed) rig_set_ptt(rig, RIG_VFO_CURR, RIG_PTT_OFF);
    rig_close(rig);
    rig_cleanup(rig);
    lock.lock();
  }
  radio_ = Radio::kOff;
  connected_.store(false);
  transmit_state_.store(-1);
}

void RigNode::Core::Key(std::unique_lock<std::mutex>& lock) {
  radio_ = Radio::kKeying;
  UpdateDeaf();
  busy_.store(false);  // our own carrier is no reason to wait
  RIG* rig = rig_;
  lock.unlock();
  const auto asked_at = SteadyClock::now();
  const int result = rig_set_ptt(rig, RIG_VFO_CURR, RIG_PTT_ON);
  const auto keyed_at = SteadyClock::now();
  if (result == RIG_OK && hooks_.on_ptt) hooks_.on_ptt(true, asked_at);
  lock.lock();
  if (result == RIG_OK) {
    radio_ = Radio::kOn;
    timed_out_ = false;
    keyed_at_ = keyed_at;
    transmit_state_.store(1);
    next_release_try_ = keyed_at;
    return;
  }
  radio_ = Radio::kOff;
  want_key_ = false;  // the clock's next clip asks again
  ReleaseHold();
  UpdateDeaf();
  if (IsRefusal(result)) {
    PostLog("the rig refused to key the transmitter: " + HamlibError(result));
  } else {
    Lost(lock, "keying", result);
  }
}

bool RigNode::Core::Release(std::unique_lock<std::mutex>& lock) {
  radio_ = Radio::kReleasing;
  RIG* rig = rig_;
  lock.unlock();
  const auto asked_at = SteadyClock::now();
  const int result = rig_set_ptt(rig, RIG_VFO_CURR, RIG_PTT_OFF);
  const auto released_at = SteadyClock::now();
  if (result == RIG_OK && hooks_.on_ptt) hooks_.on_ptt(false, asked_at);
  lock.lock();
  if (result == RIG_OK) {
    radio_ = Radio::kOff;
    timed_out_ = false;
    transmit_state_.store(0);
    deaf_until_ns_.store(Ns(released_at + milliseconds(settings_.hang_ms)));
    UpdateDeaf();
    return true;
  }
  if (IsRefusal(result)) {
    // Still keyed as far as we know: say so, and try again shortly.
    radio_ = Radio::kOn;
    next_release_try_ = released_at + milliseconds(500);
    PostLog("the rig refused to release the transmitter: " + HamlibError(result) +
            "; trying again");
    return false;
  }
  Lost(lock, "releasing", result);
  return false;
}

void RigNode::Core::Poll(std::unique_lock<std::mutex>& lock, SteadyClock::time_point now) {
  RIG* rig = rig_;
  if (now >= next_ptt_poll_) {
    next_ptt_poll_ = now + kPttPollEvery;
    const bool ours = radio_ == Radio::kOn;
    lock.unlock();
    ptt_t ptt = RIG_PTT_OFF;
    const int result = rig_get_ptt(rig, RIG_VFO_CURR, &ptt);
    lock.lock();
    if (result == RIG_OK) {
      transmit_state_.store(ptt != RIG_PTT_OFF ? 1 : 0);
    } else if (IsRefusal(result)) {
      transmit_state_.store(ours ? 1 : 0);  // the rig cannot tell: what we told it
    } else {
      Lost(lock, "reading the PTT", result);
      return;
    }
  }
  if (!dcd_readable_) return;
  if (radio_ != Radio::kOff || want_key_) {
    busy_.store(false);
    return;
  }
  if (now < next_dcd_poll_) return;
  next_dcd_poll_ = now + kDcdPollEvery;
  lock.unlock();
  dcd_t dcd = RIG_DCD_OFF;
  const int result = rig_get_dcd(rig, RIG_VFO_CURR, &dcd);
  lock.lock();
  if (result == RIG_OK) {
    busy_.store(dcd == RIG_DCD_ON);
  } else if (IsRefusal(result)) {
    dcd_readable_ = false;  // the rig reports no squelch: never busy
    busy_.store(false);
    PostLog("the rig reports no squelch state (" + HamlibError(result) +
            "); the channel counts as free");
  } else {
    Lost(lock, "reading the squelch", result);
  }
}

void RigNode::Core::Lost(std::unique_lock<std::mutex>& lock, const std::string& what, int result) {
  RIG* rig = rig_;
  rig_ = nullptr;
  connected_.store(false);
  radio_ = Radio::kOff;
  want_key_ = false;
  ReleaseHold();
  UpdateDeaf();
  deaf_until_ns_.store(Ns(SteadyClock::now() + milliseconds(settings_.hang_ms)));
  transmit_state_.store(-1);
  busy_.store(false);
  lock.unlock();
  rig_close(rig);
  rig_cleanup(rig);
  lock.lock();
  const std::string why = "lost the rig while " + what + ": " + HamlibError(result);
  PostLog(why + "; the transmitter is released here, reconnecting");
  Post([why](Core& core) {
    if (core.hooks_.on_lost) core.hooks_.on_lost(why);
  });
}

Result<std::unique_ptr<RigNode>> RigNode::Open(const RigSettings& settings, Hooks hooks) {
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    rig_set_debug(RIG_DEBUG_NONE);
    rig_set_debug_callback(&NoHamlibOutput, nullptr);
  });
  auto core = std::make_shared<Core>(settings, std::move(hooks));
  if (Status checked = core->Check(); !checked) return checked;
  if (!settings.rx_audio.empty()) {
    RxAudio::Hooks rx_hooks;
    Core* raw = core.get();  // the capture stops before the core goes
    rx_hooks.on_block = [raw](const int16_t* samples, int count) { raw->Feed(samples, count); };
    rx_hooks.on_report = [raw](const std::string& line) { raw->PostLog("receiver: " + line); };
    Result<std::unique_ptr<RxAudio>> rx = RxAudio::Open(settings.rx_audio, std::move(rx_hooks));
    if (!rx) return rx.status();
    core->StartReceiver(std::move(*rx));
  }
  core->Start();
  return std::unique_ptr<RigNode>(new RigNode(std::move(core)));
}

RigNode::RigNode(std::shared_ptr<Core> core) : core_(std::move(core)) {}

RigNode::~RigNode() { core_->Stop(); }

Result<std::unique_ptr<EchoLinkObject>> RigNode::Create() { return NodeCore::NewObject(core_); }

void RigNode::FeedReceiverAudio(const int16_t* samples, int count) { core_->Feed(samples, count); }

bool RigNode::connected() const { return core_->connected(); }

const std::string& RigNode::model_name() const { return core_->model_name(); }

}  // namespace horatone
