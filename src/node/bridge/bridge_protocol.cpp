// Parsing and formatting of bridge lines. Every refusal names what was wrong, because the
// reason goes back to the node as an ERROR line and ends up in somebody's log.
#include "node/bridge/bridge_protocol.h"

#include <cstdint>

#include "node/dtmf_code.h"
#include "shell/utf8.h"

namespace horatone {
namespace {

// The start of `text`, cut to at most `limit` bytes without splitting a character.
std::string_view CutAtCharacter(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<std::uint8_t>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

ParsedLine Refuse(std::string reason) { return ParsedLine{std::nullopt, std::move(reason)}; }

ParsedLine Accept(NodeMessage message) { return ParsedLine{std::move(message), {}}; }

std::optional<bool> Flag(std::string_view text) {
  if (text == "0") return false;
  if (text == "1") return true;
  return std::nullopt;
}

ParsedLine TooLong() {
  return Refuse("line longer than " + std::to_string(kMaxBridgeLine) + " bytes");
}

// A line whose final CR, if it had one, is gone already.
ParsedLine ParseWithoutCr(std::string_view line) {
  if (line.size() > kMaxBridgeLine) return TooLong();
  for (std::size_t pos = 0; pos < line.size();) {
    if (line[pos] == '\0') return Refuse("NUL byte at column " + std::to_string(pos + 1));
    const std::size_t length = Utf8SequenceLength(line, pos);
    if (length == 0) return Refuse("invalid UTF-8 at column " + std::to_string(pos + 1));
    pos += length;
  }
  if (line.empty()) return Refuse("empty line");

  const std::size_t blank = line.find(' ');
  const std::string_view word = line.substr(0, blank);
  const bool has_argument = blank != std::string_view::npos;
  const std::string_view argument = has_argument ? line.substr(blank + 1) : std::string_view();

  NodeMessage message;
  if (word == "DTMF") {
    if (!IsDtmfText(argument)) {
      return Refuse("DTMF digits may only be 0-9, A-D, * and #");
    }
    message.kind = NodeMessage::Kind::kDtmf;
    message.text = argument;
  } else if (word == "CHAT") {
    message.kind = NodeMessage::Kind::kChat;
    message.text = argument;
  } else if (word == "INFO") {
    message.kind = NodeMessage::Kind::kInfo;
    message.text = argument;
  } else if (word == "CLOSING") {
    if (!argument.empty()) return Refuse("CLOSING takes no argument");
    message.kind = NodeMessage::Kind::kClosing;
  } else if (word == "TX") {
    const auto flag = Flag(argument);
    if (!flag) return Refuse("TX needs 0 or 1");
    message.kind = NodeMessage::Kind::kTransmit;
    message.transmitting = *flag;
  } else if (word == "BUSY") {
    // Exactly three flags with one blank between them.
    const bool shaped = argument.size() == 5 && argument[1] == ' ' && argument[3] == ' ';
    const auto f1 = shaped ? Flag(argument.substr(0, 1)) : std::nullopt;
    const auto f2 = shaped ? Flag(argument.substr(2, 1)) : std::nullopt;
    const auto f3 = shaped ? Flag(argument.substr(4, 1)) : std::nullopt;
    if (!f1 || !f2 || !f3) return Refuse("BUSY needs three flags, each 0 or 1");
    message.kind = NodeMessage::Kind::kBusy;
    message.busy = {*f1, *f2, *f3};
  } else {
    return Refuse("unknown word \"" + std::string(CutAtCharacter(word, 40)) + "\"");
  }
  return Accept(std::move(message));
}

}  // namespace

ParsedLine ParseLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return ParseWithoutCr(line);
}

bool IsAuthLine(std::string_view line, std::string_view key) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (key.empty() || !line.starts_with(kAuthWord) || line.size() <= kAuthWord.size() ||
      line[kAuthWord.size()] != ' ') {
    return false;
  }
  const std::string_view given = line.substr(kAuthWord.size() + 1);
  // Every byte of the key is looked at whatever the text given, and none is left early.
  unsigned difference = given.size() != key.size() ? 1u : 0u;
  for (std::size_t i = 0; i < key.size(); ++i) {
    const char other = i < given.size() ? given[i] : '\0';
    difference |= static_cast<unsigned char>(key[i] ^ other);
  }
  return difference == 0;
}

void LineReader::Feed(std::string_view bytes, std::vector<ParsedLine>* out) {
  lines_.Feed(bytes, [out](std::string_view line, bool too_long) {
    out->push_back(too_long ? TooLong() : ParseWithoutCr(line));
  });
}

void LineReader::Finish(std::vector<ParsedLine>* out) {
  if (const std::string rest = lines_.TakeUnfinished(); !rest.empty()) {
    out->push_back(ParseLine(rest));
  }
}

namespace {

std::string SafeText(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const char c = text[pos];
    if (c == '\r' || c == '\n' || c == '\0') {
      safe += ' ';
      ++pos;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(text, pos);
    if (length == 0) {
      safe += '?';
      ++pos;
    } else {
      safe.append(text.substr(pos, length));
      pos += length;
    }
  }
  return safe;
}

std::string Line(std::string_view word, std::string_view argument) {
  std::string line(word);
  line += ' ';
  const std::string safe = SafeText(argument);
  line.append(CutAtCharacter(safe, kMaxBridgeLine - line.size()));
  line += '\n';
  return line;
}

}  // namespace

std::string TransmitLine(bool key) { return key ? "TRANSMIT 1\n" : "TRANSMIT 0\n"; }

std::string AuxLine(bool value) { return value ? "AUX 1\n" : "AUX 0\n"; }

std::string ChatLine(std::string_view text) { return Line("CHAT", text); }

std::string ErrorLine(std::string_view reason) { return Line("ERROR", reason); }

}  // namespace horatone
