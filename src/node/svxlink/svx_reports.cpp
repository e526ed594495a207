// The Tcl handler's reports; see svx_reports.h.
#include "node/svxlink/svx_reports.h"

#include <optional>

#include "node/log_text.h"

namespace horatone {
namespace {

// What of a refused line the log shows.
constexpr std::size_t kShown = 80;
constexpr std::size_t kLongestCallsign = 16;

// What an EchoLink callsign may hold: letters, digits, '-' and '/', as the directory takes.
bool IsCallsign(std::string_view text) {
  if (text.empty() || text.size() > kLongestCallsign) return false;
  for (const char c : text) {
    const bool fits = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '/';
    if (!fits) return false;
  }
  return true;
}

// The chat text as the handler escaped it; nothing when an escape is not one of its three.
std::optional<std::string> Unescaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    switch (text[i]) {
      case '\\':
        out += '\\';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        return std::nullopt;
    }
  }
  return out;
}

SvxReport Refused(std::string_view line) {
  return {
      SvxReport::Kind::kRefused, false, "an unknown report: \"" + LogText(line, kShown) + "\"", {}};
}

}  // namespace

SvxReport ParseSvxReport(std::string_view line) {
  using Kind = SvxReport::Kind;
  if (line == "SQL 1" || line == "SQL 0") return {Kind::kSquelch, line == "SQL 1", {}, {}};
  if (line == "TX 1" || line == "TX 0") return {Kind::kTransmit, line == "TX 1", {}, {}};
  if (line == "EL 1" || line == "EL 0") return {Kind::kEchoLinkTalking, line == "EL 1", {}, {}};
  constexpr std::string_view kCall = "CALL ", kChat = "CHAT ";
  if (line.substr(0, kCall.size()) == kCall && IsCallsign(line.substr(kCall.size())))
    return {Kind::kCallsign, false, {}, std::string(line.substr(kCall.size()))};
  if (line.substr(0, kChat.size()) == kChat) {
    if (std::optional<std::string> text = Unescaped(line.substr(kChat.size())))
      return {Kind::kChat, false, {}, std::move(*text)};
  }
  return Refused(line);
}

void SvxReportReader::Feed(std::string_view bytes, std::vector<SvxReport>* out) {
  lines_.Feed(bytes, [out](std::string_view line, bool too_long) {
    if (!too_long) {
      out->push_back(ParseSvxReport(line));
      return;
    }
    out->push_back({SvxReport::Kind::kRefused,
                    false,
                    "a report longer than " + std::to_string(kLongestSvxReport) + " bytes: \"" +
                        LogText(line, kShown) + "\"",
                    {}});
  });
}

}  // namespace horatone
