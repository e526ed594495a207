// The node bridge's line protocol, kept free of any I/O so that it can be tested and fuzzed on
// its own: bytes from the node become messages or error reasons, and the clock's requests
// become lines. A line is UTF-8 text ending in LF (a CR before the LF is dropped): a word, then
// one blank and an argument that runs verbatim to the end of the line, or the word alone.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "node/bounded_lines.h"

namespace horatone {

// The longest line, without its CR and LF.
inline constexpr std::size_t kMaxBridgeLine = 1024;

struct NodeMessage {
  enum class Kind {
    kDtmf,      // DTMF <digits>: a DTMF string received (the word alone: the empty string)
    kChat,      // CHAT <text>: a chat line received
    kClosing,   // CLOSING: the node program is shutting down
    kBusy,      // BUSY <f1> <f2> <f3>: the three busy flags, each 0 or 1
    kTransmit,  // TX <0|1>: the node's own report of its transmitter
    kInfo,      // INFO <text>: the information text
  };
  Kind kind = Kind::kClosing;
  std::string text;                // digits, chat line or information text
  std::array<bool, 3> busy{};      // kBusy
  bool transmitting = false;       // kTransmit

  bool operator==(const NodeMessage&) const = default;
};

// One line's outcome: a message, or the reason it was refused (for an ERROR line).
struct ParsedLine {
  std::optional<NodeMessage> message;
  std::string error;
};

// Parses one line given without its LF; a final CR is dropped.
ParsedLine ParseLine(std::string_view line);

// Cuts a byte stream into lines and parses each. A line longer than kMaxBridgeLine is reported
// once, as soon as it is known to be too long, and skipped up to its LF, so that the reader
// never holds more than one line's worth of bytes.
class LineReader {
 public:
  // Appends the outcome of every line that `bytes` completes.
  void Feed(std::string_view bytes, std::vector<ParsedLine>* out);
  // End of input: a last line without its LF still counts.
  void Finish(std::vector<ParsedLine>* out);

 private:
  BoundedLines lines_{kMaxBridgeLine};
};

// A peer on the TCP door is a node only once its first line is `AUTH <key>` with the key of
// the system directory; anything else gets ERROR with this reason and is closed.
inline constexpr std::string_view kAuthWord = "AUTH";
inline constexpr std::string_view kNotAuthorised = "not authorised";
// Whether `line` (without its LF; a final CR is dropped) is AUTH with `key`. The key is
// compared in a time that does not depend on where it differs, so that a peer cannot find it
// character by character.
bool IsAuthLine(std::string_view line, std::string_view key);

// Lines from the clock to the node, each with its LF. Texts are made safe for the framing:
// CR, LF and NUL become blanks, invalid UTF-8 bytes become '?', and the line is cut to
// kMaxBridgeLine bytes on a character boundary.
std::string TransmitLine(bool key);
std::string AuxLine(bool value);
std::string ChatLine(std::string_view text);
std::string ErrorLine(std::string_view reason);

}  // namespace horatone
