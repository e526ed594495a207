// The Tcl handler's reports; see svx_reports.h.
#include "node/svxlink/svx_reports.h"

#include "node/log_text.h"

namespace horatone {
namespace {

// What of a refused line the log shows.
constexpr std::size_t kShown = 80;

}  // namespace

SvxReport ParseSvxReport(std::string_view line) {
  if (line == "SQL 1" || line == "SQL 0") return {SvxReport::Kind::kSquelch, line == "SQL 1", {}};
  if (line == "TX 1" || line == "TX 0") return {SvxReport::Kind::kTransmit, line == "TX 1", {}};
  return {SvxReport::Kind::kRefused, false, "an unknown report: \"" + LogText(line, kShown) + "\""};
}

void SvxReportReader::Feed(std::string_view bytes, std::vector<SvxReport>* out) {
  lines_.Feed(bytes, [out](std::string_view line, bool too_long) {
    if (!too_long) {
      out->push_back(ParseSvxReport(line));
      return;
    }
    out->push_back({SvxReport::Kind::kRefused, false,
                    "a report longer than " + std::to_string(kLongestSvxReport) + " bytes: \"" +
                        LogText(line, kShown) + "\""});
  });
}

}  // namespace horatone
