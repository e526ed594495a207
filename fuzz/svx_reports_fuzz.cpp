// The SvxLink handler's reports on arbitrary bytes, as any writer of the FIFO could send them:
// the reader gives the same outcomes however the stream is cut into reads, whatever it hands
// to the log is short, valid UTF-8 and free of control characters, a callsign is fit for a
// window title, and a chat line is no longer than a report.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "node/log_text.h"
#include "node/svxlink/svx_reports.h"
#include "shell/utf8.h"

namespace {

using horatone::SvxReport;

std::vector<SvxReport> ReadAll(std::string_view bytes, std::size_t chunk) {
  horatone::SvxReportReader reader;
  std::vector<SvxReport> out;
  while (!bytes.empty()) {
    const std::size_t n = std::min(chunk, bytes.size());
    reader.Feed(bytes.substr(0, n), &out);
    bytes.remove_prefix(n);
  }
  return out;
}

// Text the log may show as it is.
bool FitForTheLog(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const auto lead = static_cast<std::uint8_t>(text[pos]);
    if (lead < 0x20 || lead == 0x7F) return false;
    const std::size_t length = horatone::Utf8SequenceLength(text, pos);
    if (length == 0) return false;
    if (length == 2 && lead == 0xC2 && static_cast<std::uint8_t>(text[pos + 1]) < 0xA0)
      return false;
    pos += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte sets how the rest is cut into reads, and how much of it the log may show.
  const std::size_t chunk = 1 + data[0] % 64;
  const std::size_t limit = 3 + data[0] % 100;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  const auto whole = ReadAll(bytes, bytes.size() + 1);
  const auto pieces = ReadAll(bytes, chunk);
  FUZZ_CHECK(whole == pieces);
  for (const SvxReport& report : whole) {
    FUZZ_CHECK((report.kind == SvxReport::Kind::kRefused) == !report.reason.empty());
    FUZZ_CHECK(report.reason.size() < 200);
    FUZZ_CHECK(FitForTheLog(report.reason));
    if (report.kind == SvxReport::Kind::kCallsign) {
      FUZZ_CHECK(!report.text.empty() && report.text.size() <= 16 && FitForTheLog(report.text));
    }
    FUZZ_CHECK(report.text.size() <= horatone::kLongestSvxReport);
  }

  const std::string shown = horatone::LogText(bytes, limit);
  FUZZ_CHECK(shown.size() <= limit);
  FUZZ_CHECK(FitForTheLog(shown));
  if (bytes.size() <= limit / 4) FUZZ_CHECK(shown.find("...") == std::string::npos ||
                                            bytes.find("...") != std::string_view::npos);
  return 0;
}
