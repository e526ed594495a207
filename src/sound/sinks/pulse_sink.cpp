// The PulseAudio output (PipeWire serves it too through pipewire-pulse). libpulse's threaded
// main loop carries the connection on its own thread; the engine's audio thread writes under
// the main loop's lock and waits there for room. No call here waits on the server without a
// time limit, so a server that hangs or dies can never hold the clock: a wait that sees no
// progress for the answer time-out fails the write, and Interrupt() ends any wait at once.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "sound/output_sink.h"
#include "shell/texts.h"

namespace horatone {
namespace {

using SteadyClock = std::chrono::steady_clock;

class PulseSink final : public OutputSink {
 public:
  explicit PulseSink(const DeviceOptions& options)
      : rate_(options.sample_rate),
        cancel_(options.cancel),
        real_time_(options.real_time),
        timeout_(std::chrono::milliseconds(options.answer_timeout_ms)),
        buffer_frames_(
            std::max(options.sample_rate / 50, options.sample_rate / 1000 * options.buffer_ms)) {
    // Made once, so that the feeding thread never allocates.
    silence_.resize(Bytes(buffer_frames_) * 2);
    first_sound_.reserve(Bytes(buffer_frames_));
  }

  ~PulseSink() override {
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_lock(loop_);
    if (tick_ != nullptr) api_->time_free(tick_);
    CloseStream();
    if (context_ != nullptr) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }

  Status Connect() {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) return Status::Error("PulseAudio: cannot make its main loop");
    api_ = pa_threaded_mainloop_get_api(loop_);
    const std::string product(texts::kProductName);
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, product.c_str());
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "announcement");
    context_ = pa_context_new_with_proplist(api_, product.c_str(), props);
    pa_proplist_free(props);
    if (context_ == nullptr) return Status::Error("PulseAudio: cannot make a context");
    pa_context_set_state_callback(context_, &PulseSink::Wake, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return Status::Unavailable(std::string("PulseAudio: ") +
                                 pa_strerror(pa_context_errno(context_)));
    }
    if (pa_threaded_mainloop_start(loop_) < 0) return Status::Error("PulseAudio: cannot start");

    pa_threaded_mainloop_lock(loop_);
    // Every write reaches the server through the main loop's thread, so with a real-time feeder
    // it runs in real time as well: else two busy cores can hold it past what the server holds.
    if (real_time_) {
      pa_mainloop_api_once(
          api_, [](pa_mainloop_api*, void*) { RaiseToRealTime(); }, nullptr);
    }
    // A heartbeat while someone waits, so that every wait below looks at the clock at least ten
    // times a second; it stops while nobody does, so an idle clock costs nothing here.
    tick_ = api_->time_new(api_, nullptr, &PulseSink::Tick, this);
    const bool ready = WaitFor([this] {
      const pa_context_state_t state = pa_context_get_state(context_);
      return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!ready || pa_context_get_state(context_) != PA_CONTEXT_READY) {
      const std::string reason =
          ready ? pa_strerror(pa_context_errno(context_)) : "the server did not answer";
      pa_threaded_mainloop_unlock(loop_);
      return Status::Unavailable("PulseAudio: " + reason);
    }

    // The stream itself is made when there is something to say.
    pa_threaded_mainloop_unlock(loop_);
    return Status::Ok();
  }

