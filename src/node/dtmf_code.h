// DTMF digits gathered into one code, the same way for every node: the digits are 0-9, A-D
// and '*'; '#' ends a code without being part of it ("123#" gives "123", a lone '#' nothing);
// a pause after the last digit ends it too; later digits of an overlong code are dropped.
// Pure: time is whatever count the caller keeps (milliseconds of its loop, samples of its
// audio), so the same digits at the same times always give the same codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace horatone {

// Longest code kept, far beyond any code the clock answers.
inline constexpr std::size_t kLongestDtmfCode = 32;

constexpr bool IsDtmfDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'D') || c == '*';
}

// Digits as a node may pass them on whole, '#' included.
constexpr bool IsDtmfText(std::string_view text) {
  for (char c : text) {
    if (!IsDtmfDigit(c) && c != '#') return false;
  }
  return true;
}

class DtmfCode {
 public:
  // `pause`: how long after the last digit a code ends, in the caller's count.
  explicit DtmfCode(std::int64_t pause) : pause_(pause) {}

  // One character at `now`: '#' gives the code it ends; a digit joins the code; anything
  // else is ignored.
  std::optional<std::string> Take(char c, std::int64_t now) {
    if (c == '#') return End();
    if (!IsDtmfDigit(c)) return std::nullopt;
    if (digits_.size() < kLongestDtmfCode) digits_ += c;
    last_ = now;
    return std::nullopt;
  }
  // The last digit still sounded at `now`: the pause counts from here.
  void Sounded(std::int64_t now) {
    if (!digits_.empty()) last_ = now;
  }
  // The code, once `now` is a pause past its last digit.
  std::optional<std::string> PauseAt(std::int64_t now) {
    if (digits_.empty() || now - last_ < pause_) return std::nullopt;
    return End();
  }
  // When the pause ends the code being gathered; nullopt with none.
  std::optional<std::int64_t> EndsAt() const {
    if (digits_.empty()) return std::nullopt;
    return last_ + pause_;
  }
  void Forget() { digits_.clear(); }

 private:
  std::optional<std::string> End() {
    if (digits_.empty()) return std::nullopt;
    std::string code;
    code.swap(digits_);
    return code;
  }

  const std::int64_t pause_;
  std::string digits_;
  std::int64_t last_ = 0;
};

}  // namespace horatone
