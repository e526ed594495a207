// The reports of the shipped Tcl handler (horatone.tcl), as they come through the clock's
// FIFO, one per LF-ended line: "SQL 0|1" (the logic's squelch), "TX 0|1" (its transmitter),
// "EL 0|1" (an EchoLink station talking through the EchoLink module), "CALL CALLSIGN" (the
// module's own callsign) and "CHAT TEXT" (a chat line an EchoLink station sent, with
// backslash, CR and LF written as \\, \r and \n). Anything else is refused with a reason
// fit for the log (bounded, escaped). Pure.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "node/bounded_lines.h"

namespace horatone {

// The longest report line: a chat line of the handler's at most 400 characters, escaped.
inline constexpr std::size_t kLongestSvxReport = 2048;

struct SvxReport {
  enum class Kind { kSquelch, kTransmit, kEchoLinkTalking, kCallsign, kChat, kRefused };
  Kind kind = Kind::kRefused;
  bool on = false;     // the squelch open, the transmitter on, a station talking
  std::string reason;  // kRefused: what was wrong, with the line as the log may show it
  std::string text;    // kCallsign: the callsign; kChat: the chat line, unescaped

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
