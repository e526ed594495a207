// What a node's call read, for comparing in a test: the value, or nullopt when the call failed.
#pragma once

#include <optional>

#include "shell/status.h"

namespace horatone::testing {

template <typename T>
std::optional<T> Reading(const Result<T>& result) {
  if (!result) return std::nullopt;
  return *result;
}

}  // namespace horatone::testing
