// The receiver's audio capture; see rx_audio.h.
#include "node/rig/rx_audio.h"

#include <alsa/asoundlib.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include <chrono>
#include <vector>

#include "shell/texts.h"

namespace horatone {

// One open capture device; Read() blocks until a whole block has come.
class RxAudio::Source {
 public:
  virtual ~Source() = default;
  virtual Status Read(int16_t* samples, int count) = 0;
};

namespace {

class PulseSource final : public RxAudio::Source {
 public:
  explicit PulseSource(pa_simple* stream) : stream_(stream) {}
  ~PulseSource() override { pa_simple_free(stream_); }
  Status Read(int16_t* samples, int count) override {
    int error = 0;
    if (pa_simple_read(stream_, samples, sizeof(int16_t) * static_cast<size_t>(count), &error) <
        0) {
      return Status::Unavailable(std::string("PulseAudio capture failed: ") + pa_strerror(error));
    }
    return Status::Ok();
  }

 private:
  pa_simple* stream_;
};

class AlsaSource final : public RxAudio::Source {
 public:
  explicit AlsaSource(snd_pcm_t* pcm) : pcm_(pcm) {}
  ~AlsaSource() override { snd_pcm_close(pcm_); }
  Status Read(int16_t* samples, int count) override {
    while (count > 0) {
      const snd_pcm_sframes_t got =
          snd_pcm_readi(pcm_, samples, static_cast<snd_pcm_uframes_t>(count));
      if (got < 0) {
        if (snd_pcm_recover(pcm_, static_cast<int>(got), 1) < 0) {
          return Status::Unavailable(std::string("ALSA capture failed: ") +
                                     snd_strerror(static_cast<int>(got)));
        }
        continue;
      }
      samples += got;
      count -= static_cast<int>(got);
    }
    return Status::Ok();
  }

 private:
  snd_pcm_t* pcm_;
};

Result<std::unique_ptr<RxAudio::Source>> OpenSource(const std::string& system,
                                                    const std::string& device) {
  if (system == "pulse") {
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_S16NE;
    spec.rate = RxAudio::kSampleRate;
    spec.channels = 1;
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = sizeof(int16_t) * RxAudio::kBlock;
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, std::string(texts::kProductName).c_str(), PA_STREAM_RECORD,
                                      device.empty() ? nullptr : device.c_str(),
                                      "receiver audio for DTMF", &spec, nullptr, &attr, &error);
    if (stream == nullptr) {
      return Status::Unavailable(std::string("PulseAudio capture: ") + pa_strerror(error));
    }
    return std::unique_ptr<RxAudio::Source>(std::make_unique<PulseSource>(stream));
  }
  snd_pcm_t* pcm = nullptr;
  const std::string name = device.empty() ? "default" : device;
  int error = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, 0);
  if (error >= 0) {
    error = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                               RxAudio::kSampleRate, 1, 100000);
    if (error < 0) snd_pcm_close(pcm);
  }
  if (error < 0) return Status::Unavailable("ALSA capture " + name + ": " + snd_strerror(error));
  return std::unique_ptr<RxAudio::Source>(std::make_unique<AlsaSource>(pcm));
}

}  // namespace

Result<std::unique_ptr<RxAudio>> RxAudio::Open(const std::string& name, Hooks hooks) {
  const std::size_t colon = name.find(':');
  const std::string system = name.substr(0, colon);
  const std::string device = colon == std::string::npos ? "" : name.substr(colon + 1);
  if (system != "pulse" && system != "alsa") {
    return Status::BadInput("receiver audio \"" + name +
                            "\" is none of pulse, pulse:SOURCE, alsa, alsa:DEVICE");
  }
  std::unique_ptr<RxAudio> rx(new RxAudio(system, device, std::move(hooks)));
  rx->thread_ = std::thread([r = rx.get()] { r->Run(); });
  return rx;
}

RxAudio::RxAudio(std::string system, std::string device, Hooks hooks)
    : system_(std::move(system)), device_(std::move(device)), hooks_(std::move(hooks)) {}

RxAudio::~RxAudio() {
  quit_.store(true);
  if (thread_.joinable()) thread_.join();
}

void RxAudio::Run() {
  std::vector<int16_t> block(kBlock);
  std::string last_report;
  auto report = [&](const std::string& line) {
    if (line != last_report && hooks_.on_report) hooks_.on_report(line);
    last_report = line;
  };
  while (!quit_.load()) {
    Result<std::unique_ptr<Source>> source = OpenSource(system_, device_);
    if (!source) {
      report(source.message() + "; trying again every 2 s");
      for (int i = 0; i < 20 && !quit_.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    report("listening for DTMF on " + system_ + (device_.empty() ? "" : ":" + device_));
    while (!quit_.load()) {
      if (const Status read = (*source)->Read(block.data(), kBlock); !read) {
        report(read.message);
        break;
      }
      if (hooks_.on_block) hooks_.on_block(block.data(), kBlock);
    }
  }
}

}  // namespace horatone
