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
    : on_code_(std::move(on_code)), code_(static_cast<int64_t>(pause_ms) * kSampleRate / 1000) {
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
    code_.Sounded(fed_);
    return;
  }
  in_tone_ = true;
  Deliver(code_.Take(static_cast<char>(code), fed_));
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
  code_.Forget();
  if (in_tone_) {
    // Let the detector see the tone end, so that a digit held across the key-up is not
    // taken as a new one afterwards.
    const std::vector<int16_t> silence(static_cast<std::size_t>(std::min(count, kSampleRate)), 0);
    Feed(silence.data(), static_cast<int>(silence.size()));
    code_.Forget();
    count -= static_cast<int>(silence.size());
  }
  fed_ += std::max(count, 0);
}

void DtmfReceiver::CheckPause() {
  if (!in_tone_) Deliver(code_.PauseAt(fed_));
}

void DtmfReceiver::Deliver(std::optional<std::string> code) {
  if (code && on_code_) on_code_(*code);
}

}  // namespace horatone
