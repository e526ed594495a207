// DTMF from the receiver's audio: spandsp's detector on 8 kHz samples, its digits gathered
// into one code (node/dtmf_code.h). The pause counts from the end of the last tone, in audio
// time, so the samples alone decide. Not thread-safe: one thread feeds it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "node/dtmf_code.h"

struct dtmf_rx_state_s;

namespace horatone {

class DtmfReceiver {
 public:
  static constexpr int kSampleRate = 8000;
  static constexpr std::size_t kMaxDigits = kLongestDtmfCode;

  DtmfReceiver(int pause_ms, std::function<void(const std::string&)> on_code);
  ~DtmfReceiver();
  DtmfReceiver(const DtmfReceiver&) = delete;
  DtmfReceiver& operator=(const DtmfReceiver&) = delete;

  // Decodes the next samples; a code that ends here is handed to on_code before it returns.
  void Feed(const int16_t* samples, int count);
  // The same time in silence, and whatever had been gathered is forgotten: the receiver is
  // deaf while our own transmitter is on (its audio would be our own).
  void FeedDeaf(int count);

 private:
  static void OnTone(void* self, int code, int level, int delay);
  void Tone(int code);
  void CheckPause();
  void Deliver(std::optional<std::string> code);

  dtmf_rx_state_s* rx_ = nullptr;
  std::function<void(const std::string&)> on_code_;
  DtmfCode code_;  // in samples
  bool in_tone_ = false;
  int64_t fed_ = 0;  // samples fed so far
};

}  // namespace horatone
