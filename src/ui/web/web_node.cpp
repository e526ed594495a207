// The simulated node's panel on the page; see web_node.h.
#include "ui/web/web_node.h"

#include <cstdio>
#include <vector>

#include "node/simulated/simulated_node.h"
#include "runtime/ini_profile_file.h"
#include "runtime/virtual_loop.h"
#include "shell/form1.h"
#include "shell/json_quote.h"
#include "shell/parse_number.h"

namespace horatone {
namespace {

// A DTMF string as a keypad sends it, and a chat line as the node takes one.
constexpr std::size_t kLongestDigits = 32;
constexpr std::size_t kLongestChat = 255;

const std::string* Value(const PageValues& values, std::string_view key) {
  for (const auto& [name, value] : values) {
    if (name == key) return &value;
  }
  return nullptr;
}

PageAnswer Done(const std::string& message) { return PageMessage(200, message); }

}  // namespace

std::string NodePanelJson(SimulatedNode& node, Form1& form) {
  // Repeats are counted from the start, so that a line's count does not change as older
  // calls drop out of the list.
  struct Line {
    std::int64_t ms;
    const std::string* what;
    int count;
  };
  std::vector<Line> lines;
  for (const SimulatedNode::Call& call : node.calls()) {
    if (!lines.empty() && *lines.back().what == call.what) {
      ++lines.back().count;
    } else {
      lines.push_back({call.ms, &call.what, 1});
    }
  }
  const std::size_t first = lines.size() > kPanelCalls ? lines.size() - kPanelCalls : 0;
  const LocalTime now = form.services().clock.Now();
  const std::int64_t now_ms = form.services().timers.NowMs();
  std::string calls = "[";
  for (std::size_t i = first; i < lines.size(); ++i) {
    const LocalTime at = AddMilliseconds(now, lines[i].ms - now_ms);
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", at.hour, at.minute, at.second,
                  at.millisecond);
    std::string line = std::string(stamp) + "  " + *lines[i].what;
    if (lines[i].count > 1) line += " \xc3\x97" + std::to_string(lines[i].count);
    calls += (i > first ? "," : "") + JsonQuote(line);
  }
  return std::string("\"panel\":{\"busy\":[") + (node.busy[0] ? "true" : "false") + "," +
         (node.busy[1] ? "true" : "false") + "," + (node.busy[2] ? "true" : "false") +
         "],\"keyed\":" + (node.keyed() ? "true" : "false") + ",\"calls\":" + calls + "]}";
}

PageAnswer UseNodePanel(SimulatedNode& node, Form1& form, std::string_view action,
                        const PageValues& values) {
  if (form.ended()) return PageMessage(503, "the clock has ended");
  if (action == "dtmf") {
    const std::string* digits = Value(values, "digits");
    if (!digits || digits->empty() || digits->size() > kLongestDigits ||
        digits->find_first_not_of("0123456789ABCD*#") != std::string::npos) {
      return PageMessage(
          422, "DTMF digits: 1 to " + std::to_string(kLongestDigits) + " of 0-9, A-D, * and #");
    }
    form.Dispatch([&] { node.SendDtmf(*digits); });
    return Done("sent DTMF " + *digits);
  }
  if (action == "chat") {
    const std::string* line = Value(values, "line");
    if (!line || line->empty() || line->size() > kLongestChat ||
        line->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos ||
        ToUtf8(*line) != *line) {
      return PageMessage(
          422, "Chat line: one line of text of 1 to " + std::to_string(kLongestChat) + " bytes");
    }
    form.Dispatch([&] { node.SendChat(*line); });
    return Done("sent the chat line");
  }
  if (action == "busy") {
    const std::string* flag = Value(values, "flag");
    const std::string* on = Value(values, "on");
    const Result<int> which = ParseNumber(flag ? *flag : "", 1, 3);
    if (!which) return PageMessage(422, "Busy flag: " + which.message());
    const Result<int> state = ParseNumber(on ? *on : "", 0, 1);
    if (!state) return PageMessage(422, "Busy " + *flag + ": " + state.message());
    node.busy[*which - 1] = *state == 1;
    return Done("Busy " + *flag + (*state ? " set" : " cleared"));
  }
  if (action == "close") {
    form.Dispatch([&] { node.Close(); });
    return Done("the node has closed");
  }
  return PageMessage(404, std::string(action) + " is not a use of the node panel");
}

}  // namespace horatone
