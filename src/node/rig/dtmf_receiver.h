// DTMF from the receiver's audio: spandsp's detector on 8 kHz samples, its digits gathered
// into one code. A code ends with a pause after its last tone (in audio time, so the samples
// alone decide) or with '#', which ends it without being part of it: "123#" and "123" followed
// by the pause both give "123". A '#' with nothing before it gives nothing. Not thread-safe:
// one thread feeds it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct dtmf_rx_state_s;

namespace horatone {

class DtmfReceiver {
 public:
  static constexpr int kSampleRate = 8000;
  // Longest code kept; later digits of a longer one are dropped.
  static constexpr std::size_t kMaxDigits = 32;

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
  void Deliver();

  dtmf_rx_state_s* rx_ = nullptr;
  const int64_t pause_samples_;
  std::function<void(const std::string&)> on_code_;
  std::string digits_;
  bool in_tone_ = false;
  int64_t fed_ = 0;  // samples fed so far
  int64_t last_tone_end_ = 0;
};

}  // namespace horatone
