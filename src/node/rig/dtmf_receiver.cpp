// The DTMF receiver; see dtmf_receiver.h.
#include "node/rig/dtmf_receiver.h"

#include <spandsp.h>

#include <algorithm>
#include <vector>

namespace horatone {
namespace {

// Digits arrive through the tone reports; the detector's own digit buffer is not used.
void IgnoreDigits(void*, const char*, int) {}

}  // namespace

DtmfReceiver::DtmfReceiver(int pause_ms, std::function<void(const std::string&)> on_code)
    : pause_samples_(static_cast<int64_t>(pause_ms) * kSampleRate / 1000),
      on_code_(std::move(on_code)) {
  rx_ = dtmf_rx_init(nullptr, &IgnoreDigits, nullptr);
  dtmf_rx_set_realtime_callback(rx_, &DtmfReceiver::OnTone, this);
}

DtmfReceiver::~DtmfReceiver() {
  if (rx_ != nullptr) dtmf_rx_free(rx_);
}

void DtmfReceiver::OnTone(void* self, int code, int, int) {
  static_cast<DtmfReceiver*>(self)->Tone(code);
}

void DtmfReceiver::Tone(int code) {
  if (code == 0) {
    in_tone_ = false;
    last_tone_end_ = fed_;
    return;
  }
  in_tone_ = true;
  if (code == '#') {
    Deliver();
  } else if (digits_.size() < kMaxDigits) {
    digits_.push_back(static_cast<char>(code));
  }
}

void DtmfReceiver::Feed(const int16_t* samples, int count) {
  // Small steps, so that the pause is measured to within a few milliseconds.
  constexpr int kStep = kSampleRate / 100;
  while (count > 0 && rx_ != nullptr) {
    const int n = std::min(count, kStep);
    dtmf_rx(rx_, samples, n);
    fed_ += n;
    samples += n;
    count -= n;
    CheckPause();
  }
}

void DtmfReceiver::FeedDeaf(int count) {
  digits_.clear();
  if (in_tone_) {
    // Let the detector see the tone end, so that a digit held across the key-up is not
    // taken as a new one afterwards.
    const std::vector<int16_t> silence(static_cast<std::size_t>(std::min(count, kSampleRate)), 0);
    Feed(silence.data(), static_cast<int>(silence.size()));
    digits_.clear();
    count -= static_cast<int>(silence.size());
  }
  fed_ += std::max(count, 0);
}

void DtmfReceiver::CheckPause() {
  if (!in_tone_ && !digits_.empty() && fed_ - last_tone_end_ >= pause_samples_) Deliver();
}

void DtmfReceiver::Deliver() {
  std::string code;
  code.swap(digits_);
  if (!code.empty() && on_code_) on_code_(code);
}

}  // namespace horatone
