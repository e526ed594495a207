// What valid UTF-8 is, once for every reader of outside text: the settings file, the bridge's
// lines and the log's escaping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace horatone {

// Length of the valid UTF-8 sequence at `pos`, or 0 when the bytes there are not one
// (overlong forms, surrogates and values above U+10FFFF are not valid).
inline std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos) {
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

}  // namespace horatone
