// The node bridge's line protocol on arbitrary bytes: the reader gives the same outcomes
// however the stream is cut into reads, and every line the clock writes is one well-formed
// line that the protocol reads back as meant.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "node/bridge/bridge_protocol.h"

namespace {

using horatone::LineReader;
using horatone::NodeMessage;
using horatone::ParsedLine;

bool SameOutcome(const ParsedLine& a, const ParsedLine& b) {
  return a.message == b.message && a.error == b.error;
}

std::vector<ParsedLine> ReadAll(std::string_view bytes, std::size_t chunk) {
  LineReader reader;
  std::vector<ParsedLine> out;
  while (!bytes.empty()) {
    const std::size_t n = std::min(chunk, bytes.size());
    reader.Feed(bytes.substr(0, n), &out);
    bytes.remove_prefix(n);
  }
  reader.Finish(&out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte sets how the rest is cut into reads.
  const std::size_t chunk = 1 + data[0] % 64;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  const ParsedLine single = horatone::ParseLine(bytes);
  FUZZ_CHECK(single.message.has_value() == single.error.empty());

  const auto whole = ReadAll(bytes, bytes.size() + 1);
  const auto pieces = ReadAll(bytes, chunk);
  FUZZ_CHECK(whole.size() == pieces.size());
  for (std::size_t i = 0; i < whole.size(); ++i) FUZZ_CHECK(SameOutcome(whole[i], pieces[i]));

  // The clock's own lines: one LF at the end, nothing the framing could misread, and a chat
  // line reads back as a chat message.
  for (const std::string& line : {horatone::ChatLine(bytes), horatone::ErrorLine(bytes)}) {
    FUZZ_CHECK(!line.empty() && line.back() == '\n');
    FUZZ_CHECK(line.find('\n') == line.size() - 1);
    FUZZ_CHECK(line.find('\r') == std::string::npos);
    FUZZ_CHECK(line.size() <= horatone::kMaxBridgeLine + 1);
  }
  const std::string chat = horatone::ChatLine(bytes);
  const ParsedLine back = horatone::ParseLine(std::string_view(chat).substr(0, chat.size() - 1));
  FUZZ_CHECK(back.message && back.message->kind == NodeMessage::Kind::kChat);
  return 0;
}
