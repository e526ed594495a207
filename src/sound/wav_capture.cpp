// The on-air capture; see wav_capture.h.
#include "sound/wav_capture.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace horatone {
namespace {
// Ten seconds of room at 48 kHz: the disk may stall that long before frames are lost.
constexpr std::size_t kRingChunks = 2048;
}  // namespace

Result<std::unique_ptr<WavCapture>> WavCapture::Open(const std::filesystem::path& file,
                                                     int sample_rate) {
  SF_INFO info{};
  info.samplerate = sample_rate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
  if (sf == nullptr) {
    return Status::Error("Cannot write the capture file " + file.string() + ": " +
                         sf_strerror(nullptr));
  }
  sf_command(sf, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  sf_command(sf, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  return std::unique_ptr<WavCapture>(new WavCapture(sf, file, sample_rate));
}

WavCapture::WavCapture(SNDFILE* sf, std::filesystem::path file, int /*sample_rate*/)
    : sf_(sf), file_(std::move(file)), ring_(kRingChunks) {
  writer_ = std::thread([this] { RunWriter(); });
}

WavCapture::~WavCapture() { ContinuePastFailure(Finalize()); }  // the owner has said its result

void WavCapture::Write(const float* frames, int count) { Push(frames, count, false); }

void WavCapture::WriteWaiting(const float* frames, int count) { Push(frames, count, true); }

void WavCapture::Push(const float* frames, int count, bool wait) {
  if (closing_.load(std::memory_order_acquire)) return;  // the capture has ended
  Chunk chunk;
  while (count > 0) {
    chunk.frames = std::min(count, kChunkFrames);
    std::copy(frames, frames + 2 * chunk.frames, chunk.samples.begin());
    while (!ring_.Push(chunk)) {
      if (!wait) {
        overflowed_.store(true, std::memory_order_release);
        break;
      }
      wake_.notify_one();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    frames += 2 * chunk.frames;
    count -= chunk.frames;
  }
}

void WavCapture::RunWriter() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!closing_.load(std::memory_order_acquire)) {
    wake_.wait_for(lock, std::chrono::milliseconds(100));
    lock.unlock();
    Drain();
    lock.lock();
  }
}

void WavCapture::Drain() {
  Chunk chunk;
  while (ring_.Pop(&chunk)) {
    if (!status_) continue;
    if (sf_writef_float(sf_, chunk.samples.data(), chunk.frames) != chunk.frames) {
      status_ = Status::Error("Writing the capture file " + file_.string() +
                              " failed: " + sf_strerror(sf_));
    }
  }
}

Status WavCapture::Finalize() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (finalized_) return status_;
  finalized_ = true;
  closing_.store(true, std::memory_order_release);
  wake_.notify_one();
  lock.unlock();
  if (writer_.joinable()) writer_.join();
  lock.lock();
  Drain();
  if (status_ && overflowed_.load(std::memory_order_acquire)) {
    status_ = Status::Error("The capture file " + file_.string() +
                            " fell behind the sound and lost some of it");
  }
  if (sf_close(sf_) != 0 && status_)
    status_ = Status::Error("Closing the capture file " + file_.string() + " failed");
  sf_ = nullptr;
  return status_;
}

}  // namespace horatone
