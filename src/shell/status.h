// The one error type for calls across a layer: a Status is ok, or a kind and a message saying
// what failed and where; a Result<T> is a value or such a Status. Nothing here throws, and
// std::optional elsewhere means "absent", never "failed".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace horatone {

// What went wrong, for callers that act on it; the message is for the operator.
enum class StatusKind : std::uint8_t {
  kOk,
  kFailed,       // anything not said more exactly below
  kBadInput,     // a value, line, file or argument that breaks its rules
  kNotFound,     // a file, device, module or peer that is not there
  kUnavailable,  // there, but not answering or refusing (a device, a server, a node)
  kClosed,       // the other end finished on purpose, e.g. the end of its input
};

struct [[nodiscard]] Status {
  StatusKind kind = StatusKind::kOk;
  std::string message;

  static Status Ok() { return {}; }
  static Status Error(std::string why) { return {StatusKind::kFailed, std::move(why)}; }
  static Status Error(StatusKind kind, std::string why) { return {kind, std::move(why)}; }
  static Status BadInput(std::string why) { return {StatusKind::kBadInput, std::move(why)}; }
  static Status NotFound(std::string why) { return {StatusKind::kNotFound, std::move(why)}; }
  static Status Unavailable(std::string why) {
    return {StatusKind::kUnavailable, std::move(why)};
  }
  static Status Closed(std::string why) { return {StatusKind::kClosed, std::move(why)}; }

  bool ok() const { return kind == StatusKind::kOk; }
  explicit operator bool() const { return ok(); }
};

// A value, or the Status that says why there is none. Built from either; a Result made from
// an ok Status is a programming error and reads as a failure.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a value converts implicitly
  Result(Status failure) : failure_(std::move(failure)) {  // NOLINT: so does a failure
    if (failure_.ok()) failure_ = Status::Error("no value and no reason");
  }

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  // The failure; Ok when there is a value.
  const Status& status() const { return failure_; }
  const std::string& message() const { return failure_.message; }

  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T value_or(T fallback) const& { return value_ ? *value_ : std::move(fallback); }

 private:
  std::optional<T> value_;
  Status failure_;
};

// The one spelling of "this step may fail and the work carries on past it": the failure has
// been reported where it happened (or does not matter here), and the call site says so.
inline void ContinuePastFailure(const Status&) {}
template <typename T>
void ContinuePastFailure(const Result<T>&) {}

}  // namespace horatone
