// Log-safe text; see log_text.h.
#include "node/log_text.h"

#include <cstdint>
#include <vector>

#include "shell/utf8.h"

namespace horatone {

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