  // Under the lock: a new playback stream, ready to take sound. A resting sink has no stream
  // of ours at all, so the server can suspend it; a new stream starts as cleanly as any
  // player's.
  Status OpenStream() {
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = static_cast<uint32_t>(rate_);
    spec.channels = 2;
    stream_ = pa_stream_new(context_, "time announcements", &spec, nullptr);
    if (stream_ == nullptr) {
      return Status::Error("PulseAudio: " + std::string(pa_strerror(pa_context_errno(context_))));
    }
    pa_stream_set_state_callback(stream_, &PulseSink::Wake, this);
    pa_stream_set_write_callback(stream_, &PulseSink::Writable, this);
    pa_stream_set_underflow_callback(stream_, &PulseSink::Underflow, this);
    pa_stream_set_started_callback(stream_, &PulseSink::Started, this);
    // The server holds this much of ours, half of it in its sink. Playback starts once the
    // buffer is full, which takes no time (the clip is in memory); starting on less would let
    // the sink swallow each small write at once and run dry again and again.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = Bytes(buffer_frames_);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = Bytes(period_frames());
    attr.fragsize = static_cast<uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) < 0) {
      const std::string reason = pa_strerror(pa_context_errno(context_));
      CloseStream();
      return Status::Error("PulseAudio: " + reason);
    }
    const bool answered = WaitFor([this] {
      const pa_stream_state_t state = pa_stream_get_state(stream_);
      return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    });
    if (answered && pa_stream_get_state(stream_) == PA_STREAM_READY) return Status::Ok();
    const std::string reason =
        answered ? pa_strerror(pa_context_errno(context_)) : "the server did not answer";
    CloseStream();
    return Status::Unavailable("PulseAudio: the stream did not open: " + reason);
  }

  void CloseStream() {
    if (stream_ == nullptr) return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    pa_stream_set_started_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
    playing_silence_ = false;
    replace_next_ = false;
    started_ = false;
  }

  std::string name() const override { return "pulse"; }
  int period_frames() const override { return rate_ / 100; }

  int64_t QueuedFrames() override {
    Locked lock(loop_);
    pa_usec_t usec = 0;
    int negative = 0;
    if (stream_ == nullptr) return 0;  // resting: nothing is queued
    if (pa_stream_get_latency(stream_, &usec, &negative) < 0) {
      return buffer_frames_ * 2;  // not known yet: count high
    }
    if (negative) return 0;
    return static_cast<int64_t>(usec * static_cast<uint64_t>(rate_) / 1'000'000);
  }

  Status Write(const float* frames, int count) override {
    Locked lock(loop_);
    const char* data = reinterpret_cast<const char*>(frames);
    std::size_t left = Bytes(count);
    if (replace_next_) {
      // The first half buffer of a sound over silence goes in one write where the sink reads
      // next: the sink takes its next piece after it, never between its first blocks, and by
      // the time it needs more the server has asked for the rest.
      first_sound_.insert(first_sound_.end(), data, data + left);
      if (first_sound_.size() < Bytes(buffer_frames_ / 2)) return Status::Ok();
      return ReplaceWithFirstSound();
    }
    while (left > 0) {
      std::size_t room = 0;
      const bool answered = WaitFor([&] {
        if (!Good()) return true;
        room = pa_stream_writable_size(stream_);
        return room != static_cast<std::size_t>(-1) && room > 0;
      });
      if (interrupted_.load(std::memory_order_acquire)) {
        return Status::Error("PulseAudio output interrupted");
      }
      if (!Good()) return ConnectionLost();
      if (!answered)
        return Status::Unavailable("PulseAudio: the sound server stopped taking sound");
      const std::size_t take = std::min(left, room);
      if (pa_stream_write(stream_, data, take, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
        return OutputFailed();
      }
      data += take;
      left -= take;
    }
    return Status::Ok();
  }

  Status Rest(bool rest) override {
    Locked lock(loop_);
    if (pa_context_get_state(context_) != PA_CONTEXT_READY) return ConnectionLost();
    if (rest == (stream_ == nullptr)) return Status::Ok();  // a resting sink has no stream
    if (rest) {
      if (replace_next_) {
        if (Status replaced = ReplaceWithFirstSound(); !replaced) return replaced;
      }
      // Whatever is still queued is played to its end first (within the answer time).
      if (pa_operation* op = pa_stream_drain(stream_, &PulseSink::Drained, this)) {
        WaitFor([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING || !Good(); });
        pa_operation_unref(op);
      }
      CloseStream();
      return Status::Ok();
    }
    return OpenStream();
  }

  // Under the lock.
  Status ReplaceWithFirstSound() {
    replace_next_ = false;
    if (!Good()) return ConnectionLost();
    if (pa_stream_write(stream_, first_sound_.data(), first_sound_.size(), nullptr, 0,
                        PA_SEEK_RELATIVE_ON_READ) < 0) {
      return OutputFailed();
    }
    first_sound_.clear();
    return Status::Ok();
  }

  Status KeepPlayingSilence() override {
    Locked lock(loop_);
    if (!Good()) return ConnectionLost();
    std::size_t room = pa_stream_writable_size(stream_);
    if (room == static_cast<std::size_t>(-1)) return OutputFailed();
    room = std::min(room - room % Bytes(1), silence_.size());
    if (room == 0) return Status::Ok();
    if (pa_stream_write(stream_, silence_.data(), room, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
      return OutputFailed();
    }
    playing_silence_ = true;
    return Status::Ok();
  }

  bool ReplaceSilence() override {
    Locked lock(loop_);
    if (!playing_silence_ || !Good()) return false;
    // Only once the sink takes from the stream: what it drops as the stream joins is silence.
    WaitFor([this] { return started_ || !Good(); });
    replace_next_ = true;
    first_sound_.clear();
    return true;
  }

  int64_t Underruns() override { return underruns_.load(std::memory_order_acquire); }

  void Interrupt() override {
    interrupted_.store(true, std::memory_order_release);
    if (loop_ != nullptr) pa_threaded_mainloop_signal(loop_, 0);
  }

 private:
  // The main loop's lock for one scope; a no-op inside the main loop's own callbacks.
  class Locked {
   public:
    explicit Locked(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Locked() { pa_threaded_mainloop_unlock(loop_); }

   private:
    pa_threaded_mainloop* loop_;
  };

  static void Wake(pa_context*, void* self) { static_cast<PulseSink*>(self)->Signal(); }
  static void Wake(pa_stream*, void* self) { static_cast<PulseSink*>(self)->Signal(); }
  static void Drained(pa_stream*, int, void* self) { static_cast<PulseSink*>(self)->Signal(); }
  static void Writable(pa_stream*, size_t, void* self) { static_cast<PulseSink*>(self)->Signal(); }
  static void Underflow(pa_stream*, void* self) {
    auto* sink = static_cast<PulseSink*>(self);
    sink->underruns_.fetch_add(1, std::memory_order_acq_rel);
    sink->started_ = false;
    sink->Signal();
  }
  static void Started(pa_stream*, void* self) {
    auto* sink = static_cast<PulseSink*>(self);
    sink->started_ = true;
    sink->Signal();
  }
  static void Tick(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* sink = static_cast<PulseSink*>(self);
    if (sink->waiters_ > 0) sink->Rearm();
    sink->Signal();
  }
  void Signal() { pa_threaded_mainloop_signal(loop_, 0); }
  void Rearm() {
    struct timeval when {};
    pa_timeval_add(pa_gettimeofday(&when), 100'000);
    api_->time_restart(tick_, &when);
  }

  // Under the lock: waits until `done` holds, the sink is interrupted, or the server has not
  // answered for the time-out. True when `done` holds.
  template <typename Done>
  bool WaitFor(Done done) {
    const auto deadline = SteadyClock::now() + timeout_;
    if (waiters_++ == 0) Rearm();
    bool ok = true;
    while (!done()) {
      if (interrupted_.load(std::memory_order_acquire) || SteadyClock::now() >= deadline ||
          (cancel_ != nullptr && cancel_->load(std::memory_order_acquire))) {
        ok = false;
        break;
      }
      pa_threaded_mainloop_wait(loop_);
    }
    --waiters_;
    return ok;
  }

  bool Good() const {
    return stream_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY &&
           pa_stream_get_state(stream_) == PA_STREAM_READY;
  }

  uint32_t Bytes(int frames) const { return static_cast<uint32_t>(frames) * 2 * sizeof(float); }

  static Status ConnectionLost() {
    return Status::Unavailable("PulseAudio: the connection to the sound server was lost");
  }
  // Under the lock.
  Status OutputFailed() const {
    return Status::Error(std::string("PulseAudio output failed: ") +
                         pa_strerror(pa_context_errno(context_)));
  }

  const int rate_;
  const std::atomic<bool>* cancel_;
  const bool real_time_;
  const SteadyClock::duration timeout_;
  const int buffer_frames_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_mainloop_api* api_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  pa_time_event* tick_ = nullptr;
  int waiters_ = 0;  // under the main loop's lock
  std::vector<char> silence_;
  bool playing_silence_ = false;   // the stream plays silence ahead of a sound
  bool replace_next_ = false;      // the next write goes where the sink reads next
  bool started_ = false;           // the sink takes from the stream
  std::vector<char> first_sound_;  // gathered to replace the silence in one write
  std::atomic<bool> interrupted_{false};
  std::atomic<int64_t> underruns_{0};
};

}  // namespace

Result<std::unique_ptr<OutputSink>> OpenPulseSink(const DeviceOptions& options) {
  auto sink = std::make_unique<PulseSink>(options);
  if (Status connected = sink->Connect(); !connected) return connected;
  return std::unique_ptr<OutputSink>(std::move(sink));
}

}  // namespace horatone
