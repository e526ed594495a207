// The output sinks; see output_sink.h. All three are blocking writers driven by the audio thread.
#include "platform/audio/output_sink.h"

#include <alsa/asoundlib.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <time.h>

#include <cerrno>
#include <string>

#include "shell/texts.h"

namespace horatone {
namespace {

class PulseSink final : public OutputSink {
 public:
  PulseSink(pa_simple* stream, int period, int buffered)
      : stream_(stream), period_(period), buffered_(buffered) {}
  ~PulseSink() override { pa_simple_free(stream_); }
  std::string name() const override { return "pulse"; }
  int period_frames() const override { return period_; }
  int buffered_frames() const override { return buffered_; }
  bool Write(const float* frames, int count, std::string* why) override {
    int error = 0;
    if (pa_simple_write(stream_, frames, sizeof(float) * 2 * static_cast<size_t>(count), &error) <
        0) {
      *why = std::string("PulseAudio output failed: ") + pa_strerror(error);
      return false;
    }
    return true;
  }

 private:
  pa_simple* stream_;
  int period_;
  int buffered_;
};

class AlsaSink final : public OutputSink {
 public:
  AlsaSink(snd_pcm_t* pcm, int period, int buffered)
      : pcm_(pcm), period_(period), buffered_(buffered) {}
  ~AlsaSink() override { snd_pcm_close(pcm_); }
  std::string name() const override { return "alsa"; }
  int period_frames() const override { return period_; }
  int buffered_frames() const override { return buffered_; }
  bool Write(const float* frames, int count, std::string* why) override {
    while (count > 0) {
      snd_pcm_sframes_t written =
          snd_pcm_writei(pcm_, frames, static_cast<snd_pcm_uframes_t>(count));
      if (written < 0) {
        // An underrun or a suspend is recovered; anything else means the device is gone.
        if (snd_pcm_recover(pcm_, static_cast<int>(written), 1) < 0) {
          *why = std::string("ALSA output failed: ") + snd_strerror(static_cast<int>(written));
          return false;
        }
        continue;
      }
      frames += 2 * written;
      count -= static_cast<int>(written);
    }
    return true;
  }

 private:
  snd_pcm_t* pcm_;
  int period_;
  int buffered_;
};

class NullSink final : public OutputSink {
 public:
  explicit NullSink(int sample_rate) : sample_rate_(sample_rate) {}
  std::string name() const override { return "null"; }
  int period_frames() const override { return sample_rate_ / 500; }
  int buffered_frames() const override { return 0; }
  bool Write(const float*, int count, std::string*) override {
    Start();
    frames_ += count;
    const int64_t now = NowNs();
    // After a stall (a suspended machine, a debugger) start afresh instead of racing to catch up.
    if (now > DeadlineNs() + 1'000'000'000) {
      origin_ns_ = now;
      frames_ = 0;
    }
    const int64_t deadline = DeadlineNs();
    const timespec until{static_cast<time_t>(deadline / 1'000'000'000),
                         static_cast<long>(deadline % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    return true;
  }
  int64_t FramesDueNow() override {
    Start();
    const int64_t late_ns = NowNs() - DeadlineNs();
    if (late_ns <= 0) return 0;
    if (late_ns > 1'000'000'000) {  // a stall, as in Write()
      origin_ns_ = NowNs();
      frames_ = 0;
      return 0;
    }
    return late_ns * sample_rate_ / 1'000'000'000;
  }
  void Skip(int64_t frames) override { frames_ += frames; }

 private:
  static int64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
  }
  // The clock starts with the first write, so that a sink opened early does not race ahead.
  void Start() {
    if (origin_ns_ < 0) origin_ns_ = NowNs();
  }
  // When the frames written so far have played: counted from the origin in whole frames, so
  // that the pace never drifts however the frames were handed over.
  int64_t DeadlineNs() const {
    return origin_ns_ + frames_ / sample_rate_ * 1'000'000'000 +
           frames_ % sample_rate_ * 1'000'000'000 / sample_rate_;
  }

  int sample_rate_;
  int64_t origin_ns_ = -1;
  int64_t frames_ = 0;  // written (or skipped) since the origin
};

}  // namespace

std::unique_ptr<OutputSink> OpenPulseSink(int sample_rate, std::string* why) {
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_FLOAT32NE;
  spec.rate = static_cast<uint32_t>(sample_rate);
  spec.channels = 2;
  const uint32_t frame_bytes = 2 * sizeof(float);
  const int period = sample_rate / 200;  // 5 ms requests, 40 ms buffered
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = frame_bytes * static_cast<uint32_t>(sample_rate / 25);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = frame_bytes * static_cast<uint32_t>(period);
  attr.fragsize = static_cast<uint32_t>(-1);
  int error = 0;
  pa_simple* stream = pa_simple_new(nullptr, std::string(texts::kProductName).c_str(), PA_STREAM_PLAYBACK, nullptr,
                                    "time announcements", &spec, nullptr, &attr, &error);
  if (stream == nullptr) {
    *why = std::string("PulseAudio: ") + pa_strerror(error);
    return nullptr;
  }
  // The server's own latency comes on top of the target length; it is small next to it.
  return std::make_unique<PulseSink>(stream, period, sample_rate / 25);
}

// ALSA reports a missing card on stderr as well as through the result; the result is enough.
static void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

std::unique_ptr<OutputSink> OpenAlsaSink(int sample_rate, std::string* why) {
  snd_lib_error_set_handler(&QuietAlsaErrors);
  snd_pcm_t* pcm = nullptr;
  int error = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
  if (error < 0) {
    *why = std::string("ALSA: ") + snd_strerror(error);
    return nullptr;
  }
  error = snd_pcm_set_params(pcm, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2,
                             static_cast<unsigned>(sample_rate), 1, 40000);
  snd_pcm_uframes_t buffer = 0, period = 0;
  if (error >= 0) error = snd_pcm_get_params(pcm, &buffer, &period);
  if (error < 0) {
    *why = std::string("ALSA: ") + snd_strerror(error);
    snd_pcm_close(pcm);
    return nullptr;
  }
  return std::make_unique<AlsaSink>(pcm, static_cast<int>(period), static_cast<int>(buffer));
}

std::unique_ptr<OutputSink> OpenNullSink(int sample_rate) {
  return std::make_unique<NullSink>(sample_rate);
}

}  // namespace horatone
