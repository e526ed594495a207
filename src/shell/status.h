// A small result for calls across a layer: ok, or a message saying what failed and where.
// Platform interfaces return this instead of throwing.
#pragma once

#include <string>
#include <utility>

namespace horatone {

struct [[nodiscard]] Status {
  bool ok = true;
  std::string message;

  static Status Ok() { return {}; }
  static Status Error(std::string why) { return {false, std::move(why)}; }
  explicit operator bool() const { return ok; }
};

// A failure the caller skips on purpose, said so at the call site rather than dropped.
inline void IgnoreFailure(const Status&) {}

}  // namespace horatone
