// A log line that a misbehaving peer can repeat without end: the first few of every ten
// seconds are written, the rest counted and summarised in one line. Pure: time is the
// caller's loop milliseconds. Any node that logs what its far end sends uses it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace horatone {

class RateLimitedLog {
 public:
  // `source` starts the summary ("node bridge: "), `what` names the lines ("refused lines").
  RateLimitedLog(std::string source, std::string what)
      : source_(std::move(source)), what_(std::move(what)) {}

  // Whether to write this occurrence; `summary` gets a line for those held back before it.
  bool Allow(std::int64_t now_ms, std::string* summary) {
    if (now_ms - window_start_ms_ >= kWindowMs) {
      *summary = Summary();
      window_start_ms_ = now_ms;
      written_ = 0;
    }
    if (written_ < kPerWindow) {
      ++written_;
      return true;
    }
    ++held_back_;
    return false;
  }

  // The line for those held back so far (empty if none), which then starts afresh.
  std::string Summary() {
    if (held_back_ == 0) return {};
    std::string line =
        source_ + std::to_string(held_back_) + " more " + what_ + " not logged one by one";
    held_back_ = 0;
    return line;
  }

 private:
  static constexpr std::int64_t kWindowMs = 10000;
  static constexpr int kPerWindow = 5;
  std::string source_;
  std::string what_;
  std::int64_t window_start_ms_ = -kWindowMs;
  int written_ = 0;
  std::int64_t held_back_ = 0;
};

}  // namespace horatone
