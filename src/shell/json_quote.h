// Text as a JSON string, for the web page's answers. Header-only, so that the web page's
// loadable module uses it without the core.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace horatone {

// `text` as a JSON string, quotes included. '<' is escaped too, so that a value never closes
// a script element it is embedded in.
inline std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '<': out += "\\u003c"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace horatone
