// The on-air capture; see wav_capture.h.
#include "platform/audio/wav_capture.h"

#include <algorithm>

namespace horatone {

std::unique_ptr<WavCapture> WavCapture::Open(const std::filesystem::path& file, int sample_rate,
                                             Status* why) {
  SF_INFO info{};
  info.samplerate = sample_rate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
  if (sf == nullptr) {
    if (why)
      *why = Status::Error("Cannot write the capture file " + file.string() + ": " +
                           sf_strerror(nullptr));
    return nullptr;
  }
  sf_command(sf, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  sf_command(sf, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  return std::unique_ptr<WavCapture>(new WavCapture(sf, file, sample_rate));
}

WavCapture::WavCapture(SNDFILE* sf, std::filesystem::path file, int sample_rate)
    : sf_(sf), file_(std::move(file)), buffer_(2 * static_cast<std::size_t>(sample_rate / 10)) {}

WavCapture::~WavCapture() { Finalize(); }

void WavCapture::Write(const float* frames, int count) {
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || sf_ == nullptr) return;  // closing or closed: the capture has ended
  std::size_t samples = 2 * static_cast<std::size_t>(count);
  while (samples > 0) {
    const std::size_t take = std::min(samples, buffer_.size() - buffered_);
    std::copy(frames, frames + take, buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_));
    buffered_ += take;
    frames += take;
    samples -= take;
    if (buffered_ == buffer_.size()) FlushLocked();
  }
}

Status WavCapture::FlushLocked() {
  if (buffered_ > 0 && status_) {
    const sf_count_t frames = static_cast<sf_count_t>(buffered_ / 2);
    if (sf_writef_float(sf_, buffer_.data(), frames) != frames) {
      status_ = Status::Error("Writing the capture file " + file_.string() +
                              " failed: " + sf_strerror(sf_));
    }
  }
  buffered_ = 0;
  return status_;
}

Status WavCapture::Finalize() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sf_ == nullptr) return status_;
  FlushLocked();
  if (sf_close(sf_) != 0 && status_)
    status_ = Status::Error("Closing the capture file " + file_.string() + " failed");
  sf_ = nullptr;
  return status_;
}

}  // namespace horatone
