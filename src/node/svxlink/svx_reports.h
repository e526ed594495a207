// The reports of the shipped Tcl handler (horatone.tcl), as they come through the clock's
// FIFO: "SQL 0|1" (the logic's squelch) and "TX 0|1" (its transmitter), one per LF-ended line.
// Anything else is refused with a reason fit for the log (bounded, escaped). Pure.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "node/bounded_lines.h"

namespace horatone {

// The longest report line; the handler's are a few bytes.
inline constexpr std::size_t kLongestSvxReport = 64;

struct SvxReport {
  enum class Kind { kSquelch, kTransmit, kRefused };
  Kind kind = Kind::kRefused;
  bool on = false;     // the squelch open, the transmitter on
  std::string reason;  // kRefused: what was wrong, with the line as the log may show it

  bool operator==(const SvxReport&) const = default;
};

// One line, given without its LF.
SvxReport ParseSvxReport(std::string_view line);

class SvxReportReader {
 public:
  // Appends the outcome of every line that `bytes` completes (or shows to be too long).
  void Feed(std::string_view bytes, std::vector<SvxReport>* out);

 private:
  BoundedLines lines_{kLongestSvxReport};
};

}  // namespace horatone
