// Results seen the way a test compares them: what a node's call read (nullopt when it
// failed), and what an Open made (nullptr, with the reason in `why`, when it failed).
#pragma once

#include <memory>
#include <optional>

#include "shell/status.h"

namespace horatone::testing {

template <typename T>
std::optional<T> Reading(const Result<T>& result) {
  if (!result) return std::nullopt;
  return *result;
}

template <typename T>
std::unique_ptr<T> Opened(Result<std::unique_ptr<T>> result, Status* why) {
  *why = result.status();
  return result ? std::move(*result) : nullptr;
}

}  // namespace horatone::testing
