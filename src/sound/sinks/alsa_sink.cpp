// The ALSA output; see output_sink.h.
#include "sound/output_sink.h"

#include <alsa/asoundlib.h>
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>


namespace horatone {
namespace {

class AlsaSink final : public OutputSink {
 public:
  AlsaSink(snd_pcm_t* pcm, int period, int timeout_ms)
      : pcm_(pcm), period_(period), timeout_ms_(timeout_ms) {}
  ~AlsaSink() override { snd_pcm_close(pcm_); }
  std::string name() const override { return "alsa"; }
  int period_frames() const override { return period_; }
  int64_t QueuedFrames() override {
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(pcm_, &delay) < 0) return 0;  // not running: nothing waits to be heard
    return std::max<int64_t>(0, delay);
  }
  // The device is open without blocking: a wait for room is a poll with a time limit, so a
  // device (or the sound server behind ALSA's pulse plug-in) that stops answering fails the
  // write instead of holding the clock.
  Status Write(const float* frames, int count) override {
    int waited_ms = 0;
    while (count > 0) {
      if (interrupted_.load(std::memory_order_acquire)) {
        return Status::Error("ALSA output interrupted");
      }
      snd_pcm_sframes_t written =
          snd_pcm_writei(pcm_, frames, static_cast<snd_pcm_uframes_t>(count));
      if (written == -EAGAIN) {
        if (waited_ms >= timeout_ms_) {
          return Status::Unavailable("ALSA: the device stopped taking sound");
        }
        snd_pcm_wait(pcm_, 50);
        waited_ms += 50;
        continue;
      }
      if (written < 0) {
        if (written == -EPIPE) underruns_.fetch_add(1, std::memory_order_acq_rel);
        // An underrun or a suspend is recovered; anything else means the device is gone.
        if (snd_pcm_recover(pcm_, static_cast<int>(written), 1) < 0) {
          return Failed(static_cast<int>(written));
        }
        continue;
      }
      waited_ms = 0;
      frames += 2 * written;
      count -= static_cast<int>(written);
    }
    return Status::Ok();
  }
  Status Rest(bool rest) override {
    if (!rest) {
      const int error = snd_pcm_prepare(pcm_);
      if (error < 0) return Failed(error);
      return Status::Ok();
    }
    // Whatever is still queued is played to its end first: the device drains on its own (the
    // call returns at once without blocking) and is watched until it has, within the answer time.
    const int error = snd_pcm_drain(pcm_);
    if (error < 0 && error != -EAGAIN) return Failed(error);
    for (int waited_ms = 0; waited_ms < timeout_ms_; waited_ms += 5) {
      if (snd_pcm_state(pcm_) != SND_PCM_STATE_DRAINING ||
          interrupted_.load(std::memory_order_acquire)) {
        break;
      }
      usleep(5000);
    }
    snd_pcm_drop(pcm_);
    return Status::Ok();
  }
  int64_t Underruns() override { return underruns_.load(std::memory_order_acquire); }
  void Interrupt() override { interrupted_.store(true, std::memory_order_release); }

 private:
  static Status Failed(int error) {
    return Status::Error(std::string("ALSA output failed: ") + snd_strerror(error));
  }

  snd_pcm_t* pcm_;
  int period_;
  int timeout_ms_;
  std::atomic<bool> interrupted_{false};
  std::atomic<int64_t> underruns_{0};
};

}  // namespace

// ALSA reports a missing card on stderr as well as through the result; the result is enough.
static void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

static Result<std::unique_ptr<OutputSink>> OpenAlsaDevice(const DeviceOptions& options) {
  snd_lib_error_set_handler(&QuietAlsaErrors);
  snd_pcm_t* pcm = nullptr;
  const std::string device = options.device.empty() ? "default" : options.device;
  int error = snd_pcm_open(&pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (error < 0) return Status::NotFound("ALSA " + device + ": " + snd_strerror(error));
  error = snd_pcm_set_params(pcm, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2,
                             static_cast<unsigned>(options.sample_rate), 1,
                             static_cast<unsigned>(options.buffer_ms) * 1000);
  snd_pcm_uframes_t buffer = 0, period = 0;
  if (error >= 0) error = snd_pcm_get_params(pcm, &buffer, &period);
  if (error < 0) {
    snd_pcm_close(pcm);
    return Status::Error("ALSA " + device + ": " + snd_strerror(error));
  }
  (void)buffer;
  return std::unique_ptr<OutputSink>(
      std::make_unique<AlsaSink>(pcm, static_cast<int>(period), options.answer_timeout_ms));
}

// The threads of this process, other than `except`, whose scheduling policy is `policy`.
static std::vector<pid_t> ThreadsWithPolicy(int policy, pid_t except) {
  std::vector<pid_t> found;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return found;
  while (const dirent* entry = readdir(tasks)) {
    const pid_t tid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (tid <= 0 || tid == except) continue;
    const int current = sched_getscheduler(tid);
    if (current >= 0 && (current & ~SCHED_RESET_ON_FORK) == policy) found.push_back(tid);
  }
  closedir(tasks);
  return found;
}

// A device may carry the sound on a thread of its sound library: ALSA's pulse plug-in hands
// every write to the server from its own main loop thread. Behind a real-time feeder that
// thread must run in real time too, or busy cores hold it until the server has run dry and
// plays silence in the middle of a word (the plug-in does not always report it). A thread
// starts in the scheduling policy of the thread that starts it, so the device is opened on a
// thread of its own in SCHED_BATCH, which nothing else here uses: the threads in that policy
// afterwards are the library's, and are raised (or put back to normal where that fails).
Result<std::unique_ptr<OutputSink>> OpenAlsaSink(const DeviceOptions& options) {
  if (!options.real_time) return OpenAlsaDevice(options);
  Result<std::unique_ptr<OutputSink>> sink = Status::Error("ALSA: the device was not opened");
  std::thread opener([&] {
    sched_param normal{};
    const bool marked = pthread_setschedparam(pthread_self(), SCHED_BATCH, &normal) == 0;
    sink = OpenAlsaDevice(options);
    if (!marked) return;
    for (const pid_t tid : ThreadsWithPolicy(SCHED_BATCH, gettid())) {
      if (!RaiseToRealTime(tid)) sched_setscheduler(tid, SCHED_OTHER, &normal);
    }
  });
  opener.join();
  return sink;
}

}  // namespace horatone
