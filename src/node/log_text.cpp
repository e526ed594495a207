// Log-safe text; see log_text.h.
#include "node/log_text.h"

#include <cstdint>
#include <vector>

namespace horatone {

std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) return 1;
  std::size_t length;
  std::uint8_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  if (byte(pos + 1) < low || byte(pos + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) return 0;
  }
  return length;
}

std::string LogText(std::string_view bytes, std::size_t limit) {
  static constexpr std::string_view kCut = "...";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  std::vector<std::size_t> ends;  // where each piece ends in `text`, for the cut
  for (std::size_t pos = 0; pos < bytes.size() && text.size() <= limit;) {
    const auto lead = static_cast<std::uint8_t>(bytes[pos]);
    std::size_t length = Utf8SequenceLength(bytes, pos);
    // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
    const bool c1 =
        length == 2 && lead == 0xC2 && static_cast<std::uint8_t>(bytes[pos + 1]) < 0xA0;
    if (length == 1 && lead >= 0x20 && lead < 0x7F && lead != '\\') {
      text += bytes[pos];
    } else if (length == 1 && lead == '\\') {
      text += "\\\\";
    } else if (length > 1 && !c1) {
      text.append(bytes.substr(pos, length));
    } else {
      // A control character or a byte that starts no character: each byte escaped.
      if (length == 0) length = 1;
      for (std::size_t i = 0; i < length; ++i) {
        const auto b = static_cast<std::uint8_t>(bytes[pos + i]);
        text += "\\x";
        text += kHex[b >> 4];
        text += kHex[b & 0xF];
      }
    }
    ends.push_back(text.size());
    pos += length;
  }
  if (text.size() <= limit) return text;
  std::size_t keep = 0;
  for (const std::size_t end : ends) {
    if (end + kCut.size() > limit) break;
    keep = end;
  }
  text.resize(keep);
  return text + std::string(kCut);
}

}  // namespace horatone
